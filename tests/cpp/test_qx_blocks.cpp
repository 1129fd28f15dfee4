// The block allocator seam, block sharing, arrays over blocks, and threads.
#include "test_qx_support.hpp"

#include <qx/block.hpp>
#include <qx/matrix.hpp>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Ptr = matrix::unique_array_ptr;

class BlockTest : public CountingAllocatorTest {};

TEST_F(BlockTest, EveryElementBlockComesFromTheAllocator) {
    struct Case {
        qxArray* (*make)();
        int blocks;
        std::size_t bytes;
    };
    const Case cases[] = {
        {[] { return qxCreateNumericMatrix(3, 4, qxDOUBLE_CLASS, qxREAL); }, 1, 96},
        {[] { return qxCreateNumericMatrix(3, 4, qxSINGLE_CLASS, qxCOMPLEX); }, 2, 96},
        {[] { return qxCreateNumericMatrix(17, 1, qxLOGICAL_CLASS, qxREAL); }, 1, 17},
        {[] {
             const qxSize d[] = {3, 3};
             return qxCreateCharArray(2, d);
         },
         1, 18},
        {[] { return qxCreateNumericMatrix(0, 4, qxDOUBLE_CLASS, qxCOMPLEX); }, 0, 0},
        // Sparse: ir, jc, values (and imaginary values), however small.
        {[] { return qxCreateSparse(4, 2, 3, qxCOMPLEX); }, 4, 24 + 24 + 24 + 24},
        {[] { return qxCreateSparseLogicalMatrix(4, 2, 3); }, 3, 24 + 24 + 3},
        {[] { return qxCreateSparse(1, 1, 1, qxREAL); }, 3, 8 + 16 + 8},
        {[] { return matrix::create(u"hey there").release(); }, 1, 18},
        // At most 16 bytes of elements, real and imaginary parts together,
        // stay in the array record: no block.
        {[] { return qxCreateNumericMatrix(5, 1, qxLOGICAL_CLASS, qxREAL); }, 0, 0},
        {[] {
             const qxSize d[] = {2, 3};
             return qxCreateCharArray(2, d);
         },
         0, 0},
        {[] { return matrix::create(u"hey").release(); }, 0, 0},
        {[] { return qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, qxCOMPLEX); }, 0, 0},
        {[] { return qxCreateNumericMatrix(2, 1, qxUINT64_CLASS, qxREAL); }, 0, 0},
        {[] { return qxCreateNumericMatrix(2, 1, qxSINGLE_CLASS, qxCOMPLEX); }, 0, 0},
        {[] { return qxCreateNumericMatrix(3, 1, qxSINGLE_CLASS, qxCOMPLEX); }, 2, 24},
        {[] {
             const double v = 2;
             return qxCreateScalar(qxDOUBLE_CLASS, &v, &v);
         },
         0, 0},
        {[] { return qxCreateDoubleScalar(1.5); }, 0, 0},
    };
    for (const auto& c : cases) {
        counting_->calls = 0;
        counting_->bytesServed = 0;
        Ptr a(c.make());
        ASSERT_TRUE(a);
        EXPECT_EQ(counting_->calls.load(), c.blocks);
        EXPECT_EQ(counting_->bytesServed.load(), c.bytes);
        EXPECT_EQ(counting_->live.load(), c.blocks);
    }
}

TEST_F(BlockTest, AllocatorFailureGivesNull) {
    for (int mode = 0; mode < 3; ++mode) {
        counting_->fail = mode == 0;
        counting_->throwing = mode == 1;
        counting_->shortBlocks = mode == 2;
        EXPECT_EQ(qxCreateNumericMatrix(2, 2, qxDOUBLE_CLASS, qxCOMPLEX), nullptr) << mode;
        EXPECT_EQ(qxCreateSparse(2, 2, 2, qxREAL), nullptr) << mode;
        EXPECT_EQ(qxCreateSparse(1, 1, 1, qxREAL), nullptr) << mode;
        EXPECT_THROW(matrix::create(u"abcdefghi"), std::bad_alloc) << mode;
        EXPECT_THROW(matrix::detail::create_numeric(3, 1, qxDOUBLE_CLASS, qxREAL), std::bad_alloc);
        // Arrays small enough to live in their record never ask the allocator.
        Ptr text(matrix::create(u"abc"));
        Ptr one(matrix::detail::create_numeric(1, 1, qxDOUBLE_CLASS, qxREAL));
        EXPECT_TRUE(text && one) << mode;
    }
}

