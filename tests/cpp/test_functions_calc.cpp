// calc: grammar, precedence, variables and malformed text.
#include "test_functions_support.hpp"

#include <cmath>

namespace {

using namespace fntest;

class CalcTest : public FnTest {
protected:
    double calc(const std::string& text) {
        Array t = str(text);
        Array r = call1("calc", {t.get()});
        return r ? scalar(r.get()) : std::nan("");
    }
};

TEST_F(CalcTest, Evaluates) {
    struct Case {
        const char* text;
        double value;
    };
    const Case cases[] = {
        {"1+2*3", 7},        {"(1+2)*3", 9},   {"1e-3", 0.001},  {".5", 0.5},       {"5.", 5},
        {"2.5E+2", 250},     {"-2^2", -4},     {"2^-1", 0.5},    {"2^3^2", 512},    {"(-2)^2", 4},
        {"8/2/2", 2},        {"7-2-1", 4},     {"--3", 3},       {"+4", 4},         {" 1 +\t2 ", 3},
        {"2*-3", -6},        {"-2^-2", -0.25}, {"((((1))))", 1}, {"1/0", HUGE_VAL}, {"2^0.5^2", std::pow(2, 0.25)},
        {"1e400", HUGE_VAL}, {"3-2^2*2", -5},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(calc(c.text), c.value) << c.text;
}

TEST_F(CalcTest, SyntaxErrorsSayWhere) {
    struct Case {
        const char* text;
        const char* where;
    };
    const Case cases[] = {
        {"", "position 1"},     {"1+", "position 3"},    {"1 +* 2", "position 4"}, {"(1+2", "position 5"},
        {"1+2)", "position 4"}, {"1e", "position 3"},    {"1e+", "position 4"},    {".", "position 1"},
        {"2 3", "position 3"},  {"1.2.3", "position 4"}, {"x y", "position 3"},    {"3 ! 4", "position 3"},
        {"é+1", "position 1"},  {"1+é", "position 3"},   {"()", "position 2"},     {"1+2^", "position 5"},
    };
    for (const auto& c : cases) {
        Array t = str(c.text);
        try {
            call("calc", 1, {t.get()});
            ADD_FAILURE() << "no syntax error for '" << c.text << "'";
        } catch (const veldra::engine::SyntaxFailure& e) {
            EXPECT_NE(std::string(e.what()).find(c.where), std::string::npos) << "'" << c.text << "': " << e.what();
        }
    }
}

TEST_F(CalcTest, DeepNestingIsASyntaxError) {
    Array t = str(std::string(100000, '('));
    EXPECT_THROW(call("calc", 1, {t.get()}), veldra::engine::SyntaxFailure);
}

TEST_F(CalcTest, ReadsWorkspaceScalars) {
    ctx().workspace().assign("a", num(3, qxINT8_CLASS));
    ctx().workspace().assign("b_2", num(0.5, qxSINGLE_CLASS));
    ctx().workspace().assign("row", mat(1, 2, {1, 2}));
    ctx().workspace().assign("s", str("x"));
    EXPECT_DOUBLE_EQ(calc("a^2 + b_2"), 9.5);
    EXPECT_DOUBLE_EQ(calc("-a"), -3);

    Array unknown = str("a + nope"), row = str("row*2"), text = str("s"), both = str("nope +");
    EXPECT_EQ(failureOfCall("calc", 1, {unknown.get()}), "veldra:calc:unknownVariable");
    EXPECT_EQ(failureOfCall("calc", 1, {row.get()}), "veldra:calc:notScalar");
    EXPECT_EQ(failureOfCall("calc", 1, {text.get()}), "veldra:calc:notScalar");
    // Malformed text is reported as such even when a name is unknown too.
    EXPECT_EQ(failureOfCall("calc", 1, {both.get()}), "veldra:calc:syntax");
}

}  // namespace
