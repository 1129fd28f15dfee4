"""Python values as engine function arguments."""

import array
import sys

import pytest

import veldra
import veldra.engine

Q = "VELDRA:PythonQxArray"


def dims(call, value):
    return [int(d) for d in call("dims", value)._data]


@pytest.mark.parametrize(
    "value, cls, size, is_complex",
    [
        (True, "logical", [1, 1], False),
        (1, "int64", [1, 1], False),
        (1.0, "double", [1, 1], False),
        (1j, "double", [1, 1], True),
        ("abc", "char", [1, 3], False),
        ("\U0001f600", "char", [1, 2], False),
        (b"abc", "uint8", [3, 1], False),
        (b"", "uint8", [0, 1], False),
        (bytearray(b"abc"), "uint8", [1, 3], False),
        (bytearray(), "uint8", [1, 0], False),
        ([], "cell", [1, 0], False),
        ((), "cell", [1, 0], False),
        (set(), "cell", [1, 0], False),
        ({1.0, 2.0}, "cell", [1, 2], False),
        ({}, "struct", [1, 1], False),
        ([1, "a", [2.0]], "cell", [1, 3], False),
        (veldra.double([[1, 2, 3], [4, 5, 6]]), "double", [2, 3], False),
        (veldra.single(size=(1, 2), is_complex=True), "single", [1, 2], True),
        (veldra.int8(size=(2, 3, 4)), "int8", [2, 3, 4], False),
        (veldra.uint16(size=(0, 3)), "uint16", [0, 3], False),
        (veldra.int64([[1, 2]]), "int64", [1, 2], False),
        (veldra.uint64([[1], [2]]), "uint64", [2, 1], False),
        (veldra.logical([[1, 0, 1]]), "logical", [1, 3], False),
    ],
)
def test_value_becomes_array(call, value, cls, size, is_complex):
    assert call("class_of", value) == cls
    assert dims(call, value) == size
    assert call("is_complex", value) is is_complex


@pytest.mark.parametrize(
    "value, expected",
    [
        ("h\u00e9llo \U0001f600", "h\u00e9llo \U0001f600"),
        ("", ""),
        ([1, "a", [2.0]], [1, "a", [2.0]]),
        ((1.5, True), [1.5, True]),
        ({"a": 1, "b": [1, 2]}, {"a": 1, "b": [1, 2]}),
        ({"outer": {"inner": "x"}}, {"outer": {"inner": "x"}}),
        (-(2**63), -(2**63)),
        (2**63 - 1, 2**63 - 1),
    ],
)
def test_round_trips(call, value, expected):
    assert call("identity", value) == expected


def test_int64_extremes_arrive_exact(call):
    for v in (-(2**63), 2**63 - 1, 12345678901234567):
        a = veldra.int64([[v]])
        assert call("identity", a) == v
    b = veldra.uint64([[2**64 - 1]])
    assert call("identity", b) == 2**64 - 1


def test_bytes_values(call):
    col = call("identity", b"\x00\xff\x10")
    assert col.size == (3, 1) and list(col._data) == [0, 255, 16]


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, (1, 2**64), [[2**70]], {"a": 2**64}])
def test_integer_overflow_fails_the_call(call, live_arrays, value):
    before = live_arrays()
    with pytest.raises(OverflowError):
        call.submit("identity", value)
    assert live_arrays() == before


@pytest.mark.parametrize(
    "value, exc, key",
    [
        (memoryview(b"ab"), TypeError, "MVNotSupported"),
        ([1.0, None], TypeError, "NoneNotSupported"),
        ({"a": None}, TypeError, "NoneNotSupported"),
        ({1: 2.0}, ValueError, "InvalidStructField"),
        ({"1a": 2.0}, ValueError, "InvalidStructField"),
        ({"a b": 2.0}, ValueError, "InvalidStructField"),
        ({"a" * 64: 2.0}, ValueError, "InvalidStructField"),
        ([1.0, [frozenset()]], TypeError, "UnsupportedPythonData"),
    ],
)
def test_refusals_leave_nothing_behind(call, live_arrays, catalog_text, value, exc, key):
    before = live_arrays()
    with pytest.raises(exc) as e:
        call.submit("identity", [1.0, "x"], value)
    assert str(e.value) == catalog_text(Q, key).replace("{1}", "frozenset")
    assert live_arrays() == before


def test_self_containment(call, catalog_text, live_arrays):
    before = live_arrays()
    lst = [1.0]
    lst.append(lst)
    with pytest.raises(ValueError) as e:
        call.submit("identity", lst)
    assert str(e.value) == catalog_text(Q, "RecurListNotSupported")
    d = {"a": 1.0}
    d["b"] = d
    with pytest.raises(ValueError) as e:
        call.submit("identity", d)
    assert str(e.value) == catalog_text(Q, "RecurDictNotSupported")
    assert call("identity", [1.0, list(lst[:1])]) == [1.0, [1.0]]
    assert live_arrays() == before


