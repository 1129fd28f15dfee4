// Elementwise functions and reductions: values, classes, shapes, failures.
#include "test_numerics_support.hpp"

#include <cstring>
#include <functional>
#include <limits>
#include <random>

namespace {

using namespace numtest;
using fntest::str;

const double kPi = 3.14159265358979323846;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct Expect {
    qxClassID cls;
    std::vector<qxSize> dims;
    std::vector<double> re;
    std::vector<double> im;  // empty: the result must be real
};

struct Case {
    const char* what;
    const char* fn;
    std::function<std::vector<Array>()> args;
    Expect want;
};

void check(const char* what, const qxArray* r, const Expect& want) {
    SCOPED_TRACE(what);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(qxGetClassID(r), want.cls);
    EXPECT_EQ(dimsOf(r), want.dims);
    EXPECT_TRUE(near(re(r), want.re, 1e-6));
    EXPECT_EQ(qxIsComplex(r), !want.im.empty());
    if (!want.im.empty()) {
        EXPECT_TRUE(near(im(r), want.im, 1e-6));
    }
}

class Elementwise : public NumTest {
protected:
    void run(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            std::vector<Array> owned = c.args();
            std::vector<const qxArray*> args;
            for (auto& a : owned) args.push_back(a.get());
            Results r = veldra::engine::FunctionRegistry::builtin().call(ctx(), c.fn, 1, Args(args));
            ASSERT_EQ(r.size(), 1u) << c.what;
            check(c.what, r[0].get(), c.want);
        }
    }
};

std::function<std::vector<Array>()> with(std::function<Array()> a, std::function<Array()> b = nullptr) {
    return [a, b] {
        std::vector<Array> v;
        v.push_back(a());
        if (b) v.push_back(b());
        return v;
    };
}
std::function<Array()> S(double v, qxClassID c = qxDOUBLE_CLASS) {
    return [=] { return arr({1, 1}, {v}, c); };
}
std::function<Array()> R(std::vector<double> v, qxClassID c = qxDOUBLE_CLASS) {
    return [=] { return row(v, c); };
}
std::function<Array()> C(std::vector<double> v) {
    return [=] { return col(v); };
}
std::function<Array()> Z(double r, double i) {
    return [=] { return arr({1, 1}, {r}, qxDOUBLE_CLASS, {i}); };
}
std::function<Array()> A(std::vector<qxSize> d, std::vector<double> v) {
    return [=] { return arr(d, v); };
}

