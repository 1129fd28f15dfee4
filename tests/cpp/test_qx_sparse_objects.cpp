// Sparse matrices, function values, object arrays and element references.
#include "test_qx_support.hpp"

#include <qx/block.hpp>
#include <qx/matrix.hpp>
#include <qx/vdutil.hpp>

#include <atomic>
#include <limits>
#include <vector>

namespace {

using Ptr = matrix::unique_array_ptr;

struct SparseCase {
    bool logical;
    qxComplexity complexity;
    qxSize nzmax;
    qxSize expectedNzmax;
    std::size_t elementSize;
};

class SparseTest : public QxParamTest<SparseCase> {};

TEST_P(SparseTest, HasCompressedColumnBlocks) {
    const auto& c = GetParam();
    Ptr a(c.logical ? qxCreateSparseLogicalMatrix(4, 3, c.nzmax) : qxCreateSparse(4, 3, c.nzmax, c.complexity));
    ASSERT_TRUE(a);
    EXPECT_TRUE(qxIsSparse(a.get()));
    EXPECT_EQ(qxGetClassID(a.get()), c.logical ? qxLOGICAL_CLASS : qxDOUBLE_CLASS);
    EXPECT_EQ(qxIsComplex(a.get()), c.complexity == qxCOMPLEX);
    EXPECT_EQ(qxGetM(a.get()), 4u);
    EXPECT_EQ(qxGetN(a.get()), 3u);
    EXPECT_EQ(qxGetNzmax(a.get()), c.expectedNzmax);
    EXPECT_EQ(qxGetElementSize(a.get()), c.elementSize);
    qxSize* jc = qxGetJc(a.get());
    qxSize* ir = qxGetIr(a.get());
    ASSERT_NE(jc, nullptr);
    ASSERT_NE(ir, nullptr);
    for (int j = 0; j <= 3; ++j) EXPECT_EQ(jc[j], 0u);
    // Fill to capacity: the last slot of every block is writable.
    ir[c.expectedNzmax - 1] = 3;
    jc[3] = c.expectedNzmax;
    auto* values = static_cast<unsigned char*>(qxGetData(a.get()));
    values[c.expectedNzmax * c.elementSize - 1] = 1;
    if (c.complexity == qxCOMPLEX) static_cast<double*>(qxGetImagData(a.get()))[c.expectedNzmax - 1] = 2.0;

    Ptr copy(matrix::detail::shared_copy(a.get()));
    EXPECT_TRUE(qxIsSparse(copy.get()));
    EXPECT_EQ(qxGetIr(copy.get()), ir);
    EXPECT_EQ(qxGetJc(copy.get()), jc);
    EXPECT_EQ(qxGetNzmax(copy.get()), c.expectedNzmax);
    const qxSize reshaped[] = {3, 4};
    EXPECT_FALSE(qxSetDimensions(copy.get(), reshaped, 2));
}

INSTANTIATE_TEST_SUITE_P(Kinds, SparseTest,
                         ::testing::Values(SparseCase{false, qxREAL, 5, 5, 8}, SparseCase{false, qxCOMPLEX, 2, 2, 8},
                                           SparseCase{false, qxREAL, 0, 1, 8}, SparseCase{true, qxREAL, 7, 7, 1},
                                           SparseCase{true, qxREAL, 0, 1, 1}));

class SparseLimitsTest : public QxTest {};

TEST_F(SparseLimitsTest, HugeSizesReturnNull) {
    constexpr qxSize kMax = std::numeric_limits<qxSize>::max();
    EXPECT_EQ(qxCreateSparse(1ull << 40, 1ull << 40, 1, qxREAL), nullptr);  // m*n overflows
    EXPECT_EQ(qxCreateSparse(1, kMax, 1, qxREAL), nullptr);                 // n + 1 overflows
    EXPECT_EQ(qxCreateSparse(10, 10, kMax / 4, qxREAL), nullptr);
    EXPECT_EQ(qxCreateSparseLogicalMatrix(10, 10, 1ull << 55), nullptr);
    EXPECT_EQ(qxCreateSparse(2, 2, 1, static_cast<qxComplexity>(3)), nullptr);
    // A large but empty sparse matrix only needs its column starts.
    Ptr wide(qxCreateSparse(1ull << 40, 1000, 1, qxREAL));
    EXPECT_TRUE(wide);
}

class FunctionTest : public QxTest {};

TEST_F(FunctionTest, HoldsACopyOfTheName) {
    std::string name = "pkg.solve";
    Ptr f(qxCreateFunctionHandle(name.c_str()));
    ASSERT_TRUE(f);
    name = "other";
    EXPECT_EQ(qxGetClassID(f.get()), qxFUNCTION_CLASS);
    EXPECT_TRUE(qxIsScalar(f.get()));
    EXPECT_STREQ(qxGetFunctionName(f.get()), "pkg.solve");
    EXPECT_EQ(qxGetData(f.get()), nullptr);
    Ptr copy(matrix::detail::shared_copy(f.get()));
    EXPECT_STREQ(qxGetFunctionName(copy.get()), "pkg.solve");
    EXPECT_EQ(qxCreateFunctionHandle(nullptr), nullptr);
    EXPECT_EQ(qxCreateFunctionHandle(""), nullptr);
}

class TestSession : public qx::ObjectSession {
public:
    explicit TestSession(std::uint64_t key) : key_(key) {}
    bool alive() const noexcept override { return alive_; }
    std::uint64_t key() const noexcept override { return key_; }
    std::atomic<bool> alive_{true};

private:
    std::uint64_t key_;
};

class ObjectTest : public QxTest {
protected:
    std::shared_ptr<TestSession> session_ = std::make_shared<TestSession>(77);
};

TEST_F(ObjectTest, HoldsIdsAndSession) {
    const qxSize dims[] = {2, 3};
    const std::uint64_t ids[] = {10, 11, 12, 13, 14, 15};
    Ptr a(qx::createObjectArray(2, dims, ids, session_));
    ASSERT_TRUE(a);
    EXPECT_EQ(qxGetClassID(a.get()), qxOBJECT_CLASS);
    EXPECT_EQ(qx::objectIds(a.get())[5], 15u);
    EXPECT_NE(qx::objectIds(a.get()), ids);  // copied
    EXPECT_EQ(qx::objectSession(a.get())->key(), 77u);
    EXPECT_EQ(qxGetData(a.get()), nullptr);
    EXPECT_TRUE(vdutil::matrixref::refIsRef(a.get()));

    Ptr copy(matrix::detail::shared_copy(a.get()));
    EXPECT_TRUE(vdutil::matrixref::refIsRef(copy.get()));
    EXPECT_EQ(qx::objectIds(copy.get())[0], 10u);

    session_->alive_ = false;  // a dead session makes no reference
    EXPECT_FALSE(vdutil::matrixref::refIsRef(a.get()));
    EXPECT_EQ(vdutil::matrixref::refElementIndexRef(a.get(), {0, 0}), nullptr);
}

TEST_F(ObjectTest, NotReferences) {
    const qxSize dims[] = {1, 2};
    const std::uint64_t ids[] = {1, 2};
    Ptr noSession(qx::createObjectArray(2, dims, ids, nullptr));
    ASSERT_TRUE(noSession);
    EXPECT_FALSE(vdutil::matrixref::refIsRef(noSession.get()));
    EXPECT_EQ(vdutil::matrixref::refElementIndexRef(noSession.get(), {0, 1}), nullptr);
    Ptr d(qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, qxREAL));
    EXPECT_FALSE(vdutil::matrixref::refIsRef(d.get()));
    EXPECT_FALSE(vdutil::matrixref::refIsRef(nullptr));
    EXPECT_EQ(vdutil::matrixref::refElementIndexRef(nullptr, {0}), nullptr);
    EXPECT_EQ(qx::objectIds(d.get()), nullptr);
    EXPECT_EQ(qx::objectSession(d.get()), nullptr);
    // Elements without ids cannot be made.
    EXPECT_EQ(qx::createObjectArray(2, dims, nullptr, session_), nullptr);
    const qxSize none[] = {0, 3};
    Ptr empty(qx::createObjectArray(2, none, nullptr, session_));
    EXPECT_TRUE(empty);
    EXPECT_EQ(qx::objectIds(empty.get()), nullptr);
}

