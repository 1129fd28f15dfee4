"""veldra.object: references to engine objects."""

import gc

import pytest

import veldra
import veldra.engine

Q = "VELDRA:PythonQxArray"


def raises(catalog_text, exc, key, fn, *args):
    with pytest.raises(exc) as e:
        fn(*args)
    assert str(e.value) == catalog_text(Q, key)


@pytest.fixture()
def column(call):
    return call("objects", 3, 1)


def test_measure_and_index(column, catalog_text):
    o = column
    assert type(o) is veldra.object
    assert len(o) == 3 and o.size == (3, 1)
    assert o[0].size == (1,) and len(o[0]) == 1
    assert o[0][0].size == (1, 1) and len(o[0][0]) == 1
    assert o[-1] == o[2]
    assert len(list(o)) == 3
    for args in ((o[0][0], 0), (o, 3), (o, -4)):
        raises(catalog_text, IndexError, "IndexExceedsDim", lambda a, i: a[i], *args)


def test_scalar_object(call):
    o = call("map_new")
    assert len(o) == 1 and o.size == (1, 1)
    assert o[0][0].size == (1, 1)


def test_comparisons(column, catalog_text):
    o = column
    assert (o == o) is True and (o != o) is False
    assert o[1] == o[1] and o[1] != o[2]
    assert o[1][0] != o[1][0]  # two element references are two references
    for other in (5, None, "x"):
        raises(catalog_text, TypeError, "CompareObjectOnly", lambda a, b: a == b, o, other)
    for op, key in (
        (lambda a, b: a < b, "ObjectCantLessThan"),
        (lambda a, b: a <= b, "ObjectCantLessEqual"),
        (lambda a, b: a > b, "ObjectCantGreaterThan"),
        (lambda a, b: a >= b, "ObjectCantGreaterEqual"),
    ):
        raises(catalog_text, TypeError, key, op, o, o)
    with pytest.raises(TypeError):
        hash(o)


def test_objects_refuse_pickling(column, catalog_text):
    import copy
    import pickle

    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        raises(catalog_text, TypeError, "ObjectNotPicklable", pickle.dumps, column[1], protocol)
    raises(catalog_text, TypeError, "ObjectNotPicklable", copy.copy, column)


def test_separate_conversions_are_unequal(call):
    m = call("map_new")
    assert call("identity", m) != m


def test_objects_go_back_to_the_engine(call, catalog_text):
    m = call("map_new")
    call("map_set", m, "k", 2.5)
    assert call("map_get", m, "k") == 2.5
    o = call("objects", 2, 3)
    element = o[1][2]
    call("map_set", element, "x", "y")
    assert call("map_count", element) == 1.0
    assert call("map_count", o[0][0]) == 0.0
    raises(catalog_text, IndexError, "NumIndexEqualToNumDim", call.submit, "map_count", o[1])


def test_element_outlives_its_source(call):
    o = call("objects", 2, 2)
    element = o[1][1]
    partial = o[0]
    del o
    gc.collect()
    assert element.size == (1, 1) and partial.size == (2,)
    assert call("map_count", element) == 0.0
    assert call("map_count", partial[1]) == 0.0


def test_references_die_with_their_engine(native, catalog_text):
    from conftest import Caller

    engine = native.getVELDRA(native.createVELDRAAsync([]))
    caller = Caller(native, engine)
    o = caller("objects", 1, 2)
    native.closeVELDRA(engine)
    raises(catalog_text, SystemError, "ReferenceDoesNotExist", lambda a: a[0][1], o)
    other = native.getVELDRA(native.createVELDRAAsync([]))
    raises(catalog_text, SystemError, "ReferenceDoesNotExist", Caller(native, other).submit, "map_count", o)
    native.closeVELDRA(other)


def test_releasing_elements_destroys_no_array_of_the_source(call, live_arrays):
    o = call("objects", 2, 2)
    before = live_arrays()
    for _ in range(5):
        partial = o[1]
        del partial
    assert live_arrays() == before
    element = o[1][0]
    assert live_arrays() == before + 1
    del element
    assert live_arrays() == before


# ---- lifetime: an engine object lives while something refers to it -----------


def test_objects_die_with_their_last_reference(call):
    base = call("object_count")
    for _ in range(200):
        m = call("map_new")
        call("map_set", m, "k", veldra.double([1.0] * 100))
        del m
    # Each reference goes back ahead of the next call, so none is left.
    assert call("object_count") == base
    o = call("objects", 2, 3)
    element = o[1][2]
    del o
    assert call("object_count") == base + 6  # element shares its source's references
    del element
    assert call("object_count") == base


def test_engine_values_keep_objects_alive(call):
    base = call("object_count")
    outer = call("map_new")
    inner = call("map_new")
    call("map_set", outer, "inner", [1.0, inner])  # in a cell, in a map
    held = call("map_new")
    call("assign", "held", {"x": held})  # in a struct, in a variable
    del inner, held
    assert call("object_count") == base + 3
    assert call("map_count", call("fetch", "held")["x"]) == 0.0
    call("clear", "held")
    assert call("object_count") == base + 2
    del outer  # its value held inner's last reference
    assert call("object_count") == base
    # A map that holds itself stays until it is deleted.
    loop = call("map_new")
    call("map_set", loop, "self", loop)
    del loop
    assert call("object_count") == base + 1