TEST_F(Elementwise, ArithmeticValuesClassesAndShapes) {
    run({
        {"scalar expansion", "add", with(R({1, 2, 3}), S(10)), {qxDOUBLE_CLASS, {1, 3}, {11, 12, 13}, {}}},
        {"column plus row",
         "add",
         with(C({1, 2}), R({10, 20, 30})),
         {qxDOUBLE_CLASS, {2, 3}, {11, 12, 21, 22, 31, 32}, {}}},
        {"N-d expansion",
         "subtract",
         with(A({1, 1, 2}, {10, 20}), C({1, 2})),
         {qxDOUBLE_CLASS, {2, 1, 2}, {9, 8, 19, 18}, {}}},
        {"same shape",
         "multiply",
         with(A({2, 2}, {1, 2, 3, 4}), A({2, 2}, {5, 6, 7, 8})),
         {qxDOUBLE_CLASS, {2, 2}, {5, 12, 21, 32}, {}}},
        {"division by zero", "divide", with(R({1, -1, 0}), S(0)), {qxDOUBLE_CLASS, {1, 3}, {kInf, -kInf, kNaN}, {}}},
        {"int8 saturates high", "subtract", with(S(100, qxINT8_CLASS), S(-100)), {qxINT8_CLASS, {1, 1}, {127}, {}}},
        {"int8 saturates low",
         "add",
         with(S(-100, qxINT8_CLASS), S(-100, qxINT8_CLASS)),
         {qxINT8_CLASS, {1, 1}, {-128}, {}}},
        {"uint8 saturates", "multiply", with(S(200, qxUINT8_CLASS), S(2)), {qxUINT8_CLASS, {1, 1}, {255}, {}}},
        {"uint8 floors at 0", "subtract", with(S(3), S(5, qxUINT8_CLASS)), {qxUINT8_CLASS, {1, 1}, {0}, {}}},
        {"integer division rounds half away",
         "divide",
         with(R({7, -7, 5}, qxINT32_CLASS), S(2)),
         {qxINT32_CLASS, {1, 3}, {4, -4, 3}, {}}},
        {"integer divided by zero",
         "divide",
         with(R({5, -5, 0}, qxINT16_CLASS), S(0)),
         {qxINT16_CLASS, {1, 3}, {32767, -32768, 0}, {}}},
        {"double with integer", "add", with(S(2.4), S(1, qxUINT16_CLASS)), {qxUINT16_CLASS, {1, 1}, {3}, {}}},
        {"single with double", "add", with(S(1.5, qxSINGLE_CLASS), S(2)), {qxSINGLE_CLASS, {1, 1}, {3.5}, {}}},
        {"single with integer",
         "multiply",
         with(S(2.5, qxSINGLE_CLASS), S(3, qxINT8_CLASS)),
         {qxINT8_CLASS, {1, 1}, {8}, {}}},
        {"logical and char count as double",
         "add",
         with(S(1, qxLOGICAL_CLASS), S('a', qxCHAR_CLASS)),
         {qxDOUBLE_CLASS, {1, 1}, {98}, {}}},
        {"complex sum with zero imaginary part", "add", with(Z(1, 2), Z(3, -2)), {qxDOUBLE_CLASS, {1, 1}, {4}, {}}},
        {"complex product", "multiply", with(Z(1, 2), Z(3, 4)), {qxDOUBLE_CLASS, {1, 1}, {-5}, {10}}},
        {"complex quotient", "divide", with(Z(-5, 10), Z(1, 2)), {qxDOUBLE_CLASS, {1, 1}, {3}, {4}}},
        {"real powers", "power", with(S(2), R({-1, 0, 1, 10})), {qxDOUBLE_CLASS, {1, 4}, {0.5, 1, 2, 1024}, {}}},
        {"negative base, integer exponent", "power", with(S(-2), S(3)), {qxDOUBLE_CLASS, {1, 1}, {-8}, {}}},
        {"cube root of -8 is complex",
         "power",
         with(S(-8), S(1.0 / 3)),
         {qxDOUBLE_CLASS, {1, 1}, {1}, {std::sqrt(3.0)}}},
        {"mixed real and complex powers", "power", with(R({4, -4}), S(0.5)), {qxDOUBLE_CLASS, {1, 2}, {2, 0}, {0, 2}}},
        {"complex squared", "power", with(Z(0, 1), S(2)), {qxDOUBLE_CLASS, {1, 1}, {-1}, {}}},
        {"uint8 power saturates", "power", with(S(2, qxUINT8_CLASS), S(9)), {qxUINT8_CLASS, {1, 1}, {255}, {}}},
    });
}

