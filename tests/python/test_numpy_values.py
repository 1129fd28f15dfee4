"""NumPy values as arguments and NumPy arrays as results, through a real engine."""

import gc
import re

import pytest

import veldra
import veldra.engine

np = pytest.importorskip("numpy")

CLASSES = {
    "bool": veldra.logical,
    "int8": veldra.int8,
    "int16": veldra.int16,
    "int32": veldra.int32,
    "uint8": veldra.uint8,
    "uint16": veldra.uint16,
    "uint32": veldra.uint32,
    "float32": veldra.single,
    "float64": veldra.double,
}
# Besides the dtype: 64-bit integers, which no typed array result carries.
DTYPES = sorted(CLASSES) + ["int64", "uint64", "complex64", "complex128"]
SHAPES = [(), (0,), (5,), (3, 4), (2, 3, 4), (2, 3, 1), (4, 1, 2)]


@pytest.fixture(scope="module")
def eng():
    with veldra.engine.start() as e:
        yield e


def sample(dtype, shape):
    n = int(np.prod(shape))
    x = np.arange(n) % 7 - 3 if np.dtype(dtype).kind in "ifc" else np.arange(n) % 5
    x = x.astype(dtype).reshape(shape)
    if np.dtype(dtype).kind == "c":
        x = x + (1j * np.arange(n).reshape(shape)).astype(dtype)
    return x


def engine_size(shape):
    if len(shape) == 0:
        return (1, 1)
    if len(shape) == 1:
        return (0, 0) if shape[0] == 0 else (1, shape[0])
    dims = list(shape)
    while len(dims) > 2 and dims[-1] == 1:
        dims.pop()
    return tuple(dims)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape", SHAPES)
def test_arrays_arrive_with_their_class_and_elements(eng, dtype, shape):
    x = sample(dtype, shape)
    got = eng.identity(x, numpy=True)
    if engine_size(shape) == (1, 1):
        assert got == x.item()
        return
    assert got.dtype == x.dtype and got.shape == engine_size(shape)
    assert np.array_equal(got.reshape(x.shape, order="A"), x)
    assert eng.dims(x) == veldra.double([list(engine_size(shape))])


@pytest.mark.parametrize("layout", ["C", "F", "sliced", "transposed", "negative", "broadcast"])
def test_any_strides_and_memory_order(eng, layout):
    base = np.arange(60.0).reshape(6, 10)
    x = {
        "C": base,
        "F": np.asfortranarray(base),
        "sliced": base[::2, 1::3],
        "transposed": base.T,
        "negative": base[::-1, ::-2],
        "broadcast": np.broadcast_to(np.arange(4.0), (3, 4)),
    }[layout]
    got = eng.identity(x, numpy=True)
    assert np.array_equal(got, x)
    assert eng.sum(x, numpy=True).tolist() == [x.sum(axis=0).tolist()]


@pytest.mark.parametrize(
    "value, want",
    [
        (np.float64(2.5), 2.5),
        (np.float32(0.5), 0.5),
        (np.int16(-7), -7),
        (np.uint64(2**64 - 1), 2**64 - 1),
        (np.bool_(True), True),
        (np.complex128(1 + 2j), 1 + 2j),
        (np.int64(-(2**63)), -(2**63)),
    ],
)
def test_scalars_are_one_by_one_of_their_class(eng, value, want):
    got = eng.identity(value)
    assert got == want and type(got) is type(want)
    assert eng.class_of(value) == {
        "float64": "double",
        "float32": "single",
        "bool": "logical",
        "complex128": "double",
    }.get(value.dtype.name, value.dtype.name)


def test_sqrt_of_a_numpy_scalar_and_sum_of_an_array(eng):
    assert eng.sqrt(np.float64(4.0)) == 2.0
    x = np.random.rand(1000, 1)
    assert abs(eng.sum(x) - x.sum()) < 1e-9


@pytest.mark.parametrize(
    "value",
    [
        np.zeros(3, np.float16),
        np.zeros(3, np.longdouble),
        np.array([1, "a"], object),
        np.array(["ab", "c"]),
        np.zeros(2, "datetime64[s]"),
        np.zeros(2, [("a", "f8"), ("b", "i4")]),
        np.zeros(3, ">f8" if np.little_endian else "<f8"),
        np.float16(1.0),
        np.str_("x"),
    ],
)
def test_other_dtypes_are_refused_naming_the_dtype(eng, live_arrays, value):
    before = live_arrays()
    with pytest.raises(TypeError, match="numpy"):
        eng.identity(value)
    assert live_arrays() == before
    assert eng.identity(1.0) == 1.0
    if hasattr(value, "dtype"):
        with pytest.raises(TypeError, match=re.escape(str(value.dtype))):
            eng.identity([1.0, value])


def test_subclasses_of_ndarray_are_refused(eng):
    with pytest.raises(TypeError):
        eng.identity(np.ma.masked_array([1.0, 2.0]))


def test_a_huge_broadcast_shape_is_refused_or_out_of_memory(eng, live_arrays):
    x = np.broadcast_to(np.float64(1.0), (2**20, 2**20, 2**10))
    before = live_arrays()
    with pytest.raises((MemoryError, ValueError)):
        eng.identity(x)
    assert live_arrays() == before and eng.identity(2.0) == 2.0


def test_numpy_results_are_read_only_views_and_go_back_as_their_block(eng, live_arrays):
    a = eng.random(300, 300, 1, numpy=True)
    assert not a.flags.writeable and a.flags.f_contiguous
    with pytest.raises(ValueError):
        a[0, 0] = 1.0
    assert np.array_equal(eng.identity(a, numpy=True), a)
    # A view of part of it is copied, and arrives as that part.
    assert np.array_equal(eng.identity(a[1:, ::2], numpy=True), a[1:, ::2])
    c = eng.complex(a, a, numpy=True)
    assert c.dtype == np.complex128 and np.array_equal(c.imag, a)
    before = live_arrays()
    del a, c
    gc.collect()
    assert live_arrays() < before


def test_the_engine_setting_and_the_keyword(eng):
    assert isinstance(eng.zeros(2, 2), veldra.double)
    with veldra.engine.start(numpy=True) as e:
        assert isinstance(e.zeros(2, 2), np.ndarray)
        assert isinstance(e.zeros(2, 2, numpy=False), veldra.double)
        assert isinstance(e.submit("zeros", 2, 2).result(), np.ndarray)
        assert isinstance(e.call("identity", [veldra.int64([[1, 2]])])[0], np.ndarray)
        assert e.identity(3.0) == 3.0
        assert all(isinstance(r, np.ndarray) for r in e.zeros.map([2, 3], [2, 2]))
    assert isinstance(eng.submit("zeros", 2, 2, numpy=True).result(), np.ndarray)
    assert [r.shape for r in eng.zeros.map([2], [3], numpy=True)] == [(2, 3)]


def test_module_functions_take_numpy_keyword(call):
    got = call.result(call.submit("identity", np.arange(6.0).reshape(2, 3)), numpy=True)
    assert got.tolist() == [[0, 1, 2], [3, 4, 5]] and not got.flags.writeable
    assert isinstance(call("identity", np.arange(6.0)), veldra.double)
