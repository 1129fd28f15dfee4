"""The element rules of the typed arrays and the shapes they take:
typecodes, the kinds of element (floating, integer, logical), rounding,
sizes and element counts, the two element orders, and index normalising."""

import math
import operator
from array import array

from veldra._compat import PY2, chained, integer_types, text_types


def _typecode_of_width(candidates, width):
    for code in candidates:
        try:
            if array(code).itemsize == width:
                return code
        except ValueError:  # Python 2.7 has no 'q' and 'Q'
            pass
    raise ImportError("no array typecode with %d-byte items among %r" % (width, candidates))


_I32 = _typecode_of_width("il", 4)
_U32 = _typecode_of_width("IL", 4)
_I64 = _typecode_of_width("ql", 8)
_U64 = _typecode_of_width("QL", 8)

# Doubles at or above this magnitude round to infinity as 32-bit floats.
_SINGLE_OVERFLOW = float(2**128 - 2**103)

_NOT_SEQUENCES = text_types + (bytes, bytearray, memoryview)
_NUMBER_TYPES = frozenset(integer_types + (float, complex, bool))
_REAL_TYPES = integer_types + (float,)
_INF = float("inf")

_FLOAT = "float"
_INT = "int"
_LOGICAL = "logical"


# Never read through the buffer protocol: text, and typed arrays (their own
# conversion rules apply).
_NOT_BULK = text_types


def _bytes_of(x):
    """The bytes of a C-contiguous buffer, without a copy where possible."""
    return x.tobytes() if PY2 else memoryview(x).cast("B")


def _round_half_away(x):
    """Round a finite float to the nearest integer, halves away from zero."""
    f = math.floor(x)
    rest = x - f  # exact for floats
    if rest > 0.5 or (rest == 0.5 and x > 0):
        f += 1
    return f


def _normalise_size(size):
    try:
        dims = [operator.index(d) for d in size]
    except TypeError:
        raise chained(TypeError("size must be a sequence of integers, got %r" % (size,)), None)
    if len(dims) < 2:
        raise ValueError("size needs at least two dimensions, got %r" % (tuple(dims),))
    if any(d < 0 for d in dims):
        raise ValueError("dimensions must not be negative, got %r" % (tuple(dims),))
    while len(dims) > 2 and dims[-1] == 1:
        dims.pop()
    return tuple(dims)


def _count(dims):
    n = 1
    for d in dims:
        n *= d
    return n


def _within(i, d, axis=None):
    """Index ``i`` of ``d`` places (along dimension ``axis``, or of the
    elements in order), counted from the end when negative; IndexError when
    out of range."""
    j = i + d if i < 0 else i
    if not 0 <= j < d:
        if axis is None:
            raise IndexError("index %d out of range for %d elements" % (i, d))
        raise IndexError("index %d out of range for dimension %d of size %d" % (i, axis, d))
    return j


def _row_to_column_major(flat, dims):
    """Reorder a row-major flat list of shape dims to column-major order."""
    if len(dims) <= 1:
        return list(flat)
    last = dims[-1]
    out = []
    for k in range(last):
        out.extend(_row_to_column_major(flat[k::last], dims[:-1]))
    return out


def _column_major_to_nested(flat, dims):
    """Nest a column-major flat list of shape dims as row-major lists."""
    if len(dims) == 1:
        return list(flat)
    first = dims[0]
    return [_column_major_to_nested(flat[i::first], dims[1:]) for i in range(first)]