@pytest.mark.parametrize(
    "make, key",
    [
        (lambda: (lambda a, b: (a.append(b), b.append(a), a)[2])([1.0], [2.0]), "RecurListNotSupported"),
        (lambda: (lambda d, l: (d.__setitem__("x", l), l.append(d), d)[2])({}, []), "RecurDictNotSupported"),
        (lambda: (lambda t: (t[0].append(t), t)[1])(([],)), "RecurListNotSupported"),
        (lambda: (lambda l, d: (l.append(d), d.__setitem__("x", [l]), [0.0, l])[2])([], {}), "RecurListNotSupported"),
    ],
)
def test_indirect_cycles_are_refused_like_self_containment(call, live_arrays, catalog_text, make, key):
    before = live_arrays()
    with pytest.raises(ValueError) as e:
        call.submit("identity", make())
    assert str(e.value) == catalog_text(Q, key)
    assert live_arrays() == before
    shared = [1.0]
    assert call("identity", [shared, {"a": shared}]) == [[1.0], {"a": [1.0]}]  # shared, not a cycle


def test_values_the_engine_cannot_take_are_value_errors(call, live_arrays, catalog_text):
    before = live_arrays()
    with pytest.raises(ValueError) as e:
        call.submit("identity", [veldra.double(size=(0, 2**40, 2**40))])
    assert str(e.value) == catalog_text(Q, "TypedArraySizeTooLarge")
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(5000)
    try:
        deep = 1.0
        for _ in range(1100):
            deep = [deep]
        with pytest.raises(ValueError, match="nested too deeply"):
            call.submit("identity", deep)
    finally:
        sys.setrecursionlimit(limit)
    assert live_arrays() == before
    assert call("identity", veldra.double(size=(2**62, 0))).size == (2**62, 0)  # no elements


def test_deep_nesting_converts(call):
    value = 1.0
    for _ in range(40):
        value = [value]
    assert call("identity", value) == value


def patch_init(monkeypatch, cls, after):
    original = cls.__init__

    def init(self, *args, **kwargs):
        original(self, *args, **kwargs)
        after(self)

    monkeypatch.setattr(cls, "__init__", init)


@pytest.mark.parametrize("container", ["list", "dict"])
def test_container_changed_during_conversion(call, monkeypatch, container):
    a = veldra.double([[1.0, 2.0]])
    value = [a, 2.0, "x"] if container == "list" else {"a": a, "b": 2.0}
    patch_init(monkeypatch, veldra.double, lambda self: value.clear())
    result = call("identity", value)
    assert len(result) == (3 if container == "list" else 2)


@pytest.mark.parametrize(
    "cls, attr, buf",
    [
        (veldra.double, "_data", array.array("d", [1.0])),  # too few items
        (veldra.double, "_data", array.array("d", [1.0] * 9)),  # too many
        (veldra.int64, "_data", array.array("i", [1, 2])),  # 4-byte items in a 64-bit array
        (veldra.single, "_data", array.array("d", [1.0, 2.0])),  # 8-byte items in a single array
        (veldra.int32, "_data", array.array("f", [1.0, 2.0])),  # floats in an integer array
        (veldra.logical, "_data", array.array("B", [1, 0, 1])),  # too many
    ],
)
@pytest.mark.parametrize("where", ["copy", "value"])
def test_mismatched_typed_arrays_are_refused(call, monkeypatch, live_arrays, catalog_text, cls, attr, buf, where):
    # The buffers are spoilt in the copy the class makes, or in the value
    # itself (read directly when that copy would equal it).
    value = cls([[1, 2]])
    if where == "copy":
        patch_init(monkeypatch, cls, lambda self: object.__setattr__(self, attr, buf))
    else:
        object.__setattr__(value, attr, buf)
    before = live_arrays()
    with pytest.raises(ValueError) as e:
        call.submit("identity", value)
    assert str(e.value) == catalog_text(Q, "TypedArrayMismatch")
    assert live_arrays() == before


def test_complex_typed_array_with_short_imaginary_part(call, monkeypatch, catalog_text):
    value = veldra.double([[1 + 1j, 2 + 2j]])
    patch_init(monkeypatch, veldra.double, lambda self: object.__setattr__(self, "_imag", array.array("d", [1.0])))
    with pytest.raises(ValueError) as e:
        call.submit("identity", value)
    assert str(e.value) == catalog_text(Q, "TypedArrayMismatch")


@pytest.mark.parametrize(
    "value",
    [
        veldra.double([[1.5, -2.0], [3.0, 4.0]]),
        veldra.double([[1 + 2j, 3 - 4j]]),
        veldra.int16([[7, -8, 9]]),
        veldra.logical([[True, False]]),
    ],
)
def test_engine_copy_is_independent_of_the_value(call, value):
    expected = value.tolist()
    call("assign", "kept", value)
    value[0, 0] = 0
    assert call("fetch", "kept").tolist() == expected


def test_logical_ignores_complex_flag(call):
    assert call("class_of", veldra.logical([[1, 0]])) == "logical"


def test_typed_arrays_in_containers(call):
    a = veldra.double([[1, 2], [3, 4]])
    out = call("identity", {"m": a, "c": [a, veldra.int8([[1, 2, 3]])]})
    assert out["m"] == a and out["c"][0] == a and out["c"][1] == veldra.int8([[1, 2, 3]])
