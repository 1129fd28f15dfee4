// Arrays whose elements live in their record: scalars, short vectors and
// texts.  Their extent, copies, reshaping, destruction inside big cells, and
// the live-array count across threads.
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

struct SizeCase {
    qxClassID id;
    qxSize m, n;
    bool complex;
    bool inRecord;  // at most 16 bytes of elements, both parts together
};

std::ostream& operator<<(std::ostream& os, const SizeCase& c) {
    return os << "class " << c.id << " " << c.m << "x" << c.n << (c.complex ? " complex" : "");
}

qxArray* make(const SizeCase& c) {
    if (c.id == qxCHAR_CLASS) {
        const qxSize dims[] = {c.m, c.n};
        return qxCreateCharArray(2, dims);
    }
    return qxCreateNumericMatrix(c.m, c.n, c.id, c.complex ? qxCOMPLEX : qxREAL);
}

std::size_t partBytes(const qxArray* a) {
    return qxGetNumberOfElements(a) * qxGetElementSize(a);
}

// Fills both parts with distinct bytes; a part overlapping the other or
// running short shows in expectPattern.
void fillPattern(qxArray* a, unsigned char seed) {
    auto* re = static_cast<unsigned char*>(qxGetData(a));
    for (std::size_t i = 0; i < partBytes(a); ++i) re[i] = static_cast<unsigned char>(seed + i);
    if (auto* im = static_cast<unsigned char*>(qxGetImagData(a)))
        for (std::size_t i = 0; i < partBytes(a); ++i) im[i] = static_cast<unsigned char>(seed + 100 + i);
}

void expectPattern(const qxArray* a, unsigned char seed) {
    const auto* re = static_cast<const unsigned char*>(qxGetData(a));
    ASSERT_NE(re, nullptr);
    for (std::size_t i = 0; i < partBytes(a); ++i) ASSERT_EQ(re[i], static_cast<unsigned char>(seed + i)) << i;
    if (const auto* im = static_cast<const unsigned char*>(qxGetImagData(a))) {
        for (std::size_t i = 0; i < partBytes(a); ++i)
            ASSERT_EQ(im[i], static_cast<unsigned char>(seed + 100 + i)) << i;
    }
}

class SizeTest : public QxParamTest<SizeCase> {};

TEST_P(SizeTest, ElementsLiveInTheRecordUpToSixteenBytes) {
    const auto& c = GetParam();
    Ptr a(make(c));
    ASSERT_TRUE(a);
    EXPECT_EQ(qxIsComplex(a.get()), c.complex);
    EXPECT_EQ(qxIsScalar(a.get()), c.m == 1 && c.n == 1);
    EXPECT_EQ(qxGetM(a.get()), c.m);
    EXPECT_EQ(qxGetN(a.get()), c.n);
    // Zero-filled over the whole extent.
    for (const void* part : {qxGetData(a.get()), qxGetImagData(a.get())}) {
        if (!part) continue;
        const auto* bytes = static_cast<const unsigned char*>(part);
        for (std::size_t i = 0; i < partBytes(a.get()); ++i) ASSERT_EQ(bytes[i], 0) << i;
    }
    EXPECT_EQ(qxGetImagData(a.get()) != nullptr, c.complex);
    // Data in the record has no block; larger data keeps its blocks.
    EXPECT_EQ(qx::realBlock(a.get()) == nullptr, c.inRecord);
    EXPECT_EQ(qx::imagBlock(a.get()) == nullptr, c.inRecord || !c.complex);
    if (!c.inRecord) {
        EXPECT_EQ(qx::realBlock(a.get())->data(), qxGetData(a.get()));
    }
    fillPattern(a.get(), 1);
    expectPattern(a.get(), 1);
}

