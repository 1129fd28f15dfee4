// Dense linear algebra on double and single, real and complex: matmul,
// solve, inv, det, eig, svd, qr, chol, norm, rank.  Products, square solves
// and LU go to BLAS/LAPACK; the decompositions use Eigen.  Single inputs are
// computed in double and the results stored as single.
#include "numerics/common.hpp"

#include <complex>
#define lapack_complex_float std::complex<float>
#define lapack_complex_double std::complex<double>
#include <cblas.h>
#include <lapacke.h>

#include <Eigen/Cholesky>
#include <Eigen/Dense>
#include <Eigen/Eigenvalues>
#include <Eigen/QR>
#include <Eigen/SVD>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace veldra::engine {
namespace {

using namespace num;
using support::ordinal;
using cd = std::complex<double>;
template <class T>
using Mat = Eigen::Matrix<T, Eigen::Dynamic, Eigen::Dynamic>;
using MatR = Mat<double>;
using MatC = Mat<cd>;

void useThreads(CallContext& ctx) {
    openblas_set_num_threads(std::max(1, ctx.threads()));
}

// A matrix argument: double or single, full, two dimensions.
struct Operand {
    const qxArray* a;
    qxSize m, n;
    bool single, complex;
};

Operand operand(const char* fn, const Args& args, std::size_t i) {
    const qxArray* a = args.at(i);
    const qxClassID c = qxGetClassID(a);
    if ((c != qxDOUBLE_CLASS && c != qxSINGLE_CLASS) || qxIsSparse(a))
        fail(fn, "wrongClass",
             "The " + ordinal(i) + " argument of " + fn + " must be a full double or single matrix, not " +
                 (qxIsSparse(a) ? std::string("a sparse array") : std::string(support::className(c))) + ".");
    if (qxGetNumberOfDimensions(a) != 2)
        fail(fn, "notMatrix",
             "The " + ordinal(i) + " argument of " + std::string(fn) + " must be a matrix (two dimensions).");
    return {a, qxGetM(a), qxGetN(a), c == qxSINGLE_CLASS, qxIsComplex(a)};
}

void requireSquare(const char* fn, const Operand& a) {
    if (a.m != a.n)
        fail(fn, "notSquare",
             std::string(fn) + " needs a square matrix; this one is " + std::to_string(a.m) + "-by-" +
                 std::to_string(a.n) + ".");
}

template <class T>
Mat<T> load(const char* fn, const Operand& o) {
    const Values v = readArray(fn, o.a, 0);
    Mat<T> out(o.m, o.n);
    preferHugePages(out.data(), sizeof(T) * static_cast<std::size_t>(out.size()));
    for (qxSize i = 0; i < v.n; ++i) {
        if constexpr (std::is_same_v<T, double>) out.data()[i] = v.re[i];
        else out.data()[i] = cd(v.re[i], v.im ? v.im[i] : 0.0);
    }
    return out;
}

template <class T>
void requireFinite(const char* fn, const Mat<T>& a) {
    if (!a.allFinite()) fail(fn, "nonFinite", std::string(fn) + " needs a matrix of finite values (no Inf or NaN).");
}

// load() and requireFinite() in one pass over the elements: a large matrix
// is read once instead of twice.
template <class T>
Mat<T> loadFinite(const char* fn, const Operand& o) {
    if constexpr (std::is_same_v<T, double>) {
        const Values v = readArray(fn, o.a, 0);
        if (v.im == nullptr) {
            Mat<T> out(o.m, o.n);
            double* to = out.data();
            preferHugePages(to, sizeof(double) * static_cast<std::size_t>(out.size()));
            // Inf and NaN have every exponent bit set; an integer test, so
            // that the loop vectorises.
            constexpr std::uint64_t kExponent = 0x7ff0000000000000ULL;
            std::uint64_t bad = 0;
            for (qxSize i = 0; i < v.n; ++i) {
                std::uint64_t bits;
                std::memcpy(&bits, v.re + i, sizeof bits);
                std::memcpy(to + i, &bits, sizeof bits);
                bad |= static_cast<std::uint64_t>((bits & kExponent) == kExponent);
            }
            if (bad != 0) fail(fn, "nonFinite", std::string(fn) + " needs a matrix of finite values (no Inf or NaN).");
            return out;
        }
    }
    Mat<T> out = load<T>(fn, o);
    requireFinite(fn, out);
    return out;
}

template <class T>
Array save(const Mat<T>& a, bool single) {
    const qxSize n = static_cast<qxSize>(a.size());
    std::vector<double> re(n), im;
    if constexpr (std::is_same_v<T, cd>) {
        im.resize(n);
        for (qxSize i = 0; i < n; ++i) re[i] = a.data()[i].real(), im[i] = a.data()[i].imag();
    } else {
        for (qxSize i = 0; i < n; ++i) re[i] = a.data()[i];
    }
    return fromDoubles({static_cast<qxSize>(a.rows()), static_cast<qxSize>(a.cols())},
                       single ? qxSINGLE_CLASS : qxDOUBLE_CLASS, re.data(), im.empty() ? nullptr : im.data());
}

// Runs f.template operator()<T>() with T double or complex.
template <class F>
auto dispatch(bool complex, F&& f) {
    if (complex) return f(cd{});
    return f(double{});
}

// ---- products --------------------------------------------------------------------

Results fn_matmul(CallContext& ctx, int, const Args& args) {
    support::requireArgCount("matmul", args, 2, 2);
    const Operand a = operand("matmul", args, 0), b = operand("matmul", args, 1);
    if (qxIsScalar(a.a) || qxIsScalar(b.a)) return ctx.functions().call(ctx, "multiply", 1, args);
    if (a.n != b.m)
        fail("matmul", "sizeMismatch",
             "matmul: the columns of the 1st argument (" + std::to_string(a.n) + ") must match the rows of the 2nd (" +
                 std::to_string(b.m) + ").");
    useThreads(ctx);
    const bool single = a.single || b.single;
    const qxSize m = a.m, n = b.n, k = a.n;
    if (!a.complex && !b.complex && !single) {
        // dgemm with beta 0 writes every element without reading one; with
        // k == 0 the product is zeros.
        Array out = k ? createForOverwrite({m, n}, qxDOUBLE_CLASS, false) : create({m, n}, qxDOUBLE_CLASS, false);
        if (m && n && k)
            cblas_dgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0,
                        static_cast<const double*>(qxGetData(a.a)), m, static_cast<const double*>(qxGetData(b.a)), k,
                        0.0, static_cast<double*>(qxGetData(out.get())), m);
        return support::one(std::move(out));
    }
    if (!a.complex && !b.complex) {
        auto asFloat = [](const qxArray* x) {
            const Values v = readArray("matmul", x, 0);
            return std::vector<float>(v.re, v.re + v.n);
        };
        const std::vector<float> x = asFloat(a.a), y = asFloat(b.a);
        Array out = create({m, n}, qxSINGLE_CLASS, false);
        if (m && n && k)
            cblas_sgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0f, x.data(), m, y.data(), k, 0.0f,
                        static_cast<float*>(qxGetData(out.get())), m);
        return support::one(std::move(out));
    }
    const MatC x = load<cd>("matmul", a), y = load<cd>("matmul", b);
    MatC z = MatC::Zero(m, n);
    const cd one(1), zero(0);
    if (m && n && k)
        cblas_zgemm(CblasColMajor, CblasNoTrans, CblasNoTrans, m, n, k, &one, x.data(), m, y.data(), k, &zero, z.data(),
                    m);
    return support::one(save(z, single));
}

