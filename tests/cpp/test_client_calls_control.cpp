// Controlling calls: cancelling, interrupting, time-outs, lost engines,
// shared engines and many threads at once.
#include "test_client_calls_support.hpp"

#include <atomic>
#include <thread>

using namespace engine_api;
using namespace client_test;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<Handle> sleep_call(Handle engine, double seconds) {
    Arr s = num(seconds);
    return submit(engine, "sleep", {s.get()}, 0);
}

// True once the engine answers a trivial call within `seconds`.
bool answers(Handle engine, double seconds = 2) {
    Arr a = num(1);
    auto h = submit(engine, "identity", {a.get()});
    bool ok = waitFEval(h[0], seconds) && collect(h, 0).thrown.empty();
    destroyFEvalResult(h);
    return ok;
}

TEST_F(CallTest, CancellingARunningCallInterruptsIt) {
    Engine e;
    auto h = sleep_call(e.handle, 30);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(isDoneFEval(h[0]));
    EXPECT_TRUE(cancelFEval(h[0]));
    EXPECT_TRUE(isDoneFEval(h[0]));
    EXPECT_TRUE(isCancelledFEval(h[0]));
    EXPECT_FALSE(cancelFEval(h[0]));  // done already
    EXPECT_EQ(collect(h).thrown, "Cancelled");
    destroyFEvalResult(h);
    // The engine dropped the sleep: it answers at once.
    EXPECT_TRUE(answers(e.handle));
}

