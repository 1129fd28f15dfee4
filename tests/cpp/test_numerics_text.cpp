// Text functions and struct fields.
#include "test_numerics_support.hpp"

#include <algorithm>
#include <limits>

namespace {

using namespace numtest;
using fntest::str;

class Text : public NumTest {
protected:
    std::string textOf(const Array& a) {
        EXPECT_EQ(qxGetClassID(a.get()), qxCHAR_CLASS);
        return matrix::get_string(a.get());
    }
    std::vector<std::string> cellTexts(const Array& c) {
        EXPECT_EQ(qxGetClassID(c.get()), qxCELL_CLASS);
        std::vector<std::string> out;
        for (qxSize i = 0; i < qxGetNumberOfElements(c.get()); ++i)
            out.push_back(matrix::get_string(qxGetCell(c.get(), i)));
        return out;
    }
};

TEST_F(Text, CaseAndWhitespace) {
    const struct {
        const char* fn;
        const char* in;
        const char* want;
    } cases[] = {
        {"upper", "Straße ÿ 1a", "STRASSE Ÿ 1A"}, {"lower", "ÀB Ω Ж", "àb ω ж"}, {"upper", "", ""},
        {"strip", " \t x y \n", "x y"},           {"strip", "   ", ""},          {"lower", "already", "already"},
    };
    for (const auto& c : cases) EXPECT_EQ(textOf(fn(c.fn, {str(c.in).get()})), c.want) << c.fn << " " << c.in;

    Array cell(qxCreateCellMatrix(1, 2));
    qxSetCell(cell.get(), 0, str("ab").release());
    qxSetCell(cell.get(), 1, str(" c ").release());
    EXPECT_EQ(cellTexts(fn("upper", {cell.get()})), (std::vector<std::string>{"AB", " C "}));
    EXPECT_EQ(cellTexts(fn("strip", {cell.get()})), (std::vector<std::string>{"ab", "c"}));

    // Rows of a char matrix map one by one: one that grows widens the
    // matrix, the others end in spaces.  Column-major: "ßx" / "ab".
    const qxSize dims[2] = {2, 2};
    Array m(qxCreateCharArray(2, dims));
    const char16_t in[] = {u'ß', u'a', u'x', u'b'};
    std::copy(in, in + 4, static_cast<qxChar*>(qxGetData(m.get())));
    Array up = fn("upper", {m.get()});
    EXPECT_EQ(dimsOf(up.get()), (std::vector<qxSize>{2, 3}));
    EXPECT_EQ(matrix::get_string(up.get()), "SASBX ");  // "SSX" / "AB "
}

TEST_F(Text, SplitAndJoin) {
    const struct {
        const char* in;
        const char* delim;  // nullptr: whitespace
        std::vector<std::string> want;
    } cases[] = {
        {"  a b\t\tc ", nullptr, {"a", "b", "c"}}, {"", nullptr, {}},       {"a,,b,", ",", {"a", "", "b", ""}},
        {"one::two", "::", {"one", "two"}},        {"none", ",", {"none"}},
    };
    for (const auto& c : cases) {
        Array parts = c.delim ? fn("split", {str(c.in).get(), str(c.delim).get()}) : fn("split", {str(c.in).get()});
        EXPECT_EQ(dimsOf(parts.get()), (std::vector<qxSize>{1, c.want.size()})) << c.in;
        EXPECT_EQ(cellTexts(parts), c.want) << c.in;
    }
    Array parts = fn("split", {str("a,b,c").get(), str(",").get()});
    EXPECT_EQ(textOf(fn("join", {parts.get(), str("-").get()})), "a-b-c");
    EXPECT_EQ(textOf(fn("join", {parts.get()})), "a b c");
}

TEST_F(Text, Format) {
    Array five = row({5}), pair = row({1, 2.5}), frac = row({1.5}), ab = str("ab"), nums = row({1, 2, 3});
    Array big = row({255}), inf = row({std::numeric_limits<double>::infinity()}), letter = row({65});
    const struct {
        const char* fmt;
        std::vector<const qxArray*> args;
        const char* want;
    } cases[] = {
        {"%d-%s", {five.get(), ab.get()}, "5-ab"},
        {"%5.2f|", {pair.get()}, " 1.00| 2.50|"},
        {"%d", {frac.get()}, "1.500000e+00"},
        {"x=%d;", {}, "x="},
        {"100%% %s", {ab.get()}, "100% ab"},
        {"%d,", {nums.get()}, "1,2,3,"},
        {"%x %o %X", {big.get(), big.get(), big.get()}, "ff 377 FF"},
        {"%g %f", {frac.get(), inf.get()}, "1.5 Inf"},
        {"%c%c", {letter.get(), letter.get()}, "AA"},
        {"%-4d|%+d", {five.get(), five.get()}, "5   |+5"},
        {"%s", {frac.get()}, "1.5"},
    };
    for (const auto& c : cases) {
        Array f = str(c.fmt);
        std::vector<const qxArray*> args{f.get()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Results r = veldra::engine::FunctionRegistry::builtin().call(ctx(), "format", 1, Args(args));
        EXPECT_EQ(matrix::get_string(r[0].get()), c.want) << c.fmt;
    }
}

TEST_F(Text, NumbersAndText) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        Array in;
        const char* want;
    } toText[] = {
        {row({3.14159265358979323846}), "3.141592653589793"},
        {row({42}), "42"},
        {row({-0.5, 1e20}), "-0.5  1e+20"},
        {row({nan}), "NaN"},
        {row({7}, qxINT8_CLASS), "7"},
        {arr({1, 1}, {1}, qxDOUBLE_CLASS, {-2}), "1-2i"},
        {str("as is"), "as is"},
    };
    for (const auto& c : toText) EXPECT_EQ(textOf(fn("to_text", {c.in.get()})), c.want) << c.want;
    Array m = arr({2, 2}, {1, 30, 2, 4});
    Array t = fn("to_text", {m.get()});
    EXPECT_EQ(dimsOf(t.get()), (std::vector<qxSize>{2, 5}));
    EXPECT_EQ(matrix::get_string(t.get()), " 310    24");  // column-major " 1  2" / "30  4"
    EXPECT_EQ(textOf(fn("to_text", {row({3.14159}).get(), row({3}).get()})), "3.14");

