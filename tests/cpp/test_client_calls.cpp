// Function calls through a real engine: results, failures and captured text.
#include "test_client_calls_support.hpp"

#include "../../runtime/protocol/src/shm_block.hpp"

#include <chrono>
#include <cstring>
#include <set>
#include <thread>

using namespace engine_api;
using namespace client_test;

namespace {

struct FunctionCase {
    const char* label;
    std::string name;
    std::vector<std::u16string> text_args;
    std::string thrown;       // empty: succeeds
    std::string what;         // part of what() when it throws
    std::u16string out, err;  // captured text
};

class Functions : public CallTest, public ::testing::WithParamInterface<FunctionCase> {};

TEST_P(Functions, GiveTheirResultOrFailureAndText) {
    const FunctionCase& c = GetParam();
    Engine e;
    std::vector<Arr> owned;
    std::vector<const qxArray*> args;
    for (const auto& t : c.text_args) owned.push_back(txt(t)), args.push_back(owned.back().get());
    Outcome o = call(e.handle, c.name, args, c.name == "print" || c.name == "warn" ? 0 : 1, true);
    EXPECT_EQ(o.thrown, c.thrown) << o.what;
    EXPECT_NE(o.what.find(c.what), std::string::npos) << o.what;
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, c.err);
    if (c.thrown.empty() && c.name == "class_of") {
        ASSERT_EQ(o.results.size(), 1u);
        EXPECT_EQ(text_of(o.results[0].get()), u"char");
    }
}

const std::u16string kOdd = std::u16string(u"h\u00e9 \u4e16\U0001F600 a") + u'\0' + u"b";

INSTANTIATE_TEST_SUITE_P(
    Calls, Functions,
    ::testing::Values(
        FunctionCase{"class_of", "class_of", {u"x"}, "", "", u"", u""},
        FunctionCase{"print", "print", {kOdd}, "", "", kOdd + u"\n", u""},
        FunctionCase{"warn", "warn", {kOdd}, "", "", u"", kOdd + u"\n"},
        FunctionCase{"print_fail",
                     "print_fail",
                     {u"line \u00fc", u"it broke"},
                     "ExecutionError",
                     "veldra:print_fail: it broke",
                     u"line \u00fc\n",
                     u"line \u00fc\n"},
        FunctionCase{"fail", "fail", {u"bad thing", u"my:id"}, "ExecutionError", "my:id: bad thing", u"", u""},
        FunctionCase{"calc_syntax", "calc", {u"1 + * 2"}, "SyntaxError", "", u"", u""},
        FunctionCase{"untransferable", "untransferable", {}, "ExecutionError", "Data Conversion Error", u"", u""},
        FunctionCase{"unknown_function", "no_such_function", {}, "ExecutionError", "no_such_function", u"", u""}),
    [](const auto& p) { return std::string(p.param.label); });

TEST_F(CallTest, IdentityGivesBackTheArgumentsAfterTheCallerDestroyedThem) {
    Engine e;
    Arr a = num(42), t = txt(u"z\u00e4");
    auto h = submit(e.handle, "identity", {a.get(), t.get()}, 2);
    a.reset();
    t.reset();
    Outcome o = collect(h);
    ASSERT_EQ(o.thrown, "") << o.what;
    ASSERT_EQ(o.results.size(), 2u);
    EXPECT_EQ(num_of(o.results[0].get()), 42);
    EXPECT_EQ(text_of(o.results[1].get()), u"z\u00e4");
    // The results were handed over: a second collection says so.
    EXPECT_NE(collect(h).what.find("already collected"), std::string::npos);
    destroyFEvalResult(h);
}

TEST_F(CallTest, UncapturedStreamsHaveNoBuffer) {
    Engine e;
    Arr t = txt(u"to the engine's own output");
    auto h = evaluateFunction(e.handle, "print", 0, {t.get()}, false, true);
    EXPECT_NE(h[0], 0u);
    EXPECT_EQ(h[1], 0u);
    EXPECT_NE(h[2], 0u);
    Outcome o = collect(h);
    EXPECT_EQ(o.thrown, "");
    EXPECT_EQ(o.out, u"");
    destroyFEvalResult(h);
}

