// What lets the wheel's extension and engine run on a glibc as old as 2.17
// although this machine links them against a newer one (VELDRA_PORTABLE).
//
// The link passes -Wl,--wrap=NAME for every function defined below as
// __wrap_NAME (CMake reads them from this file), so that every reference to
// NAME, in our objects and in the static archives linked with them
// (libstdc++, OpenBLAS, libgfortran, FFTW), lands here.  A function that an
// old glibc has under an older version is bound to that version; one that
// it lacks is given a replacement that does the same through what 2.17 has.
// scripts/check-glibc.py fails the wheel if a newer version is still needed.
// The replacements that only an old glibc runs are veldra_fallback_*, so
// that tests/cpp/test_compat_glibc.cpp runs them here.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Bound to the old version: __wrap_NAME jumps to NAME@VERSION, with every
// argument register untouched.  Hidden, so the engine does not export it.
// clang-format off
#define VELDRA_OLD_VERSION(name, version)                         \
    __asm__(".symver veldra_old_" #name "," #name "@" version "\n" \
            ".globl __wrap_" #name "\n"                           \
            ".hidden __wrap_" #name "\n"                          \
            ".type __wrap_" #name ",@function\n"                  \
            "__wrap_" #name ":\n"                                 \
            "  jmp veldra_old_" #name "@PLT\n"                    \
            ".size __wrap_" #name ",.-__wrap_" #name "\n");
// clang-format on

// The dynamic loader's functions (libdl.so.2 before 2.34).
VELDRA_OLD_VERSION(dlopen, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(dlclose, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(dlsym, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(dlerror, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(dladdr, "GLIBC_2.2.5")
// Threads (libpthread.so.0 before 2.34).
VELDRA_OLD_VERSION(pthread_once, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_kill, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_sigmask, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_key_create, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_rwlock_rdlock, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_rwlock_wrlock, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_rwlock_unlock, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_key_delete, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_getspecific, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_setspecific, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_create, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_join, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_detach, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_mutex_trylock, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(pthread_setaffinity_np, "GLIBC_2.3.4")
VELDRA_OLD_VERSION(pthread_getaffinity_np, "GLIBC_2.3.4")
VELDRA_OLD_VERSION(sem_init, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(sem_destroy, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(sem_wait, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(sem_post, "GLIBC_2.2.5")
VELDRA_OLD_VERSION(dlvsym, "GLIBC_2.2.5")

// What a newer glibc has is used where it has it, looked up once.
template <typename Fn>
static Fn lookup(std::atomic<void*>& slot, const char* name) {
    static char none;
    void* const missing = &none;
    void* p = slot.load(std::memory_order_acquire);
    if (p == nullptr) {
        p = ::dlsym(RTLD_DEFAULT, name);
        if (p == nullptr) p = missing;
        slot.store(p, std::memory_order_release);
    }
    return p == missing ? nullptr : reinterpret_cast<Fn>(p);
}

// The mathematics that became faster after 2.17 (the old versions take a
// detour through the error reporting of old): the newer function where the
// glibc has it, looked up at the first call, else the old one.
template <typename Fn>
static Fn newest(const char* name, const char* version, Fn old) {
    void* p = ::dlvsym(RTLD_DEFAULT, name, version);
    return p ? reinterpret_cast<Fn>(p) : old;
}

#define VELDRA_WRAPPER __attribute__((visibility("hidden")))
#define VELDRA_NEWEST(name, newer, older, ret, params, args)             \
    extern "C" ret veldra_old_##name params;                             \
    __asm__(".symver veldra_old_" #name "," #name "@" older);            \
    extern "C" VELDRA_WRAPPER ret __wrap_##name params {                 \
        static const auto fn = newest(#name, newer, &veldra_old_##name); \
        return fn args;                                                  \
    }

VELDRA_NEWEST(exp, "GLIBC_2.29", "GLIBC_2.2.5", double, (double x), (x))
VELDRA_NEWEST(log, "GLIBC_2.29", "GLIBC_2.2.5", double, (double x), (x))
VELDRA_NEWEST(pow, "GLIBC_2.29", "GLIBC_2.2.5", double, (double x, double y), (x, y))
VELDRA_NEWEST(hypot, "GLIBC_2.35", "GLIBC_2.2.5", double, (double x, double y), (x, y))
VELDRA_NEWEST(logf, "GLIBC_2.27", "GLIBC_2.2.5", float, (float x), (x))

extern "C" {

// Read by libstdc++'s inline reference counting since glibc 2.32: never
// claiming a single thread keeps every count atomic, which is always right.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

// stat and friends became functions in 2.33; before, the headers called
// these with the structure's version (1 on x86-64).
int __xstat(int, const char*, struct stat*);
int __fxstat(int, int, struct stat*);
int __lxstat(int, const char*, struct stat*);
int __fxstat64(int, int, struct stat64*);
__asm__(".symver __xstat,__xstat@GLIBC_2.2.5");
__asm__(".symver __fxstat,__fxstat@GLIBC_2.2.5");
__asm__(".symver __lxstat,__lxstat@GLIBC_2.2.5");
__asm__(".symver __fxstat64,__fxstat64@GLIBC_2.2.5");

VELDRA_WRAPPER int __wrap_stat(const char* path, struct stat* st) {
    return __xstat(1, path, st);
}
VELDRA_WRAPPER int __wrap_fstat(int fd, struct stat* st) {
    return __fxstat(1, fd, st);
}
VELDRA_WRAPPER int __wrap_lstat(const char* path, struct stat* st) {
    return __lxstat(1, path, st);
}
VELDRA_WRAPPER int __wrap_fstat64(int fd, struct stat64* st) {
    return __fxstat64(1, fd, st);
}

// System calls that glibc wrapped only later; the kernel has had them
// longer (memfd_create 3.17, close_range 5.9).
VELDRA_WRAPPER int __wrap_memfd_create(const char* name, unsigned flags) {
    return static_cast<int>(::syscall(SYS_memfd_create, name, flags));
}

VELDRA_WRAPPER int __wrap_close_range(unsigned first, unsigned last, int flags) {
    long r = ::syscall(436 /* SYS_close_range */, first, last, flags);
    if (r == 0 || errno != ENOSYS || flags != 0) return static_cast<int>(r);
    // An older kernel: close them one by one, up to the highest descriptor
    // the process may have.
    struct rlimit lim;
    unsigned top = ::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < (1u << 20)
                       ? static_cast<unsigned>(lim.rlim_cur)
                       : (1u << 20);
    for (unsigned fd = first; fd <= last && fd < top; ++fd) ::close(static_cast<int>(fd));
    return 0;
}

// Without it the child keeps the descriptors until the engine's start,
// which closes every one it did not get on purpose.
VELDRA_WRAPPER int __wrap_posix_spawn_file_actions_addclosefrom_np(posix_spawn_file_actions_t* actions, int from) {
    static std::atomic<void*> slot{nullptr};
    using Fn = int (*)(posix_spawn_file_actions_t*, int);
    Fn real = lookup<Fn>(slot, "posix_spawn_file_actions_addclosefrom_np");
    return real ? real(actions, from) : 0;
}

// std::condition_variable's waits on the steady clock.  Without the
// function the wait measures the same time on the realtime clock.
VELDRA_WRAPPER int veldra_fallback_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                                  const struct timespec* abstime) {
    if (clock == CLOCK_REALTIME) return ::pthread_cond_timedwait(cond, mutex, abstime);
    struct timespec now, rt;
    ::clock_gettime(clock, &now);
    ::clock_gettime(CLOCK_REALTIME, &rt);
    long long ns = (static_cast<long long>(abstime->tv_sec) - now.tv_sec) * 1000000000LL +
                   (abstime->tv_nsec - now.tv_nsec) + rt.tv_nsec;
    if (ns < 0) ns = 0;
    rt.tv_sec += static_cast<time_t>(ns / 1000000000LL);
    rt.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return ::pthread_cond_timedwait(cond, mutex, &rt);
}

VELDRA_WRAPPER int __wrap_pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                                 const struct timespec* abstime) {
    static std::atomic<void*> slot{nullptr};
    using Fn = int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const struct timespec*);
    if (Fn real = lookup<Fn>(slot, "pthread_cond_clockwait")) return real(cond, mutex, clock, abstime);
    return veldra_fallback_cond_clockwait(cond, mutex, clock, abstime);
}

// The kernel's random bytes (getrandom, Linux 3.17), which the C++
// runtime's std::random_device asks for under these names.
static bool random_bytes(void* buf, std::size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        long r = ::syscall(SYS_getrandom, p, n, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

VELDRA_WRAPPER int __wrap_getentropy(void* buf, std::size_t n) {
    if (n > 256) {
        errno = EIO;
        return -1;
    }
    return random_bytes(buf, n) ? 0 : -1;
}

VELDRA_WRAPPER std::uint32_t __wrap_arc4random(void) {
    std::uint32_t v = 0;
    if (!random_bytes(&v, sizeof v)) std::abort();  // as glibc's does when the kernel gives none
    return v;
}

// The destructors of thread_local objects.  Before 2.18 they run from a
// thread-specific key when the thread ends (not for the main thread).
namespace {
struct ThreadDtor {
    void (*fn)(void*);
    void* obj;
    ThreadDtor* next;
};
pthread_key_t g_dtor_key;
pthread_once_t g_dtor_once = PTHREAD_ONCE_INIT;

void run_thread_dtors(void* head) {
    for (auto* d = static_cast<ThreadDtor*>(head); d != nullptr;) {
        ThreadDtor* next = d->next;
        d->fn(d->obj);
        std::free(d);
        d = next;
    }
}
void make_dtor_key() {
    ::pthread_key_create(&g_dtor_key, run_thread_dtors);
}
}  // namespace

VELDRA_WRAPPER int veldra_fallback_thread_atexit(void (*fn)(void*), void* obj) {
    ::pthread_once(&g_dtor_once, make_dtor_key);
    auto* d = static_cast<ThreadDtor*>(std::malloc(sizeof(ThreadDtor)));
    if (d == nullptr) return -1;
    *d = ThreadDtor{fn, obj, static_cast<ThreadDtor*>(::pthread_getspecific(g_dtor_key))};
    ::pthread_setspecific(g_dtor_key, d);
    return 0;
}

VELDRA_WRAPPER int __wrap___cxa_thread_atexit_impl(void (*fn)(void*), void* obj, void* dso) {
    static std::atomic<void*> slot{nullptr};
    using Fn = int (*)(void (*)(void*), void*, void*);
    if (Fn real = lookup<Fn>(slot, "__cxa_thread_atexit_impl")) return real(fn, obj, dso);
    return veldra_fallback_thread_atexit(fn, obj);
}

}  // extern "C"
