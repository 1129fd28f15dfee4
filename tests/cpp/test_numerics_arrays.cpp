// Constructors, shape functions, searching and sorting.
#include "test_numerics_support.hpp"

#include <limits>

namespace {

using namespace numtest;
using fntest::str;

class Arrays : public NumTest {};

TEST_F(Arrays, Constructors) {
    Array two = row({2}), three = row({3}), size = row({2, 1, 3}), i8 = str("int8"), five = row({5});
    const struct {
        const char* what;
        Array r;
        qxClassID cls;
        std::vector<qxSize> dims;
        std::vector<double> values;
    } cases[] = {
        {"zeros n", fn("zeros", {two.get()}), qxDOUBLE_CLASS, {2, 2}, {0, 0, 0, 0}},
        {"zeros m,n", fn("zeros", {two.get(), three.get()}), qxDOUBLE_CLASS, {2, 3}, std::vector<double>(6, 0)},
        {"zeros size vector, N-d", fn("zeros", {size.get()}), qxDOUBLE_CLASS, {2, 1, 3}, std::vector<double>(6, 0)},
        {"ones of a class", fn("ones", {two.get(), i8.get()}), qxINT8_CLASS, {2, 2}, {1, 1, 1, 1}},
        {"eye", fn("eye", {two.get(), three.get()}), qxDOUBLE_CLASS, {2, 3}, {1, 0, 0, 1, 0, 0}},
        {"linspace",
         fn("linspace", {row({0}).get(), row({1}).get(), five.get()}),
         qxDOUBLE_CLASS,
         {1, 5},
         {0, 0.25, 0.5, 0.75, 1}},
        {"span", fn("span", {row({1}).get(), row({2}).get(), row({8}).get()}), qxDOUBLE_CLASS, {1, 4}, {1, 3, 5, 7}},
        {"span down", fn("span", {row({3}).get(), row({-1}).get(), row({1}).get()}), qxDOUBLE_CLASS, {1, 3}, {3, 2, 1}},
        {"span empty", fn("span", {row({5}).get(), row({1}).get(), row({1}).get()}), qxDOUBLE_CLASS, {1, 0}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qxGetClassID(c.r.get()), c.cls) << c.what;
        EXPECT_EQ(dimsOf(c.r.get()), c.dims) << c.what;
        EXPECT_TRUE(near(re(c.r.get()), c.values, 1e-15)) << c.what;
    }
    // 0:0.1:1 reaches 1 despite rounding.
    Array tenth = fn("span", {row({0}).get(), row({0.1}).get(), row({1}).get()});
    EXPECT_EQ(qxGetNumberOfElements(tenth.get()), 11u);
}

TEST_F(Arrays, RandomIsSeededAndReproducible) {
    Array m = row({3}), n = row({4}), s1 = row({1}), s2 = row({2});
    Array a = fn("random", {m.get(), n.get(), s1.get()}), b = fn("random", {m.get(), n.get(), s1.get()});
    Array c = fn("random", {m.get(), n.get(), s2.get()});
    EXPECT_EQ(dimsOf(a.get()), (std::vector<qxSize>{3, 4}));
    EXPECT_EQ(re(a.get()), re(b.get()));
    EXPECT_NE(re(a.get()), re(c.get()));
    for (double v : re(a.get())) {
        EXPECT_GE(v, 0);
        EXPECT_LT(v, 1);
    }
}

TEST_F(Arrays, ShapeFunctions) {
    Array z = arr({2, 3}, {1, 2, 3, 4, 5, 6}, qxDOUBLE_CLASS, {6, 5, 4, 3, 2, 1});
    Array t = fn("transpose", {z.get()});
    EXPECT_EQ(dimsOf(t.get()), (std::vector<qxSize>{3, 2}));
    EXPECT_EQ(re(t.get()), (std::vector<double>{1, 3, 5, 2, 4, 6}));
    EXPECT_EQ(im(t.get()), (std::vector<double>{6, 4, 2, 5, 3, 1}));  // not conjugated
    Array text = str("ab");
    Array tt = fn("transpose", {text.get()});
    EXPECT_EQ(qxGetClassID(tt.get()), qxCHAR_CLASS);
    EXPECT_EQ(dimsOf(tt.get()), (std::vector<qxSize>{2, 1}));

    Array f = fn("flatten", {z.get()});
    EXPECT_EQ(dimsOf(f.get()), (std::vector<qxSize>{6, 1}));
    EXPECT_EQ(re(f.get()), re(z.get()));

    Array a = arr({2, 1}, {1, 2}), b = arr({2, 2}, {3, 4, 5, 6}), empty = arr({0, 0}, {});
    Array h = fn("hcat", {a.get(), empty.get(), b.get()});
    EXPECT_EQ(dimsOf(h.get()), (std::vector<qxSize>{2, 3}));
    EXPECT_EQ(re(h.get()), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    Array r1 = row({1, 2}), r2 = arr({2, 2}, {3, 4, 5, 6});
    Array v = fn("vcat", {r1.get(), r2.get()});
    EXPECT_EQ(dimsOf(v.get()), (std::vector<qxSize>{3, 2}));
    EXPECT_EQ(re(v.get()), (std::vector<double>{1, 3, 4, 2, 5, 6}));
    // Mixed classes follow the arithmetic rules.
    Array i8 = row({100}, qxINT8_CLASS), big = row({300.0});
    Array hi = fn("hcat", {i8.get(), big.get()});
    EXPECT_EQ(qxGetClassID(hi.get()), qxINT8_CLASS);
    EXPECT_EQ(re(hi.get()), (std::vector<double>{100, 127}));
    Array hs = fn("hcat", {str("ab").get(), str("c").get()});
    EXPECT_EQ(matrix::get_string(hs.get()), "abc");
    // N-d: 1x1x2 pages joined along dimension 2.
    Array p = arr({1, 1, 2}, {1, 2}), q = arr({1, 2, 2}, {3, 4, 5, 6});
    Array hp = fn("hcat", {p.get(), q.get()});
    EXPECT_EQ(dimsOf(hp.get()), (std::vector<qxSize>{1, 3, 2}));
    EXPECT_EQ(re(hp.get()), (std::vector<double>{1, 3, 4, 2, 5, 6}));
}

TEST_F(Arrays, FindSortUnique) {
    Array x = arr({2, 2}, {0, 3, 0, 1});
    Array f = fn("find", {x.get()});
    EXPECT_EQ(dimsOf(f.get()), (std::vector<qxSize>{2, 1}));
    EXPECT_EQ(re(f.get()), (std::vector<double>{2, 4}));
    Array fr = fn("find", {row({1, 0, 1}).get()});
    EXPECT_EQ(dimsOf(fr.get()), (std::vector<qxSize>{1, 2}));

    const double nan = std::numeric_limits<double>::quiet_NaN();
    Array s = row({3, nan, 1, 2, 1});
    Results r = call("sort", 2, {s.get()});
    EXPECT_TRUE(near(re(r[0].get()), {1, 1, 2, 3, nan}));
    EXPECT_EQ(re(r[1].get()), (std::vector<double>{3, 5, 4, 1, 2}));  // stable
    Array desc = str("descend");
    r = call("sort", 2, {s.get(), desc.get()});
    EXPECT_TRUE(near(re(r[0].get()), {nan, 3, 2, 1, 1}));
    EXPECT_EQ(re(r[1].get()), (std::vector<double>{2, 1, 4, 3, 5}));
    Array m = arr({2, 2}, {4, 1, 2, 3}), two = row({2});
    EXPECT_EQ(re(fn("sort", {m.get()}).get()), (std::vector<double>{1, 4, 2, 3}));
    EXPECT_EQ(re(fn("sort", {m.get(), two.get()}).get()), (std::vector<double>{2, 1, 4, 3}));
    Array ints = row({-5, 100, 7}, qxINT64_CLASS);
    Array si = fn("sort", {ints.get()});
    EXPECT_EQ(qxGetClassID(si.get()), qxINT64_CLASS);
    EXPECT_EQ(re(si.get()), (std::vector<double>{-5, 7, 100}));

    Array u = fn("unique", {row({3, 1, 3, 2, 1}).get()});
    EXPECT_EQ(dimsOf(u.get()), (std::vector<qxSize>{1, 3}));
    EXPECT_EQ(re(u.get()), (std::vector<double>{1, 2, 3}));
    Array uc = fn("unique", {arr({2, 2}, {2, 2, 1, 1}).get()});
    EXPECT_EQ(dimsOf(uc.get()), (std::vector<qxSize>{2, 1}));
}

TEST_F(Arrays, WrongInputFails) {
    Array neg = row({-1}), half = row({1.5}), two = row({2}), zero = row({0}), one = row({1});
    Array bad = str("cell"), mode = str("sideways"), nd = arr({1, 1, 2}, {1, 2});
    Array a = arr({2, 1}, {1, 2}), b = arr({3, 1}, {1, 2, 3}), cell(qxCreateCellMatrix(1, 1));
    Array i8 = row({1}, qxINT8_CLASS), i16 = row({1}, qxINT16_CLASS), r2 = row({1, 2}), r3 = row({1, 2, 3});
    const struct {
        const char* fn;
        std::vector<const qxArray*> args;
        const char* id;
    } cases[] = {
        {"zeros", {neg.get()}, "veldra:zeros:badSize"},
        {"ones", {half.get()}, "veldra:ones:badSize"},
        {"zeros", {two.get(), bad.get()}, "veldra:zeros:badClass"},
        {"span", {zero.get(), zero.get(), one.get()}, "veldra:span:badStep"},
        {"span", {zero.get(), one.get()}, "veldra:span:wrongArgumentCount"},
        {"linspace", {cell.get(), one.get()}, "veldra:linspace:wrongClass"},
        {"random", {two.get()}, "veldra:random:wrongArgumentCount"},
        {"transpose", {nd.get()}, "veldra:transpose:notMatrix"},
        {"transpose", {cell.get()}, "veldra:transpose:wrongClass"},
        {"hcat", {a.get(), b.get()}, "veldra:hcat:sizeMismatch"},
        {"vcat", {r2.get(), r3.get()}, "veldra:vcat:sizeMismatch"},
        {"hcat", {i8.get(), i16.get()}, "veldra:hcat:mixedIntegers"},
        {"hcat", {cell.get(), a.get()}, "veldra:hcat:wrongClass"},
        {"sort", {a.get(), mode.get()}, "veldra:sort:badMode"},
        {"sort", {a.get(), zero.get()}, "veldra:sort:badDimension"},
        {"find", {cell.get()}, "veldra:find:wrongClass"},
        {"unique", {}, "veldra:unique:wrongArgumentCount"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(failureOf([&] { veldra::engine::FunctionRegistry::builtin().call(ctx(), c.fn, 1, Args(c.args)); }),
                  c.id)
            << c.fn;
}

}  // namespace
