"""Typed arrays to and from NumPy arrays, in bulk."""

import math

import pytest

import veldra

np = pytest.importorskip("numpy")

ALL = ["double", "single", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "logical"]

# Values that probe rounding, saturation, NaN and infinities per source type.
SOURCES = {
    "float64": [
        0.5,
        -0.5,
        1.5,
        -2.5,
        0.49999999999999994,
        300.7,
        -1e300,
        1e300,
        math.inf,
        -math.inf,
        math.nan,
        2.0**63,
        2.0**64,
        -(2.0**63),
        0.0,
    ],
    "float32": [0.5, -1.5, 3.4e38, -7.25, math.nan, 0.0],
    "int8": [-128, 127, 0, 5],
    "int64": [-(2**63), 2**63 - 1, -1, 256, 70000],
    "uint64": [2**64 - 1, 2**63, 0, 255],
    "uint16": [65535, 0, 300],
    "bool": [True, False, True],
}


def same(a, b):
    """Equal class, size and elements, NaN matching NaN."""

    def key(v):
        return ("nan", v.imag) if isinstance(v, float) and math.isnan(v) else v

    return (
        type(a) is type(b)
        and a.size == b.size
        and a.is_complex == b.is_complex
        and [key(v) for v in a.linear] == [key(v) for v in b.linear]
    )


def expected(cls, values):
    """What the element-by-element rules give."""
    return getattr(veldra, cls)([values])


@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize("dtype", sorted(SOURCES))
def test_bulk_conversion_matches_the_element_rules(cls, dtype):
    values = SOURCES[dtype]
    if cls == "logical" and dtype.startswith("float"):
        values = [v for v in values if not math.isnan(v)]
    x = np.array(values, dtype=dtype)
    with np.errstate(all="ignore"):
        got = getattr(veldra, cls)(x)
    want = expected(cls, [v.item() for v in x])
    assert same(got, want), (got, want)


@pytest.mark.parametrize("cls", [c for c in ALL if c != "logical"])
def test_complex_sources(cls):
    x = np.array([[1.5 + 2.5j, -3 - 0.5j]], dtype=np.complex128)
    got = getattr(veldra, cls)(x)
    assert got.is_complex and got == expected(cls, [1.5 + 2.5j, -3 - 0.5j])
    with pytest.raises(ValueError):
        veldra.logical(x)


def test_logical_refuses_nan():
    with pytest.raises(ValueError):
        veldra.logical(np.array([1.0, math.nan]))


@pytest.mark.parametrize(
    "x, size",
    [
        (np.arange(6.0).reshape(2, 3), (2, 3)),
        (np.asfortranarray(np.arange(6.0).reshape(2, 3)), (2, 3)),
        (np.arange(24.0).reshape(2, 3, 4), (2, 3, 4)),
        (np.arange(24.0).reshape(2, 3, 4)[:, ::2, 1:], (2, 2, 3)),  # strided view
        (np.arange(12.0).reshape(3, 4).T, (4, 3)),
        (np.arange(3.0), (1, 3)),
        (np.float64(7.0), (1, 1)),
        (np.array(7.0), (1, 1)),
        (np.zeros((0, 3)), (0, 3)),
        (np.zeros((2, 3, 1)), (2, 3)),
        (np.zeros(0), (0, 0)),
    ],
)
def test_shapes_and_element_order(x, size):
    a = veldra.double(x)
    assert a.size == size
    want = np.asarray(x, dtype=float).reshape(size)
    assert a.tolist() == want.tolist()
    assert np.asarray(a).shape == size
    assert np.array_equal(np.asarray(a), want)


def test_size_keyword_takes_column_major_elements():
    a = veldra.int16(np.arange(6), size=(3, 2))
    assert a.tolist() == [[0, 3], [1, 4], [2, 5]]
    with pytest.raises(ValueError):
        veldra.int16(np.arange(6), size=(4, 2))


def test_is_complex_keyword_and_object_arrays():
    a = veldra.double(np.array([1.0, 2.0]), is_complex=True)
    assert a.is_complex and a == veldra.double([1 + 0j, 2 + 0j])
    assert veldra.double(np.array([1, 2.5], dtype=object)) == veldra.double([1, 2.5])
    with pytest.raises(TypeError):
        veldra.double(np.array(["a", "b"]))