TEST_P(SizeTest, SharedCopyOwnsSmallDataAndSharesLarge) {
    const auto& c = GetParam();
    Ptr a(make(c));
    ASSERT_TRUE(a);
    fillPattern(a.get(), 7);
    Ptr copy(matrix::detail::shared_copy(a.get()));
    ASSERT_TRUE(copy);
    EXPECT_EQ(qxGetClassID(copy.get()), c.id);
    EXPECT_EQ(qxIsComplex(copy.get()), c.complex);
    EXPECT_EQ(matrix::get_dimensions(copy.get()), matrix::get_dimensions(a.get()));
    EXPECT_EQ(qxGetData(copy.get()) == qxGetData(a.get()), !c.inRecord);
    if (c.inRecord) {
        // The copy's bytes are its own: writes do not cross over.
        fillPattern(copy.get(), 50);
        expectPattern(a.get(), 7);
        fillPattern(copy.get(), 7);
    }
    // And outlive the source.
    a.reset();
    expectPattern(copy.get(), 7);
    Ptr second(matrix::detail::shared_copy(copy.get()));
    copy.reset();
    expectPattern(second.get(), 7);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SizeTest,
    ::testing::Values(SizeCase{qxDOUBLE_CLASS, 1, 1, false, true}, SizeCase{qxDOUBLE_CLASS, 1, 1, true, true},
                      SizeCase{qxDOUBLE_CLASS, 2, 1, false, true}, SizeCase{qxDOUBLE_CLASS, 3, 1, false, false},
                      SizeCase{qxDOUBLE_CLASS, 1, 2, true, false}, SizeCase{qxINT8_CLASS, 1, 16, false, true},
                      SizeCase{qxINT8_CLASS, 1, 17, false, false}, SizeCase{qxINT8_CLASS, 4, 2, true, true},
                      SizeCase{qxINT8_CLASS, 3, 3, true, false}, SizeCase{qxSINGLE_CLASS, 2, 1, true, true},
                      SizeCase{qxSINGLE_CLASS, 3, 1, true, false}, SizeCase{qxUINT16_CLASS, 2, 4, false, true},
                      SizeCase{qxUINT16_CLASS, 2, 4, true, false}, SizeCase{qxINT64_CLASS, 1, 1, true, true},
                      SizeCase{qxUINT32_CLASS, 1, 1, false, true}, SizeCase{qxINT8_CLASS, 1, 1, true, true},
                      SizeCase{qxINT16_CLASS, 3, 1, true, true}, SizeCase{qxSINGLE_CLASS, 1, 1, true, true},
                      SizeCase{qxLOGICAL_CLASS, 1, 1, false, true}, SizeCase{qxLOGICAL_CLASS, 4, 4, false, true},
                      SizeCase{qxLOGICAL_CLASS, 1, 17, false, false}, SizeCase{qxCHAR_CLASS, 1, 1, false, true},
                      SizeCase{qxCHAR_CLASS, 1, 8, false, true}, SizeCase{qxCHAR_CLASS, 1, 9, false, false}));

// ---- qxCreateScalar ------------------------------------------------------------

struct ScalarCase {
    qxClassID id;
    std::size_t size;
};

class ScalarTest : public QxParamTest<ScalarCase> {};

TEST_P(ScalarTest, HoldsItsValueInEveryClass) {
    const auto& c = GetParam();
    unsigned char re[8], im[8];
    for (std::size_t i = 0; i < 8; ++i) {
        re[i] = static_cast<unsigned char>(0xA0 + i);
        im[i] = static_cast<unsigned char>(0x50 + i);
    }
    for (bool complex : {false, true}) {
        Ptr a(qxCreateScalar(c.id, re, complex ? im : nullptr));
        if (complex && c.id == qxLOGICAL_CLASS) {  // logical is never complex
            EXPECT_FALSE(a);
            continue;
        }
        ASSERT_TRUE(a);
        EXPECT_EQ(qxGetClassID(a.get()), c.id);
        EXPECT_TRUE(qxIsScalar(a.get()));
        EXPECT_EQ(matrix::get_dimensions(a.get()), (std::vector<qxSize>{1, 1}));
        EXPECT_EQ(qxGetNumberOfElements(a.get()), 1u);
        EXPECT_EQ(qxIsComplex(a.get()), complex);
        EXPECT_EQ(qxGetElementSize(a.get()), c.size);
        EXPECT_EQ(std::memcmp(qxGetData(a.get()), re, c.size), 0);
        if (complex) {
            ASSERT_NE(qxGetImagData(a.get()), nullptr);
            EXPECT_EQ(std::memcmp(qxGetImagData(a.get()), im, c.size), 0);
        } else {
            EXPECT_EQ(qxGetImagData(a.get()), nullptr);
        }
        EXPECT_EQ(qx::realBlock(a.get()), nullptr);
    }
    // No value: a zero.
    Ptr zero(qxCreateScalar(c.id, nullptr, nullptr));
    ASSERT_TRUE(zero);
    const unsigned char none[8] = {};
    EXPECT_EQ(std::memcmp(qxGetData(zero.get()), none, c.size), 0);
}

