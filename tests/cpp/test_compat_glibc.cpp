// The glibc shims' replacements that only a glibc older than this one runs
// (runtime/compat/glibc_compat.cpp), next to what this glibc does.
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

extern "C" {
int veldra_fallback_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                   const struct timespec* abstime);
int veldra_fallback_thread_atexit(void (*fn)(void*), void* obj);
}

namespace {

// A steady-clock deadline, waited for on the realtime clock: neither early
// nor much late, and a deadline already past times out at once.
class ClockWait : public ::testing::TestWithParam<int> {};

TEST_P(ClockWait, TimesOutAtTheSteadyDeadline) {
    const int ms = GetParam();
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    struct timespec deadline;
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    long long ns = deadline.tv_nsec + static_cast<long long>(ms) * 1000000LL;
    deadline.tv_sec += static_cast<time_t>(ns / 1000000000LL) - (ns < 0 ? 1 : 0);
    deadline.tv_nsec = static_cast<long>((ns % 1000000000LL + 1000000000LL) % 1000000000LL);
    auto t0 = std::chrono::steady_clock::now();
    ::pthread_mutex_lock(&mutex);
    int rc = veldra_fallback_cond_clockwait(&cond, &mutex, CLOCK_MONOTONIC, &deadline);
    ::pthread_mutex_unlock(&mutex);
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_EQ(rc, ETIMEDOUT);
    EXPECT_GE(waited.count(), ms > 0 ? ms - 1 : 0);
    EXPECT_LT(waited.count(), (ms > 0 ? ms : 0) + 2000);
}

INSTANTIATE_TEST_SUITE_P(Deadlines, ClockWait, ::testing::Values(-1500, 0, 30, 1200));

// thread_local destructors: all of them when the thread ends, the last
// registered first.
TEST(ThreadAtexitFallback, RunsWhenTheThreadEndsInReverseOrder) {
    static std::vector<int> order;
    order.clear();
    static int one = 1, two = 2, three = 3;
    auto record = [](void* p) { order.push_back(*static_cast<int*>(p)); };
    std::thread t([&] {
        for (int* p : {&one, &two, &three}) ASSERT_EQ(veldra_fallback_thread_atexit(record, p), 0);
        EXPECT_TRUE(order.empty());
    });
    t.join();
    EXPECT_EQ(order, (std::vector<int>{3, 2, 1}));
}

}  // namespace
