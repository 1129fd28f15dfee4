"""Properties of values through the conversions to the engine and back: each
arrives equal to what the documented rules make of it, or fails with the
documented class, and the engine goes on either way."""

import math

import pytest

import veldra
import veldra.engine as ve
from veldra._vdarray import _VdArray

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

SETTINGS = settings(
    max_examples=150,
    deadline=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)


@pytest.fixture(scope="module")
def eng():
    with ve.start() as engine:
        yield engine


# ---- what the engine gives back -----------------------------------------------


def returned(v):
    """The value ``identity(v)`` gives, by the conversion tables."""
    if isinstance(v, (list, tuple)):
        return [returned(x) for x in v]
    if isinstance(v, dict):
        return {k: returned(x) for k, x in v.items()}
    if isinstance(v, bytes):
        return v[0] if len(v) == 1 else ("uint8", (len(v), 1), False, list(v))
    if isinstance(v, _VdArray):  # any typed array
        return typed(v)
    return v


def typed(a):
    """A typed array as the engine gives it back: 1-by-1 ones as scalars,
    trailing singleton dimensions past the second dropped."""
    size = a.size
    while len(size) > 2 and size[-1] == 1:
        size = size[:-1]
    if size == (1, 1):
        if a.is_complex:
            return complex(a._real[0], a._imag[0])
        x = a._data[0]
        return bool(x) if type(a) is veldra.logical else x
    data = (list(a._real), list(a._imag)) if a.is_complex else list(a._data)
    return (type(a).__name__, size, a.is_complex, data)


def comparable(v):
    """Results in a form == compares (typed arrays as tuples, NaN as a marker)."""
    if isinstance(v, list):
        return [comparable(x) for x in v]
    if isinstance(v, dict):
        return {k: comparable(x) for k, x in v.items()}
    if isinstance(v, _VdArray):
        return comparable(typed(v))
    if isinstance(v, tuple):
        return tuple(comparable(x) for x in v)
    if isinstance(v, float) and math.isnan(v):
        return "nan"
    if isinstance(v, complex):
        return ("complex", comparable(v.real), comparable(v.imag))
    return v


# ---- values -------------------------------------------------------------------

names = st.from_regex(r"[A-Za-z][A-Za-z0-9_]{0,62}", fullmatch=True)
text = st.text(st.characters(blacklist_categories=["Cs"]), max_size=20)  # no lone surrogates
scalars = st.one_of(
    st.floats(),
    st.booleans(),
    st.integers(-(2**63), 2**63 - 1),
    st.complex_numbers(allow_nan=True),
    text,
    st.binary(max_size=8),
)

KINDS = [
    (veldra.double, st.floats()),
    (veldra.single, st.floats(width=32)),
    (veldra.int8, st.integers(-128, 127)),
    (veldra.uint16, st.integers(0, 2**16 - 1)),
    (veldra.int32, st.integers(-(2**31), 2**31 - 1)),
    (veldra.logical, st.booleans()),
]
sizes = st.lists(st.integers(0, 3), min_size=2, max_size=4)


@st.composite
def typed_arrays(draw):
    cls, elements = draw(st.sampled_from(KINDS))
    size = tuple(draw(sizes))
    n = math.prod(size)
    is_complex = cls is not veldra.logical and draw(st.booleans())
    values = draw(st.lists(elements, min_size=n, max_size=n))
    if is_complex:
        values = [complex(v, w) for v, w in zip(values, draw(st.lists(elements, min_size=n, max_size=n)))]
    return cls(values, size=size, is_complex=is_complex)


values = st.recursive(
    st.one_of(scalars, typed_arrays()),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.tuples(inner, inner), st.dictionaries(names, inner, max_size=3)
    ),
    max_leaves=12,
)


@SETTINGS
@given(v=values)
def test_values_come_back_as_the_tables_say(eng, v):
    assert comparable(eng.identity(v)) == comparable(returned(v))


@SETTINGS
@given(
    v=st.recursive(
        st.one_of(scalars, st.none(), st.integers(), st.sampled_from([object(), memoryview(b"x"), {1: 2.0}])),
        lambda inner: st.one_of(st.lists(inner, max_size=3), st.dictionaries(st.text(max_size=4), inner, max_size=2)),
        max_leaves=8,
    )
)
def test_any_value_arrives_or_fails_with_a_documented_class(eng, v):
    try:
        eng.identity(v)
    except (TypeError, ValueError, OverflowError):
        pass
    assert eng.identity(1.0) == 1.0  # the engine goes on
