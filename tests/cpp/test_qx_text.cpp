// Char arrays and the text helpers.
#include "test_qx_support.hpp"

#include <qx/matrix.hpp>

#include <string>
#include <vector>

namespace {

struct TextCase {
    std::u16string text;
    std::vector<qxSize> dims;
    std::string utf8;
};

class TextTest : public QxParamTest<TextCase> {};

TEST_P(TextTest, RoundTripsThroughCharArrays) {
    const auto& c = GetParam();
    matrix::unique_array_ptr a = matrix::create(c.text);
    ASSERT_TRUE(a);
    EXPECT_EQ(qxGetClassID(a.get()), qxCHAR_CLASS);
    EXPECT_EQ(qxGetElementSize(a.get()), 2u);
    EXPECT_EQ(matrix::get_dimensions(a.get()), c.dims);
    EXPECT_EQ(matrix::get_ustring(a.get()), c.text);
    EXPECT_EQ(matrix::get_string(a.get()), c.utf8);
}

INSTANTIATE_TEST_SUITE_P(Texts, TextTest,
                         ::testing::Values(TextCase{u"", {0, 0}, ""}, TextCase{u"a", {1, 1}, "a"},
                                           TextCase{u"abc", {1, 3}, "abc"},
                                           TextCase{u"\u00e9\u20ac", {1, 2}, "\xc3\xa9\xe2\x82\xac"},
                                           TextCase{u"\U0001F600", {1, 2}, "\xf0\x9f\x98\x80"},
                                           TextCase{std::u16string(1, u'\xD800') + u"x", {1, 2}, "\xef\xbf\xbdx"},
                                           TextCase{u"x" + std::u16string(1, u'\xDC00'), {1, 2}, "x\xef\xbf\xbd"},
                                           TextCase{std::u16string(u"a\0b", 3), {1, 3}, std::string("a\0b", 3)}));

class CharArrayTest : public QxTest {};

TEST_F(CharArrayTest, ColumnReadsInStorageOrder) {
    const qxSize dims[] = {3, 1};
    matrix::unique_array_ptr a(qxCreateCharArray(2, dims));
    ASSERT_TRUE(a);
    EXPECT_EQ(matrix::get_ustring(a.get()), std::u16string(3, u'\0'));
    auto* units = static_cast<qxChar*>(qxGetData(a.get()));
    units[0] = u'x';
    units[1] = u'y';
    units[2] = u'z';
    EXPECT_EQ(matrix::get_string(a.get()), "xyz");
}

TEST_F(CharArrayTest, NullTextOfNonZeroLengthThrows) {
    EXPECT_THROW(matrix::create(nullptr, 3), std::bad_alloc);
    EXPECT_TRUE(matrix::create(nullptr, 0));
}

}  // namespace
