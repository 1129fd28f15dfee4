// Cells and structs: slot ownership, field names, shared copies of members.
#include "test_qx_support.hpp"

#include <qx/matrix.hpp>

#include <string>
#include <vector>

namespace {

using Ptr = matrix::unique_array_ptr;

qxArray* scalar(double v) {
    qxArray* a = qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, qxREAL);
    *static_cast<double*>(qxGetData(a)) = v;
    return a;
}

double valueOf(const qxArray* a) {
    return *static_cast<const double*>(qxGetData(a));
}

class CellTest : public QxTest {};

TEST_F(CellTest, SlotsStartUnsetAndOwnTheirValues) {
    const std::size_t base = qxLiveArrayCount();
    Ptr c(qxCreateCellMatrix(2, 3));
    ASSERT_TRUE(c);
    EXPECT_EQ(qxGetClassID(c.get()), qxCELL_CLASS);
    for (qxSize i = 0; i < 6; ++i) EXPECT_EQ(qxGetCell(c.get(), i), nullptr);

    ASSERT_TRUE(qxSetCell(c.get(), 4, scalar(1)));
    EXPECT_EQ(valueOf(qxGetCell(c.get(), 4)), 1.0);
    EXPECT_EQ(qxLiveArrayCount(), base + 2);

    // Replacing destroys the old value.
    ASSERT_TRUE(qxSetCell(c.get(), 4, scalar(2)));
    EXPECT_EQ(valueOf(qxGetCell(c.get(), 4)), 2.0);
    EXPECT_EQ(qxLiveArrayCount(), base + 2);

    // Setting the held value again keeps it alive.
    ASSERT_TRUE(qxSetCell(c.get(), 4, qxGetCell(c.get(), 4)));
    EXPECT_EQ(valueOf(qxGetCell(c.get(), 4)), 2.0);

    // Clearing a slot destroys what it held.
    ASSERT_TRUE(qxSetCell(c.get(), 4, nullptr));
    EXPECT_EQ(qxLiveArrayCount(), base + 1);
}

TEST_F(CellTest, FailedSetDestroysValue) {
    const std::size_t base = qxLiveArrayCount();
    Ptr c(qxCreateCellMatrix(1, 2));
    EXPECT_FALSE(qxSetCell(c.get(), 2, scalar(1)));
    EXPECT_FALSE(qxSetCell(c.get(), ~qxSize{0}, scalar(1)));
    EXPECT_EQ(qxGetCell(c.get(), 2), nullptr);
    EXPECT_EQ(qxLiveArrayCount(), base + 1);
    // A cell set into itself would own itself; it is refused and stays alive.
    EXPECT_FALSE(qxSetCell(c.get(), 0, c.get()));
    EXPECT_EQ(qxGetCell(c.get(), 0), nullptr);
}

TEST_F(CellTest, NestedCellsAreDestroyedWithTheirOwner) {
    const std::size_t base = qxLiveArrayCount();
    {
        Ptr outer(qxCreateCellMatrix(1, 2));
        qxArray* inner = qxCreateCellMatrix(1, 1);
        ASSERT_TRUE(qxSetCell(inner, 0, scalar(3)));
        ASSERT_TRUE(qxSetCell(outer.get(), 1, inner));
        EXPECT_EQ(qxLiveArrayCount(), base + 3);
    }
    EXPECT_EQ(qxLiveArrayCount(), base);
}

struct NameCase {
    std::string name;
    bool valid;
};

class NameTest : public QxParamTest<NameCase> {};

TEST_P(NameTest, ValidatesVariableNames) {
    const auto& c = GetParam();
    EXPECT_EQ(qxIsValidVariableName(c.name.c_str()), c.valid);
    const char* names[] = {c.name.c_str()};
    Ptr s(qxCreateStructMatrix(1, 1, 1, names));
    EXPECT_EQ(static_cast<bool>(s), c.valid);
    Ptr t(qxCreateStructMatrix(1, 1, 0, nullptr));
    EXPECT_EQ(qxAddField(t.get(), c.name.c_str()) == 0, c.valid);
}

