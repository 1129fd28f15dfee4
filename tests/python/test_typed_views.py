"""Large typed-array results as views of the engine's block, through a real engine."""

import copy
import gc
import pickle
import sys
from array import array

import pytest

import veldra
import veldra.engine

CLASSES = ["double", "single", "int8", "uint8", "int16", "uint16", "int32", "uint32", "logical"]
SIZE = (100, 700)  # 70000 elements: every part of every class is a shared block


@pytest.fixture(scope="module")
def eng():
    with veldra.engine.start() as e:
        yield e


def large(cls, is_complex=False):
    n = SIZE[0] * SIZE[1]
    if cls == "logical":
        values = [i % 3 == 0 for i in range(n)]
    elif is_complex:
        values = [complex(i % 100, -(i % 7)) for i in range(n)]
    else:
        values = [i % 100 for i in range(n)]
    return getattr(veldra, cls)(values, size=SIZE)


def is_view(a):
    parts = (a._real, a._imag) if a.is_complex else (a._data,)
    return all(not isinstance(p, array) for p in parts)


@pytest.mark.parametrize(
    "cls, is_complex", [(c, False) for c in CLASSES] + [(c, True) for c in CLASSES if c != "logical"]
)
def test_round_trip_keeps_values_as_views(eng, cls, is_complex):
    source = large(cls, is_complex)
    got = eng.identity(source)
    assert is_view(got) and type(got) is type(source) and got.size == SIZE
    assert got == source and source == got and got.tolist() == source.tolist()
    assert got[3, 5] == source[3, 5] and list(got.linear)[-3:] == list(source.linear)[-3:]
    back = eng.identity(got)
    assert back == source and is_view(back)
    assert eng.sum(got) == eng.sum(source)


def test_writes_copy_first_and_change_only_the_writer(eng):
    np = pytest.importorskip("numpy")
    source = large("double", True)
    got = eng.identity(source)
    pair = eng.identity([got, got])
    real = eng.identity(large("double"))
    held = np.asarray(real)
    assert not held.flags.writeable
    real[3, 1] = 2j
    assert held[3, 1] == 3.0 and real[3, 1] == 2j and real[4, 1] == 4.0
    got[0, 0] = 7 + 7j
    got[1, :] = 5.0
    assert not is_view(got) and got[0, 0] == 7 + 7j and got[1, 9] == 5.0
    assert got[2, 2] == source[2, 2]
    # The engine's values and the other holders of the block are as they were.
    assert pair[0] == source and pair[1] == source
    assert eng.identity(pair[0]) == source
    assert eng.identity(got)[0, 0] == 7 + 7j


def test_the_block_goes_with_its_last_holder(eng, live_arrays):
    gc.collect()
    before = live_arrays()
    got = eng.identity(large("int16", True))
    real, imag = got._real, got._imag
    copied = copy.copy(got)
    assert live_arrays() > before and not is_view(copied)
    del got
    gc.collect()
    assert live_arrays() > before and real[5] == 5
    del real, imag
    gc.collect()
    assert live_arrays() == before


@pytest.mark.parametrize("protocol", [2, 4, 5, "5-out-of-band"])
@pytest.mark.parametrize("is_complex", [False, True])
def test_pickled_views_come_back_equal(eng, protocol, is_complex):
    source = large("single", is_complex)
    got = eng.identity(source)
    if protocol == "5-out-of-band":
        buffers = []
        data = pickle.dumps(got, 5, buffer_callback=buffers.append)
        assert buffers
        again = pickle.loads(data, buffers=buffers)
    else:
        again = pickle.loads(pickle.dumps(got, protocol))
    assert again == source and type(again) is veldra.single


@pytest.mark.skipif(sys.version_info < (3, 12), reason="memoryview of a Python class needs Python 3.12")
@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("from_engine", [False, True])
def test_memoryview_indexes_as_the_array_does(eng, cls, from_engine):
    a = eng.identity(large(cls)) if from_engine else large(cls)
    m = memoryview(a)
    assert m.shape == SIZE and m.format == ("?" if cls == "logical" else a._typecode)
    for i, j in [(0, 0), (3, 5), (99, 699), (42, 1)]:
        assert m[i, j] == a[i, j]
    assert m.tolist() == a.tolist()
    # An engine result's elements are the engine's block: read-only.
    assert m.readonly == from_engine
    if not from_engine:
        m[1, 2] = 1
        assert a[1, 2] == 1


@pytest.mark.skipif(sys.version_info < (3, 12), reason="memoryview of a Python class needs Python 3.12")
def test_memoryview_refuses_complex_arrays_and_a_resized_buffer():
    with pytest.raises(TypeError):
        memoryview(veldra.double([1j, 2]))
    a = veldra.double([[1.0, 2.0], [3.0, 4.0]])
    a._data.append(5.0)  # a user's mistake: the buffer no longer fits the size
    with pytest.raises(BufferError):
        memoryview(a)


