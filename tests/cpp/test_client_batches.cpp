// Batches of calls of one function: results and text in order, the stop at
// the first failure, cancels, interrupts and lost engines, and the path for
// an engine of the older protocol.
#include "test_client_calls_support.hpp"

#include "../../runtime/client/src/runtime.hpp"

#include <thread>

using namespace engine_api;
using namespace client_test;

namespace {

// How a batch's call ended: "" when it succeeded, else as Outcome::thrown.
std::string ending(const BatchCall& c) {
    if (!c.error) return "";
    try {
        std::rethrow_exception(c.error);
    } catch (const ExecutionError&) {
        return "ExecutionError";
    } catch (const CancelledException&) {
        return "Cancelled";
    } catch (const InterruptedException&) {
        return "Interrupted";
    } catch (const EngineException&) {
        return "Engine";
    } catch (...) {
        return "other";
    }
}

// Submits a batch of `name` over `lists` and collects it.
std::vector<BatchCall> run_batch(Handle engine, const std::string& name, const std::vector<std::vector<Arr>>& lists,
                                 int nout = 1, bool capture = false, double timeout = 30) {
    std::vector<std::vector<const qxArray*>> args;
    for (const auto& l : lists) {
        args.emplace_back();
        for (const auto& a : l) args.back().push_back(a.get());
    }
    Handle b = evaluateFunctionBatch(engine, name, nout, args, capture, capture);
    auto calls = getFunctionBatchResult(b, timeout);
    destroyFunctionBatch(b);
    return calls;
}

Arr column(std::size_t n, double first) {
    Arr a(qxCreateNumericMatrix(n, 1, qxDOUBLE_CLASS, qxREAL));
    auto* d = static_cast<double*>(qxGetData(a.get()));
    for (std::size_t i = 0; i < n; ++i) d[i] = first + double(i);
    return a;
}

// The same batch through a CallBatch and, as for an engine of the older
// protocol, through a Call frame per call.
class Batches : public CallTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        CallTest::SetUp();
        if (GetParam()) engine_api::detail::find_engine(e_.handle)->protocol = veldra::protocol::kOldestProtocolVersion;
    }
    Handle engine() const { return e_.handle; }

private:
    Engine e_;
};

}  // namespace

// Scalars, arrays that fill several requests and replies, and arrays large
// enough to travel as shared memory, each back in its place.
TEST_P(Batches, GiveEveryResultAndTextInOrder) {
    std::vector<std::vector<Arr>> lists;
    for (int i = 0; i < 3000; ++i) {
        lists.emplace_back();
        lists.back().push_back(num(i));
    }
    auto calls = run_batch(engine(), "identity", lists);
    ASSERT_EQ(calls.size(), lists.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        ASSERT_EQ(ending(calls[i]), "") << i;
        EXPECT_EQ(num_of(calls[i].results.at(0).get()), double(i));
    }

    // 7,000 doubles stay inline (about 55 KB a call), 20,000 go as blocks.
    lists.clear();
    for (int i = 0; i < 60; ++i) {
        lists.emplace_back();
        lists.back().push_back(column(i % 10 == 9 ? 20000 : 7000, i));
        lists.back().push_back(num(-i));
    }
    calls = run_batch(engine(), "identity", lists, 2);
    ASSERT_EQ(calls.size(), lists.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        ASSERT_EQ(ending(calls[i]), "") << i;
        ASSERT_EQ(calls[i].results.size(), 2u);
        const qxArray* a = calls[i].results[0].get();
        ASSERT_EQ(qxGetNumberOfElements(a), i % 10 == 9 ? 20000u : 7000u);
        const auto* d = static_cast<const double*>(qxGetData(a));
        EXPECT_EQ(d[0], double(i));
        EXPECT_EQ(d[qxGetNumberOfElements(a) - 1], double(i) + double(qxGetNumberOfElements(a) - 1));
        EXPECT_EQ(num_of(calls[i].results[1].get()), -double(i));
    }

    lists.clear();
    for (const char16_t* t : {u"a", u"b", u"c"}) {
        lists.emplace_back();
        lists.back().push_back(txt(t));
    }
    calls = run_batch(engine(), "print", lists, 0, true);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].out, u"a\n");
    EXPECT_EQ(calls[2].out, u"c\n");
    EXPECT_TRUE(run_batch(engine(), "identity", {}).empty());
}