TEST_F(Elementwise, SixtyFourBitIntegersStayExact) {
    // 2^53 + 1 has no double; int64 arithmetic must not go through one.
    const std::int64_t big = (std::int64_t(1) << 53) + 1;
    Array a(qxCreateNumericMatrix(1, 1, qxINT64_CLASS, qxREAL));
    *static_cast<std::int64_t*>(qxGetData(a.get())) = big;
    Array u(qxCreateNumericMatrix(1, 1, qxUINT64_CLASS, qxREAL));
    *static_cast<std::uint64_t*>(qxGetData(u.get())) = std::numeric_limits<std::uint64_t>::max() - 1;
    Array one = row({1}), two = row({2}), three = arr({1, 1}, {3}, qxINT64_CLASS), minus = row({-7});
    auto i64 = [](const Array& r) { return *static_cast<const std::int64_t*>(qxGetData(r.get())); };
    auto u64 = [](const Array& r) { return *static_cast<const std::uint64_t*>(qxGetData(r.get())); };
    EXPECT_EQ(i64(fn("add", {a.get(), one.get()})), big + 1);
    EXPECT_EQ(i64(fn("subtract", {a.get(), three.get()})), big - 3);
    EXPECT_EQ(i64(fn("multiply", {a.get(), two.get()})), 2 * big);
    EXPECT_EQ(i64(fn("divide", {a.get(), two.get()})), (big + 1) / 2);  // .5 rounds away from zero
    EXPECT_EQ(i64(fn("divide", {minus.get(), arr({1, 1}, {2}, qxINT64_CLASS).get()})), -4);
    EXPECT_EQ(i64(fn("multiply", {a.get(), a.get()})), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(u64(fn("add", {u.get(), two.get()})), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(u64(fn("subtract", {u.get(), u.get()})), 0u);
    EXPECT_EQ(u64(fn("multiply", {u.get(), u.get()})), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(u64(fn("subtract", {one.get(), u.get()})), 0u);  // saturates at 0
}

TEST_F(Elementwise, OneOperandFunctions) {
    run({
        {"negate", "negate", with(R({1, -2, 0})), {qxDOUBLE_CLASS, {1, 3}, {-1, 2, 0}, {}}},
        {"negate saturates int8", "negate", with(S(-128, qxINT8_CLASS)), {qxINT8_CLASS, {1, 1}, {127}, {}}},
        {"abs saturates int8", "abs", with(R({-128, -5}, qxINT8_CLASS)), {qxINT8_CLASS, {1, 2}, {127, 5}, {}}},
        {"abs of complex is real", "abs", with(Z(3, -4)), {qxDOUBLE_CLASS, {1, 1}, {5}, {}}},
        {"sqrt", "sqrt", with(R({4, 2.25})), {qxDOUBLE_CLASS, {1, 2}, {2, 1.5}, {}}},
        {"sqrt of negatives is complex", "sqrt", with(R({4, -1})), {qxDOUBLE_CLASS, {1, 2}, {2, 0}, {0, 1}}},
        {"sqrt keeps single", "sqrt", with(S(9, qxSINGLE_CLASS)), {qxSINGLE_CLASS, {1, 1}, {3}, {}}},
        {"sqrt of logical is double", "sqrt", with(S(1, qxLOGICAL_CLASS)), {qxDOUBLE_CLASS, {1, 1}, {1}, {}}},
        {"exp", "exp", with(R({0, 1})), {qxDOUBLE_CLASS, {1, 2}, {1, std::exp(1.0)}, {}}},
        {"exp of i*pi", "exp", with(Z(0, kPi)), {qxDOUBLE_CLASS, {1, 1}, {-1}, {1.2246e-16}}},
        {"log", "log", with(R({1, std::exp(2.0), 0})), {qxDOUBLE_CLASS, {1, 3}, {0, 2, -kInf}, {}}},
        {"log of -1", "log", with(S(-1)), {qxDOUBLE_CLASS, {1, 1}, {0}, {kPi}}},
        {"log10", "log10", with(R({1000, 0.01})), {qxDOUBLE_CLASS, {1, 2}, {3, -2}, {}}},
        {"log10 of -10", "log10", with(S(-10)), {qxDOUBLE_CLASS, {1, 1}, {1}, {kPi / std::log(10.0)}}},
        {"sin cos tan", "sin", with(R({0, kPi / 2})), {qxDOUBLE_CLASS, {1, 2}, {0, 1}, {}}},
        {"cos", "cos", with(S(kPi)), {qxDOUBLE_CLASS, {1, 1}, {-1}, {}}},
        {"tan", "tan", with(S(kPi / 4)), {qxDOUBLE_CLASS, {1, 1}, {1}, {}}},
        {"floor", "floor", with(R({2.5, -2.5})), {qxDOUBLE_CLASS, {1, 2}, {2, -3}, {}}},
        {"ceil", "ceil", with(R({2.5, -2.5})), {qxDOUBLE_CLASS, {1, 2}, {3, -2}, {}}},
        {"round half away from zero", "round", with(R({2.5, -2.5, 0.49})), {qxDOUBLE_CLASS, {1, 3}, {3, -3, 0}, {}}},
        {"round of complex", "round", with(Z(1.5, -1.5)), {qxDOUBLE_CLASS, {1, 1}, {2}, {-2}}},
        {"N-d shape kept",
         "negate",
         with(A({1, 2, 2}, {1, 2, 3, 4})),
         {qxDOUBLE_CLASS, {1, 2, 2}, {-1, -2, -3, -4}, {}}},
    });
}

TEST_F(Elementwise, ComparisonsAndLogic) {
    run({
        {"lt with scalar", "lt", with(R({1, 2, 3}), S(2)), {qxLOGICAL_CLASS, {1, 3}, {1, 0, 0}, {}}},
        {"le", "le", with(R({1, 2, 3}), S(2)), {qxLOGICAL_CLASS, {1, 3}, {1, 1, 0}, {}}},
        {"gt expands", "gt", with(C({1, 3}), R({2, 0})), {qxLOGICAL_CLASS, {2, 2}, {0, 1, 1, 1}, {}}},
        {"ge", "ge", with(R({1, 2, 3}), S(2)), {qxLOGICAL_CLASS, {1, 3}, {0, 1, 1}, {}}},
        {"eq NaN is false", "eq", with(R({kNaN, 1}), R({kNaN, 1})), {qxLOGICAL_CLASS, {1, 2}, {0, 1}, {}}},
        {"ne", "ne", with(R({1, 2}), S(1)), {qxLOGICAL_CLASS, {1, 2}, {0, 1}, {}}},
        {"eq compares imaginary parts", "eq", with(Z(1, 1), S(1)), {qxLOGICAL_CLASS, {1, 1}, {0}, {}}},
        {"different integer classes compare",
         "eq",
         with(S(5, qxINT8_CLASS), S(5, qxUINT64_CLASS)),
         {qxLOGICAL_CLASS, {1, 1}, {1}, {}}},
        {"and", "logical_and", with(R({1, 1, 0}), R({1, 0, 0})), {qxLOGICAL_CLASS, {1, 3}, {1, 0, 0}, {}}},
        {"or", "logical_or", with(R({1, 0, 0}), S(0)), {qxLOGICAL_CLASS, {1, 3}, {1, 0, 0}, {}}},
        {"not", "logical_not", with(R({2, 0})), {qxLOGICAL_CLASS, {1, 2}, {0, 1}, {}}},
    });
}

TEST_F(Elementwise, WrongInputFails) {
    Array i8 = arr({1, 1}, {1}, qxINT8_CLASS), i16 = arr({1, 1}, {1}, qxINT16_CLASS);
    Array r3 = row({1, 2, 3}), r2 = row({1, 2}), nan = row({kNaN}), m8 = arr({1, 1}, {-8}, qxINT8_CLASS);
    Array third = row({1.0 / 3});
    Array cell(qxCreateCellMatrix(1, 1));
    Array sp(qxCreateSparse(2, 2, 1, qxREAL));
    const struct {
        const char* fn;
        std::vector<const qxArray*> args;
        const char* id;
    } cases[] = {
        {"add", {i8.get(), i16.get()}, "veldra:add:mixedIntegers"},
        {"add", {r3.get(), r2.get()}, "veldra:add:sizeMismatch"},
        {"eq", {r3.get(), r2.get()}, "veldra:eq:sizeMismatch"},
        {"multiply", {cell.get(), r2.get()}, "veldra:multiply:wrongClass"},
        {"subtract", {r2.get(), sp.get()}, "veldra:subtract:wrongClass"},
        {"add", {r2.get()}, "veldra:add:wrongArgumentCount"},
        {"sqrt", {r2.get(), r2.get()}, "veldra:sqrt:wrongArgumentCount"},
        {"sqrt", {i8.get()}, "veldra:sqrt:wrongClass"},
        {"exp", {cell.get()}, "veldra:exp:wrongClass"},
        {"logical_and", {nan.get(), r2.get()}, "veldra:logical_and:nanToLogical"},
        {"logical_not", {nan.get()}, "veldra:logical_not:nanToLogical"},
        {"power", {m8.get(), third.get()}, "veldra:power:complexInteger"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] { veldra::engine::FunctionRegistry::builtin().call(ctx(), c.fn, 1, Args(c.args)); }),
                  c.id)
            << c.fn;
    }
}

TEST_F(Elementwise, LongLoopsCanBeInterrupted) {
    Array big = arr({1u << 22, 1}, std::vector<double>(1u << 22, 1.0));
    Array one = row({1});
    ctx().interrupted_ = true;
    EXPECT_THROW(call("add", 1, {big.get(), one.get()}), veldra::engine::Interrupted);
    EXPECT_THROW(call("sum", 1, {big.get()}), veldra::engine::Interrupted);
}

// ---- reductions ----------------------------------------------------------------

class Reductions : public Elementwise {};

TEST_F(Reductions, AlongEachDimension) {
    // 2x2x2 with values 1..8.
    auto cube = A({2, 2, 2}, {1, 2, 3, 4, 5, 6, 7, 8});
    run({
        {"sum default dim", "sum", with(cube), {qxDOUBLE_CLASS, {1, 2, 2}, {3, 7, 11, 15}, {}}},
        {"sum dim 1", "sum", with(cube, S(1)), {qxDOUBLE_CLASS, {1, 2, 2}, {3, 7, 11, 15}, {}}},
        {"sum dim 2", "sum", with(cube, S(2)), {qxDOUBLE_CLASS, {2, 1, 2}, {4, 6, 12, 14}, {}}},
        {"sum dim 3", "sum", with(cube, S(3)), {qxDOUBLE_CLASS, {2, 2}, {6, 8, 10, 12}, {}}},
        {"sum past the last dim", "sum", with(R({1, 2}), S(3)), {qxDOUBLE_CLASS, {1, 2}, {1, 2}, {}}},
        {"sum of a row runs along it", "sum", with(R({1, 2, 3})), {qxDOUBLE_CLASS, {1, 1}, {6}, {}}},
        {"sum of int8 saturates", "sum", with(R({100, 100}, qxINT8_CLASS)), {qxINT8_CLASS, {1, 1}, {127}, {}}},
        {"sum of single", "sum", with(R({1, 2}, qxSINGLE_CLASS)), {qxSINGLE_CLASS, {1, 1}, {3}, {}}},
        {"sum of logical is double", "sum", with(R({1, 1, 0}, qxLOGICAL_CLASS)), {qxDOUBLE_CLASS, {1, 1}, {2}, {}}},
        {"sum of complex", "sum", with(Z(1, 2)), {qxDOUBLE_CLASS, {1, 1}, {1}, {2}}},
        {"prod", "prod", with(A({2, 2}, {1, 2, 3, 4}), S(2)), {qxDOUBLE_CLASS, {2, 1}, {3, 8}, {}}},
        {"mean", "mean", with(A({2, 2}, {1, 2, 3, 4})), {qxDOUBLE_CLASS, {1, 2}, {1.5, 3.5}, {}}},
        {"mean of integers is double", "mean", with(R({1, 2}, qxINT32_CLASS)), {qxDOUBLE_CLASS, {1, 1}, {1.5}, {}}},
        {"min skips NaN", "min", with(R({3, kNaN, 1, 2})), {qxDOUBLE_CLASS, {1, 1}, {1}, {}}},
        {"max along dim 2", "max", with(A({2, 2}, {1, 5, 3, 4}), S(2)), {qxDOUBLE_CLASS, {2, 1}, {3, 5}, {}}},
        {"max keeps int class", "max", with(R({-3, 7}, qxINT16_CLASS)), {qxINT16_CLASS, {1, 1}, {7}, {}}},
        {"max of all NaN is NaN", "max", with(R({kNaN, kNaN})), {qxDOUBLE_CLASS, {1, 1}, {kNaN}, {}}},
        {"cumsum dim 1", "cumsum", with(A({2, 2}, {1, 2, 3, 4})), {qxDOUBLE_CLASS, {2, 2}, {1, 3, 3, 7}, {}}},
        {"cumsum dim 2", "cumsum", with(A({2, 2}, {1, 2, 3, 4}), S(2)), {qxDOUBLE_CLASS, {2, 2}, {1, 2, 4, 6}, {}}},
        {"any", "any", with(A({2, 2}, {0, 0, 0, 1})), {qxLOGICAL_CLASS, {1, 2}, {0, 1}, {}}},
        {"all", "all", with(A({2, 2}, {1, 1, 0, 1})), {qxLOGICAL_CLASS, {1, 2}, {1, 0}, {}}},
        {"all of an empty slice is true", "all", with(A({0, 3}, {})), {qxLOGICAL_CLASS, {1, 3}, {1, 1, 1}, {}}},
        {"sum of an empty slice is 0", "sum", with(A({0, 2}, {})), {qxDOUBLE_CLASS, {1, 2}, {0, 0}, {}}},
    });
}

TEST_F(Reductions, MinAndMaxGiveOneBasedIndices) {
    Array x = arr({2, 3}, {4, 1, 2, 9, 2, 3});
    Results r = call("max", 2, {x.get()});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(re(r[0].get()), (std::vector<double>{4, 9, 3}));
    EXPECT_EQ(re(r[1].get()), (std::vector<double>{1, 2, 2}));
    Array two = row({2});
    r = call("min", 2, {x.get(), two.get()});
    EXPECT_EQ(re(r[0].get()), (std::vector<double>{2, 1}));
    EXPECT_EQ(re(r[1].get()), (std::vector<double>{2, 1}));  // the first of equal values
    // Complex values compare by magnitude.
    Array z = arr({1, 2}, {3, 0}, qxDOUBLE_CLASS, {0, -4});
    r = call("max", 2, {z.get()});
    EXPECT_EQ(re(r[0].get()), (std::vector<double>{0}));
    EXPECT_EQ(im(r[0].get()), (std::vector<double>{-4}));
    EXPECT_EQ(re(r[1].get()), (std::vector<double>{2}));
}

// A sum is added in an order fixed by the input alone: 1 and 4 threads give
// the same bits, on runs long enough to be split, of lengths that are no
// multiple of the block or of the threads, with NaN and infinities, in the
// classes that are read in their own type, and for short runs shared out whole.
TEST_F(Reductions, SumsDoNotDependOnTheThreadCount) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(-1, 1), exponent(-12, 12);
    auto spread = [&](std::size_t n) {  // magnitudes far apart: the order of the additions shows
        std::vector<double> v(n);
        for (double& x : v) x = unit(rng) * std::pow(10.0, exponent(rng));
        return v;
    };
    auto with = [](std::vector<double> v, std::size_t at, double x) {
        v[at] = x;
        return v;
    };
    const std::size_t big = (std::size_t(1) << 18) * 3 + 4097, odd = 5000003;
    struct Input {
        const char* what;
        std::vector<qxSize> dims;
        qxClassID cls;
        std::vector<double> re, im;
    };
    const std::vector<Input> inputs = {
        {"a column of 2^18", {1u << 18, 1}, qxDOUBLE_CLASS, spread(1u << 18), {}},
        {"a row, no multiple of the block", {1, big}, qxDOUBLE_CLASS, spread(big), {}},
        {"a column, over one round", {odd, 1}, qxDOUBLE_CLASS, spread(odd), {}},
        {"long columns of a matrix", {big, 3}, qxDOUBLE_CLASS, spread(big * 3), {}},
        {"short columns of a matrix", {999, 3001}, qxDOUBLE_CLASS, spread(999 * 3001), {}},
        {"complex", {big, 1}, qxDOUBLE_CLASS, spread(big), spread(big)},
        {"a NaN", {big, 1}, qxDOUBLE_CLASS, with(spread(big), big - 1, kNaN), {}},
        {"infinities of both signs", {big, 1}, qxDOUBLE_CLASS, with(with(spread(big), 5, kInf), big / 2, -kInf), {}},
        {"single", {big, 1}, qxSINGLE_CLASS, spread(big), {}},
        {"int8 saturates", {big, 1}, qxINT8_CLASS, std::vector<double>(big, 100), {}},
        {"uint16", {odd, 1}, qxUINT16_CLASS, std::vector<double>(odd, 65535), {}},
        {"logical", {big, 1}, qxLOGICAL_CLASS, std::vector<double>(big, 1), {}},
    };
    auto bits = [](const qxArray* r, bool imag) {
        const void* p = imag ? qxGetImagData(r) : qxGetData(r);
        const std::size_t n = p ? qxGetNumberOfElements(r) * qxGetElementSize(r) : 0;
        return std::string(static_cast<const char*>(p), n);
    };
    for (const Input& in : inputs) {
        SCOPED_TRACE(in.what);
        Array x = arr(in.dims, in.re, in.cls, in.im);
        for (const char* f : {"sum", "mean"}) {
            ctx().threads_ = 1;
            Array one = fn(f, {x.get()});
            ctx().threads_ = 4;
            Array four = fn(f, {x.get()});
            EXPECT_EQ(qxGetClassID(one.get()), qxGetClassID(four.get())) << f;
            EXPECT_EQ(bits(one.get(), false), bits(four.get(), false)) << f;
            EXPECT_EQ(bits(one.get(), true), bits(four.get(), true)) << f;
        }
        // And it is the sum: no block left out or taken twice.
        const qxSize len = in.dims[0] == 1 ? in.dims[1] : in.dims[0];
        const std::vector<double> got = re(fn("sum", {x.get()}).get());
        ASSERT_EQ(got.size(), in.re.size() / len);
        for (std::size_t c = 0; c < got.size(); ++c) {
            long double want = 0, scale = 0;
            for (qxSize k = 0; k < len; ++k) {
                want += in.re[c * len + k];
                scale += std::fabs(in.re[c * len + k]);
            }
            if (!std::isfinite(static_cast<double>(scale)) || in.cls == qxSINGLE_CLASS) continue;
            if (in.cls == qxINT8_CLASS) want = 127;  // saturated
            if (in.cls == qxUINT16_CLASS) want = 65535;
            EXPECT_NEAR(got[c], static_cast<double>(want), 1e-12 * static_cast<double>(scale) + 1e-300) << c;
        }
    }
}

TEST_F(Reductions, BadDimensionFails) {
    Array x = row({1, 2}), zero = row({0}), half = row({1.5}), cell(qxCreateCellMatrix(1, 1));
    EXPECT_EQ(failureOfCall("sum", 1, {x.get(), zero.get()}), "veldra:sum:badDimension");
    EXPECT_EQ(failureOfCall("cumsum", 1, {x.get(), half.get()}), "veldra:cumsum:badDimension");
    EXPECT_EQ(failureOfCall("mean", 1, {cell.get()}), "veldra:mean:wrongClass");
    EXPECT_EQ(failureOfCall("any", 1, {}), "veldra:any:wrongArgumentCount");
    EXPECT_EQ(failureOfCall("sum", 2, {x.get()}), "veldra:engine:tooManyOutputs");
}

}  // namespace
