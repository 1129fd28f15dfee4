"""Typed arrays: storage contract with the native module and user behaviour."""

import copy
import math
import pickle

import pytest

import veldra
from veldra import double, single, int8, int16, int32, int64, uint8, uint16, uint32, uint64, logical

ALL = [double, single, int8, int16, int32, int64, uint8, uint16, uint32, uint64, logical]
NUMERIC = [c for c in ALL if c is not logical]
ITEMSIZE = {
    double: 8,
    single: 4,
    int8: 1,
    uint8: 1,
    int16: 2,
    uint16: 2,
    int32: 4,
    uint32: 4,
    int64: 8,
    uint64: 8,
    logical: 1,
}
LIMITS = {
    int8: (-128, 127),
    uint8: (0, 255),
    int16: (-32768, 32767),
    uint16: (0, 65535),
    int32: (-(2**31), 2**31 - 1),
    uint32: (0, 2**32 - 1),
    int64: (-(2**63), 2**63 - 1),
    uint64: (0, 2**64 - 1),
}
SHAPES = [(0, 0), (1, 1), (1, 4), (3, 1), (2, 3), (2, 3, 4), (1, 0), (2, 0, 3)]
KINDS = [(c, cx) for c in ALL for cx in (False, True) if not (c is logical and cx)]


def buffers(a):
    return [a._real, a._imag] if a.is_complex else [a._data]


def numbered(cls, size, is_complex):
    """An array of size ``size`` whose elements count up from 1 (0/1 for logical)."""
    n = math.prod(size)
    vals = [(k + 1) % 2 if cls is logical else k + 1 for k in range(n)]
    if is_complex:
        vals = [complex(v, -v) for v in vals]
    return cls(vals, size=size, is_complex=is_complex)


@pytest.mark.parametrize("cls", ALL)
def test_class_contract(cls):
    assert type(cls(size=(1, 1))).__dict__["__module__"] == "vdarray"
    assert cls.__name__ in veldra.__all__ and getattr(veldra, cls.__name__) is cls
    for is_complex in (False, True) if cls is not logical else (False,):
        a = cls(size=(2, 3), is_complex=is_complex)
        assert a.is_complex is is_complex and a._is_complex is is_complex
        for buf in buffers(a):
            assert buf.itemsize == ITEMSIZE[cls] and len(buf) == 6
            assert buf.tolist() == [0] * 6
        if is_complex:
            assert a._data is None
        else:
            assert a._real is None and a._imag is None
    with pytest.raises(AttributeError):
        a.is_complex = True


@pytest.mark.parametrize("size", SHAPES)
@pytest.mark.parametrize("cls,is_complex", KINDS)
def test_shapes_round_trip(cls, is_complex, size):
    a = numbered(cls, size, is_complex)
    n = math.prod(size)
    assert a.size == size and len(a) == size[0] and len(a.linear) == n
    assert all(len(b) == n for b in buffers(a))
    assert cls(size=size, is_complex=is_complex).size == size
    for clone in (pickle.loads(pickle.dumps(a)), a.copy(), copy.deepcopy(a), cls(a), eval(repr(a), {"veldra": veldra})):
        assert type(clone) is cls and clone == a and clone is not a
        assert all(x is not y for x, y in zip(buffers(clone), buffers(a)))
    if n:  # empty arrays keep their size only through repr/pickle
        assert cls(a.tolist()) == a
    assert list(a.linear) == [a.linear[k] for k in range(n)]
    assert [row.tolist() for row in a] == a.tolist()


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("cls,is_complex", [(double, False), (double, True), (int16, True), (logical, False)])
def test_pickle_protocols(cls, is_complex, protocol):
    a = numbered(cls, (3, 4), is_complex)
    oob = []
    data = pickle.dumps(a, protocol=protocol, buffer_callback=oob.append if protocol >= 5 else None)
    # Out of band, the pickle holds no element bytes but the arrays' own
    # buffers (no copy); loads may get them in any buffer form.
    assert len(oob) == (len(buffers(a)) if protocol >= 5 else 0)
    for got, mine in zip(oob, buffers(a)):
        assert memoryview(got).obj is mine
    for given in ([bytearray(b.raw()) for b in oob], [memoryview(b) for b in oob]):
        clone = pickle.loads(data, buffers=given)
        assert type(clone) is cls and clone == a
        assert all(x is not y for x, y in zip(buffers(clone), buffers(a)))
    assert pickle.loads(pickle.dumps(a, protocol=protocol)) == a


def test_column_major_layout():
    a = double([[1, 2, 3], [4, 5, 6]])
    assert a.size == (2, 3) and a._data.tolist() == [1, 4, 2, 5, 3, 6]
    assert a[1, 0] == 4.0 and a[1][0] == 4.0 and a[-1, -2] == 5.0
    assert a.linear[1] == 4.0 and a.linear[-1] == 6.0 and a.linear[-2] == 3.0
    assert a.tolist() == [[1, 2, 3], [4, 5, 6]]
    assert a.reshape(3, 2).tolist() == [[1, 5], [4, 3], [2, 6]]
    assert double([1, 4, 2, 5, 3, 6], size=(2, 3)) == a
    nested = [[[100 * i + 10 * j + k for k in range(4)] for j in range(3)] for i in range(2)]
    b = int16(nested)
    assert b.size == (2, 3, 4) and b.tolist() == nested
    assert all(b[i, j, k] == nested[i][j][k] for i in range(2) for j in range(3) for k in range(4))
    assert b._data[:4].tolist() == [0, 100, 10, 110]


