"""Typed arrays indexed like nested lists of rows: a[i], a[i][j], views into
them, and column-major access through a.linear."""

import itertools
import math

import pytest

from veldra import double, single, int8, int16, uint64, logical
from veldra._vdarray import ArrayView

SHAPES = [(1, 4), (3, 1), (2, 3), (2, 3, 4), (2, 1, 3), (1, 1, 2), (3, 2, 2, 2)]
KINDS = [(double, False), (double, True), (single, True), (int8, False), (uint64, False), (logical, False)]


def numbered(cls, size, is_complex=False):
    """Distinct values in column-major order (a pattern for logical)."""
    n = math.prod(size)
    vals = [k % 3 == 0 if cls is logical else k + 1 for k in range(n)]
    if is_complex:
        vals = [complex(v, -v) for v in vals]
    return cls(vals, size=size, is_complex=is_complex)


def chain(value, index):
    """value[index[0]][index[1]]..."""
    for i in index:
        value = value[i]
    return value


def plain(value):
    return value.tolist() if isinstance(value, ArrayView) else value


@pytest.mark.parametrize("size", SHAPES)
@pytest.mark.parametrize("cls,is_complex", KINDS)
def test_chained_indexing_matches_subscripts_and_tolist(cls, is_complex, size):
    a = numbered(cls, size, is_complex)
    rows = a.tolist()
    for index in itertools.product(*map(range, size)):
        negative = tuple(i - d for i, d in zip(index, size))
        element = a[index]
        assert chain(a, index) == element == chain(rows, index) == chain(a, negative)
        assert type(chain(a, index)) is type(element)
        assert a[index[0]][index[1:]] == element  # full tuple on a view
    for depth in range(1, len(size)):
        for prefix in itertools.product(*map(range, size[:depth])):
            view, sub = chain(a, prefix), chain(rows, prefix)
            assert view.size == size[depth:] and len(view) == size[depth]
            assert view.tolist() == sub and view == sub and view == chain(a, prefix)
            assert [plain(item) for item in view] == sub


@pytest.mark.parametrize(
    "size,index",
    [
        ((2, 3), (2,)),
        ((2, 3), (-3,)),
        ((2, 3), (0, 3)),
        ((2, 3), (1, -4)),
        ((1, 4), (1,)),
        ((1, 4), (0, 4)),
        ((4, 1), (4,)),
        ((4, 1), (0, 1)),
        ((2, 3, 4), (0, 3)),
        ((2, 3, 4), (1, 2, 4)),
        ((2, 3, 4), (-1, -1, -5)),
        ((2, 0), (1, 0)),
        ((0, 3), (0,)),
    ],
)
def test_out_of_range_at_each_level(size, index):
    a = double(size=size)
    with pytest.raises(IndexError):
        chain(a, index)
    with pytest.raises(IndexError):
        chain(a, index[:-1])[index[-1]] = 1.0
    assert a == double(size=size)


@pytest.mark.parametrize(
    "size,prefix,key,error",
    [
        ((2, 3), (0,), 1.0, TypeError),
        ((2, 3), (0,), "1", TypeError),
        ((2, 3), (0,), slice(0, 2), TypeError),
        ((2, 3, 4), (0,), slice(None), TypeError),
        ((2, 3, 4), (0,), (0, slice(None)), TypeError),
        ((2, 3), (), slice(0, 1), TypeError),
        ((2, 3, 4, 5), (1,), (0, 0), IndexError),  # tuples address elements only
    ],
)
def test_bad_view_keys(size, prefix, key, error):
    view = chain(int16(size=size), prefix)
    with pytest.raises(error):
        view[key]
    with pytest.raises(error):
        view[key] = 1


@pytest.mark.parametrize(
    "cls,value",
    [
        (double, 2.5),
        (double, 1 - 2j),
        (single, 1e300),
        (int8, 300),
        (int8, -2.5),
        (uint64, 2**70),
        (int16, 3 + 4j),
        (logical, 2),
        (logical, 0.0),
    ],
)
@pytest.mark.parametrize("size,index", [((2, 3), (1, 2)), ((1, 4), (0, -1)), ((3, 1), (-1, 0)), ((2, 3, 4), (1, 0, 3))])
def test_view_writes_match_subscript_writes(cls, value, size, index):
    a, b, c = (numbered(cls, size) for _ in range(3))
    b[index] = value
    chain(a, index[:-1])[index[-1]] = value
    a[index[0]][index[1:]] = value
    assert a == b and a.is_complex == b.is_complex == isinstance(value, complex)
    c[index[0]][index[1:]] = value
    assert c == b


def test_logical_refuses_complex_through_every_path():
    a = logical([[1, 0], [0, 1]])
    before = a.copy()
    for target, key in ((a[1], 0), (a[0], (1,)), (a, 0), (a.linear, 2)):
        with pytest.raises(ValueError):
            target[key] = 1j
    assert a == before and not a.is_complex


def test_views_share_the_array():
    a = double([[1, 2, 3], [4, 5, 6]])
    row = a[1]
    a[1, 0] = 9
    assert row[0] == 9.0 and row == [9.0, 5.0, 6.0]
    row[1] = -1
    assert a[1, 1] == -1.0
    a.linear[5] = 2j  # the array turns complex under the view
    assert row == [9, -1, 2j] and row[-1] == 2j


