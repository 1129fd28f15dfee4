// The engine executable's start for glibc 2.17 and later (VELDRA_PORTABLE;
// the extension links glibc_compat.cpp alone, a shared object has no start).
// The link wraps __libc_start_main, the one reference crt1.o makes.

#define VELDRA_WRAPPER __attribute__((visibility("hidden")))

extern "C" {

// The start of an executable.  crt1.o of glibc 2.34 and later passes no
// constructor function and leaves the constructors to __libc_start_main;
// one before 2.34 runs only what it is given, so it is given what crt1.o
// gave it before: _init and the executable's constructor array (the
// dynamic loader runs the preinit array, before any library's constructor).
extern void (*__init_array_start[])(int, char**, char**) __attribute__((visibility("hidden")));
extern void (*__init_array_end[])(int, char**, char**) __attribute__((visibility("hidden")));
void _init(void);

using MainFn = int (*)(int, char**, char**);
int veldra_old___libc_start_main(MainFn, int, char**, void (*)(int, char**, char**), void (*)(void), void (*)(void),
                                 void*);
__asm__(".symver veldra_old___libc_start_main,__libc_start_main@GLIBC_2.2.5");

static void run_constructors(int argc, char** argv, char** envp) {
    _init();
    for (auto* f = __init_array_start; f != __init_array_end; ++f) (*f)(argc, argv, envp);
}

VELDRA_WRAPPER int __wrap___libc_start_main(MainFn main, int argc, char** argv, void (*)(int, char**, char**),
                                            void (*fini)(void), void (*rtld_fini)(void), void* stack_end) {
    return veldra_old___libc_start_main(main, argc, argv, run_constructors, fini, rtld_fini, stack_end);
}

}  // extern "C"