    const struct {
        const char* in;
        double want;
    } toNumber[] = {
        {" 3.5 ", 3.5}, {"-2e3", -2000}, {"+7", 7}, {"-Inf", -std::numeric_limits<double>::infinity()},
        {"NaN", nan},   {"abc", nan},    {"", nan}, {"1.5x", nan},
        {"--1", nan},
    };
    for (const auto& c : toNumber) EXPECT_TRUE(near(re(fn("to_number", {str(c.in).get()}).get()), {c.want})) << c.in;
    Array cell(qxCreateCellMatrix(1, 2));
    qxSetCell(cell.get(), 0, str("1").release());
    qxSetCell(cell.get(), 1, str("x").release());
    EXPECT_TRUE(near(re(fn("to_number", {cell.get()}).get()), {1, nan}));
}

TEST_F(Text, StructFields) {
    const char* names[] = {"a", "b"};
    Array s(qxCreateStructMatrix(1, 1, 2, names));
    qxSetFieldByNumber(s.get(), 0, 0, row({1}).release());
    EXPECT_EQ(cellTexts(fn("fields", {s.get()})), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(re(fn("get_field", {s.get(), str("a").get()}).get()), (std::vector<double>{1}));
    EXPECT_TRUE(qxIsEmpty(fn("get_field", {s.get(), str("b").get()}).get()));  // unset

    Array s2 = fn("set_field", {s.get(), str("c").get(), row({3}).get()});
    Array s3 = fn("set_field", {s2.get(), str("a").get(), str("new").get()});
    EXPECT_EQ(cellTexts(fn("fields", {s3.get()})), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(textOf(fn("get_field", {s3.get(), str("a").get()})), "new");
    // The originals are untouched.
    EXPECT_EQ(qxGetNumberOfFields(s.get()), 2);
    EXPECT_EQ(re(fn("get_field", {s2.get(), str("a").get()}).get()), (std::vector<double>{1}));

    EXPECT_TRUE(fntest::logicalValue(fn("has_field", {s.get(), str("a").get()}).get()));
    EXPECT_FALSE(fntest::logicalValue(fn("has_field", {s.get(), str("c").get()}).get()));
    EXPECT_FALSE(fntest::logicalValue(fn("has_field", {row({1}).get(), str("a").get()}).get()));
    Array which(qxCreateCellMatrix(1, 2));
    qxSetCell(which.get(), 0, str("b").release());
    qxSetCell(which.get(), 1, str("z").release());
    EXPECT_EQ(re(fn("has_field", {s.get(), which.get()}).get()), (std::vector<double>{1, 0}));
}

TEST_F(Text, WrongInputFails) {
    const char* names[] = {"a"};
    Array s(qxCreateStructMatrix(1, 1, 1, names)), sa(qxCreateStructMatrix(1, 2, 1, names));
    Array num = row({1}), t = str("a"), badName = str("1x"), missing = str("zz"), badFmt = str("%q"), z = str("%d");
    Array cell(qxCreateCellMatrix(1, 1)), cplx = arr({1, 1}, {1}, qxDOUBLE_CLASS, {1}), big = row({18}),
                                          empty = str("");
    const struct {
        const char* fn;
        std::vector<const qxArray*> args;
        const char* id;
    } cases[] = {
        {"upper", {num.get()}, "veldra:upper:wrongClass"},
        {"upper", {cell.get()}, "veldra:upper:wrongClass"},  // an unset member
        {"strip", {}, "veldra:strip:wrongArgumentCount"},
        {"split", {num.get()}, "veldra:split:wrongClass"},
        {"split", {t.get(), empty.get()}, "veldra:split:emptyDelimiter"},
        {"join", {t.get()}, "veldra:join:wrongClass"},
        {"format", {num.get()}, "veldra:format:wrongClass"},
        {"format", {badFmt.get(), num.get()}, "veldra:format:badFormat"},
        {"format", {z.get(), cell.get()}, "veldra:format:wrongClass"},
        {"format", {z.get(), cplx.get()}, "veldra:format:wrongClass"},
        {"to_text", {cell.get()}, "veldra:to_text:wrongClass"},
        {"to_text", {num.get(), big.get()}, "veldra:to_text:badPrecision"},
        {"to_number", {num.get()}, "veldra:to_number:wrongClass"},
        {"fields", {num.get()}, "veldra:fields:wrongClass"},
        {"get_field", {s.get(), missing.get()}, "veldra:get_field:noSuchField"},
        {"get_field", {sa.get(), t.get()}, "veldra:get_field:notScalar"},
        {"get_field", {num.get(), t.get()}, "veldra:get_field:wrongClass"},
        {"set_field", {s.get(), badName.get(), num.get()}, "veldra:set_field:badName"},
        {"set_field", {s.get(), t.get()}, "veldra:set_field:wrongArgumentCount"},
        {"has_field", {s.get(), num.get()}, "veldra:has_field:wrongClass"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(failureOf([&] { veldra::engine::FunctionRegistry::builtin().call(ctx(), c.fn, 1, Args(c.args)); }),
                  c.id)
            << c.fn;
}

}  // namespace
