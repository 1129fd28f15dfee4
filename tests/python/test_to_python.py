"""Engine results as Python values."""

import pytest

import veldra
import veldra.engine

Q = "VELDRA:PythonQxArray"


def refused(call, catalog_text, exc, catalog, key, name, *args):
    with pytest.raises(exc) as e:
        call(name, *args)
    assert str(e.value) == catalog_text(catalog, key)


@pytest.mark.parametrize("cls", ["double", "single", "int8", "uint8", "int16", "uint16", "int32", "uint32", "logical"])
@pytest.mark.parametrize("shape", [(2, 3), (3, 1), (1, 4), (2, 3, 4), (0, 0), (1, 0), (0, 5)])
def test_typed_array_results(call, cls, shape):
    n = 1
    for d in shape:
        n *= d
    values = [(i % 2) if cls == "logical" else i + 1 for i in range(n)]
    source = getattr(veldra, cls)(values, size=shape)
    result = call("identity", source)
    assert type(result) is getattr(veldra, cls)
    assert result.size == shape and result == source


@pytest.mark.parametrize("cls", ["double", "single", "int8", "uint8", "int16", "uint16", "int32", "uint32"])
def test_complex_typed_array_results(call, cls):
    source = getattr(veldra, cls)([[1 + 2j, 3 + 4j]])
    result = call("identity", source)
    assert result.is_complex and result == source
    assert list(result._real) == [1, 3] and list(result._imag) == [2, 4]


def test_column_major_layout(call):
    result = call("identity", veldra.double([[1, 2, 3], [4, 5, 6]]))
    assert list(result._data) == [1, 4, 2, 5, 3, 6]


@pytest.mark.parametrize(
    "cls, key, shape, is_complex",
    [
        ("int64", "Int64ArrayNotSupported", (1, 2), False),
        ("int64", "Int64ArrayNotSupported", (0, 0), False),
        ("uint64", "Uint64ArrayNotSupported", (3, 1), True),
    ],
)
def test_64_bit_arrays_are_refused(call, catalog_text, cls, key, shape, is_complex):
    value = getattr(veldra, cls)(size=shape, is_complex=is_complex)
    refused(call, catalog_text, TypeError, Q, key, "identity", value)


def test_sparse_and_function_values(call, catalog_text):
    eye = veldra.double([[1, 0], [0, 1]])
    refused(call, catalog_text, TypeError, Q, "UnsupportedVeldraType", "sparse", eye)
    refused(call, catalog_text, TypeError, Q, "UnsupportedVeldraType", "cell_of", "sparse", eye)
    refused(call, catalog_text, TypeError, Q, "UnsupportedVeldraType", "handle_of", "sqrt")
    refused(call, catalog_text, TypeError, Q, "UnsupportedVeldraType", "cell_of", "handle_of", "sqrt")
    refused(call, catalog_text, TypeError, Q, "UnsupportedVeldraType", "opaque_value")


@pytest.mark.parametrize(
    "name, args, expected",
    [
        ("identity", ("abc",), "abc"),
        ("reshape", ("abc", 3, 1), "abc"),
        # No byte-order mark detection: every character arrives as it was sent.
        ("identity", ("\ufeffabc",), "\ufeffabc"),
        ("identity", ("\ufffeabc",), "\ufffeabc"),
        ("identity", ("a\ufeff",), "a\ufeff"),
        ("identity", ("",), ""),
        ("reshape", ("", 0, 5), ""),
        ("identity", ("x",), "x"),
    ],
)
def test_text_results(call, name, args, expected):
    assert call(name, *args) == expected


@pytest.mark.parametrize("args", [("abcdef", 2, 3), ("ab", 1, 1, 2)])
def test_text_shapes_refused(call, catalog_text, args):
    refused(call, catalog_text, ValueError, Q, "CharArrayFromVeldra", "reshape", *args)


def test_cell_results(call, catalog_text):
    assert call("identity", [1.0, "a", veldra.double([[1, 2, 3]])]) == [1.0, "a", veldra.double([[1, 2, 3]])]
    assert call("reshape", [1.0, 2.0, 3.0], 3, 1) == [1.0, 2.0, 3.0]
    assert call("cell_new", 0, 0) == []
    assert call("cell_new", 1, 2) == [veldra.double([]), veldra.double([])]
    assert call("identity", [[1.0, [2.0]]]) == [[1.0, [2.0]]]
    refused(call, catalog_text, ValueError, Q, "CellArrayFromVeldra", "cell_new", 2, 2)
    refused(call, catalog_text, TypeError, Q, "Int64ArrayNotSupported", "identity", [1.0, veldra.int64([[1, 2]])])


def test_struct_results(call, catalog_text):
    assert call("identity", {"a": 1.0, "b": "x"}) == {"a": 1.0, "b": "x"}
    assert call("identity", {}) == {}
    assert call("identity", {"s": {"t": 1.0}}) == {"s": {"t": 1.0}}
    refused(call, catalog_text, ValueError, Q, "StructArrayFromVeldra", "tile", {"a": 1.0}, 1, 2)
    refused(call, catalog_text, ValueError, Q, "StructArrayFromVeldra", "tile", {"a": 1.0}, 0, 0)


def test_result_buffers_that_do_not_fit_are_refused(call, monkeypatch, catalog_text, live_arrays):
    import array

    original = veldra.double.__init__

    def init(self, *args, **kwargs):
        original(self, *args, **kwargs)
        if not args and "size" in kwargs:  # made for a result
            object.__setattr__(self, "_data", array.array("d", [0.0] * 5))

    value = veldra.double([[1, 2, 3], [4, 5, 6]])
    before = live_arrays()
    monkeypatch.setattr(veldra.double, "__init__", init)
    refused(call, catalog_text, ValueError, Q, "TypedArrayResultMismatch", "identity", value)
    assert live_arrays() == before


@pytest.mark.parametrize("cls", [veldra.double, veldra.single, veldra.int16])
@pytest.mark.parametrize("size", [(0, 3), (3, 0), (0, 0), (2, 0, 4)])
def test_empty_complex_arrays_stay_complex(call, cls, size):
    a = call("identity", cls(size=size, is_complex=True))
    assert (type(a), a.size, a.is_complex) == (cls, size, True)
    assert call("identity", [a])[0].is_complex  # inside a cell too
    assert call("is_complex", a) is True
