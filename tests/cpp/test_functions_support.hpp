#pragma once
// Shared by the engine function tests: a call context that records output,
// array builders, and a fixture that checks no array outlives a test.
#include "functions/function.hpp"

#include <fl/i18n/convert.hpp>
#include <qx/matrix.hpp>
#include <qx/qx.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace fntest {

using veldra::engine::Args;
using veldra::engine::Array;
using veldra::engine::Results;

class TestContext : public veldra::engine::CallContext {
public:
    void out(std::string_view text) override { out_ += text; }
    void err(std::string_view text) override { err_ += text; }
    void checkInterrupt() override {
        ++checks_;
        if (interrupted_) throw veldra::engine::Interrupted();
    }
    veldra::engine::Workspace& workspace() override { return ws_; }
    veldra::engine::ObjectStore& objects() override { return store_; }
    const veldra::engine::FunctionRegistry& functions() const override {
        return veldra::engine::FunctionRegistry::builtin();
    }
    int threads() const override { return threads_; }

    std::string out_, err_;
    std::atomic<bool> interrupted_{false};
    std::atomic<long> checks_{0};
    int threads_ = 1;
    veldra::engine::Workspace ws_;
    veldra::engine::ObjectStore store_;
};

inline Array num(double v, qxClassID c = qxDOUBLE_CLASS) {
    Array a(qxCreateNumericMatrix(1, 1, c, qxREAL));
    switch (c) {
    case qxDOUBLE_CLASS:
        *static_cast<double*>(qxGetData(a.get())) = v;
        break;
    case qxSINGLE_CLASS:
        *static_cast<float*>(qxGetData(a.get())) = static_cast<float>(v);
        break;
    case qxINT8_CLASS:
        *static_cast<std::int8_t*>(qxGetData(a.get())) = static_cast<std::int8_t>(v);
        break;
    case qxUINT8_CLASS:
        *static_cast<std::uint8_t*>(qxGetData(a.get())) = static_cast<std::uint8_t>(v);
        break;
    case qxINT16_CLASS:
        *static_cast<std::int16_t*>(qxGetData(a.get())) = static_cast<std::int16_t>(v);
        break;
    case qxUINT16_CLASS:
        *static_cast<std::uint16_t*>(qxGetData(a.get())) = static_cast<std::uint16_t>(v);
        break;
    case qxINT32_CLASS:
        *static_cast<std::int32_t*>(qxGetData(a.get())) = static_cast<std::int32_t>(v);
        break;
    case qxUINT32_CLASS:
        *static_cast<std::uint32_t*>(qxGetData(a.get())) = static_cast<std::uint32_t>(v);
        break;
    case qxINT64_CLASS:
        *static_cast<std::int64_t*>(qxGetData(a.get())) = static_cast<std::int64_t>(v);
        break;
    case qxUINT64_CLASS:
        *static_cast<std::uint64_t*>(qxGetData(a.get())) = static_cast<std::uint64_t>(v);
        break;
    case qxLOGICAL_CLASS:
        *static_cast<qxLogical*>(qxGetData(a.get())) = v != 0;
        break;
    default:
        ADD_FAILURE() << "num: unsupported class";
    }
    return a;
}

// m-by-n double matrix from column-major values.
inline Array mat(qxSize m, qxSize n, std::initializer_list<double> values) {
    Array a(qxCreateNumericMatrix(m, n, qxDOUBLE_CLASS, qxREAL));
    EXPECT_EQ(values.size(), m * n);
    std::copy(values.begin(), values.end(), static_cast<double*>(qxGetData(a.get())));
    return a;
}

inline Array str(const std::string& utf8) {
    return matrix::create(fl::i18n::to_ustring(utf8));
}

inline std::vector<double> values(const qxArray* a) {
    std::vector<double> out;
    if (qxGetClassID(a) != qxDOUBLE_CLASS || !qxGetData(a)) return out;
    const auto* d = static_cast<const double*>(qxGetData(a));
    return std::vector<double>(d, d + qxGetNumberOfElements(a));
}

inline double scalar(const qxArray* a) {
    EXPECT_EQ(qxGetClassID(a), qxDOUBLE_CLASS);
    EXPECT_TRUE(qxIsScalar(a));
    return qxGetData(a) ? *static_cast<const double*>(qxGetData(a)) : -12345;
}

inline bool logicalValue(const qxArray* a) {
    EXPECT_EQ(qxGetClassID(a), qxLOGICAL_CLASS);
    EXPECT_TRUE(qxIsScalar(a));
    return qxGetData(a) && *static_cast<const qxLogical*>(qxGetData(a)) != 0;
}

class FnTest : public ::testing::Test {
protected:
    void SetUp() override {
        live_ = qxLiveArrayCount();
        ctx_ = std::make_unique<TestContext>();
    }
    void TearDown() override {
        ctx_.reset();  // the workspace and objects hold arrays too
        EXPECT_EQ(qxLiveArrayCount(), live_) << "arrays left alive";
    }

    TestContext& ctx() { return *ctx_; }

    // Calls through the registry as the evaluator does.  Arguments are
    // borrowed; the caller keeps them alive.
    Results call(const std::string& name, int nargout, std::initializer_list<const qxArray*> args) {
        return veldra::engine::FunctionRegistry::builtin().call(*ctx_, name, nargout, Args(args));
    }
    Array call1(const std::string& name, std::initializer_list<const qxArray*> args) {
        Results r = call(name, 1, args);
        EXPECT_EQ(r.size(), 1u) << name;
        return r.empty() ? nullptr : std::move(r[0]);
    }

    // The identifier of the ExecutionFailure a call throws, "" when none.
    template <class F>
    std::string failureOf(F&& f) {
        try {
            f();
        } catch (const veldra::engine::ExecutionFailure& e) {
            EXPECT_NE(std::string(e.what()), "");
            return e.identifier().empty() ? "<empty>" : e.identifier();
        }
        return "";
    }
    std::string failureOfCall(const std::string& name, int nargout, std::initializer_list<const qxArray*> args) {
        return failureOf([&] { call(name, nargout, args); });
    }

    std::unique_ptr<TestContext> ctx_;

private:
    std::size_t live_ = 0;
};

}  // namespace fntest
