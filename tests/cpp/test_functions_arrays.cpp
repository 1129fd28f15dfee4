// class_of, dims, reshape, tile, cast, complex, sparse and friends.
#include "test_functions_support.hpp"

#include <qx/block.hpp>
#include <qx/vdutil.hpp>

#include <cmath>
#include <limits>

namespace {

using namespace fntest;

class ArrayFnTest : public FnTest {};

TEST_F(ArrayFnTest, ClassOfNamesEveryClass) {
    const qxSize one[2] = {1, 1};
    const char* field = "f";
    std::vector<std::pair<Array, std::string>> cases;
    const std::pair<qxClassID, const char*> numeric[] = {
        {qxDOUBLE_CLASS, "double"}, {qxSINGLE_CLASS, "single"}, {qxINT8_CLASS, "int8"},      {qxUINT8_CLASS, "uint8"},
        {qxINT16_CLASS, "int16"},   {qxUINT16_CLASS, "uint16"}, {qxINT32_CLASS, "int32"},    {qxUINT32_CLASS, "uint32"},
        {qxINT64_CLASS, "int64"},   {qxUINT64_CLASS, "uint64"}, {qxLOGICAL_CLASS, "logical"}};
    for (const auto& [c, name] : numeric) cases.emplace_back(num(0, c), name);
    cases.emplace_back(str("x"), "char");
    cases.emplace_back(Array(qxCreateCellMatrix(0, 0)), "cell");
    cases.emplace_back(Array(qxCreateStructMatrix(1, 1, 1, &field)), "struct");
    cases.emplace_back(Array(qxCreateFunctionHandle("calc")), "function");
    cases.emplace_back(Array(qx::createObjectArray(2, one, std::vector<std::uint64_t>{7}.data(), nullptr)), "object");
    for (const auto& [a, name] : cases) EXPECT_EQ(matrix::get_string(call1("class_of", {a.get()}).get()), name);
}

TEST_F(ArrayFnTest, DimsAndPredicates) {
    const qxSize d3[3] = {2, 0, 4};
    Array nd(qxCreateCellArray(3, d3));
    EXPECT_EQ(values(call1("dims", {nd.get()}).get()), (std::vector<double>{2, 0, 4}));
    Array cplx(qxCreateNumericMatrix(2, 2, qxSINGLE_CLASS, qxCOMPLEX));
    Array sp(qxCreateSparse(3, 3, 1, qxREAL));
    Array real = mat(1, 1, {3});
    EXPECT_TRUE(logicalValue(call1("is_complex", {cplx.get()}).get()));
    EXPECT_FALSE(logicalValue(call1("is_complex", {real.get()}).get()));
    EXPECT_TRUE(logicalValue(call1("is_sparse", {sp.get()}).get()));
    EXPECT_FALSE(logicalValue(call1("is_sparse", {cplx.get()}).get()));
}

TEST_F(ArrayFnTest, ReshapeKeepsColumnMajorOrder) {
    Array x = mat(2, 3, {1, 2, 3, 4, 5, 6});
    Array three = num(3), two = num(2, qxUINT8_CLASS), one = num(1, qxINT64_CLASS);
    Array r = call1("reshape", {x.get(), three.get(), two.get()});
    EXPECT_EQ(matrix::get_dimensions(r.get()), (std::vector<qxSize>{3, 2}));
    EXPECT_EQ(values(r.get()), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    r = call1("reshape", {x.get(), one.get(), three.get(), two.get()});
    EXPECT_EQ(matrix::get_dimensions(r.get()), (std::vector<qxSize>{1, 3, 2}));
    EXPECT_EQ(values(x.get()), (std::vector<double>{1, 2, 3, 4, 5, 6}));  // input untouched
}

// Dense column-major values of a real sparse double matrix.
std::vector<double> densify(const qxArray* a) {
    std::vector<double> out(qxGetM(a) * qxGetN(a), 0.0);
    const qxSize* jc = qxGetJc(a);
    const qxSize* ir = qxGetIr(a);
    const auto* v = static_cast<const double*>(qxGetData(a));
    for (qxSize j = 0; j < qxGetN(a); ++j) {
        EXPECT_LE(jc[j], jc[j + 1]);
        for (qxSize k = jc[j]; k < jc[j + 1]; ++k) {
            if (k > jc[j]) {
                EXPECT_LT(ir[k - 1], ir[k]) << "rows out of order";
            }
            out[j * qxGetM(a) + ir[k]] = v[k];
        }
    }
    return out;
}

std::vector<std::uint64_t> idsOf(const qxArray* a) {
    const std::uint64_t* ids = qx::objectIds(a);
    return ids ? std::vector<std::uint64_t>(ids, ids + qxGetNumberOfElements(a)) : std::vector<std::uint64_t>{};
}

TEST_F(ArrayFnTest, ReshapeAnyClass) {
    Array two = num(2), one = num(1), four = num(4);
    const std::vector<qxSize> square{2, 2};

    Array cell(qxCreateCellMatrix(1, 4));
    qxSetCell(cell.get(), 2, num(7).release());
    Array r = call1("reshape", {cell.get(), two.get(), two.get()});
    EXPECT_EQ(matrix::get_dimensions(r.get()), square);
    EXPECT_EQ(qxGetCell(r.get(), 1), nullptr);
    EXPECT_EQ(scalar(qxGetCell(r.get(), 2)), 7);

    const char* field = "v";
    Array st(qxCreateStructMatrix(4, 1, 1, &field));
    qxSetFieldByNumber(st.get(), 3, 0, num(9).release());
    r = call1("reshape", {st.get(), two.get(), two.get()});
    EXPECT_EQ(matrix::get_dimensions(r.get()), square);
    EXPECT_EQ(scalar(qxGetFieldByNumber(r.get(), 3, 0)), 9);

    Array objs = call1("objects", {one.get(), four.get()});
    r = call1("reshape", {objs.get(), two.get(), two.get()});
    EXPECT_EQ(matrix::get_dimensions(r.get()), square);
    EXPECT_EQ(idsOf(r.get()), idsOf(objs.get()));
    EXPECT_TRUE(vdutil::matrixref::refIsRef(r.get()));

    Array text = str("abcd");
    r = call1("reshape", {text.get(), two.get(), two.get()});
    EXPECT_EQ(qxGetClassID(r.get()), qxCHAR_CLASS);
    EXPECT_EQ(matrix::get_dimensions(r.get()), square);
    EXPECT_EQ(matrix::get_string(r.get()), "abcd");

    Array fh(qxCreateFunctionHandle("calc"));
    r = call1("reshape", {fh.get(), one.get(), one.get()});
    EXPECT_STREQ(qxGetFunctionName(r.get()), "calc");
}

TEST_F(ArrayFnTest, ReshapeSparse) {
    Array dense = mat(3, 2, {1, 0, 3, 0, 2, 0});
    Array sp = call1("sparse", {dense.get()});
    Array two = num(2), three = num(3), six = num(6), one = num(1);
    struct Case {
        const qxArray* m;
        const qxArray* n;
    };
    for (const Case& c : {Case{two.get(), three.get()}, Case{six.get(), one.get()}, Case{one.get(), six.get()},
                          Case{three.get(), two.get()}}) {
        Array r = call1("reshape", {sp.get(), c.m, c.n});
        ASSERT_TRUE(qxIsSparse(r.get()));
        EXPECT_EQ(qxGetM(r.get()) * qxGetN(r.get()), 6u);
        EXPECT_EQ(densify(r.get()), (std::vector<double>{1, 0, 3, 0, 2, 0}));
    }
    EXPECT_EQ(failureOfCall("reshape", 1, {sp.get(), one.get(), three.get(), two.get()}), "veldra:reshape:sparseNd");
}

TEST_F(ArrayFnTest, TileNumericAndChar) {
    Array x = mat(2, 1, {1, 2});
    Array one = num(1), two = num(2), three = num(3, qxINT32_CLASS), zero = num(0);
    Array r = call1("tile", {x.get(), two.get(), three.get()});
    EXPECT_EQ(matrix::get_dimensions(r.get()), (std::vector<qxSize>{4, 3}));
    EXPECT_EQ(values(r.get()), (std::vector<double>{1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2}));

    r = call1("tile", {x.get(), zero.get(), three.get()});
    EXPECT_EQ(matrix::get_dimensions(r.get()), (std::vector<qxSize>{0, 3}));

    Array cplx(qxCreateNumericMatrix(1, 2, qxINT16_CLASS, qxCOMPLEX));
    static_cast<std::int16_t*>(qxGetData(cplx.get()))[1] = 5;
    static_cast<std::int16_t*>(qxGetImagData(cplx.get()))[0] = -3;
    r = call1("tile", {cplx.get(), two.get(), two.get()});
    ASSERT_TRUE(qxIsComplex(r.get()));
    EXPECT_EQ(qxGetClassID(r.get()), qxINT16_CLASS);
    const auto* re = static_cast<const std::int16_t*>(qxGetData(r.get()));
    const auto* im = static_cast<const std::int16_t*>(qxGetImagData(r.get()));
    EXPECT_EQ(std::vector<std::int16_t>(re, re + 8), (std::vector<std::int16_t>{0, 0, 5, 5, 0, 0, 5, 5}));
    EXPECT_EQ(std::vector<std::int16_t>(im, im + 8), (std::vector<std::int16_t>{-3, -3, 0, 0, -3, -3, 0, 0}));

    Array text = str("ab");
    r = call1("tile", {text.get(), one.get(), two.get()});
    EXPECT_EQ(matrix::get_string(r.get()), "abab");

    // Trailing dimensions are kept and each page is tiled.
    const qxSize d3[3] = {1, 1, 2};
    Array pages(qxCreateNumericArray(3, d3, qxDOUBLE_CLASS, qxREAL));
    static_cast<double*>(qxGetData(pages.get()))[1] = 8;
    r = call1("tile", {pages.get(), two.get(), one.get()});
    EXPECT_EQ(matrix::get_dimensions(r.get()), (std::vector<qxSize>{2, 1, 2}));
    EXPECT_EQ(values(r.get()), (std::vector<double>{0, 0, 8, 8}));
}

TEST_F(ArrayFnTest, TileCellsStructsObjectsSparse) {
    Array two = num(2), one = num(1), three = num(3);

    Array cell(qxCreateCellMatrix(1, 2));
    qxSetCell(cell.get(), 0, str("a").release());
    Array r = call1("tile", {cell.get(), two.get(), one.get()});
    EXPECT_EQ(matrix::get_dimensions(r.get()), (std::vector<qxSize>{2, 2}));
    EXPECT_EQ(matrix::get_string(qxGetCell(r.get(), 0)), "a");
    EXPECT_EQ(matrix::get_string(qxGetCell(r.get(), 1)), "a");
    EXPECT_EQ(qxGetCell(r.get(), 2), nullptr);
    EXPECT_EQ(qxGetCell(r.get(), 3), nullptr);

    const char* fields[] = {"a", "b"};
    Array st(qxCreateStructMatrix(1, 1, 2, fields));
    qxSetFieldByNumber(st.get(), 0, 1, num(4).release());
    r = call1("tile", {st.get(), one.get(), three.get()});
    ASSERT_EQ(qxGetNumberOfFields(r.get()), 2);
    EXPECT_STREQ(qxGetFieldNameByNumber(r.get(), 1), "b");
    for (qxSize k = 0; k < 3; ++k) {
        EXPECT_EQ(qxGetFieldByNumber(r.get(), k, 0), nullptr);
        EXPECT_EQ(scalar(qxGetFieldByNumber(r.get(), k, 1)), 4);
    }

    Array objs = call1("objects", {one.get(), two.get()});
    r = call1("tile", {objs.get(), two.get(), one.get()});
    const auto ids = idsOf(objs.get());
    EXPECT_EQ(idsOf(r.get()), (std::vector<std::uint64_t>{ids[0], ids[0], ids[1], ids[1]}));
    EXPECT_EQ(qx::objectSession(r.get()), qx::objectSession(objs.get()));
    Array opaque = call1("opaque_value", {});
    r = call1("tile", {opaque.get(), one.get(), two.get()});
    EXPECT_EQ(qxGetNumberOfElements(r.get()), 2u);
    EXPECT_FALSE(vdutil::matrixref::refIsRef(r.get()));

    Array dense = mat(2, 2, {0, 5, 6, 0});
    Array sp = call1("sparse", {dense.get()});
    r = call1("tile", {sp.get(), two.get(), three.get()});
    ASSERT_TRUE(qxIsSparse(r.get()));
    EXPECT_EQ(qxGetM(r.get()), 4u);
    EXPECT_EQ(qxGetN(r.get()), 6u);
    std::vector<double> expected;
    for (int j = 0; j < 6; ++j)
        for (double v : (j % 2 == 0 ? std::vector<double>{0, 5, 0, 5} : std::vector<double>{6, 0, 6, 0}))
            expected.push_back(v);
    EXPECT_EQ(densify(r.get()), expected);

    Array fh(qxCreateFunctionHandle("calc"));
    EXPECT_EQ(failureOfCall("tile", 1, {fh.get(), two.get(), one.get()}), "veldra:tile:wrongClass");
    r = call1("tile", {fh.get(), one.get(), one.get()});
    EXPECT_STREQ(qxGetFunctionName(r.get()), "calc");
}

TEST_F(ArrayFnTest, TileTooLargeFails) {
    Array x = mat(1, 2, {1, 2});
    Array huge = num(0, qxUINT64_CLASS);
    *static_cast<std::uint64_t*>(qxGetData(huge.get())) = (std::uint64_t{1} << 63) + 1;
    Array one = num(1);
    EXPECT_EQ(failureOfCall("tile", 1, {x.get(), one.get(), huge.get()}), "veldra:tile:tooLarge");
    EXPECT_EQ(failureOfCall("tile", 1, {x.get(), huge.get(), huge.get()}), "veldra:tile:tooLarge");
}

// ---- cast -------------------------------------------------------------------------
// The integer a cast gives, widened so one table fits every class.
struct IntResult {
    bool negative;
    std::uint64_t magnitude;
};

IntResult readInt(const qxArray* a) {
    const void* d = qxGetData(a);
    auto s = [](std::int64_t v) {
        return IntResult{v < 0, v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v)};
    };
    switch (qxGetClassID(a)) {
    case qxINT8_CLASS:
        return s(*static_cast<const std::int8_t*>(d));
    case qxINT16_CLASS:
        return s(*static_cast<const std::int16_t*>(d));
    case qxINT32_CLASS:
        return s(*static_cast<const std::int32_t*>(d));
    case qxINT64_CLASS:
        return s(*static_cast<const std::int64_t*>(d));
    case qxUINT8_CLASS:
        return {false, *static_cast<const std::uint8_t*>(d)};
    case qxUINT16_CLASS:
        return {false, *static_cast<const std::uint16_t*>(d)};
    case qxUINT32_CLASS:
        return {false, *static_cast<const std::uint32_t*>(d)};
    case qxUINT64_CLASS:
        return {false, *static_cast<const std::uint64_t*>(d)};
    default:
        ADD_FAILURE() << "not an integer class";
        return {false, 0};
    }
}

struct CastCase {
    const char* target;
    qxClassID sourceClass;
    double source;  // exact in the source class
    bool negative;
    std::uint64_t magnitude;
};

void PrintTo(const CastCase& c, std::ostream* os) {
    *os << c.target << " from " << c.source << " (class " << c.sourceClass << ")";
}

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kI64Max = std::numeric_limits<std::int64_t>::max();

class CastSaturationTest : public FnTest, public ::testing::WithParamInterface<CastCase> {};

TEST_P(CastSaturationTest, RoundsAndSaturates) {
    const auto& c = GetParam();
    Array x = num(c.source, c.sourceClass);
    Array target = str(c.target);
    Array r = call1("cast", {x.get(), target.get()});
    ASSERT_EQ(matrix::get_string(call1("class_of", {r.get()}).get()), c.target);
    const IntResult got = readInt(r.get());
    EXPECT_EQ(got.negative, c.negative) << c.target << " from " << c.source;
    EXPECT_EQ(got.magnitude, c.magnitude) << c.target << " from " << c.source;
}

INSTANTIATE_TEST_SUITE_P(
    EveryIntegerClass, CastSaturationTest,
    ::testing::Values(
        CastCase{"int8", qxDOUBLE_CLASS, 127.4, false, 127}, CastCase{"int8", qxDOUBLE_CLASS, 127.5, false, 127},
        CastCase{"int8", qxDOUBLE_CLASS, 1e10, false, 127}, CastCase{"int8", qxDOUBLE_CLASS, -128.5, true, 128},
        CastCase{"int8", qxDOUBLE_CLASS, -1e300, true, 128}, CastCase{"int8", qxDOUBLE_CLASS, 2.5, false, 3},
        CastCase{"int8", qxDOUBLE_CLASS, -2.5, true, 3}, CastCase{"int8", qxDOUBLE_CLASS, HUGE_VAL, false, 127},
        CastCase{"int8", qxINT64_CLASS, -1000, true, 128}, CastCase{"int8", qxUINT16_CLASS, 60000, false, 127},
        CastCase{"uint8", qxDOUBLE_CLASS, 255.5, false, 255}, CastCase{"uint8", qxDOUBLE_CLASS, -0.4, false, 0},
        CastCase{"uint8", qxDOUBLE_CLASS, -7, false, 0}, CastCase{"uint8", qxSINGLE_CLASS, 0.5, false, 1},
        CastCase{"uint8", qxINT8_CLASS, -1, false, 0}, CastCase{"uint8", qxDOUBLE_CLASS, NAN, false, 0},
        CastCase{"int16", qxDOUBLE_CLASS, 40000, false, 32767}, CastCase{"int16", qxDOUBLE_CLASS, -40000, true, 32768},
        CastCase{"int16", qxUINT32_CLASS, 65535, false, 32767},
        CastCase{"int16", qxDOUBLE_CLASS, -HUGE_VAL, true, 32768},
        CastCase{"uint16", qxDOUBLE_CLASS, 70000, false, 65535}, CastCase{"uint16", qxINT32_CLASS, -5, false, 0},
        CastCase{"uint16", qxDOUBLE_CLASS, 65534.5, false, 65535},
        CastCase{"int32", qxDOUBLE_CLASS, 2147483647.5, false, 2147483647},
        CastCase{"int32", qxDOUBLE_CLASS, -2147483648.6, true, 2147483648u},
        CastCase{"int32", qxUINT32_CLASS, 4294967295.0, false, 2147483647},
        CastCase{"int32", qxSINGLE_CLASS, NAN, false, 0},
        CastCase{"uint32", qxDOUBLE_CLASS, 4294967295.5, false, 4294967295u},
        CastCase{"uint32", qxINT64_CLASS, -1, false, 0}, CastCase{"uint32", qxDOUBLE_CLASS, 1e20, false, 4294967295u},
        CastCase{"int64", qxDOUBLE_CLASS, 9223372036854775808.0, false, kI64Max},
        CastCase{"int64", qxDOUBLE_CLASS, -9223372036854775808.0, true, kI64Max + 1},
        CastCase{"int64", qxDOUBLE_CLASS, -1e19, true, kI64Max + 1},
        CastCase{"int64", qxDOUBLE_CLASS, 2251799813685248.5, false, 2251799813685249u},
        CastCase{"int64", qxSINGLE_CLASS, 1e30, false, kI64Max}, CastCase{"int64", qxDOUBLE_CLASS, NAN, false, 0},
        CastCase{"uint64", qxDOUBLE_CLASS, 18446744073709551616.0, false, kU64Max},
        CastCase{"uint64", qxDOUBLE_CLASS, 18446744073709549568.0, false, 18446744073709549568u},
        CastCase{"uint64", qxDOUBLE_CLASS, -0.5, false, 0}, CastCase{"uint64", qxINT64_CLASS, -9e18, false, 0},
        CastCase{"uint64", qxINT64_CLASS, 9e18, false, 9000000000000000000u},
        CastCase{"uint64", qxLOGICAL_CLASS, 1, false, 1}));

TEST_F(ArrayFnTest, CastExtremesOfSixtyFourBits) {
    // The largest 64-bit integers cannot pass through a double: read exactly.
    Array i64(qxCreateNumericMatrix(1, 2, qxINT64_CLASS, qxREAL));
    auto* in = static_cast<std::int64_t*>(qxGetData(i64.get()));
    in[0] = std::numeric_limits<std::int64_t>::max();
    in[1] = std::numeric_limits<std::int64_t>::min();
    Array u64t = str("uint64"), i64t = str("int64"), i32t = str("int32");
    Array r = call1("cast", {i64.get(), u64t.get()});
    const auto* u = static_cast<const std::uint64_t*>(qxGetData(r.get()));
    EXPECT_EQ(u[0], kI64Max);
    EXPECT_EQ(u[1], 0u);
    r = call1("cast", {i64.get(), i32t.get()});
    const auto* i32 = static_cast<const std::int32_t*>(qxGetData(r.get()));
    EXPECT_EQ(i32[0], std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(i32[1], std::numeric_limits<std::int32_t>::min());

    Array u64(qxCreateNumericMatrix(1, 1, qxUINT64_CLASS, qxREAL));
    *static_cast<std::uint64_t*>(qxGetData(u64.get())) = kU64Max;
    r = call1("cast", {u64.get(), i64t.get()});
    EXPECT_EQ(*static_cast<const std::int64_t*>(qxGetData(r.get())), std::numeric_limits<std::int64_t>::max());
    r = call1("cast", {u64.get(), u64t.get()});  // same class: the same value
    EXPECT_EQ(*static_cast<const std::uint64_t*>(qxGetData(r.get())), kU64Max);
    // ... and the same memory, for arrays that keep their data in a block.
    Array wide(qxCreateNumericMatrix(1, 4, qxUINT64_CLASS, qxREAL));
    r = call1("cast", {wide.get(), u64t.get()});
    EXPECT_EQ(qxGetData(r.get()), qxGetData(wide.get()));
}

TEST_F(ArrayFnTest, CastToFloatingAndLogical) {
    Array x = mat(1, 4, {0, -2, 0.25, 1e300});
    Array single = str("single"), logical = str("logical"), dbl = str("double");
    Array r = call1("cast", {x.get(), single.get()});
    ASSERT_EQ(qxGetClassID(r.get()), qxSINGLE_CLASS);
    const auto* f = static_cast<const float*>(qxGetData(r.get()));
    EXPECT_EQ(f[1], -2.0f);
    EXPECT_EQ(f[2], 0.25f);
    EXPECT_TRUE(std::isinf(f[3]));
    r = call1("cast", {x.get(), logical.get()});
    const auto* l = static_cast<const qxLogical*>(qxGetData(r.get()));
    EXPECT_EQ(std::vector<int>(l, l + 4), (std::vector<int>{0, 1, 1, 1}));

    Array big = num(0, qxUINT64_CLASS);
    *static_cast<std::uint64_t*>(qxGetData(big.get())) = kU64Max;
    r = call1("cast", {big.get(), dbl.get()});
    EXPECT_EQ(scalar(r.get()), 18446744073709551616.0);

    // Complex stays complex; both parts are converted.
    Array c(qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, qxCOMPLEX));
    *static_cast<double*>(qxGetData(c.get())) = 300.6;
    *static_cast<double*>(qxGetImagData(c.get())) = -1.5;
    Array i8 = str("int8");
    r = call1("cast", {c.get(), i8.get()});
    ASSERT_TRUE(qxIsComplex(r.get()));
    EXPECT_EQ(*static_cast<const std::int8_t*>(qxGetData(r.get())), 127);
    EXPECT_EQ(*static_cast<const std::int8_t*>(qxGetImagData(r.get())), -2);
    r = call1("cast", {c.get(), single.get()});
    ASSERT_TRUE(qxIsComplex(r.get()));
    EXPECT_EQ(*static_cast<const float*>(qxGetImagData(r.get())), -1.5f);
}

TEST_F(ArrayFnTest, ComplexBuildsFromParts) {
    Array re = mat(1, 3, {1, 2, 3});
    Array im = mat(1, 3, {4, 5, 6});
    Array r = call1("complex", {re.get(), im.get()});
    ASSERT_TRUE(qxIsComplex(r.get()));
    EXPECT_EQ(values(r.get()), (std::vector<double>{1, 2, 3}));
    const auto* i = static_cast<const double*>(qxGetImagData(r.get()));
    EXPECT_EQ(std::vector<double>(i, i + 3), (std::vector<double>{4, 5, 6}));

    // A scalar imaginary part expands and takes the real part's class.
    Array re8(qxCreateNumericMatrix(2, 1, qxINT8_CLASS, qxREAL));
    Array half = num(2.5), zero = num(0);
    r = call1("complex", {re8.get(), half.get()});
    EXPECT_EQ(qxGetClassID(r.get()), qxINT8_CLASS);
    const auto* i8 = static_cast<const std::int8_t*>(qxGetImagData(r.get()));
    EXPECT_EQ(i8[0], 3);
    EXPECT_EQ(i8[1], 3);

    Array sre = num(1, qxSINGLE_CLASS);
    r = call1("complex", {sre.get(), zero.get()});
    EXPECT_EQ(qxGetClassID(r.get()), qxSINGLE_CLASS);
    EXPECT_TRUE(qxIsComplex(r.get()));
}

TEST_F(ArrayFnTest, SparseFromFull) {
    Array dense = mat(2, 3, {0, 1, 0, 0, 2, 3});
    Array r = call1("sparse", {dense.get()});
    ASSERT_TRUE(qxIsSparse(r.get()));
    EXPECT_EQ(qxGetClassID(r.get()), qxDOUBLE_CLASS);
    EXPECT_EQ(densify(r.get()), values(dense.get()));
    EXPECT_EQ(qxGetJc(r.get())[3], 3u);

    Array logical(qxCreateNumericMatrix(2, 2, qxLOGICAL_CLASS, qxREAL));
    static_cast<qxLogical*>(qxGetData(logical.get()))[3] = 1;
    r = call1("sparse", {logical.get()});
    EXPECT_TRUE(qxIsSparse(r.get()));
    EXPECT_EQ(qxGetClassID(r.get()), qxLOGICAL_CLASS);
    EXPECT_EQ(qxGetIr(r.get())[0], 1u);

    Array zeros(qxCreateNumericMatrix(0, 0, qxDOUBLE_CLASS, qxREAL));
    r = call1("sparse", {zeros.get()});
    EXPECT_TRUE(qxIsSparse(r.get()));
    Array again = call1("sparse", {r.get()});
    EXPECT_TRUE(qxIsSparse(again.get()));
}

TEST_F(ArrayFnTest, CellNewHandlesAndOpaqueValues) {
    Array two = num(2, qxUINT8_CLASS), three = num(3, qxINT64_CLASS), name = str("calc");
    Array r = call1("cell_new", {two.get(), three.get()});
    EXPECT_EQ(qxGetClassID(r.get()), qxCELL_CLASS);
    EXPECT_EQ(matrix::get_dimensions(r.get()), (std::vector<qxSize>{2, 3}));
    for (qxSize k = 0; k < 6; ++k) EXPECT_EQ(qxGetCell(r.get(), k), nullptr);

    r = call1("handle_of", {name.get()});
    EXPECT_EQ(qxGetClassID(r.get()), qxFUNCTION_CLASS);
    EXPECT_STREQ(qxGetFunctionName(r.get()), "calc");

    r = call1("opaque_value", {});
    EXPECT_EQ(qxGetClassID(r.get()), qxOBJECT_CLASS);
    EXPECT_TRUE(qxIsScalar(r.get()));
    EXPECT_FALSE(vdutil::matrixref::refIsRef(r.get()));
    EXPECT_EQ(failureOfCall("map_count", 1, {r.get()}), "veldra:engine:notAReference");

    EXPECT_THROW(call("untransferable", 1, {}), veldra::engine::DataConversionFailure);
}

}  // namespace