// ---- solving ---------------------------------------------------------------------

template <class T>
lapack_int getrf(Mat<T>& a, std::vector<lapack_int>& piv) {
    piv.resize(std::max<Eigen::Index>(1, std::min(a.rows(), a.cols())));
    if (a.size() == 0) return 0;
    if constexpr (std::is_same_v<T, double>)
        return LAPACKE_dgetrf(LAPACK_COL_MAJOR, a.rows(), a.cols(), a.data(), a.rows(), piv.data());
    else return LAPACKE_zgetrf(LAPACK_COL_MAJOR, a.rows(), a.cols(), a.data(), a.rows(), piv.data());
}

[[noreturn]] void singular(const char* fn) {
    fail(fn, "singular", std::string(fn) + ": the matrix is singular.");
}

Results fn_solve(CallContext& ctx, int, const Args& args) {
    support::requireArgCount("solve", args, 2, 2);
    const Operand a = operand("solve", args, 0), b = operand("solve", args, 1);
    if (a.m != b.m)
        fail("solve", "sizeMismatch",
             "solve: the rows of the matrix (" + std::to_string(a.m) + ") and the right-hand side (" +
                 std::to_string(b.m) + ") differ.");
    useThreads(ctx);
    const bool single = a.single || b.single;
    return dispatch(a.complex || b.complex, [&](auto tag) {
        using T = decltype(tag);
        Mat<T> A = loadFinite<T>("solve", a), B = load<T>("solve", b);
        if (a.m == a.n) {
            std::vector<lapack_int> piv(std::max<qxSize>(1, a.n));
            lapack_int info = 0;
            if (a.n && b.n) {
                if constexpr (std::is_same_v<T, double>)
                    info = LAPACKE_dgesv(LAPACK_COL_MAJOR, a.n, b.n, A.data(), a.n, piv.data(), B.data(), a.n);
                else info = LAPACKE_zgesv(LAPACK_COL_MAJOR, a.n, b.n, A.data(), a.n, piv.data(), B.data(), a.n);
            }
            if (info > 0) singular("solve");
            return support::one(save(B, single));
        }
        // Rectangular: the least-squares solution of least norm.
        Eigen::CompleteOrthogonalDecomposition<Mat<T>> cod(A);
        Mat<T> X = cod.solve(B);
        return support::one(save(X, single));
    });
}