TEST_F(CallTest, HandlesAreNeverReused) {
    Engine e;
    std::set<Handle> seen;
    for (int i = 0; i < 5; ++i) {
        Arr t = txt(u"x");
        auto h = submit(e.handle, "class_of", {t.get()}, 1, true);
        for (Handle x : h) EXPECT_TRUE(seen.insert(x).second) << x;
        collect(h);
        destroyFEvalResult(h);
    }
}

TEST_F(CallTest, UnknownHandlesAreRefusedByEveryOperation) {
    Engine e;
    const Handle bogus = 1u << 30;
    const std::vector<std::pair<const char*, std::function<void()>>> ops = {
        {"evaluateFunction", [&] { evaluateFunction(bogus, "identity", 1, {}, false, false); }},
        {"getFEvalResult", [&] { getFEvalResult({bogus, 0, 0}, nullptr, nullptr, 0); }},
        {"destroyFEvalResult", [&] { destroyFEvalResult({bogus, 0, 0}); }},
        {"cancelFEval", [&] { cancelFEval(bogus); }},
        {"isDoneFEval", [&] { isDoneFEval(bogus); }},
        {"isCancelledFEval", [&] { isCancelledFEval(bogus); }},
        {"waitFEval", [&] { waitFEval(bogus, 0); }},
        // Handles of the wrong kind.
        {"engine as future", [&] { isDoneFEval(e.handle); }},
        {"future as engine",
         [&] {
             auto h = submit(e.handle, "identity", {});
             collect(h);
             try {
                 evaluateFunction(h[0], "identity", 1, {}, false, false);
             } catch (...) {
                 destroyFEvalResult(h);
                 throw;
             }
         }},
    };
    for (const auto& [label, op] : ops) {
        SCOPED_TRACE(label);
        EXPECT_FALSE(thrown_text<EngineException>(op).empty());
    }
}

TEST_F(CallTest, DestroyedHandlesAreUnknown) {
    Engine e;
    auto h = submit(e.handle, "identity", {}, 1, true);
    collect(h);
    destroyFEvalResult(h);
    EXPECT_FALSE(thrown_text<EngineException>([&] { destroyFEvalResult(h); }).empty());
    EXPECT_FALSE(thrown_text<EngineException>([&] { isDoneFEval(h[0]); }).empty());
}

TEST_F(CallTest, ClosedEngineRefusesCalls) {
    Engine e;
    terminateOutOfProcessVELDRA(e.handle);
    EXPECT_NE(thrown_text<EngineException>([&] { submit(e.handle, "identity", {}); }).find("closed"),
              std::string::npos);
}

TEST_F(CallTest, LargeArgumentArrivesIntact) {
    Engine e;
    const std::size_t n = 100u * 1000 * 1000 / sizeof(double);
    Arr big(qxCreateNumericMatrix(n, 1, qxDOUBLE_CLASS, qxREAL));
    auto* d = static_cast<double*>(qxGetData(big.get()));
    for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<double>(i);
    Arr name = txt(u"big");
    auto h = submit(e.handle, "assign", {name.get(), big.get()}, 0);
    big.reset();  // the caller lets go at once
    ASSERT_EQ(collect(h).thrown, "");
    destroyFEvalResult(h);

    // The engine's copy, fetched back whole.
    Outcome o = call(e.handle, "fetch", {name.get()});
    ASSERT_EQ(o.thrown, "") << o.what;
    ASSERT_EQ(qxGetNumberOfElements(o.results[0].get()), n);
    const auto* r = static_cast<const double*>(qxGetData(o.results[0].get()));
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[12345], 12345);
    EXPECT_EQ(r[n - 1], double(n - 1));
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += r[i];
    EXPECT_EQ(sum, double(n) * double(n - 1) / 2);
}