// The first failure ends the batch: the calls before it keep their results
// and the calls after it do not run.
TEST_P(Batches, StopAtTheFirstFailure) {
    std::vector<std::vector<Arr>> lists;
    for (const char16_t* name : {u"first", u"1bad", u"after"}) {
        lists.emplace_back();
        lists.back().push_back(txt(name));
        lists.back().push_back(num(1));
    }
    auto calls = run_batch(engine(), "assign", lists, 0);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(ending(calls[0]), "");
    EXPECT_EQ(ending(calls[1]), "ExecutionError");
    EXPECT_EQ(ending(calls[2]), "Cancelled");
    Arr first = txt(u"first");
    Arr after = txt(u"after");
    EXPECT_TRUE(call(engine(), "exists", {first.get()}).thrown.empty());
    Outcome o = call(engine(), "exists", {after.get()});
    ASSERT_EQ(o.thrown, "");
    // The older protocol runs every call; a batch stops.
    EXPECT_EQ(static_cast<const unsigned char*>(qxGetData(o.results.at(0).get()))[0] != 0, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Protocols, Batches, ::testing::Values(false, true),
                         [](const auto& test) { return std::string(test.param ? "per_call" : "batched"); });

TEST_F(CallTest, ABatchIsCollectedOnceAndItsHandleIsNoFuture) {
    Engine e;
    Arr a = num(1);
    Handle b = evaluateFunctionBatch(e.handle, "identity", 1, {{a.get()}}, false, false);
    EXPECT_THROW(getFEvalResult({b, 0, 0}, nullptr, nullptr, 1), EngineException);
    EXPECT_EQ(getFunctionBatchResult(b, 10).size(), 1u);
    EXPECT_THROW(getFunctionBatchResult(b, 10), EngineException);
    destroyFunctionBatch(b);
    EXPECT_THROW(destroyFunctionBatch(b), EngineException);
    EXPECT_THROW(getFunctionBatchResult(b, 0), EngineException);
}

// Releasing a running batch cancels it in the engine, which then answers
// at once; a wait that timed out left the batch to be collected later.
TEST_F(CallTest, ReleasingARunningBatchStopsIt) {
    Engine e;
    std::vector<Arr> secs;
    std::vector<std::vector<const qxArray*>> args;
    for (int i = 0; i < 20; ++i) secs.push_back(num(0.5));
    for (const auto& s : secs) args.push_back({s.get()});
    Handle b = evaluateFunctionBatch(e.handle, "sleep", 0, args, false, false);
    EXPECT_THROW(getFunctionBatchResult(b, 0.1), TimeoutException);
    auto t0 = std::chrono::steady_clock::now();
    destroyFunctionBatch(b);
    Arr one = num(1);
    EXPECT_EQ(call(e.handle, "identity", {one.get()}).thrown, "");
    EXPECT_LT(seconds_since(t0), 2);
}

struct Ending {
    const char* label;
    std::string first;  // how the running call ends
};

class BatchEndings : public CallTest, public ::testing::WithParamInterface<Ending> {};

// A batch whose running call is interrupted, or whose engine dies, keeps
// the results that went ahead, reports the running call's end and the calls
// after it as cancelled.
TEST_P(BatchEndings, EndTheRunningCallAndCancelTheRest) {
    Engine e;
    ASSERT_GT(e.pid, 0);
    // The first call takes long enough for its result to go ahead.
    Arr first = num(0.05);
    Arr slow = num(30);
    Handle b = evaluateFunctionBatch(e.handle, "sleep", 0, {{first.get()}, {slow.get()}, {first.get()}}, false, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(::kill(e.pid, GetParam().first == "Interrupted" ? SIGINT : SIGKILL), 0);
    auto calls = getFunctionBatchResult(b, 10);
    destroyFunctionBatch(b);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(ending(calls[0]), "");
    EXPECT_EQ(ending(calls[1]), GetParam().first);
    EXPECT_EQ(ending(calls[2]), "Cancelled");
}

INSTANTIATE_TEST_SUITE_P(All, BatchEndings,
                         ::testing::Values(Ending{"sigint", "Interrupted"}, Ending{"killed", "Engine"}),
                         [](const auto& test) { return std::string(test.param.label); });

// A batch that continues one that stopped does not run, and stops the one
// after it in turn; one that continues a batch that ran all its calls runs.
TEST_F(CallTest, ABatchAfterOneThatStoppedDoesNotRun) {
    Engine e;
    Arr bad = txt(u"1bad");
    Arr first = txt(u"chain_first");
    Arr later = txt(u"chain_later");
    Arr v = num(1);
    auto exists = [&](const Arr& name) {
        Outcome o = call(e.handle, "exists", {name.get()});
        return o.thrown.empty() && static_cast<const unsigned char*>(qxGetData(o.results.at(0).get()))[0] != 0;
    };
    Handle a =
        evaluateFunctionBatch(e.handle, "assign", 0, {{first.get(), v.get()}, {bad.get(), v.get()}}, false, false);
    Handle b = evaluateFunctionBatch(e.handle, "assign", 0, {{later.get(), v.get()}}, false, false, a);
    Handle c = evaluateFunctionBatch(e.handle, "assign", 0, {{later.get(), v.get()}}, false, false, b);
    EXPECT_EQ(ending(getFunctionBatchResult(a, 10).at(1)), "ExecutionError");
    EXPECT_EQ(ending(getFunctionBatchResult(b, 10).at(0)), "Cancelled");
    EXPECT_EQ(ending(getFunctionBatchResult(c, 10).at(0)), "Cancelled");
    EXPECT_TRUE(exists(first));
    EXPECT_FALSE(exists(later));
    for (Handle h : {a, b, c}) destroyFunctionBatch(h);

    Handle d = evaluateFunctionBatch(e.handle, "assign", 0, {{first.get(), v.get()}}, false, false);
    Handle f = evaluateFunctionBatch(e.handle, "assign", 0, {{later.get(), v.get()}}, false, false, d);
    EXPECT_EQ(ending(getFunctionBatchResult(f, 10).at(0)), "");
    EXPECT_TRUE(exists(later));
    destroyFunctionBatch(d);
    destroyFunctionBatch(f);
}
