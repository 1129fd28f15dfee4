// Creation of numeric, logical and char arrays; shapes; size limits; bad arguments.
#include "test_qx_support.hpp"

#include <qx/matrix.hpp>

#include <cstring>
#include <limits>
#include <vector>

namespace {

using Ptr = matrix::unique_array_ptr;
constexpr qxSize kMax = std::numeric_limits<qxSize>::max();

struct ClassCase {
    qxClassID id;
    std::size_t elementSize;
    bool numeric;
};

class ClassTest : public QxParamTest<ClassCase> {};

TEST_P(ClassTest, CreatesZeroFilledArrayWithElementSize) {
    const auto c = GetParam();
    const qxSize dims[] = {3, 4};
    Ptr a(qxCreateNumericArray(2, dims, c.id, qxREAL));
    ASSERT_TRUE(a);
    EXPECT_EQ(qxGetClassID(a.get()), c.id);
    EXPECT_EQ(qxGetElementSize(a.get()), c.elementSize);
    EXPECT_EQ(qxIsNumeric(a.get()), c.numeric);
    EXPECT_FALSE(qxIsComplex(a.get()));
    EXPECT_FALSE(qxIsSparse(a.get()));
    EXPECT_EQ(qxGetNumberOfElements(a.get()), 12u);
    EXPECT_EQ(qxGetImagData(a.get()), nullptr);
    const auto* bytes = static_cast<const unsigned char*>(qxGetData(a.get()));
    ASSERT_NE(bytes, nullptr);
    for (std::size_t i = 0; i < 12 * c.elementSize; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST_P(ClassTest, ComplexHasSeparateImaginaryBlock) {
    const auto c = GetParam();
    Ptr a(qxCreateNumericMatrix(2, 5, c.id, qxCOMPLEX));
    if (!c.numeric) {  // logical cannot be complex
        EXPECT_FALSE(a);
        return;
    }
    ASSERT_TRUE(a);
    EXPECT_TRUE(qxIsComplex(a.get()));
    ASSERT_NE(qxGetImagData(a.get()), nullptr);
    EXPECT_NE(qxGetImagData(a.get()), qxGetData(a.get()));
    // Writing the last element of both blocks must stay inside them.
    std::memset(qxGetData(a.get()), 0xAB, 10 * c.elementSize);
    std::memset(qxGetImagData(a.get()), 0xCD, 10 * c.elementSize);
    EXPECT_EQ(static_cast<unsigned char*>(qxGetData(a.get()))[10 * c.elementSize - 1], 0xAB);
}

INSTANTIATE_TEST_SUITE_P(AllClasses, ClassTest,
                         ::testing::Values(ClassCase{qxLOGICAL_CLASS, 1, false}, ClassCase{qxDOUBLE_CLASS, 8, true},
                                           ClassCase{qxSINGLE_CLASS, 4, true}, ClassCase{qxINT8_CLASS, 1, true},
                                           ClassCase{qxUINT8_CLASS, 1, true}, ClassCase{qxINT16_CLASS, 2, true},
                                           ClassCase{qxUINT16_CLASS, 2, true}, ClassCase{qxINT32_CLASS, 4, true},
                                           ClassCase{qxUINT32_CLASS, 4, true}, ClassCase{qxINT64_CLASS, 8, true},
                                           ClassCase{qxUINT64_CLASS, 8, true}));

class CreateTest : public QxTest {};

TEST_F(CreateTest, ClassesWithoutNumericCreationAreRefused) {
    for (qxClassID id : {qxUNKNOWN_CLASS, qxCELL_CLASS, qxSTRUCT_CLASS, qxCHAR_CLASS, qxVOID_CLASS, qxFUNCTION_CLASS,
                         qxOBJECT_CLASS, static_cast<qxClassID>(99), static_cast<qxClassID>(-1)}) {
        EXPECT_EQ(qxCreateNumericMatrix(1, 1, id, qxREAL), nullptr) << id;
    }
    EXPECT_EQ(qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, static_cast<qxComplexity>(7)), nullptr);
}

struct ShapeCase {
    std::vector<qxSize> in;
    std::vector<qxSize> out;
    qxSize numel;
    qxSize n;
};

class ShapeTest : public QxParamTest<ShapeCase> {};

TEST_P(ShapeTest, PadsAndDropsDimensions) {
    const auto& c = GetParam();
    Ptr a(qxCreateNumericArray(c.in.size(), c.in.data(), qxDOUBLE_CLASS, qxREAL));
    ASSERT_TRUE(a);
    EXPECT_EQ(matrix::get_dimensions(a.get()), c.out);
    EXPECT_EQ(qxGetNumberOfElements(a.get()), c.numel);
    EXPECT_EQ(qxGetM(a.get()), c.out[0]);
    EXPECT_EQ(qxGetN(a.get()), c.n);
    EXPECT_EQ(qxIsEmpty(a.get()), c.numel == 0);
    EXPECT_EQ(qxIsScalar(a.get()), c.out == std::vector<qxSize>({1, 1}));
    EXPECT_EQ(qxGetData(a.get()) == nullptr, c.numel == 0);

    // The same shapes hold for every kind of array.
    Ptr cell(qxCreateCellArray(c.in.size(), c.in.data()));
    Ptr chars(qxCreateCharArray(c.in.size(), c.in.data()));
    Ptr st(qxCreateStructArray(c.in.size(), c.in.data(), 0, nullptr));
    for (const Ptr* p : {&cell, &chars, &st}) {
        ASSERT_TRUE(*p);
        EXPECT_EQ(matrix::get_dimensions(p->get()), c.out);
        EXPECT_EQ(qxGetNumberOfElements(p->get()), c.numel);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ShapeTest,
                         ::testing::Values(ShapeCase{{}, {0, 0}, 0, 0}, ShapeCase{{5}, {5, 1}, 5, 1},
                                           ShapeCase{{2, 3}, {2, 3}, 6, 3}, ShapeCase{{2, 3, 1}, {2, 3}, 6, 3},
                                           ShapeCase{{2, 3, 1, 1}, {2, 3}, 6, 3}, ShapeCase{{1, 1, 1}, {1, 1}, 1, 1},
                                           ShapeCase{{2, 1, 4}, {2, 1, 4}, 8, 4},
                                           ShapeCase{{2, 3, 1, 2}, {2, 3, 1, 2}, 12, 6},
                                           ShapeCase{{0, 3}, {0, 3}, 0, 3}, ShapeCase{{4, 0}, {4, 0}, 0, 0},
                                           ShapeCase{{1, 1}, {1, 1}, 1, 1}, ShapeCase{{2, 2, 0}, {2, 2, 0}, 0, 0}));

TEST_F(CreateTest, OverflowingOrHugeSizesReturnNull) {
    const std::vector<std::vector<qxSize>> bad = {
        {kMax, 2},       {1ull << 32, 1ull << 32}, {1ull << 40, 1ull << 40, 1ull << 40},
        {1ull << 61, 1},  // element count fits, bytes (8 each) do not
        {1ull << 50, 1},  // bytes fit in 64 bits but no allocation can serve them
    };
    for (const auto& d : bad) {
        EXPECT_EQ(qxCreateNumericArray(d.size(), d.data(), qxDOUBLE_CLASS, qxCOMPLEX), nullptr);
        EXPECT_EQ(qxCreateCharArray(d.size(), d.data()), nullptr);
        EXPECT_EQ(qxCreateCellArray(d.size(), d.data()), nullptr);
        const char* f[] = {"a"};
        EXPECT_EQ(qxCreateStructArray(d.size(), d.data(), 1, f), nullptr);
    }
    // Empty arrays with huge other dimensions need no memory.
    Ptr empty(qxCreateNumericMatrix(0, kMax, qxDOUBLE_CLASS, qxREAL));
    ASSERT_TRUE(empty);
    EXPECT_EQ(qxGetN(empty.get()), kMax);
    EXPECT_EQ(qxGetNumberOfElements(empty.get()), 0u);
    // ... but their non-zero dimensions must still multiply within range.
    const qxSize d[] = {0, 1ull << 40, 1ull << 40};
    EXPECT_EQ(qxCreateNumericArray(3, d, qxDOUBLE_CLASS, qxREAL), nullptr);
}

TEST_F(CreateTest, NullArgumentsAreTolerated) {
    EXPECT_EQ(qxCreateNumericArray(2, nullptr, qxDOUBLE_CLASS, qxREAL), nullptr);
    EXPECT_EQ(qxCreateCharArray(3, nullptr), nullptr);
    EXPECT_EQ(qxCreateCellArray(1, nullptr), nullptr);
    Ptr zero(qxCreateNumericArray(0, nullptr, qxDOUBLE_CLASS, qxREAL));
    ASSERT_TRUE(zero);
    EXPECT_EQ(matrix::get_dimensions(zero.get()), (std::vector<qxSize>{0, 0}));

    qxDestroyArray(nullptr);
    EXPECT_EQ(qxGetClassID(nullptr), qxUNKNOWN_CLASS);
    EXPECT_FALSE(qxIsSparse(nullptr) || qxIsComplex(nullptr) || qxIsNumeric(nullptr) || qxIsEmpty(nullptr) ||
                 qxIsScalar(nullptr));
    EXPECT_EQ(qxGetNumberOfDimensions(nullptr), 0u);
    EXPECT_EQ(qxGetDimensions(nullptr), nullptr);
    EXPECT_EQ(qxGetM(nullptr) + qxGetN(nullptr) + qxGetNumberOfElements(nullptr) + qxGetElementSize(nullptr) +
                  qxGetNzmax(nullptr),
              0u);
    EXPECT_EQ(qxGetData(nullptr), nullptr);
    EXPECT_EQ(qxGetImagData(nullptr), nullptr);
    EXPECT_EQ(qxGetIr(nullptr), nullptr);
    EXPECT_EQ(qxGetJc(nullptr), nullptr);
    EXPECT_EQ(qxGetCell(nullptr, 0), nullptr);
    EXPECT_FALSE(qxSetCell(nullptr, 0, nullptr));
    EXPECT_EQ(qxGetNumberOfFields(nullptr), 0);
    EXPECT_EQ(qxGetFieldNameByNumber(nullptr, 0), nullptr);
    EXPECT_EQ(qxGetFieldNumber(nullptr, "a"), -1);
    EXPECT_EQ(qxGetFieldByNumber(nullptr, 0, 0), nullptr);
    EXPECT_FALSE(qxSetFieldByNumber(nullptr, 0, 0, nullptr));
    EXPECT_EQ(qxAddField(nullptr, "a"), -1);
    EXPECT_EQ(qxGetFunctionName(nullptr), nullptr);
    EXPECT_FALSE(qxSetDimensions(nullptr, nullptr, 0));
    EXPECT_TRUE(matrix::get_dimensions(nullptr).empty());
    EXPECT_EQ(matrix::detail::shared_copy(nullptr), nullptr);
}

TEST_F(CreateTest, WrongClassAccessorsReturnNothing) {
    Ptr d(qxCreateNumericMatrix(2, 2, qxDOUBLE_CLASS, qxREAL));
    Ptr cell(qxCreateCellMatrix(1, 2));
    EXPECT_EQ(qxGetCell(d.get(), 0), nullptr);
    EXPECT_FALSE(qxSetCell(d.get(), 0, qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, qxREAL)));
    EXPECT_EQ(qxGetNumberOfFields(d.get()), 0);
    EXPECT_EQ(qxGetFieldByNumber(cell.get(), 0, 0), nullptr);
    EXPECT_FALSE(qxSetFieldByNumber(cell.get(), 0, 0, qxCreateCellMatrix(0, 0)));
    EXPECT_EQ(qxAddField(d.get(), "x"), -1);
    EXPECT_EQ(qxGetIr(d.get()), nullptr);
    EXPECT_EQ(qxGetJc(d.get()), nullptr);
    EXPECT_EQ(qxGetFunctionName(d.get()), nullptr);
    EXPECT_EQ(qxGetData(cell.get()), nullptr);
    EXPECT_EQ(qxGetElementSize(cell.get()), 0u);
    EXPECT_TRUE(matrix::get_ustring(d.get()).empty());
}

class ReshapeTest : public QxParamTest<ReshapeCase> {};

TEST_P(ReshapeTest, KeepsElementCount) {
    const auto& c = GetParam();
    Ptr a(qxCreateNumericMatrix(2, 6, qxINT32_CLASS, qxREAL));
    static_cast<std::int32_t*>(qxGetData(a.get()))[11] = 42;
    EXPECT_EQ(qxSetDimensions(a.get(), c.to.data(), c.to.size()), c.ok);
    EXPECT_EQ(matrix::get_dimensions(a.get()), c.ok ? c.result : std::vector<qxSize>({2, 6}));
    EXPECT_EQ(static_cast<std::int32_t*>(qxGetData(a.get()))[11], 42);
}

INSTANTIATE_TEST_SUITE_P(Reshapes, ReshapeTest,
                         ::testing::Values(ReshapeCase{{3, 4}, true, {3, 4}}, ReshapeCase{{12}, true, {12, 1}},
                                           ReshapeCase{{2, 3, 2}, true, {2, 3, 2}},
                                           ReshapeCase{{12, 1, 1}, true, {12, 1}}, ReshapeCase{{5, 5}, false, {}},
                                           ReshapeCase{{}, false, {}}, ReshapeCase{{kMax, kMax}, false, {}}));

}  // namespace
