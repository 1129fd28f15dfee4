// Linear algebra and FFT: hand-computed values, identities, classes, failures.
#include "test_numerics_support.hpp"

#include <limits>

namespace {

using namespace numtest;

class LinearAlgebra : public NumTest {
protected:
    // x' (no conjugation: the tests use real matrices for it).
    Array t(const qxArray* x) { return fn("transpose", {x}); }
    Array mul(const qxArray* x, const qxArray* y) { return fn("matmul", {x, y}); }
    Array eye(qxSize n) {
        Array a = arr({1, 1}, {static_cast<double>(n)});
        return fn("eye", {a.get()});
    }
};

// A well-conditioned nonsymmetric test matrix.
Array sample3() {
    return arr({3, 3}, {4, 2, 1, -1, 5, 3, 2, 0, 6});
}

TEST_F(LinearAlgebra, HandComputedValues) {
    Array a = arr({2, 3}, {1, 4, 2, 5, 3, 6}), b = arr({3, 2}, {7, 9, 11, 8, 10, 12});
    Array p = mul(a.get(), b.get());
    EXPECT_EQ(dimsOf(p.get()), (std::vector<qxSize>{2, 2}));
    EXPECT_TRUE(near(re(p.get()), {58, 139, 64, 154}));

    Array m = arr({2, 2}, {1, 3, 2, 4});
    EXPECT_TRUE(near(re(fn("det", {m.get()}).get()), {-2}));
    EXPECT_TRUE(near(re(fn("inv", {m.get()}).get()), {-2, 1.5, 1, -0.5}));
    Array rhs = col({5, 11});
    EXPECT_TRUE(near(re(fn("solve", {m.get(), rhs.get()}).get()), {1, 2}));

    // Least squares: the line through (0,1), (1,3), (2,5), (3,7.4).
    Array design = arr({4, 2}, {1, 1, 1, 1, 0, 1, 2, 3}), ys = col({1, 3, 5, 7.4});
    EXPECT_TRUE(near(re(fn("solve", {design.get(), ys.get()}).get()), {0.92, 2.12}));

    Array sym = arr({2, 2}, {2, 1, 1, 2});
    EXPECT_TRUE(near(re(fn("eig", {sym.get()}).get()), {1, 3}));
    EXPECT_TRUE(near(re(fn("svd", {m.get()}).get()), {5.4649857042, 0.3659661906}));
    Array rankOne = arr({2, 2}, {1, 2, 2, 4});
    EXPECT_EQ(re(fn("rank", {rankOne.get()}).get()), (std::vector<double>{1}));
    EXPECT_EQ(re(fn("rank", {m.get()}).get()), (std::vector<double>{2}));

    Array v = row({3, -4});
    const struct {
        std::vector<double> p;  // empty: no second argument
        const char* text;
        double want;
        const qxArray* x;
    } norms[] = {
        {{}, nullptr, 5, v.get()},
        {{1}, nullptr, 7, v.get()},
        {{std::numeric_limits<double>::infinity()}, nullptr, 4, v.get()},
        {{}, "fro", 5, v.get()},
        {{1}, nullptr, 6, m.get()},
        {{}, "inf", 7, m.get()},
        {{}, "fro", std::sqrt(30.0), m.get()},
        {{}, nullptr, 5.4649857042, m.get()},
        {{3}, nullptr, std::cbrt(91.0), v.get()},
    };
    for (const auto& c : norms) {
        Array pa = c.text ? fntest::str(c.text) : (c.p.empty() ? nullptr : row(c.p));
        Array r = pa ? fn("norm", {c.x, pa.get()}) : fn("norm", {c.x});
        EXPECT_TRUE(near(re(r.get()), {c.want})) << (c.text ? c.text : "") << (c.p.empty() ? -1 : c.p[0]);
    }
}

TEST_F(LinearAlgebra, DecompositionIdentities) {
    Array a = sample3();
    Array I = eye(3);
    EXPECT_LT(maxDiff(mul(a.get(), fn("inv", {a.get()}).get()).get(), I.get()), 1e-12);

    Results qr = call("qr", 2, {a.get()});
    EXPECT_LT(maxDiff(mul(qr[0].get(), qr[1].get()).get(), a.get()), 1e-12);
    EXPECT_LT(maxDiff(mul(t(qr[0].get()).get(), qr[0].get()).get(), I.get()), 1e-12);
    const std::vector<double> r = re(qr[1].get());
    EXPECT_EQ(r[1], 0);  // upper triangular
    EXPECT_EQ(r[2], 0);
    EXPECT_EQ(r[5], 0);

    Array wide = arr({2, 3}, {1, 4, 2, 5, 3, 6});
    Results usv = call("svd", 3, {wide.get()});
    EXPECT_EQ(dimsOf(usv[1].get()), (std::vector<qxSize>{2, 3}));
    EXPECT_LT(maxDiff(mul(mul(usv[0].get(), usv[1].get()).get(), t(usv[2].get()).get()).get(), wide.get()), 1e-12);

    // A rotation has eigenvalues +-i: complex vectors and values.
    Array rot = arr({2, 2}, {0, 1, -1, 0});
    for (const qxArray* m : {a.get(), rot.get()}) {
        Results vd = call("eig", 2, {m});
        EXPECT_LT(maxDiff(mul(m, vd[0].get()).get(), mul(vd[0].get(), vd[1].get()).get()), 1e-12);
    }
    Array values = fn("eig", {rot.get()});
    EXPECT_TRUE(qxIsComplex(values.get()));
    EXPECT_TRUE(near(im(values.get()), {1, -1}));

    Array spd = arr({3, 3}, {4, 2, 0, 2, 5, 1, 0, 1, 3});
    Array R = fn("chol", {spd.get()});
    EXPECT_EQ(re(R.get())[1], 0);  // upper triangular
    EXPECT_LT(maxDiff(mul(t(R.get()).get(), R.get()).get(), spd.get()), 1e-12);
}

TEST_F(LinearAlgebra, ComplexAndSingle) {
    // [1+i 2; 0 1-i] * [1; i] = [1+3i; 1+i]
    Array z = arr({2, 2}, {1, 0, 2, 1}, qxDOUBLE_CLASS, {1, 0, 0, -1});
    Array v = arr({2, 1}, {1, 0}, qxDOUBLE_CLASS, {0, 1});
    Array p = mul(z.get(), v.get());
    EXPECT_TRUE(near(re(p.get()), {1, 1}));
    EXPECT_TRUE(near(im(p.get()), {3, 1}));
    Array x = fn("solve", {z.get(), p.get()});
    EXPECT_TRUE(near(re(x.get()), {1, 0}));
    EXPECT_TRUE(near(im(x.get()), {0, 1}));
    EXPECT_TRUE(near(re(fn("det", {z.get()}).get()), {2}));  // (1+i)(1-i)
    EXPECT_TRUE(near(re(fn("svd", {arr({2, 2}, {0, 0, 0, 2}, qxDOUBLE_CLASS, {1, 0, 0, 0}).get()}).get()), {2, 1}));

    Array s = arr({2, 2}, {1, 3, 2, 4}, qxSINGLE_CLASS);
    Array d = arr({2, 1}, {1, 1});
    const char* fns[] = {"inv", "det", "eig", "svd", "qr", "norm"};
    for (const char* f : fns) EXPECT_EQ(qxGetClassID(fn(f, {s.get()}).get()), qxSINGLE_CLASS) << f;
    Array ps = mul(s.get(), d.get());
    EXPECT_EQ(qxGetClassID(ps.get()), qxSINGLE_CLASS);
    EXPECT_TRUE(near(re(ps.get()), {3, 7}));
    EXPECT_EQ(qxGetClassID(fn("solve", {s.get(), d.get()}).get()), qxSINGLE_CLASS);

    // A scalar factor multiplies elementwise.
    Array two = row({2});
    EXPECT_TRUE(near(re(mul(two.get(), s.get()).get()), {2, 6, 4, 8}));
}

TEST_F(LinearAlgebra, WrongInputFails) {
    Array sq = arr({2, 2}, {1, 3, 2, 4}), wide = arr({2, 3}, {1, 2, 3, 4, 5, 6}), sing = arr({2, 2}, {1, 2, 2, 4});
    Array i32 = arr({2, 2}, {1, 0, 0, 1}, qxINT32_CLASS), nd = arr({1, 1, 2}, {1, 2});
    Array notPd = arr({2, 2}, {1, 2, 2, 1}), nanM = arr({2, 2}, {1, std::nan(""), 0, 1}), c3 = col({1, 2, 3});
    Array infM = arr({2, 2}, {1, 0, -HUGE_VAL, 1}), c2 = col({1, 2});
    Array cell(qxCreateCellMatrix(1, 1)), bad = fntest::str("bad");
    const struct {
        const char* fn;
        std::vector<const qxArray*> args;
        const char* id;
    } cases[] = {
        {"matmul", {wide.get(), wide.get()}, "veldra:matmul:sizeMismatch"},
        {"matmul", {i32.get(), sq.get()}, "veldra:matmul:wrongClass"},
        {"matmul", {nd.get(), sq.get()}, "veldra:matmul:notMatrix"},
        {"solve", {sq.get(), c3.get()}, "veldra:solve:sizeMismatch"},
        {"solve", {sing.get(), c3.get()}, "veldra:solve:sizeMismatch"},
        {"solve", {sing.get(), sq.get()}, "veldra:solve:singular"},
        {"solve", {nanM.get(), c2.get()}, "veldra:solve:nonFinite"},
        {"solve", {infM.get(), c2.get()}, "veldra:solve:nonFinite"},
        {"inv", {sing.get()}, "veldra:inv:singular"},
        {"inv", {wide.get()}, "veldra:inv:notSquare"},
        {"inv", {nanM.get()}, "veldra:inv:nonFinite"},
        {"det", {wide.get()}, "veldra:det:notSquare"},
        {"eig", {wide.get()}, "veldra:eig:notSquare"},
        {"eig", {cell.get()}, "veldra:eig:wrongClass"},
        {"chol", {notPd.get()}, "veldra:chol:notPositiveDefinite"},
        {"svd", {nanM.get()}, "veldra:svd:nonFinite"},
        {"qr", {i32.get()}, "veldra:qr:wrongClass"},
        {"norm", {sq.get(), bad.get()}, "veldra:norm:badType"},
        {"rank", {}, "veldra:rank:wrongArgumentCount"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(failureOf([&] { veldra::engine::FunctionRegistry::builtin().call(ctx(), c.fn, 1, Args(c.args)); }),
                  c.id)
            << c.fn;
}

// ---- FFT -------------------------------------------------------------------------

class Fourier : public NumTest {};

TEST_F(Fourier, HandComputedTransforms) {
    const struct {
        const char* what;
        std::vector<double> x;
        std::vector<double> n;  // transform length, when given
        std::vector<double> re, im;
    } cases[] = {
        {"impulse", {1, 0, 0, 0}, {}, {1, 1, 1, 1}, {0, 0, 0, 0}},
        {"ramp", {1, 2, 3, 4}, {}, {10, -2, -2, -2}, {0, 2, 0, -2}},
        {"zero padded", {1, 1}, {4}, {2, 1, 0, 1}, {0, -1, 0, 1}},
        {"truncated", {1, 2, 3, 4}, {2}, {3, -1}, {0, 0}},
    };
    for (const auto& c : cases) {
        Array x = row(c.x);
        Array n = c.n.empty() ? nullptr : row(c.n);
        Array y = n ? fn("fft", {x.get(), n.get()}) : fn("fft", {x.get()});
        EXPECT_EQ(dimsOf(y.get()), (std::vector<qxSize>{1, c.re.size()})) << c.what;
        EXPECT_TRUE(near(re(y.get()), c.re)) << c.what;
        EXPECT_TRUE(near(im(y.get()), c.im)) << c.what;
    }
}

TEST_F(Fourier, RoundTripAlongEachDimension) {
    Array m = arr({1, 1}, {64}), n = arr({1, 1}, {3}), seed = arr({1, 1}, {7});
    Array x = fn("random", {m.get(), n.get(), seed.get()});
    Array empty = arr({0, 0}, {});
    for (double dim : {1.0, 2.0}) {
        Array d = row({dim});
        Array y = fn("fft", {x.get(), empty.get(), d.get()});
        Array back = fn("ifft", {y.get(), empty.get(), d.get()});
        EXPECT_LT(maxDiff(back.get(), x.get()), 1e-12) << dim;
    }
    // Along dimension 1, column j is the transform of column j alone.
    Array y = fn("fft", {x.get()});
    const std::vector<double> xs = re(x.get()), ys = re(y.get());
    Array second = col(std::vector<double>(xs.begin() + 64, xs.begin() + 128));
    Array yc = fn("fft", {second.get()});
    EXPECT_TRUE(near(std::vector<double>(ys.begin() + 64, ys.begin() + 128), re(yc.get())));

    Array s = arr({1, 4}, {1, 2, 3, 4}, qxSINGLE_CLASS);
    Array fs = fn("fft", {s.get()});
    EXPECT_EQ(qxGetClassID(fs.get()), qxSINGLE_CLASS);
    EXPECT_TRUE(near(re(fn("ifft", {fs.get()}).get()), {1, 2, 3, 4}, 1e-6));
}

TEST_F(Fourier, WrongInputFails) {
    Array i8 = row({1, 2}, qxINT8_CLASS), x = row({1, 2}), zero = row({0}), cell(qxCreateCellMatrix(1, 1));
    EXPECT_EQ(failureOfCall("fft", 1, {i8.get()}), "veldra:fft:wrongClass");
    EXPECT_EQ(failureOfCall("ifft", 1, {cell.get()}), "veldra:ifft:wrongClass");
    EXPECT_EQ(failureOfCall("fft", 1, {x.get(), zero.get()}), "veldra:fft:badLength");
    EXPECT_EQ(failureOfCall("fft", 1, {x.get(), x.get()}), "veldra:fft:wrongClass");
    EXPECT_EQ(failureOfCall("fft", 1, {x.get(), zero.get(), zero.get(), zero.get()}), "veldra:fft:wrongArgumentCount");
}

}  // namespace