struct IndexCase {
    std::vector<qxSize> indices;
    bool ok;
    std::uint64_t id;
};

class ElementRefTest : public QxParamTest<IndexCase> {};

TEST_P(ElementRefTest, ReferencesOneElementColumnMajor) {
    const auto& c = GetParam();
    auto session = std::make_shared<TestSession>(5);
    const qxSize dims[] = {2, 3, 4};
    std::vector<std::uint64_t> ids(24);
    for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = 100 + i;
    Ptr a(qx::createObjectArray(3, dims, ids.data(), session));
    Ptr ref(vdutil::matrixref::refElementIndexRef(a.get(), c.indices));
    ASSERT_EQ(static_cast<bool>(ref), c.ok);
    if (!c.ok) return;
    EXPECT_TRUE(qxIsScalar(ref.get()));
    EXPECT_EQ(qx::objectIds(ref.get())[0], c.id);
    EXPECT_EQ(qx::objectSession(ref.get()), qx::objectSession(a.get()));
    EXPECT_TRUE(vdutil::matrixref::refIsRef(ref.get()));
    a.reset();  // the element reference outlives its source
    EXPECT_TRUE(vdutil::matrixref::refIsRef(ref.get()));
}

INSTANTIATE_TEST_SUITE_P(Indices, ElementRefTest,
                         ::testing::Values(IndexCase{{0, 0, 0}, true, 100}, IndexCase{{1, 0, 0}, true, 101},
                                           IndexCase{{0, 1, 0}, true, 102}, IndexCase{{1, 2, 3}, true, 123},
                                           IndexCase{{0, 0, 1}, true, 106}, IndexCase{{2, 0, 0}, false, 0},
                                           IndexCase{{0, 3, 0}, false, 0}, IndexCase{{0, 0, 4}, false, 0},
                                           IndexCase{{0, 0}, false, 0}, IndexCase{{0, 0, 0, 0}, false, 0},
                                           IndexCase{{}, false, 0}));

}  // namespace