TEST_F(BlockTest, SharedCopySharesBlocks) {
    Ptr a(qxCreateNumericMatrix(3, 3, qxINT16_CLASS, qxCOMPLEX));
    const int calls = counting_->calls;
    Ptr b(matrix::detail::shared_copy(a.get()));
    EXPECT_EQ(counting_->calls.load(), calls);
    EXPECT_EQ(qxGetData(a.get()), qxGetData(b.get()));
    EXPECT_EQ(qxGetImagData(a.get()), qxGetImagData(b.get()));
    EXPECT_EQ(qx::realBlock(a.get()), qx::realBlock(b.get()));
    EXPECT_TRUE(qxIsComplex(b.get()));
    // Dimensions are per array.
    const qxSize flat[] = {9};
    ASSERT_TRUE(qxSetDimensions(b.get(), flat, 1));
    EXPECT_EQ(qxGetM(a.get()), 3u);
    // Blocks live as long as any array using them.
    a.reset();
    EXPECT_EQ(counting_->live.load(), 2);
    static_cast<std::int16_t*>(qxGetData(b.get()))[8] = 7;
    b.reset();
    EXPECT_EQ(counting_->live.load(), 0);
}

TEST_F(BlockTest, ArraysOverExistingBlocks) {
    auto re = counting_->allocate(6 * sizeof(float));
    auto im = counting_->allocate(6 * sizeof(float));
    static_cast<float*>(re->data())[5] = 1.5f;
    const qxSize dims[] = {2, 3, 1};
    Ptr a(qx::createArrayOverBlocks(3, dims, qxSINGLE_CLASS, re, im));
    ASSERT_TRUE(a);
    EXPECT_EQ(qxGetData(a.get()), re->data());
    EXPECT_TRUE(qxIsComplex(a.get()));
    EXPECT_EQ(qxGetNumberOfDimensions(a.get()), 2u);
    EXPECT_EQ(static_cast<float*>(qxGetData(a.get()))[5], 1.5f);
    EXPECT_EQ(qx::imagBlock(a.get()), im);

    Ptr logical(qx::createArrayOverBlocks(2, dims, qxLOGICAL_CLASS, re, nullptr));
    EXPECT_TRUE(logical);
    EXPECT_FALSE(qxIsComplex(logical.get()));

    // Refusals: block too small, imaginary block on a real-only class,
    // missing real block, classes without element blocks.
    const qxSize big[] = {4, 4};
    EXPECT_EQ(qx::createArrayOverBlocks(2, big, qxDOUBLE_CLASS, re, nullptr), nullptr);
    EXPECT_EQ(qx::createArrayOverBlocks(2, dims, qxCHAR_CLASS, re, im), nullptr);
    EXPECT_EQ(qx::createArrayOverBlocks(2, dims, qxLOGICAL_CLASS, re, im), nullptr);
    EXPECT_EQ(qx::createArrayOverBlocks(2, dims, qxINT8_CLASS, nullptr, nullptr), nullptr);
    EXPECT_EQ(qx::createArrayOverBlocks(2, dims, qxCELL_CLASS, re, nullptr), nullptr);
    EXPECT_EQ(qx::createArrayOverBlocks(2, dims, qxOBJECT_CLASS, re, nullptr), nullptr);
    const qxSize none[] = {0, 0};
    Ptr empty(qx::createArrayOverBlocks(2, none, qxDOUBLE_CLASS, nullptr, nullptr));
    EXPECT_TRUE(empty);
    EXPECT_EQ(qxGetData(empty.get()), nullptr);
}

TEST_F(BlockTest, NullAllocatorRestoresTheHeap) {
    qx::setBlockAllocator(nullptr);
    Ptr a(qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, qxREAL));
    EXPECT_TRUE(a);
    EXPECT_EQ(counting_->calls.load(), 0);
}

TEST(QxThreads, ConcurrentCreationCopyAndDestruction) {
    const std::size_t base = qxLiveArrayCount();
    auto previous = qx::blockAllocator();
    auto counting = std::make_shared<CountingAllocator>();
    qx::setBlockAllocator(counting);
    Ptr shared(qxCreateNumericMatrix(8, 8, qxDOUBLE_CLASS, qxCOMPLEX));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 400; ++i) {
                Ptr cell(qxCreateCellMatrix(1, 3));
                Ptr num(qxCreateNumericMatrix(i % 7 + 1, t + 1, qxUINT32_CLASS, qxREAL));
                if (!cell || !num) ++failures;
                static_cast<std::uint32_t*>(qxGetData(num.get()))[0] = static_cast<std::uint32_t>(i);
                qxSetCell(cell.get(), 0, num.release());
                qxSetCell(cell.get(), 1, matrix::detail::shared_copy(shared.get()));
                qxSetCell(cell.get(), 2, matrix::create(u"text").release());
                Ptr copy(matrix::detail::shared_copy(cell.get()));
                if (static_cast<std::uint32_t*>(qxGetData(qxGetCell(copy.get(), 0)))[0] !=
                    static_cast<std::uint32_t>(i))
                    ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    shared.reset();
    qx::setBlockAllocator(previous);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(qxLiveArrayCount(), base);
    EXPECT_EQ(counting->live.load(), 0);
}

TEST(QxScratch, CallocIsZeroedAndFreeable) {
    auto* p = static_cast<unsigned char*>(qxCalloc(16, 4));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0);
    qxFree(p);
    qxFree(nullptr);
    EXPECT_EQ(qxCalloc(std::size_t(-1), 16), nullptr);
}

}  // namespace