# ---- arrays built to be sent: zeros() and empty() ------------------------------


def address(a):
    return (a._real if a.is_complex else a._data).buffer_info()[0]


@pytest.mark.parametrize(
    "cls, is_complex, make",
    [("double", False, "zeros"), ("int32", False, "empty"), ("logical", False, "zeros"), ("single", True, "empty")],
)
def test_large_arrays_built_here_cross_as_their_block(eng, cls, is_complex, make):
    np = pytest.importorskip("numpy")
    a = getattr(getattr(veldra, cls), make)(SIZE, is_complex=is_complex)
    want = large(cls, is_complex)
    if is_complex:
        for k, v in enumerate(want.linear):
            a.linear[k] = v
    else:
        view = np.asarray(a)
        assert view.flags.writeable and view.shape == SIZE
        view[...] = np.asarray(want)
        del view
    got = eng.identity(a)
    # The engine was handed the block, and handed it back: no copy either way.
    assert got == want and address(got) == address(a)
    assert eng.sum(a) == eng.sum(want)


WRITES = {
    "item": lambda a, np: a.__setitem__((3, 5), 7),
    "linear": lambda a, np: a.linear.__setitem__(3 + 5 * SIZE[0], 7),
    "block": lambda a, np: a.__setitem__((3, slice(None)), 7),
    "numpy": lambda a, np: np.asarray(a).__setitem__((3, 5), 7),
    "complex": lambda a, np: a.__setitem__((3, 5), 7j),
}
if sys.version_info >= (3, 12):
    WRITES["memoryview"] = lambda a, np: memoryview(a).__setitem__((3, 5), 7.0)


@pytest.mark.parametrize("write", sorted(WRITES))
def test_after_a_send_writes_never_reach_the_engine(eng, live_arrays, write):
    np = pytest.importorskip("numpy")
    gc.collect()
    before = live_arrays()
    a = veldra.double.zeros(SIZE)
    eng.workspace["held"] = a
    got = eng.identity(a)
    WRITES[write](a, np)
    assert a[3, 5] in (7, 7j)
    assert eng.workspace["held"][3, 5] == 0 and got[3, 5] == 0
    # Sent again, the new values go.
    assert eng.identity(a)[3, 5] == a[3, 5]
    if write != "complex":
        assert np.asarray(a).flags.writeable
    del a, got
    eng.workspace.clear()
    gc.collect()
    assert live_arrays() == before


def test_a_writable_view_alive_at_a_send_gives_the_engine_a_snapshot(eng):
    np = pytest.importorskip("numpy")
    a = veldra.uint16.zeros(SIZE)
    view = np.asarray(a)
    view[0, 0] = 1
    eng.workspace["typed"] = a
    eng.workspace["view"] = view
    view[0, 0] = 2
    a[1, 1] = 3
    assert eng.workspace["typed"][0, 0] == 1 and eng.workspace["view"][0, 0] == 1
    assert eng.workspace["typed"][1, 1] == 0 and view[1, 1] == 3
    eng.workspace.clear()


# Element writes keep the classes' rules (rounding, saturation, logical).
@pytest.mark.parametrize(
    "cls, value, stored",
    [
        ("int8", 300, 127),
        ("int8", -2.5, -3),
        ("uint8", -1, 0),
        ("uint32", 2**40, 2**32 - 1),
        ("int64", -(2**70), -(2**63)),
        ("single", 1e300, float("inf")),
        ("logical", 5, True),
        ("double", 2**1100, float("inf")),
    ],
)
def test_writes_in_place_follow_the_element_rules(cls, value, stored):
    a = getattr(veldra, cls).zeros(SIZE)
    a[2, 3] = value
    a.linear[-1] = value
    assert not isinstance(a._data, array)
    assert a[2, 3] == stored and a.linear[-1] == stored and a[3, 3] == 0 and a.linear[-2] == 0


@pytest.mark.parametrize("size", [(3,), (-1, 300), ("a", "b"), (2.5, 300), "ab", (), (2**20, 2**20), (2**40, 2**40)])
@pytest.mark.parametrize("make", ["zeros", "empty"])
def test_bad_sizes_raise_as_the_constructor_does(make, size):
    with pytest.raises(Exception) as want:
        veldra.double(size=size)
    with pytest.raises(want.type):
        getattr(veldra.double, make)(size)


def test_sizes_and_small_arrays():
    assert veldra.double.zeros(300, 300, 1).size == (300, 300) == veldra.double.empty((300, 300)).size
    small = veldra.int16.zeros(10, 10, is_complex=True)
    assert isinstance(small._real, array) and small == veldra.int16(size=(10, 10), is_complex=True)
    assert veldra.double.zeros(0, 5).size == (0, 5)
    with pytest.raises(ValueError):
        veldra.logical.zeros(SIZE, is_complex=True)
    with pytest.raises(TypeError):
        veldra.double.zeros(SIZE, order="F")
