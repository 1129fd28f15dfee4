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