Results fn_inv(CallContext& ctx, int, const Args& args) {
    support::requireArgCount("inv", args, 1, 1);
    const Operand a = operand("inv", args, 0);
    requireSquare("inv", a);
    useThreads(ctx);
    return dispatch(a.complex, [&](auto tag) {
        using T = decltype(tag);
        Mat<T> A = load<T>("inv", a);
        requireFinite("inv", A);
        std::vector<lapack_int> piv;
        if (getrf(A, piv) > 0) singular("inv");
        if (a.n) {
            lapack_int info;
            if constexpr (std::is_same_v<T, double>)
                info = LAPACKE_dgetri(LAPACK_COL_MAJOR, a.n, A.data(), a.n, piv.data());
            else info = LAPACKE_zgetri(LAPACK_COL_MAJOR, a.n, A.data(), a.n, piv.data());
            if (info > 0) singular("inv");
        }
        return support::one(save(A, a.single));
    });
}

Results fn_det(CallContext& ctx, int, const Args& args) {
    support::requireArgCount("det", args, 1, 1);
    const Operand a = operand("det", args, 0);
    requireSquare("det", a);
    useThreads(ctx);
    return dispatch(a.complex, [&](auto tag) {
        using T = decltype(tag);
        Mat<T> A = load<T>("det", a);
        std::vector<lapack_int> piv;
        getrf(A, piv);
        T d = 1;
        for (qxSize i = 0; i < a.n; ++i) {
            d *= A(i, i);
            if (piv[i] != static_cast<lapack_int>(i + 1)) d = -d;
        }
        Mat<T> r(1, 1);
        r(0, 0) = d;
        return support::one(save(r, a.single));
    });
}

// ---- decompositions --------------------------------------------------------------

