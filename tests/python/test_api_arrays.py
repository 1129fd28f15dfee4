"""Typed arrays from buffers, and blocks of them by slicing (no NumPy needed)."""

import array
import ctypes
import math

import pytest

import veldra
from veldra import double, int8, int16, int32, int64, logical, single, uint8, uint16, uint64

ALL = [double, single, int8, int16, int32, int64, uint8, uint16, veldra.uint32, uint64, logical]


@pytest.mark.parametrize("cls", ALL)
@pytest.mark.parametrize(
    "typecode, values",
    [
        ("d", [1.5, -2.5, 1e300, -0.0, 0.5]),
        ("f", [0.25, -3.75, 2.5]),
        ("b", [-128, 127, 0]),
        ("B", [0, 255, 1]),
        ("h", [-32768, 32767]),
        ("H", [65535, 3]),
        ("i", [-(2**31), 2**31 - 1]),
        ("I", [2**32 - 1]),
        ("q", [-(2**63), 2**63 - 1, 7]),
        ("Q", [2**64 - 1, 2**63, 1]),
    ],
)
def test_buffers_follow_the_element_rules(cls, typecode, values):
    # Read in bulk, a buffer gives what the same numbers give one by one.
    if cls is logical and typecode in "df":
        values = [v for v in values if not math.isnan(v)]
    bulk = cls(array.array(typecode, values))
    assert bulk == cls(list(values))
    assert bulk.size == (1, len(values))


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"\x01\xff", uint8([1, 255])),
        (bytearray(b"\x00\x07"), uint8([0, 7])),
        (memoryview(b"\x01\x00\x02\x00").cast("h"), int16([1, 2])),
        ((ctypes.c_double * 3)(1.0, 2.0, 3.0), double([1.0, 2.0, 3.0])),
        (memoryview(bytes([1, 0, 1])).cast("?"), logical([True, False, True])),
        (b"", uint8([])),
    ],
)
def test_other_buffers(data, expected):
    result = type(expected)(data)
    assert result == expected


def test_buffer_with_size_and_complex():
    a = double(array.array("i", range(6)), size=(2, 3))
    assert a.tolist() == [[0, 2, 4], [1, 3, 5]]
    c = single(array.array("b", [1, 2]), is_complex=True)
    assert c.is_complex and c[0][1] == 2 + 0j
    with pytest.raises(ValueError):
        double(array.array("d", [1.0, 2.0]), size=(3, 1))
    with pytest.raises(ValueError):
        logical(b"\x01", is_complex=True)


def test_multidimensional_and_odd_buffers():
    view = memoryview(array.array("d", range(6))).cast("B").cast("d", (2, 3))
    assert double(view).tolist() == [[0, 1, 2], [3, 4, 5]]
    strided = memoryview(array.array("d", range(6)))[::2]
    assert double(strided) == double([0.0, 2.0, 4.0])
    big_endian = (ctypes.c_int16.__ctype_be__ * 2)(1, -2)
    assert int16(big_endian) == int16([1, -2])
    with pytest.raises(TypeError):
        double(array.array("u", "ab"))
    with pytest.raises(TypeError):
        double("abc")  # text is not read as a buffer


def test_nan_in_a_buffer_is_refused_by_logical():
    with pytest.raises(ValueError):
        logical(array.array("d", [1.0, math.nan]))


M = double([[1, 2, 3], [4, 5, 6]])


@pytest.mark.parametrize(
    "key, expected",
    [
        ((0, slice(None)), [[1, 2, 3]]),
        ((slice(None), 1), [[2], [5]]),
        ((slice(None), slice(None, None, 2)), [[1, 3], [4, 6]]),
        ((slice(None, None, -1), -1), [[6], [3]]),
        ((slice(1, 1), slice(None)), []),
        ((slice(None), slice(None), 0), [[1, 2, 3], [4, 5, 6]]),
    ],
)
def test_block_reads(key, expected):
    block = M[key]
    assert type(block) is double and block.tolist() == expected


def test_block_reads_keep_class_complexity_and_dimensions():
    a = int8([[[1, 2], [3, 4]], [[5, 6], [7, 8]]])
    assert a[:, 0, :].size == (2, 1, 2)
    assert a[:, 0, :].tolist() == [[[1, 2]], [[5, 6]]]
    c = single([[1j, 2], [3, 4j]])
    assert c[:, 1] == single([[2 + 0j], [4j]])


@pytest.mark.parametrize(
    "key, error",
    [
        (slice(0, 1), TypeError),
        ((slice(None),), IndexError),  # fewer subscripts than dimensions
        ((slice(None), 3), IndexError),
        ((slice(None), "a"), TypeError),
        ((slice(None), 0, 1), IndexError),
    ],
)
def test_bad_block_keys(key, error):
    with pytest.raises(error):
        M[key]


@pytest.mark.parametrize(
    "key, value, expected",
    [
        ((0, slice(None)), 0, [[0, 0, 0], [4, 5, 6]]),
        ((slice(None), 0), [[7], [8]], [[7, 2, 3], [8, 5, 6]]),
        ((slice(None), slice(1, None)), int8([[9, 9], [9, 9]]), [[1, 9, 9], [4, 9, 9]]),
        ((1, slice(None, None, -1)), [1, 2, 3], [[1, 2, 3], [3, 2, 1]]),
        ((slice(None), 2), 1e300, [[1, 2, 1e300], [4, 5, 1e300]]),
    ],
)
def test_block_writes(key, value, expected):
    a = M.copy()
    a[key] = value
    assert a.tolist() == expected


def test_block_writes_convert_and_check():
    a = int8(size=(2, 2))
    a[0, :] = [300.0, -2.5]
    assert a.tolist() == [[127, -3], [0, 0]]
    a[:, 1] = 1j
    assert a.is_complex and a.tolist() == [[127, 1j], [0, 1j]]
    with pytest.raises(ValueError):
        a[:, 0] = [1, 2, 3]
    with pytest.raises(TypeError):
        a[:, 0] = "x"
    with pytest.raises(ValueError):
        logical(size=(1, 2))[0, :] = 1j
    assert a.tolist() == [[127, 1j], [0, 1j]]


def test_without_numpy_asarray_reports_it():
    try:
        import numpy  # noqa: F401
    except ImportError:
        with pytest.raises(ImportError):
            M.__array__()
    else:
        pytest.skip("NumPy is installed")
