#pragma once
// Shared by the function-call tests: engines, arrays and collecting calls.
#include "test_client_support.hpp"

#include <fl/i18n/convert.hpp>
#include <qx/matrix.hpp>
#include <qx/vdutil.hpp>

#include <boost/make_shared.hpp>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace client_test {

using Arr = matrix::unique_array_ptr;

inline Arr num(double v) {
    Arr a(qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, qxREAL));
    *static_cast<double*>(qxGetData(a.get())) = v;
    return a;
}
inline Arr txt(const std::u16string& s) {
    return matrix::create(s);
}
inline double num_of(const qxArray* a) {
    return *static_cast<const double*>(qxGetData(a));
}
inline std::u16string text_of(const qxArray* a) {
    return std::u16string(static_cast<const char16_t*>(qxGetData(a)), qxGetNumberOfElements(a));
}

// A launched engine, closed at the end of the scope; `pid` is its process.
struct Engine {
    Engine() {
        auto before = children();
        handle = engine_api::getOutOfProcessVELDRA(engine_api::createOutOfProcessVELDRAAsync({}));
        for (pid_t p : children())
            if (std::find(before.begin(), before.end(), p) == before.end()) pid = p;
    }
    ~Engine() {
        try {
            engine_api::destroyVELDRAHandle(handle);
        } catch (...) {}
    }
    engine_api::Handle handle = 0;
    pid_t pid = -1;
};

inline std::vector<engine_api::Handle> submit(engine_api::Handle engine, const std::string& name,
                                              const std::vector<const qxArray*>& args, int nout = 1,
                                              bool capture = false) {
    return engine_api::evaluateFunction(engine, name, nout, args, capture, capture);
}

// The outcome of a call: its results or the exception it ended with.
struct Outcome {
    std::vector<vdutil::QxArrayPtr> results;
    std::u16string out, err;
    std::string thrown;  // "ExecutionError", "SyntaxError", ...; empty when it succeeded
    std::string what;
};

inline Outcome collect(const std::vector<engine_api::Handle>& h, double timeout = 10) {
    Outcome o;
    auto out = boost::make_shared<engine_api::ustringbuf>();
    auto err = boost::make_shared<engine_api::ustringbuf>();
    try {
        o.results = engine_api::getFEvalResult(h, out, err, timeout);
    } catch (const engine_api::ExecutionError& e) {
        o.thrown = "ExecutionError", o.what = e.what();
    } catch (const engine_api::SyntaxError& e) {
        o.thrown = "SyntaxError", o.what = e.what();
    } catch (const engine_api::CancelledException& e) {
        o.thrown = "Cancelled", o.what = e.what();
    } catch (const engine_api::InterruptedException& e) {
        o.thrown = "Interrupted", o.what = e.what();
    } catch (const engine_api::TimeoutException& e) {
        o.thrown = "Timeout", o.what = e.what();
    } catch (const engine_api::EngineException& e) {
        o.thrown = "Engine", o.what = e.what();
    }
    o.out = out->str();
    o.err = err->str();
    return o;
}

// Submits, collects and destroys.
inline Outcome call(engine_api::Handle engine, const std::string& name, const std::vector<const qxArray*>& args,
                    int nout = 1, bool capture = false) {
    auto h = submit(engine, name, args, nout, capture);
    Outcome o = collect(h);
    engine_api::destroyFEvalResult(h);
    return o;
}

inline double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Checks that every array made in a test is gone at its end.
class CallTest : public ::testing::Test {
protected:
    void SetUp() override { live_ = qxLiveArrayCount(); }
    void TearDown() override { EXPECT_EQ(qxLiveArrayCount(), live_); }

private:
    std::size_t live_ = 0;
};

}  // namespace client_test