Results fn_eig(CallContext&, int nargout, const Args& args) {
    support::requireArgCount("eig", args, 1, 1);
    const Operand a = operand("eig", args, 0);
    requireSquare("eig", a);
    const bool vectors = nargout > 1;
    return dispatch(a.complex, [&](auto tag) {
        using T = decltype(tag);
        const Mat<T> A = load<T>("eig", a);
        requireFinite("eig", A);
        Results r;
        if (A.isApprox(A.adjoint(), 0) || A.size() == 0) {
            // Hermitian: real values in ascending order, orthonormal vectors.
            Eigen::SelfAdjointEigenSolver<Mat<T>> es(A, vectors ? Eigen::ComputeEigenvectors : Eigen::EigenvaluesOnly);
            if (es.info() != Eigen::Success) fail("eig", "noConvergence", "eig did not converge.");
            const MatR values = es.eigenvalues();
            if (!vectors) return support::one(save(values, a.single));
            r.push_back(save(Mat<T>(es.eigenvectors()), a.single));
            r.push_back(save(MatR(values.asDiagonal()), a.single));
            return r;
        }
        MatC values, vecs;
        if constexpr (std::is_same_v<T, double>) {
            Eigen::EigenSolver<MatR> es(A, vectors);
            if (es.info() != Eigen::Success) fail("eig", "noConvergence", "eig did not converge.");
            values = es.eigenvalues();
            if (vectors) vecs = es.eigenvectors();
        } else {
            Eigen::ComplexEigenSolver<MatC> es(A, vectors);
            if (es.info() != Eigen::Success) fail("eig", "noConvergence", "eig did not converge.");
            values = es.eigenvalues();
            if (vectors) vecs = es.eigenvectors();
        }
        if (!vectors) return support::one(save(values, a.single));
        r.push_back(save(vecs, a.single));
        r.push_back(save(MatC(values.col(0).asDiagonal()), a.single));
        return r;
    });
}

Results fn_svd(CallContext&, int nargout, const Args& args) {
    support::requireArgCount("svd", args, 1, 1);
    const Operand a = operand("svd", args, 0);
    const bool vectors = nargout > 1;
    return dispatch(a.complex, [&](auto tag) {
        using T = decltype(tag);
        const Mat<T> A = load<T>("svd", a);
        requireFinite("svd", A);
        Eigen::BDCSVD<Mat<T>> svd(A, vectors ? Eigen::ComputeFullU | Eigen::ComputeFullV : 0);
        const MatR s = svd.singularValues();
        if (!vectors) return support::one(save(s, a.single));
        MatR S = MatR::Zero(a.m, a.n);
        for (Eigen::Index i = 0; i < s.size(); ++i) S(i, i) = s(i);
        Results r;
        r.push_back(save(Mat<T>(svd.matrixU()), a.single));
        r.push_back(save(S, a.single));
        if (nargout > 2) r.push_back(save(Mat<T>(svd.matrixV()), a.single));
        return r;
    });
}

Results fn_qr(CallContext&, int nargout, const Args& args) {
    support::requireArgCount("qr", args, 1, 1);
    const Operand a = operand("qr", args, 0);
    return dispatch(a.complex, [&](auto tag) {
        using T = decltype(tag);
        const Mat<T> A = load<T>("qr", a);
        requireFinite("qr", A);
        Eigen::HouseholderQR<Mat<T>> qr(A);
        const Mat<T> R = qr.matrixQR().template triangularView<Eigen::Upper>();
        if (nargout < 2) return support::one(save(R, a.single));
        const Mat<T> Q = qr.householderQ() * Mat<T>::Identity(a.m, a.m);
        Results r;
        r.push_back(save(Q, a.single));
        r.push_back(save(R, a.single));
        return r;
    });
}

Results fn_chol(CallContext&, int, const Args& args) {
    support::requireArgCount("chol", args, 1, 1);
    const Operand a = operand("chol", args, 0);
    requireSquare("chol", a);
    return dispatch(a.complex, [&](auto tag) {
        using T = decltype(tag);
        const Mat<T> A = load<T>("chol", a);
        requireFinite("chol", A);
        // The upper triangle defines the matrix; R'*R = A.
        Eigen::LLT<Mat<T>, Eigen::Upper> llt(A);
        if (llt.info() != Eigen::Success)
            fail("chol", "notPositiveDefinite", "chol needs a (Hermitian) positive definite matrix.");
        return support::one(save(Mat<T>(llt.matrixU()), a.single));
    });
}

// ---- norms and rank --------------------------------------------------------------

