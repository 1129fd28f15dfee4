// Functions that build arrays: reshape, tile, cast, complex, sparse, cell_new.
#include "functions/support.hpp"

#include <qx/block.hpp>
#include <qx/element.hpp>

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace veldra::engine {
namespace {

using namespace support;

// n elements of class sc at src (stride 0: one value repeated) into class dc.
void convertBlock(const void* src, qxClassID sc, qxSize srcStride, void* dst, qxClassID dc, qxSize n, const char* fn) {
    qx::visitElementType(sc, [&](auto s) {
        using S = decltype(s);
        const S* in = static_cast<const S*>(src);
        if (dc == qxLOGICAL_CLASS) {
            auto* out = static_cast<qxLogical*>(dst);
            for (qxSize i = 0; i < n; ++i) {
                const S v = in[i * srcStride];
                if constexpr (std::is_floating_point_v<S>)
                    if (std::isnan(v)) fail(fn, "nanToLogical", "NaN cannot be converted to logical.");
                out[i] = v != 0 ? 1 : 0;
            }
            return;
        }
        qx::visitElementType(dc, [&](auto d) {
            using D = decltype(d);
            D* out = static_cast<D*>(dst);
            for (qxSize i = 0; i < n; ++i) out[i] = qx::elementCast<D>(in[i * srcStride]);
        });
    });
}

bool isNumericOrLogical(const qxArray* a) {
    return qxIsNumeric(a) || qxGetClassID(a) == qxLOGICAL_CLASS;
}

// ---- cast -------------------------------------------------------------------------
Results fn_cast(CallContext&, int, const Args& args) {
    requireArgCount("cast", args, 2, 2);
    const qxArray* x = args[0];
    const std::string target = textArg("cast", args, 1);
    const qxClassID to = classFromName(target);
    if (to != qxLOGICAL_CLASS && !(to >= qxDOUBLE_CLASS && to <= qxUINT64_CLASS))
        fail("cast", "badClass", "cast cannot convert to '" + target + "'.");
    if (!isNumericOrLogical(x))
        fail("cast", "wrongClass",
             std::string("cast converts numeric or logical values, not ") + className(qxGetClassID(x)) + ".");
    if (qxGetClassID(x) == to) return one(sharedCopy(x));
    if (qxIsSparse(x)) fail("cast", "sparse", "cast cannot convert sparse arrays.");
    const bool complex = qxIsComplex(x);
    if (complex && to == qxLOGICAL_CLASS)
        fail("cast", "complexToLogical", "Complex values cannot be converted to logical.");
    Array r =
        checked(qxCreateNumericArray(qxGetNumberOfDimensions(x), qxGetDimensions(x), to, complex ? qxCOMPLEX : qxREAL));
    const qxSize n = qxGetNumberOfElements(x);
    if (n > 0) {
        convertBlock(qxGetData(x), qxGetClassID(x), 1, qxGetData(r.get()), to, n, "cast");
        if (complex) convertBlock(qxGetImagData(x), qxGetClassID(x), 1, qxGetImagData(r.get()), to, n, "cast");
    }
    return one(std::move(r));
}

// ---- complex ----------------------------------------------------------------------
Results fn_complex(CallContext&, int, const Args& args) {
    requireArgCount("complex", args, 2, 2);
    const qxArray* re = args[0];
    const qxArray* im = args[1];
    for (std::size_t i = 0; i < 2; ++i)
        if (!qxIsNumeric(args[i]) || qxIsComplex(args[i]) || qxIsSparse(args[i]))
            fail("complex", "wrongClass",
                 "The " + ordinal(i) + " argument of complex must be a real, full numeric array.");
    const qxSize n = qxGetNumberOfElements(re);
    const bool scalarIm = qxGetNumberOfElements(im) == 1;
    if (!scalarIm && matrix::get_dimensions(im) != matrix::get_dimensions(re))
        fail("complex", "sizeMismatch", "The imaginary part must be a scalar or have the size of the real part.");
    Array r =
        checked(qxCreateNumericArray(qxGetNumberOfDimensions(re), qxGetDimensions(re), qxGetClassID(re), qxCOMPLEX));
    if (n > 0) {
        std::memcpy(qxGetData(r.get()), qxGetData(re), n * qxGetElementSize(re));
        convertBlock(qxGetData(im), qxGetClassID(im), scalarIm ? 0 : 1, qxGetImagData(r.get()), qxGetClassID(re), n,
                     "complex");
    }
    return one(std::move(r));
}

// ---- sparse -----------------------------------------------------------------------
Results fn_sparse(CallContext&, int, const Args& args) {
    requireArgCount("sparse", args, 1, 1);
    const qxArray* x = args[0];
    const qxClassID c = qxGetClassID(x);
    if ((c != qxDOUBLE_CLASS && c != qxLOGICAL_CLASS) || qxIsComplex(x))
        fail("sparse", "wrongClass", "sparse converts real double or logical arrays.");
    if (qxIsSparse(x)) return one(sharedCopy(x));
    if (qxGetNumberOfDimensions(x) != 2) fail("sparse", "notMatrix", "sparse converts matrices only.");
    const qxSize m = qxGetM(x), n = qxGetN(x), numel = m * n;
    auto isNonZero = [&](qxSize k) {
        return c == qxDOUBLE_CLASS ? static_cast<const double*>(qxGetData(x))[k] != 0
                                   : static_cast<const qxLogical*>(qxGetData(x))[k] != 0;
    };
    qxSize nnz = 0;
    for (qxSize k = 0; k < numel; ++k) nnz += isNonZero(k);
    const qxSize room = nnz > 0 ? nnz : 1;
    Array r =
        checked(c == qxDOUBLE_CLASS ? qxCreateSparse(m, n, room, qxREAL) : qxCreateSparseLogicalMatrix(m, n, room));
    qxSize* ir = qxGetIr(r.get());
    qxSize* jc = qxGetJc(r.get());
    const std::size_t es = qxGetElementSize(x);
    auto* out = static_cast<unsigned char*>(qxGetData(r.get()));
    const auto* in = static_cast<const unsigned char*>(qxGetData(x));
    qxSize p = 0;
    for (qxSize j = 0; j < n; ++j) {
        jc[j] = p;
        for (qxSize i = 0; i < m; ++i) {
            const qxSize k = j * m + i;
            if (!isNonZero(k)) continue;
            ir[p] = i;
            std::memcpy(out + p * es, in + k * es, es);
            ++p;
        }
    }
    jc[n] = p;
    return one(std::move(r));
}

// A new sparse matrix like x (class, complexity) of the given size and room.
Array newSparseLike(const qxArray* x, qxSize m, qxSize n, qxSize nnz) {
    const qxSize room = nnz > 0 ? nnz : 1;
    return checked(qxGetClassID(x) == qxLOGICAL_CLASS
                       ? qxCreateSparseLogicalMatrix(m, n, room)
                       : qxCreateSparse(m, n, room, qxIsComplex(x) ? qxCOMPLEX : qxREAL));
}

void copySparseValue(const qxArray* x, qxSize from, qxArray* r, qxSize to) {
    const std::size_t es = qxGetElementSize(x);
    std::memcpy(static_cast<unsigned char*>(qxGetData(r)) + to * es,
                static_cast<const unsigned char*>(qxGetData(x)) + from * es, es);
    if (qxIsComplex(x))
        std::memcpy(static_cast<unsigned char*>(qxGetImagData(r)) + to * es,
                    static_cast<const unsigned char*>(qxGetImagData(x)) + from * es, es);
}

// ---- reshape ----------------------------------------------------------------------
Array reshapeSparse(const qxArray* x, qxSize m2, qxSize n2) {
    const qxSize m = qxGetM(x), n = qxGetN(x);
    const qxSize* jc = qxGetJc(x);
    const qxSize* ir = qxGetIr(x);
    Array r = newSparseLike(x, m2, n2, jc[n]);
    qxSize* jc2 = qxGetJc(r.get());
    qxSize* ir2 = qxGetIr(r.get());
    // Column-major order is kept, so entries arrive sorted for the new shape too.
    qxSize col = 0;
    jc2[0] = 0;
    for (qxSize j = 0; j < n; ++j) {
        for (qxSize k = jc[j]; k < jc[j + 1]; ++k) {
            const qxSize linear = j * m + ir[k];
            const qxSize c2 = linear / m2;
            while (col < c2) jc2[++col] = k;
            ir2[k] = linear % m2;
            copySparseValue(x, k, r.get(), k);
        }
    }
    while (col < n2) jc2[++col] = jc[n];
    return r;
}

Results fn_reshape(CallContext&, int, const Args& args) {
    requireArgCount("reshape", args, 3, -1);
    const qxArray* x = args[0];
    std::vector<qxSize> dims;
    for (std::size_t i = 1; i < args.size(); ++i) dims.push_back(countArg("reshape", args, i));
    qxSize numel = 0;
    if (!product(dims, &numel) || numel != qxGetNumberOfElements(x))
        fail("reshape", "sizeMismatch",
             "reshape cannot change the number of elements (" + std::to_string(qxGetNumberOfElements(x)) + ").");
    if (qxIsSparse(x)) {
        std::vector<qxSize> d = dims;
        while (d.size() > 2 && d.back() == 1) d.pop_back();
        if (d.size() != 2) fail("reshape", "sparseNd", "Sparse arrays have two dimensions only.");
        if (d[0] == qxGetM(x) && d[1] == qxGetN(x)) return one(sharedCopy(x));
        return one(reshapeSparse(x, d[0], d[1]));
    }
    Array r = sharedCopy(x);
    if (!qxSetDimensions(r.get(), dims.data(), dims.size()))
        fail("reshape", "sizeMismatch", "reshape cannot give the array those dimensions.");
    return one(std::move(r));
}

// ---- tile -------------------------------------------------------------------------
Array tileSparse(const qxArray* x, qxSize m, qxSize n, qxSize rows, qxSize cols) {
    const qxSize d0 = qxGetM(x), d1 = qxGetN(x);
    const qxSize* jc = qxGetJc(x);
    const qxSize* ir = qxGetIr(x);
    qxSize nnz = 0;
    if (__builtin_mul_overflow(jc[d1], m, &nnz) || __builtin_mul_overflow(nnz, n, &nnz))
        fail("tile", "tooLarge", "The tiled array would be too large.");
    Array r = newSparseLike(x, rows, cols, nnz);
    qxSize* jc2 = qxGetJc(r.get());
    qxSize* ir2 = qxGetIr(r.get());
    qxSize p = 0;
    for (qxSize J = 0; J < cols; ++J) {
        jc2[J] = p;
        const qxSize j = J % d1;
        for (qxSize rep = 0; rep < m; ++rep)
            for (qxSize k = jc[j]; k < jc[j + 1]; ++k) {
                ir2[p] = ir[k] + rep * d0;
                copySparseValue(x, k, r.get(), p);
                ++p;
            }
    }
    jc2[cols] = p;
    return r;
}

Results fn_tile(CallContext&, int, const Args& args) {
    requireArgCount("tile", args, 3, 3);
    const qxArray* x = args[0];
    const qxSize m = countArg("tile", args, 1);
    const qxSize n = countArg("tile", args, 2);
    const qxClassID c = qxGetClassID(x);
    std::vector<qxSize> dims = matrix::get_dimensions(x);
    const qxSize d0 = dims[0], d1 = dims[1];
    qxSize rows = 0, cols = 0, total = 0;
    if (__builtin_mul_overflow(d0, m, &rows) || __builtin_mul_overflow(d1, n, &cols))
        fail("tile", "tooLarge", "The tiled array would be too large.");
    dims[0] = rows;
    dims[1] = cols;
    if (!product(dims, &total)) fail("tile", "tooLarge", "The tiled array would be too large.");
    if (qxIsSparse(x)) return one(tileSparse(x, m, n, rows, cols));
    if (m == 1 && n == 1) return one(sharedCopy(x));
    if (c == qxFUNCTION_CLASS) fail("tile", "wrongClass", "A function value cannot be tiled.");
    qxSize rest = 1;  // fits: it divides the element count of the result
    for (std::size_t k = 2; k < dims.size(); ++k) rest *= dims[k];
    if (total == 0) rest = 0;

    // Calls copy(from, to) for each element of the result, in order, with its source.
    auto forEachElement = [&](auto&& copy) {
        qxSize to = 0;
        for (qxSize k = 0; k < rest; ++k)
            for (qxSize J = 0; J < cols; ++J) {
                const qxSize column = d0 * ((J % d1) + d1 * k);
                for (qxSize I = 0; I < rows; ++I) copy(column + I % d0, to++);
            }
    };

    const qxSize ndim = dims.size();
    Array r;
    if (c == qxCELL_CLASS) {
        r = checked(qxCreateCellArray(ndim, dims.data()));
        forEachElement([&](qxSize from, qxSize to) {
            if (const qxArray* v = qxGetCell(x, from)) qxSetCell(r.get(), to, sharedCopy(v).release());
        });
    } else if (c == qxSTRUCT_CLASS) {
        const int nf = qxGetNumberOfFields(x);
        std::vector<const char*> names;
        for (int f = 0; f < nf; ++f) names.push_back(qxGetFieldNameByNumber(x, f));
        r = checked(qxCreateStructArray(ndim, dims.data(), nf, names.data()));
        forEachElement([&](qxSize from, qxSize to) {
            for (int f = 0; f < nf; ++f)
                if (const qxArray* v = qxGetFieldByNumber(x, from, f))
                    qxSetFieldByNumber(r.get(), to, f, sharedCopy(v).release());
        });
    } else if (c == qxOBJECT_CLASS) {
        const std::uint64_t* ids = qx::objectIds(x);
        std::vector<std::uint64_t> out(total);
        forEachElement([&](qxSize from, qxSize to) { out[to] = ids[from]; });
        r = checked(qx::createObjectArray(ndim, dims.data(), out.data(), qx::objectSession(x)));
    } else if (isNumericOrLogical(x) || c == qxCHAR_CLASS) {
        r = checked(c == qxCHAR_CLASS
                        ? qxCreateCharArray(ndim, dims.data())
                        : qxCreateNumericArray(ndim, dims.data(), c, qxIsComplex(x) ? qxCOMPLEX : qxREAL));
        const std::size_t es = qxGetElementSize(x);
        // Source columns are contiguous: copy them whole, m times each.
        auto copyBlock = [&](const void* src, void* dst) {
            if (!src || !dst) return;
            const auto* in = static_cast<const unsigned char*>(src);
            auto* out = static_cast<unsigned char*>(dst);
            qxSize to = 0;
            for (qxSize k = 0; k < rest; ++k)
                for (qxSize J = 0; J < cols; ++J) {
                    const qxSize column = d0 * ((J % d1) + d1 * k);
                    for (qxSize rep = 0; rep < m; ++rep, to += d0)
                        std::memcpy(out + to * es, in + column * es, d0 * es);
                }
        };
        copyBlock(qxGetData(x), qxGetData(r.get()));
        copyBlock(qxGetImagData(x), qxGetImagData(r.get()));
    } else {
        fail("tile", "wrongClass", std::string("tile cannot tile ") + className(c) + " values.");
    }
    return one(std::move(r));
}

// ---- cell_new ---------------------------------------------------------------------
Results fn_cell_new(CallContext&, int, const Args& args) {
    requireArgCount("cell_new", args, 2, 2);
    const qxSize m = countArg("cell_new", args, 0);
    const qxSize n = countArg("cell_new", args, 1);
    return one(checked(qxCreateCellMatrix(m, n)));
}

}  // namespace

VELDRA_ENGINE_FUNCTION(cast, 1, fn_cast);
VELDRA_ENGINE_FUNCTION(complex, 1, fn_complex);
VELDRA_ENGINE_FUNCTION(sparse, 1, fn_sparse);
VELDRA_ENGINE_FUNCTION(reshape, 1, fn_reshape);
VELDRA_ENGINE_FUNCTION(tile, 1, fn_tile);
VELDRA_ENGINE_FUNCTION(cell_new, 1, fn_cell_new);

}  // namespace veldra::engine
