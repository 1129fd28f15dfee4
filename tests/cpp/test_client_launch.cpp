// Launching engines through engine_api with the real engine executable.
#include "test_client_support.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace engine_api;
using namespace client_test;

static auto* const kEnv = ::testing::AddGlobalTestEnvironment(new Env);

namespace {

Handle launch(std::vector<fl::ustring> options = {}) {
    return getOutOfProcessVELDRA(createOutOfProcessVELDRAAsync(std::move(options)));
}

// An "engine" that never reports ready.
class SilentEngine {
public:
    SilentEngine() {
        path_ = temp_root() + "/silent-engine";
        std::ofstream(path_) << "#!/bin/sh\nexec sleep 30\n";
        ::chmod(path_.c_str(), 0700);
        ::setenv("VELDRA_ENGINE_EXECUTABLE", path_.c_str(), 1);
    }
    ~SilentEngine() { ::setenv("VELDRA_ENGINE_EXECUTABLE", VELDRA_TEST_ENGINE, 1); }

private:
    std::string path_;
};

}  // namespace

TEST(Launch, StartsAndClosesLeavingNoProcess) {
    Handle l = createOutOfProcessVELDRAAsync({u"--threads", u"2"});
    Handle e = getOutOfProcessVELDRA(l);
    EXPECT_TRUE(isDoneVELDRA(l));
    EXPECT_TRUE(waitVELDRA(l, 0));
    EXPECT_EQ(getOutOfProcessVELDRA(l), e);  // asking again names the same engine
    ASSERT_EQ(children().size(), 1u);

    terminateOutOfProcessVELDRA(e);
    EXPECT_TRUE(children().empty());  // gone and reaped, no zombie
    terminateOutOfProcessVELDRA(e);   // closing twice is harmless
    destroyVELDRAHandle(e);
    destroyVELDRAHandle(l);
    EXPECT_THROW(terminateOutOfProcessVELDRA(e), EngineException);
}

TEST(Launch, IsFast) {
    std::vector<double> ms;
    for (int i = 0; i < 15; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        Handle l = createOutOfProcessVELDRAAsync({});
        Handle e = getOutOfProcessVELDRA(l);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        destroyVELDRAHandle(e);
        destroyVELDRAHandle(l);
    }
    std::sort(ms.begin(), ms.end());
    std::cout << "launch median " << ms[ms.size() / 2] << " ms, max " << ms.back() << " ms\n";
    EXPECT_LT(ms[ms.size() / 2], 100.0);  // loose: debug builds, shared cores
}

struct OptionCase {
    const char* name;
    std::vector<fl::ustring> options;
    std::vector<std::string> expected;  // all in the message
};

class LaunchOptionErrors : public ::testing::TestWithParam<OptionCase> {};

TEST_P(LaunchOptionErrors, FailWithTheEnginesReason) {
    Handle l = createOutOfProcessVELDRAAsync(GetParam().options);
    std::string text = thrown_text<EngineException>([&] { getOutOfProcessVELDRA(l); });
    for (const auto& part : GetParam().expected) EXPECT_NE(text.find(part), std::string::npos) << text;
    EXPECT_TRUE(isDoneVELDRA(l));
    destroyVELDRAHandle(l);
    EXPECT_TRUE(children().empty());
}