template <class T>
MatR singularValues(const Mat<T>& A) {
    if (A.size() == 0) return MatR(0, 1);
    Eigen::BDCSVD<Mat<T>> svd(A);
    return svd.singularValues();
}

Results fn_norm(CallContext&, int, const Args& args) {
    support::requireArgCount("norm", args, 1, 2);
    const Operand a = operand("norm", args, 0);
    // p: a number (Inf allowed) or 'fro' / 'inf'.
    double p = 2;
    bool fro = false;
    if (args.size() > 1) {
        if (qxGetClassID(args[1]) == qxCHAR_CLASS) {
            const std::string s = support::textArg("norm", args, 1);
            if (s == "fro") fro = true;
            else if (s == "inf" || s == "Inf") p = std::numeric_limits<double>::infinity();
            else fail("norm", "badType", "The norm type must be a number, 'fro' or 'inf', not '" + s + "'.");
        } else {
            p = support::realScalarArg("norm", args, 1);
            if (std::isnan(p)) fail("norm", "badType", "The norm type must not be NaN.");
        }
    }
    const bool vector = a.m == 1 || a.n == 1;
    return dispatch(a.complex, [&](auto tag) {
        using T = decltype(tag);
        const Mat<T> A = load<T>("norm", a);
        const MatR mag = A.cwiseAbs();
        double r = 0;
        if (A.size() == 0) {
            r = 0;
        } else if (fro) {
            r = A.norm();
        } else if (vector) {
            if (std::isinf(p)) r = p > 0 ? mag.maxCoeff() : mag.minCoeff();
            else if (p == 2) r = A.norm();
            else if (p == 1) r = mag.sum();
            else if (p == 0) fail("norm", "badType", "norm type 0 is not defined.");
            else r = std::pow(mag.array().pow(p).sum(), 1.0 / p);
        } else if (p == 1) {
            r = mag.colwise().sum().maxCoeff();
        } else if (std::isinf(p) && p > 0) {
            r = mag.rowwise().sum().maxCoeff();
        } else if (p == 2) {
            requireFinite("norm", A);
            r = singularValues(A)(0);
        } else {
            fail("norm", "badType", "The norm of a matrix is of type 1, 2, Inf or 'fro'.");
        }
        return support::one(save(MatR(MatR::Constant(1, 1, r)), a.single));
    });
}

Results fn_rank(CallContext&, int, const Args& args) {
    support::requireArgCount("rank", args, 1, 2);
    const Operand a = operand("rank", args, 0);
    return dispatch(a.complex, [&](auto tag) {
        using T = decltype(tag);
        const Mat<T> A = load<T>("rank", a);
        requireFinite("rank", A);
        const MatR s = singularValues(A);
        const double eps = a.single ? std::numeric_limits<float>::epsilon() : std::numeric_limits<double>::epsilon();
        const double tol = args.size() > 1 ? support::realScalarArg("rank", args, 1)
                                           : (s.size() ? static_cast<double>(std::max(a.m, a.n)) * s(0) * eps : 0);
        double r = 0;
        for (Eigen::Index i = 0; i < s.size(); ++i)
            if (s(i) > tol) ++r;
        return support::one(support::scalarDouble(r));
    });
}

}  // namespace

VELDRA_ENGINE_FUNCTION(matmul, 1, fn_matmul);
VELDRA_ENGINE_FUNCTION(solve, 1, fn_solve);
VELDRA_ENGINE_FUNCTION(inv, 1, fn_inv);
VELDRA_ENGINE_FUNCTION(det, 1, fn_det);
VELDRA_ENGINE_FUNCTION(eig, 2, fn_eig);
VELDRA_ENGINE_FUNCTION(svd, 3, fn_svd);
VELDRA_ENGINE_FUNCTION(qr, 2, fn_qr);
VELDRA_ENGINE_FUNCTION(chol, 1, fn_chol);
VELDRA_ENGINE_FUNCTION(norm, 1, fn_norm);
VELDRA_ENGINE_FUNCTION(rank, 1, fn_rank);

}  // namespace veldra::engine