@pytest.mark.parametrize(
    "cls, dtype",
    [
        ("double", np.float64),
        ("single", np.float32),
        ("int8", np.int8),
        ("uint8", np.uint8),
        ("int16", np.int16),
        ("uint16", np.uint16),
        ("int32", np.int32),
        ("uint32", np.uint32),
        ("int64", np.int64),
        ("uint64", np.uint64),
        ("logical", np.bool_),
    ],
)
@pytest.mark.parametrize("is_complex", [False, True])
def test_asarray(cls, dtype, is_complex):
    if cls == "logical" and is_complex:
        pytest.skip("logical arrays are never complex")
    values = [[1, 0, 1], [0, 1, 1]]
    a = getattr(veldra, cls)(values, is_complex=is_complex)
    x = np.asarray(a)
    assert x.shape == (2, 3)
    if is_complex:
        assert x.dtype == (np.complex64 if cls == "single" else np.complex128)
    else:
        assert x.dtype == dtype
    assert x.tolist() == np.array(values, dtype=x.dtype).tolist()


def test_asarray_shares_memory_unless_copied():
    a = veldra.double([[1.0, 2.0], [3.0, 4.0]])
    view = np.asarray(a)
    view[0, 1] = 9.0
    assert a[0, 1] == 9.0
    copy = np.array(a, copy=True) if np.lib.NumpyVersion(np.__version__) >= "2.0.0" else np.array(a)
    copy[0, 0] = -1.0
    assert a[0, 0] == 1.0
    assert np.asarray(a, dtype=np.int32).dtype == np.int32
    assert np.asarray(veldra.double(size=(0, 4))).shape == (0, 4)
    c = veldra.double([[1j]])
    if np.lib.NumpyVersion(np.__version__) >= "2.0.0":
        with pytest.raises(ValueError):
            np.asarray(c, copy=False)


def test_round_trip_through_numpy():
    x = np.random.default_rng(1).standard_normal((5, 4, 3)) + 1j
    assert np.array_equal(np.asarray(veldra.double(x)), x)
    y = np.random.default_rng(2).integers(-100, 100, (7, 2)).astype(np.int8)
    assert np.array_equal(np.asarray(veldra.int8(y)), y)


def test_block_assignment_from_numpy():
    a = veldra.double(size=(2, 3))
    a[:, 1] = np.array([[5.0], [6.0]])
    assert a.tolist() == [[0, 5, 0], [0, 6, 0]]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize(
    "cls, dtype", [("double", "float64"), ("double", "complex128"), ("int16", "int16"), ("logical", "bool")]
)
def test_chained_indexing_agrees_with_numpy(seed, cls, dtype):
    rng = np.random.default_rng(seed)
    shape = tuple(int(d) for d in rng.integers(1, 5, int(rng.integers(2, 5))))
    x = (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)) * 100
    x = x.real if dtype != "complex128" else x
    x = (x > 0) if dtype == "bool" else x.astype(dtype)
    a = getattr(veldra, cls)(x)
    x = x.reshape(a.size)  # trailing singleton dimensions are not kept
    assert len(a) == len(x)
    for i in range(-len(x), len(x)):
        assert np.array_equal(np.asarray(a[i]), x[i]) and a[i].tolist() == x[i].tolist()
        for j in range(-x.shape[1], x.shape[1]):
            got, want = a[i][j], x[i][j]
            if want.ndim:
                assert np.array_equal(np.asarray(got), want) and got.tolist() == want.tolist()
            else:
                assert got == want.item() and type(got) is type(want.item())


def test_view_as_numpy_array():
    a = veldra.double([[1.0, 2.0], [3.0, 4.0]])
    row = np.asarray(a[1])
    row[0] = 9.0  # real data is shared
    assert a[1, 0] == 9.0
    assert np.asarray(a[0], dtype=np.int32).tolist() == [1, 2]
    assert np.asarray(veldra.int8(size=(2, 3, 4))[1]).shape == (3, 4)
    c = veldra.single([[1j, 2], [3, 4]])
    assert np.asarray(c[0]).dtype == np.complex64 and np.asarray(c[0]).tolist() == [1j, 2]