INSTANTIATE_TEST_SUITE_P(AllClasses, ScalarTest,
                         ::testing::Values(ScalarCase{qxLOGICAL_CLASS, 1}, ScalarCase{qxDOUBLE_CLASS, 8},
                                           ScalarCase{qxSINGLE_CLASS, 4}, ScalarCase{qxINT8_CLASS, 1},
                                           ScalarCase{qxUINT8_CLASS, 1}, ScalarCase{qxINT16_CLASS, 2},
                                           ScalarCase{qxUINT16_CLASS, 2}, ScalarCase{qxINT32_CLASS, 4},
                                           ScalarCase{qxUINT32_CLASS, 4}, ScalarCase{qxINT64_CLASS, 8},
                                           ScalarCase{qxUINT64_CLASS, 8}));

class ScalarCreateTest : public QxTest {};

TEST_F(ScalarCreateTest, RefusesClassesWithoutNumericScalars) {
    const double v = 1;
    for (qxClassID id : {qxUNKNOWN_CLASS, qxCELL_CLASS, qxSTRUCT_CLASS, qxCHAR_CLASS, qxVOID_CLASS, qxFUNCTION_CLASS,
                         qxOBJECT_CLASS, static_cast<qxClassID>(99), static_cast<qxClassID>(-1)}) {
        EXPECT_EQ(qxCreateScalar(id, &v, nullptr), nullptr) << id;
    }
}

TEST_F(ScalarCreateTest, DoubleScalarMatchesTheGeneralPath) {
    for (double v : {0.0, -0.0, 1.5, -1e308, 4.9e-324}) {
        Ptr a(qxCreateDoubleScalar(v));
        Ptr b(matrix::detail::create_numeric(1, 1, qxDOUBLE_CLASS, qxREAL));
        *static_cast<double*>(qxGetData(b.get())) = v;
        ASSERT_TRUE(a);
        EXPECT_EQ(qxGetClassID(a.get()), qxDOUBLE_CLASS);
        EXPECT_FALSE(qxIsComplex(a.get()));
        EXPECT_TRUE(qxIsScalar(a.get()));
        EXPECT_EQ(std::memcmp(qxGetData(a.get()), qxGetData(b.get()), sizeof v), 0);
    }
}

// ---- reshaping ---------------------------------------------------------------

class SmallReshapeTest : public QxParamTest<ReshapeCase> {};

TEST_P(SmallReshapeTest, KeepsTheElementsInTheRecord) {
    const auto& c = GetParam();
    Ptr a(qxCreateNumericMatrix(1, 4, qxINT32_CLASS, qxREAL));  // 16 bytes: in the record
    auto* v = static_cast<std::int32_t*>(qxGetData(a.get()));
    for (int i = 0; i < 4; ++i) v[i] = 10 + i;
    EXPECT_EQ(qxSetDimensions(a.get(), c.to.data(), c.to.size()), c.ok);
    const std::vector<qxSize> dims = c.ok ? c.result : std::vector<qxSize>{1, 4};
    EXPECT_EQ(matrix::get_dimensions(a.get()), dims);
    EXPECT_EQ(qxGetData(a.get()), v);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(v[i], 10 + i);
    // A copy takes the shape along, and then goes its own way.
    Ptr copy(matrix::detail::shared_copy(a.get()));
    EXPECT_EQ(matrix::get_dimensions(copy.get()), dims);
    const qxSize flat[] = {4, 1};
    ASSERT_TRUE(qxSetDimensions(copy.get(), flat, 2));
    EXPECT_EQ(matrix::get_dimensions(a.get()), dims);
    EXPECT_EQ(static_cast<std::int32_t*>(qxGetData(copy.get()))[3], 13);
}