TEST_F(CallTest, WaitersShareTheReadingOfOneConnection) {
    Engine e;
    auto quick = sleep_call(e.handle, 0.2);
    auto slow = sleep_call(e.handle, 30);
    // One thread reads the connection for its slow call; the reply to the
    // other thread's quick call still reaches that thread at once.
    std::atomic<double> slowDone{-1};
    auto t0 = Clock::now();
    std::thread slowWaiter([&] {
        waitFEval(slow[0], -1);
        slowDone = seconds_since(t0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(waitFEval(quick[0], -1));
    EXPECT_LT(seconds_since(t0), 5);
    EXPECT_EQ(collect(quick).thrown, "");
    // Cancelling wakes the thread that waits without a limit.
    EXPECT_TRUE(cancelFEval(slow[0]));
    slowWaiter.join();
    EXPECT_GE(slowDone.load(), 0);
    EXPECT_LT(slowDone.load(), 5);
    destroyFEvalResult(quick);
    destroyFEvalResult(slow);

    // With nobody waiting, a reply is still noticed.
    auto later = sleep_call(e.handle, 0.05);
    bool done = false;
    for (int i = 0; i < 400 && !done; ++i) {
        done = isDoneFEval(later[0]);
        if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(done);
    destroyFEvalResult(later);
}

TEST_F(CallTest, CancellingAQueuedCallDropsIt) {
    Engine e;
    auto first = sleep_call(e.handle, 0.3);
    auto second = sleep_call(e.handle, 30);
    EXPECT_TRUE(cancelFEval(second[0]));
    auto t0 = Clock::now();
    EXPECT_EQ(collect(first).thrown, "");
    EXPECT_EQ(collect(second).thrown, "Cancelled");
    EXPECT_TRUE(answers(e.handle));
    EXPECT_LT(seconds_since(t0), 5);
    EXPECT_FALSE(cancelFEval(first[0]));  // finished
    destroyFEvalResult(first);
    destroyFEvalResult(second);
}

TEST_F(CallTest, DestroyingAPendingCallCancelsItInTheEngine) {
    Engine e;
    auto h = sleep_call(e.handle, 30);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    destroyFEvalResult(h);
    EXPECT_TRUE(answers(e.handle, 5));
}

TEST_F(CallTest, SigintInterruptsTheRunningCallAndTheEngineStaysUp) {
    Engine e;
    ASSERT_GT(e.pid, 0);
    auto h = sleep_call(e.handle, 30);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_EQ(::kill(e.pid, SIGINT), 0);
    Outcome o = collect(h, 5);
    EXPECT_EQ(o.thrown, "Interrupted") << o.what;
    EXPECT_FALSE(isCancelledFEval(h[0]));
    destroyFEvalResult(h);
    EXPECT_TRUE(answers(e.handle));
}

TEST_F(CallTest, TimeOutLeavesTheCallRunningForLaterCollection) {
    Engine e;
    Arr s = num(0.3);
    Arr t = txt(u"after");
    auto h = submit(e.handle, "sleep", {s.get()}, 0);
    auto p = submit(e.handle, "print", {t.get()}, 0, true);
    EXPECT_EQ(collect(h, 0).thrown, "Timeout");
    EXPECT_EQ(collect(p, 0.01).thrown, "Timeout");
    EXPECT_FALSE(waitFEval(p[0], 0));
    EXPECT_TRUE(waitFEval(p[0], 10));
    EXPECT_EQ(collect(h, 0).thrown, "");
    Outcome o = collect(p, 0);
    EXPECT_EQ(o.thrown, "");
    EXPECT_EQ(o.out, u"after\n");
    destroyFEvalResult(h);
    destroyFEvalResult(p);
}

TEST_F(CallTest, KilledEngineFailsPendingCallsPromptly) {
    Engine e;
    ASSERT_GT(e.pid, 0);
    auto running = sleep_call(e.handle, 30);
    auto queued = sleep_call(e.handle, 30);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto t0 = Clock::now();
    ::kill(e.pid, SIGKILL);
    EXPECT_EQ(collect(running, 10).thrown, "Engine");
    EXPECT_EQ(collect(queued, 10).thrown, "Engine");
    EXPECT_LT(seconds_since(t0), 2);
    EXPECT_FALSE(isCancelledFEval(running[0]));
    EXPECT_FALSE(thrown_text<EngineException>([&] { submit(e.handle, "identity", {}); }).empty());
    destroyFEvalResult(running);
    destroyFEvalResult(queued);
}

TEST_F(CallTest, ClosingTheEngineFailsPendingCalls) {
    Engine e;
    auto h = sleep_call(e.handle, 30);
    terminateOutOfProcessVELDRA(e.handle);
    EXPECT_EQ(collect(h, 5).thrown, "Engine");
    destroyFEvalResult(h);
}

TEST_F(CallTest, StoppingTheClientFailsWaitingCollectors) {
    Engine e;
    auto h = sleep_call(e.handle, 30);
    std::string seen;
    std::thread waiter([&] { seen = collect(h, 20).thrown; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto t0 = Clock::now();
    terminateProcess();
    waiter.join();
    EXPECT_EQ(seen, "Engine");
    EXPECT_LT(seconds_since(t0), 5);
    EXPECT_FALSE(thrown_text<EngineException>([&] { isDoneFEval(h[0]); }).empty());
    createProcess();
}

Handle attach(const std::string& name) {
    Handle a = attachSharedVELDRAAsync(fl::i18n::to_ustring(name));
    Handle e = getOutOfProcessVELDRA(a);
    destroyVELDRAHandle(a);
    return e;
}

TEST_F(CallTest, CallsOfTwoClientsRunInTheOrderSubmitted) {
    const std::string name = "calls-order";
    pid_t pid = start_shared(name);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(eventually([&] { return ::access((session_dir() + "/" + name + ".sock").c_str(), F_OK) == 0; }));
    Handle a = attach(name), b = attach(name);
    {
        Arr x = txt(u"x"), one = num(1), two = num(2);
        auto busy = sleep_call(a, 0.2);
        auto first = submit(a, "assign", {x.get(), one.get()}, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        auto second = submit(b, "assign", {x.get(), two.get()}, 0);
        // Calls on different connections are ordered by their arrival.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Outcome seen = call(a, "fetch", {x.get()});
        ASSERT_EQ(seen.thrown, "") << seen.what;
        EXPECT_EQ(num_of(seen.results[0].get()), 2);
        // Both clients see the same workspace.
        Outcome other = call(b, "fetch", {x.get()});
        ASSERT_EQ(other.thrown, "") << other.what;
        EXPECT_EQ(num_of(other.results[0].get()), 2);
        for (auto* h : {&busy, &first, &second}) {
            EXPECT_EQ(collect(*h).thrown, "");
            destroyFEvalResult(*h);
        }
    }
    destroyVELDRAHandle(a);
    destroyVELDRAHandle(b);
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

TEST_F(CallTest, ManyThreadsSubmitPollCancelAndCollectAtOnce) {
    Engine e;
    constexpr int kThreads = 8, kCalls = 40;
    std::atomic<int> wrong{0}, cancelled{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                const double v = t * 1000 + i;
                Arr a = num(v);
                auto h = submit(e.handle, "identity", {a.get()});
                if (i % 5 == 0 && cancelFEval(h[0])) {
                    if (collect(h).thrown != "Cancelled") ++wrong;
                    ++cancelled;
                } else {
                    while (!isDoneFEval(h[0])) std::this_thread::yield();
                    Outcome o = collect(h);
                    if (!o.thrown.empty() || o.results.size() != 1 || num_of(o.results[0].get()) != v) ++wrong;
                }
                destroyFEvalResult(h);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(answers(e.handle));
}

}  // namespace