INSTANTIATE_TEST_SUITE_P(
    All, LaunchOptionErrors,
    ::testing::Values(OptionCase{"unknown", {u"--frobnicate"}, {"unrecognised", "--frobnicate"}},
                      OptionCase{"threads_text", {u"--threads", u"abc"}, {"--threads", "'abc'"}},
                      OptionCase{"threads_zero", {u"--threads=0"}, {"--threads", "'0'"}},
                      OptionCase{"threads_missing", {u"--threads"}, {"--threads", "missing"}},
                      OptionCase{"share_bad_name", {u"--share", u"no/slash"}, {"--share", "'no/slash'"}},
                      OptionCase{"stray", {u"loose"}, {"'loose'"}},
                      OptionCase{"repeated", {u"--threads", u"1", u"--threads", u"2"}, {"--threads"}},
                      OptionCase{"help", {u"--help"}, {"--help"}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Launch, MissingExecutableFailsAtOnce) {
    ::setenv("VELDRA_ENGINE_EXECUTABLE", "/nonexistent/veldra-engine", 1);
    std::string text = thrown_text<EngineException>([] { createOutOfProcessVELDRAAsync({}); });
    ::setenv("VELDRA_ENGINE_EXECUTABLE", VELDRA_TEST_ENGINE, 1);
    EXPECT_NE(text.find("/nonexistent/veldra-engine"), std::string::npos) << text;
}

TEST(Launch, CancelKillsAndReapsAPendingLaunch) {
    Handle l;
    {
        SilentEngine silent;
        l = createOutOfProcessVELDRAAsync({});
    }
    EXPECT_FALSE(isDoneVELDRA(l));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(waitVELDRA(l, 0.05));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
    ASSERT_EQ(children().size(), 1u);

    cancelVELDRAAsync(l);
    EXPECT_TRUE(children().empty());
    EXPECT_TRUE(waitVELDRA(l, -1));
    std::string text = thrown_text<EngineException>([&] { getOutOfProcessVELDRA(l); });
    EXPECT_NE(text.find("cancelled"), std::string::npos) << text;
    cancelVELDRAAsync(l);  // again: nothing left to do
    destroyVELDRAHandle(l);
}

TEST(Launch, CancelAfterReadyLeavesTheEngine) {
    Handle l = createOutOfProcessVELDRAAsync({});
    ASSERT_TRUE(waitVELDRA(l, -1));
    cancelVELDRAAsync(l);
    Handle e = getOutOfProcessVELDRA(l);
    EXPECT_EQ(children().size(), 1u);
    destroyVELDRAHandle(l);  // the engine was taken, so it stays
    EXPECT_EQ(children().size(), 1u);
    destroyVELDRAHandle(e);  // closes it first
    EXPECT_TRUE(children().empty());
}

TEST(Launch, DestroyingAnUntakenLaunchStopsItsEngine) {
    Handle ready = createOutOfProcessVELDRAAsync({});
    ASSERT_TRUE(waitVELDRA(ready, -1));
    Handle pending;
    {
        SilentEngine silent;
        pending = createOutOfProcessVELDRAAsync({});
    }
    EXPECT_EQ(children().size(), 2u);
    destroyVELDRAHandle(ready);
    destroyVELDRAHandle(pending);
    EXPECT_TRUE(children().empty());
}

TEST(Launch, EngineDeathIsNoticedAndReaped) {
    Handle l = createOutOfProcessVELDRAAsync({});
    Handle e = getOutOfProcessVELDRA(l);
    auto kids = children();
    ASSERT_EQ(kids.size(), 1u);
    ::kill(kids[0], SIGKILL);
    // Nobody calls into the client: its reader alone reaps the engine.
    EXPECT_TRUE(eventually([] { return children().empty(); }, 3.0));
    terminateOutOfProcessVELDRA(e);
    destroyVELDRAHandle(e);
    destroyVELDRAHandle(l);
}

TEST(Launch, ConcurrentLaunchesFromManyThreads) {
    constexpr int kThreads = 4, kEach = 3;
    std::vector<Handle> handles(kThreads * kEach * 2);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            try {
                for (int i = 0; i < kEach; ++i) {
                    Handle l = createOutOfProcessVELDRAAsync({u"--threads", u"1"});
                    Handle e = getOutOfProcessVELDRA(l);
                    handles[(t * kEach + i) * 2] = l;
                    handles[(t * kEach + i) * 2 + 1] = e;
                    // Keep every other engine open until the end.
                    if (i % 2 == 0) terminateOutOfProcessVELDRA(e);
                }
            } catch (const std::exception& ex) {
                ADD_FAILURE() << ex.what();
                ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_EQ(failures, 0);
    EXPECT_EQ(std::set<Handle>(handles.begin(), handles.end()).size(), handles.size());
    EXPECT_EQ(children().size(), std::size_t(kThreads));
    for (Handle h : handles) destroyVELDRAHandle(h);
    EXPECT_TRUE(children().empty());
}

TEST(Launch, TerminateProcessStopsEverythingAndCanRestart) {
    Handle e = launch();
    Handle l = createOutOfProcessVELDRAAsync({});
    Handle pending;
    {
        SilentEngine silent;
        pending = createOutOfProcessVELDRAAsync({});
    }
    EXPECT_EQ(children().size(), 3u);
    terminateProcess();
    EXPECT_TRUE(children().empty());
    for (Handle h : {e, l, pending}) EXPECT_THROW(isDoneVELDRA(h), EngineException);

    createProcess();
    createProcess();
    Handle again = launch();
    EXPECT_GT(again, pending);  // handles are never reused
    destroyVELDRAHandle(again);
}

TEST(Launch, KilledClientLeavesNoEngine) {
    terminateProcess();  // no client threads while forking
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    pid_t client = ::fork();
    ASSERT_GE(client, 0);
    if (client == 0) {
        ::close(p[0]);
        try {
            createProcess();
            launch();
            pid_t engine = children()[0];
            (void)!::write(p[1], &engine, sizeof engine);
        } catch (...) {}
        ::pause();
        ::_exit(1);
    }
    ::close(p[1]);
    pid_t engine = 0;
    ASSERT_EQ(::read(p[0], &engine, sizeof engine), ssize_t(sizeof engine));
    ::close(p[0]);
    ProcInfo info;
    ASSERT_TRUE(proc_info(engine, info));
    ::kill(client, SIGKILL);
    int status;
    ASSERT_EQ(::waitpid(client, &status, 0), client);
    // Orphaned, the engine sees its connection close and exits.
    EXPECT_TRUE(eventually([&] { return !proc_info(engine, info) || info.state == 'Z'; }, 5.0));
    createProcess();
}

struct BadHandleCase {
    const char* name;
    std::function<void(Handle)> op;
};

class BadHandles : public ::testing::TestWithParam<BadHandleCase> {};

TEST_P(BadHandles, AreReportedNotTrusted) {
    for (Handle h : {Handle(0), Handle(~0ull), Handle(1) << 40}) {
        std::string text = thrown_text<EngineException>([&] { GetParam().op(h); });
        EXPECT_NE(text.find(std::to_string(h)), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(All, BadHandles,
                         ::testing::Values(BadHandleCase{"isDone", [](Handle h) { isDoneVELDRA(h); }},
                                           BadHandleCase{"wait", [](Handle h) { waitVELDRA(h, 0); }},
                                           BadHandleCase{"cancel", [](Handle h) { cancelVELDRAAsync(h); }},
                                           BadHandleCase{"get", [](Handle h) { getOutOfProcessVELDRA(h); }},
                                           BadHandleCase{"destroy", [](Handle h) { destroyVELDRAHandle(h); }},
                                           BadHandleCase{"terminate",
                                                         [](Handle h) { terminateOutOfProcessVELDRA(h); }}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(Handles, OfTheWrongKindAreRefused) {
    Handle l = createOutOfProcessVELDRAAsync({});
    Handle e = getOutOfProcessVELDRA(l);
    EXPECT_NE(thrown_text<EngineException>([&] { getOutOfProcessVELDRA(e); }).find("names an engine"),
              std::string::npos);
    EXPECT_NE(thrown_text<EngineException>([&] { waitVELDRA(e, 0); }).find("not a launch"), std::string::npos);
    EXPECT_NE(thrown_text<EngineException>([&] { terminateOutOfProcessVELDRA(l); }).find("not an engine"),
              std::string::npos);
    destroyVELDRAHandle(e);
    destroyVELDRAHandle(l);
    EXPECT_THROW(destroyVELDRAHandle(l), EngineException);
}