INSTANTIATE_TEST_SUITE_P(Reshapes, SmallReshapeTest,
                         ::testing::Values(ReshapeCase{{2, 2}, true, {2, 2}}, ReshapeCase{{4}, true, {4, 1}},
                                           ReshapeCase{{2, 1, 2}, true, {2, 1, 2}},
                                           ReshapeCase{{1, 1, 1, 4}, true, {1, 1, 1, 4}},
                                           ReshapeCase{{4, 1, 1}, true, {4, 1}}, ReshapeCase{{3, 1}, false, {}},
                                           ReshapeCase{{}, false, {}}));

TEST_F(ScalarCreateTest, ScalarsKeepTheirOnlyShape) {
    Ptr a(qxCreateDoubleScalar(3));
    const qxSize ones[] = {1, 1, 1, 1};
    EXPECT_TRUE(qxSetDimensions(a.get(), ones, 4));
    EXPECT_TRUE(qxSetDimensions(a.get(), ones, 1));
    EXPECT_EQ(matrix::get_dimensions(a.get()), (std::vector<qxSize>{1, 1}));
    const qxSize two[] = {2};
    const qxSize none[] = {0, 1};
    EXPECT_FALSE(qxSetDimensions(a.get(), two, 1));
    EXPECT_FALSE(qxSetDimensions(a.get(), none, 2));
    EXPECT_FALSE(qxSetDimensions(a.get(), nullptr, 0));
    EXPECT_EQ(*static_cast<double*>(qxGetData(a.get())), 3.0);
}

// ---- destruction -------------------------------------------------------------

class DestroyTest : public CountingAllocatorTest {};

TEST_F(DestroyTest, BigCellsOfScalarsAndOthersFreeEverything) {
    const std::size_t base = qxLiveArrayCount();
    constexpr qxSize kCount = 50000;
    Ptr cell(qxCreateCellMatrix(1, kCount));
    std::size_t made = 1;
    for (qxSize i = 0; i < kCount; ++i) {
        qxArray* member = nullptr;
        switch (i % 8) {
        case 0:
        case 1:
        case 2:
            member = qxCreateDoubleScalar(static_cast<double>(i));
            break;
        case 3: {
            const std::int64_t re = static_cast<std::int64_t>(i), im = -re;
            member = qxCreateScalar(qxINT64_CLASS, &re, &im);
            break;
        }
        case 4:
            member = qxCreateNumericMatrix(1, 3, qxDOUBLE_CLASS, qxCOMPLEX);
            break;  // blocks
        case 5: {
            const qxSize dims[] = {1, 1, 2};  // in the record, more than two dimensions
            member = qxCreateNumericArray(3, dims, qxINT8_CLASS, qxREAL);
            break;
        }
        case 6: {
            member = qxCreateCellMatrix(1, 2);
            qxSetCell(member, 1, qxCreateDoubleScalar(1));
            ++made;
            break;
        }
        case 7:
            continue;  // left unset
        }
        ASSERT_NE(member, nullptr) << i;
        ASSERT_TRUE(qxSetCell(cell.get(), i, member));
        ++made;
    }
    EXPECT_EQ(qxLiveArrayCount(), base + made);
    EXPECT_EQ(counting_->live.load(), static_cast<int>(2 * (kCount / 8)));
    // Replacing members frees the old ones.
    ASSERT_TRUE(qxSetCell(cell.get(), 0, qxCreateDoubleScalar(-1)));
    ASSERT_TRUE(qxSetCell(cell.get(), 4, nullptr));
    EXPECT_EQ(qxLiveArrayCount(), base + made - 1);
    EXPECT_EQ(*static_cast<double*>(qxGetData(qxGetCell(cell.get(), 0))), -1.0);
    EXPECT_EQ(*static_cast<std::int64_t*>(qxGetImagData(qxGetCell(cell.get(), 3))), -3);

    Ptr copy(matrix::detail::shared_copy(cell.get()));
    ASSERT_TRUE(copy);
    cell.reset();
    EXPECT_EQ(qxLiveArrayCount(), base + made - 1);
    EXPECT_EQ(*static_cast<double*>(qxGetData(qxGetCell(copy.get(), 8))), 8.0);
    copy.reset();
    EXPECT_EQ(qxLiveArrayCount(), base);
}