@pytest.mark.parametrize(
    "data,prefix,value,expected",
    [
        ([[1, 2, 3], [4, 5, 6]], (1,), [7, 8, 9], [[1, 2, 3], [7, 8, 9]]),
        ([[1, 2, 3], [4, 5, 6]], (0,), 0, [[0, 0, 0], [4, 5, 6]]),
        ([[1, 2, 3], [4, 5, 6]], (-2,), 1j, [[1j, 1j, 1j], [4, 5, 6]]),
        ([[1, 2, 3], [4, 5, 6]], (0,), double([[7], [8], [9]]), [[7, 8, 9], [4, 5, 6]]),
        ([[[1, 2], [3, 4]], [[5, 6], [7, 8]]], (1,), [[0, 1], [2, 3]], [[[1, 2], [3, 4]], [[0, 1], [2, 3]]]),
        ([[[1, 2], [3, 4]], [[5, 6], [7, 8]]], (0, 1), [9, 9], [[[1, 2], [9, 9]], [[5, 6], [7, 8]]]),
    ],
)
def test_sub_array_assignment(data, prefix, value, expected):
    a = double(data)
    chain(a, prefix[:-1])[prefix[-1]] = value
    assert a.tolist() == expected


def test_sub_array_assignment_errors_and_self_copy():
    a = double([[1, 2, 3], [4, 5, 6]])
    a[1] = a[0]
    assert a.tolist() == [[1, 2, 3], [1, 2, 3]]
    for key, value, error in ((0, [1, 2], ValueError), (2, 0, IndexError), (0, "abc", TypeError)):
        with pytest.raises(error):
            a[key] = value
    assert a.tolist() == [[1, 2, 3], [1, 2, 3]]


def test_constructor_copies_views():
    a = double([[1, 2, 3], [4, 5.5, 6]])
    assert double(a[1]) == double([[4, 5.5, 6]]) and int8(a[1]) == int8([[4, 6, 6]])
    copy = double(a[0])
    copy[0, 0] = 100
    assert a[0][0] == 1.0
    b = int16([[[100 * i + 10 * j + k for k in range(4)] for j in range(3)] for i in range(2)])
    assert int16(b[1]) == int16(b[1].tolist()) and int16(b[1]).size == (3, 4)
    assert int16(b[0][2]) == int16([[20, 21, 22, 23]])
    assert double([a[1], a[0]]) == double([[4, 5.5, 6], [1, 2, 3]])
    assert double(a[0], size=(3, 1)).tolist() == [[1], [2], [3]]
    assert double(double(size=(2, 0))[1]).size == (1, 0)
    c = single([[1j, 2], [3, 4]])
    assert single(c[0]) == single([[1j, 2]]) and single(c[0]).is_complex
    with pytest.raises(ValueError):
        logical(c[0])


def test_view_repr_equality_and_hash():
    a = double([[1, 2], [3, 4]])
    assert repr(a[1]) == "<view a[1] of a 2-by-2 veldra.double: [3.0, 4.0]>"
    assert repr(int8(size=(2, 3, 2))[1][2]) == "<view a[1][2] of a 2-by-3-by-2 veldra.int8: [0, 0]>"
    assert a[0] == [1.0, 2.0] and a[0] != a[1] and a[1] == double([[3, 4]])[0]
    assert a[0] != [1.0, 3.0] and a[0] != [[1.0, 2.0]] and a[0] != (1.0, 2.0) and a[0] != 1.0
    with pytest.raises(TypeError):
        hash(a[0])


@pytest.mark.parametrize("size", [(2, 3), (1, 4), (4, 1), (2, 3, 2), (0, 3)])
def test_linear_access(size):
    a = numbered(double, size)
    n = math.prod(size)
    assert len(a.linear) == n and list(a.linear) == [float(k + 1) for k in range(n)]
    assert [a.linear[k] for k in range(-n, 0)] == list(a.linear)
    for k in (n, -n - 1):
        with pytest.raises(IndexError):
            a.linear[k]
        with pytest.raises(IndexError):
            a.linear[k] = 0
    if n:
        a.linear[-1] = -5
        assert a[tuple(d - 1 for d in size)] == -5.0
        a.linear[0] = 1j
        assert a.is_complex and a[(0,) * len(size)] == 1j and a.linear[-1] == -5


@pytest.fixture(scope="module")
def eng():
    try:
        import veldra.engine as ve
    except ImportError as exc:
        pytest.skip("the engine module is not available: %s" % exc)
    with ve.start() as engine:
        yield engine


def test_views_as_engine_arguments(eng):
    a = double([[1, 2, 3], [4, 5, 6]])
    assert eng.identity(a[1]) == double([[4, 5, 6]])
    b = int8([[[1, 2], [3, 4]], [[5, 6], [7, 8]]])
    assert eng.identity(b[1]) == int8([[5, 6], [7, 8]])
    assert eng.submit("identity", 2.0, a[0], nout=2).result(30) == (2.0, double([[1, 2, 3]]))
    assert eng.identity(double([[1], [2]])[1]) == 2.0
    eng.workspace["row"] = a[0]
    assert eng.workspace["row"] == double([[1, 2, 3]])