TEST_F(CallTest, LargeBlocksComeBackAsTheCallersOwnMemoryAndAreReused) {
    Engine e;
    const std::size_t n = 1u << 20;
    Arr big(qxCreateNumericMatrix(n, 1, qxDOUBLE_CLASS, qxREAL));
    auto* d = static_cast<double*>(qxGetData(big.get()));
    for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<double>(i) * 0.5;
    veldra::protocol::shm::setPoolLimit(0);
    veldra::protocol::shm::setPoolLimit(8);

    Outcome o = call(e.handle, "identity", {big.get()});
    ASSERT_EQ(o.thrown, "") << o.what;
    // Lent to the engine and sent back: no copy either way.
    EXPECT_EQ(qxGetData(o.results[0].get()), static_cast<void*>(d));
    EXPECT_EQ(static_cast<const double*>(qxGetData(o.results[0].get()))[n - 1], double(n - 1) * 0.5);
    big.reset();
    o.results.clear();
    // Once the engine has let go, the memory goes back to the pool.
    for (int i = 0; i < 200 && veldra::protocol::shm::pooledBlockCount() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(veldra::protocol::shm::pooledBlockCount(), 1u);
}

TEST_F(CallTest, BlocksPassedOnToAnotherClientAreNeverReused) {
    namespace shm = veldra::protocol::shm;
    Handle owner = getOutOfProcessVELDRA(createOutOfProcessVELDRAAsync({u"--share", u"lending"}));
    Handle guest = getOutOfProcessVELDRA(attachSharedVELDRAAsync(u"lending"));
    shm::setPoolLimit(0);
    shm::setPoolLimit(8);
    const std::size_t n = 1u << 18;
    Arr name = txt(u"x");
    {
        Arr big(qxCreateNumericMatrix(n, 1, qxDOUBLE_CLASS, qxREAL));
        auto* d = static_cast<double*>(qxGetData(big.get()));
        for (std::size_t i = 0; i < n; ++i) d[i] = 7.0;
        ASSERT_EQ(call(owner, "assign", {name.get(), big.get()}, 0).thrown, "");
    }
    // The guest maps the owner's memory; the engine then lets go of it.
    Outcome fetched = call(guest, "fetch", {name.get()});
    ASSERT_EQ(fetched.thrown, "") << fetched.what;
    Arr small = num(1);
    ASSERT_EQ(call(owner, "assign", {name.get(), small.get()}, 0).thrown, "");
    // The owner keeps making large arrays; none may land in the guest's memory.
    for (int round = 0; round < 4; ++round) {
        Arr other(qxCreateNumericMatrix(n, 1, qxDOUBLE_CLASS, qxREAL));
        std::memset(qxGetData(other.get()), 0xff, n * sizeof(double));
        Outcome o = call(owner, "is_sparse", {other.get()});
        ASSERT_EQ(o.thrown, "") << o.what;
    }
    const auto* r = static_cast<const double*>(qxGetData(fetched.results[0].get()));
    EXPECT_EQ(r[0], 7.0);
    EXPECT_EQ(r[n - 1], 7.0);
    fetched.results.clear();
    destroyVELDRAHandle(guest);
    destroyVELDRAHandle(owner);
}

// More large arguments than a frame has descriptors, and as many results.
TEST_F(CallTest, ACallCarriesAnyNumberOfLargeArrays) {
    Engine e;
    std::vector<Arr> owned;
    std::vector<const qxArray*> args;
    for (int i = 0; i < 40; ++i) {
        owned.emplace_back(qxCreateNumericMatrix(16 * 1024, 1, qxDOUBLE_CLASS, qxREAL));
        static_cast<double*>(qxGetData(owned.back().get()))[i] = i + 0.5;
        args.push_back(owned.back().get());
    }
    Outcome o = call(e.handle, "identity", args, 40);
    EXPECT_EQ(o.thrown, "") << o.what;
    ASSERT_EQ(o.results.size(), 40u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(static_cast<const double*>(qxGetData(o.results[i].get()))[i], i + 0.5);
}

TEST_F(CallTest, ObjectReferencesLiveAsLongAsTheEngine) {
    Engine e;
    Outcome m = call(e.handle, "map_new", {});
    ASSERT_EQ(m.thrown, "") << m.what;
    const qxArray* ref = m.results[0].get();
    EXPECT_TRUE(vdutil::matrixref::refIsRef(ref));
    // The engine knows it as its own.
    Arr key = txt(u"k");
    Arr value = num(7);
    EXPECT_EQ(call(e.handle, "map_set", {ref, key.get(), value.get()}, 0).thrown, "");
    Outcome count = call(e.handle, "map_count", {ref});
    ASSERT_EQ(count.thrown, "") << count.what;
    EXPECT_EQ(num_of(count.results[0].get()), 1);
    terminateOutOfProcessVELDRA(e.handle);
    EXPECT_FALSE(vdutil::matrixref::refIsRef(ref));
}

}  // namespace