INSTANTIATE_TEST_SUITE_P(Names, NameTest,
                         ::testing::Values(NameCase{"a", true}, NameCase{"Z9_x", true}, NameCase{"a_", true},
                                           NameCase{std::string(63, 'k'), true}, NameCase{std::string(64, 'k'), false},
                                           NameCase{"", false}, NameCase{"_a", false}, NameCase{"9a", false},
                                           NameCase{"a b", false}, NameCase{"a-b", false}, NameCase{"a.b", false},
                                           NameCase{"\xc3\xa9", false}));

class StructTest : public QxTest {};

TEST_F(StructTest, FieldsAreCopiedAndNumbered) {
    std::string first = "alpha";
    const char* names[] = {first.c_str(), "beta"};
    Ptr s(qxCreateStructMatrix(1, 2, 2, names));
    ASSERT_TRUE(s);
    first = "gamma";  // the struct keeps its own copy
    EXPECT_EQ(qxGetNumberOfFields(s.get()), 2);
    EXPECT_STREQ(qxGetFieldNameByNumber(s.get(), 0), "alpha");
    EXPECT_EQ(matrix::get_struct_field_name_by_number(s.get(), 1), "beta");
    EXPECT_EQ(matrix::get_struct_field_name_by_number(s.get(), 2), "");
    EXPECT_EQ(qxGetFieldNameByNumber(s.get(), -1), nullptr);
    EXPECT_EQ(qxGetFieldNumber(s.get(), "beta"), 1);
    EXPECT_EQ(qxGetFieldNumber(s.get(), "gamma"), -1);
    EXPECT_EQ(qxGetFieldNumber(s.get(), nullptr), -1);
    for (qxSize e = 0; e < 2; ++e)
        for (int f = 0; f < 2; ++f) EXPECT_EQ(qxGetFieldByNumber(s.get(), e, f), nullptr);
}

TEST_F(StructTest, BadFieldListsAreRefused) {
    const char* dup[] = {"a", "a"};
    const char* withNull[] = {"a", nullptr};
    EXPECT_EQ(qxCreateStructMatrix(1, 1, 2, dup), nullptr);
    EXPECT_EQ(qxCreateStructMatrix(1, 1, 2, withNull), nullptr);
    EXPECT_EQ(qxCreateStructMatrix(1, 1, 1, nullptr), nullptr);
    EXPECT_EQ(qxCreateStructMatrix(1, 1, -1, dup), nullptr);
}

TEST_F(StructTest, SetFieldOwnsAndReplaces) {
    const std::size_t base = qxLiveArrayCount();
    const char* names[] = {"x", "y"};
    Ptr s(qxCreateStructMatrix(2, 1, 2, names));
    ASSERT_TRUE(qxSetFieldByNumber(s.get(), 1, 0, scalar(10)));
    ASSERT_TRUE(qxSetFieldByNumber(s.get(), 0, 1, scalar(20)));
    EXPECT_EQ(valueOf(matrix::get_struct_field_by_number(s.get(), 1, 0)), 10.0);
    EXPECT_EQ(valueOf(qxGetFieldByNumber(s.get(), 0, 1)), 20.0);
    EXPECT_EQ(qxGetFieldByNumber(s.get(), 0, 0), nullptr);
    ASSERT_TRUE(qxSetFieldByNumber(s.get(), 1, 0, scalar(11)));
    EXPECT_EQ(qxLiveArrayCount(), base + 3);
    // Out-of-range element or field: refused, value destroyed.
    EXPECT_FALSE(qxSetFieldByNumber(s.get(), 2, 0, scalar(0)));
    EXPECT_FALSE(qxSetFieldByNumber(s.get(), 0, 2, scalar(0)));
    EXPECT_FALSE(qxSetFieldByNumber(s.get(), 0, -1, scalar(0)));
    EXPECT_EQ(qxLiveArrayCount(), base + 3);
}