@pytest.mark.parametrize(
    "data,size",
    [
        ([], (0, 0)),
        (5, (1, 1)),
        ([7], (1, 1)),
        ([1, 2, 3], (1, 3)),
        ([[1], [2]], (2, 1)),
        ([[]], (1, 0)),
        ([[], []], (2, 0)),
        ((range(3), [1, 2, 3]), (2, 3)),
        ([[[1, 2]]], (1, 1, 2)),
        ([[[1]]], (1, 1)),
    ],
)
def test_shape_inference(data, size):
    assert double(data).size == size


@pytest.mark.parametrize(
    "data",
    [
        [[1, 2], [3]],
        [[1, 2], 3],
        [1, [2]],
        [[], [1]],
        [[[1, 2]], [[1]]],
    ],
)
def test_ragged_input(data):
    with pytest.raises(ValueError):
        double(data)


@pytest.mark.parametrize("cls", list(LIMITS))
def test_integer_conversion(cls):
    lo, hi = LIMITS[cls]
    values = [
        lo - 1,
        hi + 1,
        lo,
        hi,
        2.5,
        -2.5,
        0.5,
        -0.5,
        1.4999,
        float("nan"),
        float("inf"),
        float("-inf"),
        10.0**30,
        -(10.0**30),
    ]
    want = [lo, hi, lo, hi, 3, max(lo, -3), 1, max(lo, -1), 1, 0, hi, lo, hi, lo]
    assert cls([values]).tolist() == [want]
    assert cls(double([values])).tolist() == [want]
    a = cls(size=(1, 2))
    a[0][0] = hi + 10
    a.linear[1] = lo - 0.5
    assert a.tolist() == [[hi, lo]]
    c = cls([complex(hi + 1.0, lo - 1.0), 2.5 - 2.5j])
    assert c._real.tolist() == [hi, 3] and c._imag.tolist() == [lo, max(lo, -3)]


def test_float_and_logical_conversion():
    assert single([1e300, -1e300, 0.1])._data.tolist()[:2] == [math.inf, -math.inf]
    assert double([10**400, -(10**400)]).tolist() == [[math.inf, -math.inf]]
    assert int64([2**53 + 1])[0][0] == 2**53 + 1
    assert logical([[0, 2, -0.5, True]]).tolist() == [[False, True, True, True]]
    assert logical(uint8([[0, 7, 255]]))._data.tolist() == [0, 1, 1]
    assert uint8(logical([True, False])) == uint8([1, 0])
    assert double(int8([-3, 4]), is_complex=True) == double([-3 + 0j, 4])
    for bad in (
        lambda: logical([float("nan")]),
        lambda: logical([1j]),
        lambda: logical(size=(1, 1), is_complex=True),
        lambda: logical(double([1j])),
        lambda: logical(double([1]), is_complex=True),
    ):
        with pytest.raises(ValueError):
            bad()


def test_indexing_errors_and_assignment():
    a = int32(size=(2, 3))
    for key in [2, -3, (2, 0), (0, 3), (-3, 0), (0, 0, 1)]:
        with pytest.raises(IndexError):
            a[key]
    for k in [6, -7]:
        with pytest.raises(IndexError):
            a.linear[k]
    with pytest.raises(IndexError):
        int8(size=(2, 3, 4))[1, 2]
    for key in [1.0, slice(0, 1), "0"]:
        with pytest.raises(TypeError):
            a[key]
        with pytest.raises(TypeError):
            a.linear[key]
    a[1, 2, 0] = 9
    assert a.linear[5] == 9 and a[-1, -1, -1] == 9
    for target in (a[0], a.linear):
        with pytest.raises(TypeError):
            target[0] = "x"
    a.linear[0] = 1 - 2j
    assert a.is_complex and a._data is None and a[0][0] == 1 - 2j and a.linear[5] == 9
    for target in (logical(size=(1, 1))[0], logical(size=(1, 1)).linear):
        with pytest.raises(ValueError):
            target[0] = 1j


@pytest.mark.parametrize(
    "kwargs,error",
    [
        ({"size": (3,)}, ValueError),
        ({"size": (2, -1)}, ValueError),
        ({"size": 3}, TypeError),
        ({"size": (2.0, 3)}, TypeError),
        ({"data": [1, 2, 3], "size": (2, 2)}, ValueError),
        ({"data": double(size=(2, 2)), "size": (3, 1)}, ValueError),
        ({"data": "abc"}, TypeError),
        ({"data": [None]}, TypeError),
    ],
)
def test_bad_construction(kwargs, error):
    with pytest.raises(error):
        double(**kwargs)


def test_equality_and_repr():
    a = double([[1.0, 2.0], [3.0, 4.0]])
    assert a == a.copy() and a != single(a) and a != a.reshape(4, 1)
    assert a != double(a, is_complex=True) and a != [[1.0, 2.0], [3.0, 4.0]]
    assert double([math.nan]) != double([math.nan])
    with pytest.raises(TypeError):
        hash(a)
    assert repr(a) == "veldra.double([[1.0, 2.0],\n               [3.0, 4.0]])"
    assert repr(logical([1, 0])) == "veldra.logical([[ True, False]])"
    assert repr(int8(size=(0, 3))) == "veldra.int8(size=(0, 3))"
    assert repr(single(size=(1, 1, 2))) == "veldra.single([[[0.0, 0.0]]])"
    assert repr(double([1j])) == "veldra.double([[1j]])"
    with pytest.raises(ValueError):
        a.reshape(3, 1)
    assert double(size=(2, 3, 1)).size == (2, 3)
