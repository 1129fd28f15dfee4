# -*- coding: utf-8 -*-
"""What the Python 2.7 build does differently, through the module functions
and the API.  Collected on Python 2.7 only (see conftest.py)."""
import StringIO

import pytest

import veldra
import veldra.engine as ve


@pytest.fixture(scope="module")
def eng():
    with ve.start() as e:
        yield e


@pytest.mark.parametrize("value, kind", [
    (veldra.int32([[7]]), int),
    (veldra.uint32([[7]]), long),  # noqa: F821
    (veldra.uint32([[4294967295]]), long),  # noqa: F821
    (veldra.int8([[-128]]), int),
    (veldra.uint64([[2 ** 64 - 1]]), long),  # noqa: F821
    (7, long),  # noqa: F821 - an int goes as int64
    ("abc", str),
    (u"abc", str),
    (u"caf\xe9", unicode),  # noqa: F821
])
def test_int_long_str_unicode_results(eng, value, kind):
    result = eng.identity(value)
    assert type(result) is kind
    assert result == (value.linear[0] if hasattr(value, "linear") else value)


def test_64_bit_typed_arrays_keep_their_values(eng):
    big = 2 ** 62 + 1
    assert eng.identity(veldra.int64([[big]])) == big
    assert eng.identity(veldra.uint64([[2 ** 64 - 1]])) == 2 ** 64 - 1


@pytest.mark.parametrize("key", ["a", u"a"])
def test_dict_keys_str_and_unicode(eng, key):
    result = eng.identity({key: 1.0})
    assert result == {"a": 1.0} and type(list(result)[0]) is str


@pytest.mark.parametrize("key", [u"caf\xe9", "a\x00b", "1a", 3])
def test_bad_dict_keys(eng, key):
    with pytest.raises(ValueError):
        eng.identity({key: 1.0})


def test_unicode_and_str_arguments_become_text(eng):
    assert eng.identity([u"x", "y"]) == ["x", "y"]


def test_classes_named_like_built_ins_are_refused(eng):
    class float(object):  # noqa: A001 - named like the built-in on purpose
        pass
    with pytest.raises(TypeError):
        eng.identity(float())


def test_long_handles_and_int_counts(native):
    native.createProcess()
    handle = native.getVELDRA(native.createVELDRAAsync([]))
    try:
        assert type(handle) is long  # noqa: F821
        handles = native.evaluateFunction(handle, "identity", 1, (1.0,))
        assert all(type(h) is long for h in handles)  # noqa: F821
        with pytest.raises(TypeError):
            native.evaluateFunction(int(handle), "identity", 1, (1.0,))
        with pytest.raises(TypeError):
            native.evaluateFunction(handle, "identity", long(1), (1.0,))  # noqa: F821
        with pytest.raises(TypeError):
            native.evaluateFunction(handle, u"identity", 1, (1.0,))
        with pytest.raises(TypeError):
            native.getFEvalResult(handles, long(1), 5)  # noqa: F821
        assert native.getFEvalResult(handles, 1, 5) == 1.0
        native.destroyFEvalResult(handles)
        with pytest.raises(TypeError):
            native.createVELDRAAsync([u"--threads", u"1"])
    finally:
        native.closeVELDRA(handle)


def test_stringio_capture(eng):
    out = StringIO.StringIO()
    eng.call("print", "hi", stdout=out)
    eng.call("print", u"caf\xe9", stdout=out)
    assert out.getvalue() == u"hi\ncaf\xe9\n"


def test_module_has_no_documentation_and_messages_are_str(native):
    assert native.__doc__ is None
    assert type(native.getMessage("FevalTakes3Args")) is str
    assert type(veldra.double([1]).size[0]) is int
    assert type(veldra.double).__module__ != "vdarray" and veldra.double.__module__ == "veldra.vdarray"


@pytest.mark.parametrize("dtype", ["bool", "int8", "uint16", "int64", "float32", "float64", "complex128"])
def test_numpy_arguments_and_results(eng, dtype):
    np = pytest.importorskip("numpy")
    a = (np.arange(12).reshape(3, 4) % 3).astype(dtype)[:, ::2]
    if dtype != "int64":  # 64-bit integer arrays come back as NumPy only
        typed = eng.identity(a)
        assert np.array_equal(np.asarray(typed), a) and np.asarray(typed).dtype == a.dtype
    back = eng.identity(a, numpy=True)
    assert isinstance(back, np.ndarray) and back.dtype == a.dtype and np.array_equal(back, a)
    assert np.asarray(eng.identity(a.dtype.type(1))).ravel().tolist() == [1]


@pytest.mark.parametrize("make", ["zeros", "empty"])
def test_arrays_built_to_be_sent_hold_array_array(eng, make):
    from array import array

    a = getattr(veldra.double, make)((300, 300), is_complex=True)
    assert isinstance(a._real, array) and isinstance(a._imag, array) and a.size == (300, 300)
    a[2, 3] = 1 + 2j
    a.linear[-1] = 4
    got = eng.identity(a)
    assert got[2, 3] == 1 + 2j and got.linear[-1] == 4