TEST_F(StructTest, AddFieldKeepsExistingValues) {
    const char* names[] = {"a", "b"};
    Ptr s(qxCreateStructMatrix(1, 3, 2, names));
    for (qxSize e = 0; e < 3; ++e)
        for (int f = 0; f < 2; ++f) ASSERT_TRUE(qxSetFieldByNumber(s.get(), e, f, scalar(10.0 * e + f)));
    const char* name0 = qxGetFieldNameByNumber(s.get(), 0);
    EXPECT_EQ(qxAddField(s.get(), "c"), 2);
    EXPECT_EQ(qxAddField(s.get(), "a"), -1);
    EXPECT_EQ(qxAddField(s.get(), "not valid"), -1);
    EXPECT_EQ(qxGetNumberOfFields(s.get()), 3);
    EXPECT_STREQ(name0, "a");  // earlier names stay where they were
    for (qxSize e = 0; e < 3; ++e) {
        for (int f = 0; f < 2; ++f) EXPECT_EQ(valueOf(qxGetFieldByNumber(s.get(), e, f)), 10.0 * e + f);
        EXPECT_EQ(qxGetFieldByNumber(s.get(), e, 2), nullptr);
    }
}

TEST_F(StructTest, EmptyStructArrayStillHasFields) {
    const char* names[] = {"a"};
    Ptr s(qxCreateStructMatrix(0, 0, 1, names));
    ASSERT_TRUE(s);
    EXPECT_EQ(qxGetNumberOfFields(s.get()), 1);
    EXPECT_EQ(qxAddField(s.get(), "b"), 1);
    EXPECT_FALSE(qxSetFieldByNumber(s.get(), 0, 0, scalar(1)));
}

TEST_F(StructTest, SharedCopyCopiesMembersAndSharesTheirData) {
    const std::size_t base = qxLiveArrayCount();
    const char* names[] = {"v"};
    Ptr s(qxCreateStructMatrix(1, 1, 1, names));
    qxArray* cell = qxCreateCellMatrix(1, 3);
    ASSERT_TRUE(qxSetCell(cell, 1, scalar(5)));
    qxArray* vector = qxCreateNumericMatrix(1, 4, qxDOUBLE_CLASS, qxREAL);
    static_cast<double*>(qxGetData(vector))[3] = 6;
    ASSERT_TRUE(qxSetCell(cell, 2, vector));
    ASSERT_TRUE(qxSetFieldByNumber(s.get(), 0, 0, cell));
    EXPECT_EQ(qxLiveArrayCount(), base + 4);

    Ptr copy(matrix::detail::shared_copy(s.get()));
    EXPECT_EQ(qxLiveArrayCount(), base + 8);
    const qxArray* copiedCell = qxGetFieldByNumber(copy.get(), 0, 0);
    ASSERT_NE(copiedCell, nullptr);
    EXPECT_NE(copiedCell, cell);
    EXPECT_EQ(qxGetCell(copiedCell, 0), nullptr);
    // A scalar's element is in its record: the copy has its own.
    const qxArray* copiedScalar = qxGetCell(copiedCell, 1);
    EXPECT_NE(copiedScalar, qxGetCell(cell, 1));
    EXPECT_NE(qxGetData(copiedScalar), qxGetData(qxGetCell(cell, 1)));
    EXPECT_EQ(valueOf(copiedScalar), 5.0);
    // Larger element data is shared.
    const qxArray* copiedVector = qxGetCell(copiedCell, 2);
    EXPECT_NE(copiedVector, vector);
    EXPECT_EQ(qxGetData(copiedVector), qxGetData(vector));
    EXPECT_EQ(matrix::get_struct_field_name_by_number(copy.get(), 0), "v");

    // The copy lives on alone.
    s.reset();
    EXPECT_EQ(qxLiveArrayCount(), base + 4);
    EXPECT_EQ(valueOf(qxGetCell(copiedCell, 1)), 5.0);
    EXPECT_EQ(static_cast<const double*>(qxGetData(copiedVector))[3], 6.0);
}

}  // namespace