TEST_F(DestroyTest, StructFieldsOfScalars) {
    const std::size_t base = qxLiveArrayCount();
    const char* names[] = {"a", "b"};
    Ptr s(qxCreateStructMatrix(3, 1, 2, names));
    for (qxSize e = 0; e < 3; ++e) {
        ASSERT_TRUE(qxSetFieldByNumber(s.get(), e, 0, qxCreateDoubleScalar(static_cast<double>(e))));
        const qxLogical yes = 1;
        ASSERT_TRUE(qxSetFieldByNumber(s.get(), e, 1, qxCreateScalar(qxLOGICAL_CLASS, &yes, nullptr)));
    }
    ASSERT_EQ(qxAddField(s.get(), "c"), 2);
    ASSERT_TRUE(qxSetFieldByNumber(s.get(), 2, 2, qxCreateDoubleScalar(9)));
    EXPECT_EQ(qxLiveArrayCount(), base + 8);
    EXPECT_EQ(*static_cast<double*>(qxGetData(qxGetFieldByNumber(s.get(), 2, 0))), 2.0);
    s.reset();
    EXPECT_EQ(qxLiveArrayCount(), base);
}

// ---- the live count across threads -------------------------------------------

TEST(QxLiveCount, ExactAcrossThreadsThatComeAndGo) {
    const std::size_t base = qxLiveArrayCount();
    constexpr int kPerThread = 1000;
    std::vector<qxArray*> made(4 * kPerThread, nullptr);
    // Made in threads that end before the arrays are destroyed...
    std::vector<std::thread> makers;
    for (int t = 0; t < 4; ++t)
        makers.emplace_back([&made, t] {
            for (int i = 0; i < kPerThread; ++i) made[t * kPerThread + i] = qxCreateDoubleScalar(i);
        });
    for (auto& th : makers) th.join();
    EXPECT_EQ(qxLiveArrayCount(), base + made.size());
    // ... and destroyed in other threads, which end as well.
    std::vector<std::thread> destroyers;
    for (int t = 0; t < 2; ++t)
        destroyers.emplace_back([&made, t] {
            for (std::size_t i = t; i < made.size(); i += 2) qxDestroyArray(made[i]);
        });
    for (auto& th : destroyers) th.join();
    EXPECT_EQ(qxLiveArrayCount(), base);

    // Threads still running count too.
    std::atomic<bool> go{false}, done{false};
    std::atomic<int> ready{0};
    std::thread holder([&] {
        Ptr a(qxCreateDoubleScalar(1));
        Ptr b(qxCreateCellMatrix(1, 1));
        ready = 1;
        while (!go) std::this_thread::yield();
        a.reset();
        b.reset();
        done = true;
    });
    while (ready == 0) std::this_thread::yield();
    EXPECT_EQ(qxLiveArrayCount(), base + 2);
    go = true;
    while (!done) std::this_thread::yield();
    EXPECT_EQ(qxLiveArrayCount(), base);
    holder.join();
    EXPECT_EQ(qxLiveArrayCount(), base);
}

}  // namespace
