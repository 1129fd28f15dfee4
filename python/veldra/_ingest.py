"""How typed arrays take in their data: nested sequences, other typed
arrays, NumPy arrays and buffers, each element converted by the class's
rules (see :mod:`veldra._vdarray`)."""

import math
import operator
import sys
from array import array

from veldra._compat import PY2, Sequence, array_frombytes, chained, integer_types, range_type
from veldra._elements import (
    _FLOAT,
    _INF,
    _INT,
    _LOGICAL,
    _NOT_SEQUENCES,
    _NUMBER_TYPES,
    _REAL_TYPES,
    _SINGLE_OVERFLOW,
    _bytes_of,
    _count,
    _normalise_size,
    _round_half_away,
)
from veldra._views import ArrayView


def _is_numpy_like(value, numpy):
    if isinstance(value, numpy.ndarray):
        return True
    if isinstance(value, (list, tuple, range_type, array, bytes, bytearray, memoryview)) or isinstance(value, _Ingest):
        return False
    kind = type(value)
    return hasattr(kind, "__array__") or hasattr(kind, "__array_interface__")


def _is_sequence(value):
    return isinstance(value, (list, tuple, range_type, array, ArrayView)) or (
        isinstance(value, Sequence) and not isinstance(value, _NOT_SEQUENCES)
    )


def _scalar_parts(value):
    """Split a Python number into (real, imag); imag is None for real values.

    Real parts come back as ``int`` or ``float``.  Anything that is not a
    number raises ``TypeError``.
    """
    if isinstance(value, _REAL_TYPES):  # includes bool
        return value, None
    if isinstance(value, complex):
        return value.real, value.imag
    if isinstance(value, _NOT_SEQUENCES) or value is None:
        raise TypeError("typed-array elements must be numbers, not %s" % type(value).__name__)
    if isinstance(value, _Ingest):
        raise TypeError("a typed array cannot be used as a single element")
    if hasattr(type(value), "__index__"):
        return operator.index(value), None
    if hasattr(type(value), "__float__"):
        return float(value), None
    if hasattr(type(value), "__complex__"):
        c = complex(value)
        return c.real, c.imag
    raise TypeError("typed-array elements must be numbers, not %s" % type(value).__name__)


def _nested_shape(value):
    """Shape of a row-major nested sequence, and its leaves in that order."""
    if isinstance(value, ArrayView):
        value = value.tolist()
    if not _is_sequence(value):
        return (), [value]
    n = len(value)
    if n == 0:
        return (0,), []
    if all(type(item) in _NUMBER_TYPES for item in value):
        return (n,), list(value)
    shape = None
    leaves = []
    for item in value:
        item_shape, item_leaves = _nested_shape(item)
        if shape is None:
            shape = item_shape
        elif item_shape != shape:
            raise ValueError(
                "ragged nested sequence: items of shapes %r and %r at the same level" % (shape, item_shape)
            )
        leaves.extend(item_leaves)
    return (n,) + shape, leaves


class _Ingest(object):
    """Construction from data, for :class:`_VdArray`."""

    __slots__ = ()

    # -- bulk input: NumPy arrays and buffers ----------------------------

    def _init_from_numpy(self, data, dims, is_complex, np):
        """Fill from a NumPy array (or anything ``numpy.asarray`` takes).

        Returns None when done, or a replacement ``data`` (nested lists) for
        element types NumPy cannot hand over in bulk (objects, text, ...).
        """
        x = np.asarray(data)
        kind = x.dtype.kind
        if kind not in "biufc":
            return x.tolist()
        if dims is None:
            if x.ndim == 0:
                dims = (1, 1)
            elif x.ndim == 1:
                dims = (0, 0) if x.shape[0] == 0 else (1, x.shape[0])
            else:
                dims = _normalise_size(x.shape)
        elif x.size != _count(dims):
            raise ValueError("%d elements cannot fill size %r" % (x.size, dims))
        # Column-major element order, as one flat (possibly strided) view.
        flat = x.reshape(-1, order="F")
        self._size = dims
        if kind == "c" or is_complex:
            if self._kind is _LOGICAL:
                raise ValueError("logical arrays cannot be complex")
            if kind == "c":
                real, imag = flat.real, flat.imag
            else:
                real, imag = flat, np.zeros(flat.shape, np.int8)
            self._set_complex(self._numpy_buffer(real, np), self._numpy_buffer(imag, np))
        else:
            self._set_real(self._numpy_buffer(flat, np))
        return None

    @classmethod
    def _numpy_buffer(cls, part, np):
        """An array.array of this class from a flat real NumPy array, with
        the element rules of the class applied to the whole array at once."""
        target = np.dtype(cls._typecode)
        src = part.dtype.kind
        if cls._kind is _FLOAT:
            with np.errstate(over="ignore"):
                values = part.astype(target, copy=False)
        elif cls._kind is _LOGICAL:
            if src == "f" and np.isnan(part).any():
                raise ValueError("NaN cannot be converted to logical")
            values = part if src == "b" else part != 0
            values = values.view(np.uint8) if values.dtype.kind == "b" else values.astype(np.uint8)
        elif src == "f":
            with np.errstate(invalid="ignore"):  # inf - inf is NaN: fine
                floor = np.floor(part)
                rest = part - floor
                rounded = floor + ((rest > 0.5) | ((rest == 0.5) & (part > 0)))
            rounded[np.isnan(rounded)] = 0
            high = rounded >= float(cls._max)
            low = rounded <= float(cls._min)
            values = np.empty(part.shape, target)
            middle = ~(high | low)
            values[middle] = rounded[middle]
            values[high] = cls._max
            values[low] = cls._min
        elif src == "b" or np.can_cast(part.dtype, target, "safe"):
            values = part.astype(target, copy=False)
        else:
            info = np.iinfo(part.dtype)
            lo, hi = max(cls._min, int(info.min)), min(cls._max, int(info.max))
            values = np.clip(part, part.dtype.type(lo), part.dtype.type(hi)).astype(target)
        buf = array(cls._typecode)
        if values.size:
            array_frombytes(buf, _bytes_of(np.ascontiguousarray(values)))
        return buf

    def _init_from_buffer(self, data, dims, is_complex):
        """Fill from an object with the buffer protocol (bytes, bytearray,
        array.array, memoryview, ctypes arrays, ...).

        One-dimensional buffers of a standard numeric format are copied in
        bulk and give a 1-by-n array (like a flat list); other buffers are
        read element by element.  Returns None when done, the replacement
        ``data`` otherwise, or ``data`` itself when it is no buffer at all.
        """
        try:
            view = memoryview(data)
        except TypeError:
            return data
        try:
            fmt = view.format
            order = fmt[:1] if fmt[:1] in "@=<>!" else "@"
            from veldra._vdarray import _FORMAT_CLASSES  # made with the classes

            src_cls = _FORMAT_CLASSES.get((fmt.lstrip("@=<>!"), view.itemsize))
            swap = order in "<>!" and (order == "<") != (sys.byteorder == "little")
            if src_cls is None or view.ndim != 1:
                try:
                    values = view.tolist()
                except NotImplementedError:
                    raise chained(TypeError("cannot read a buffer of format %r" % view.format), None)
                if view.ndim == 0:
                    return [values] if dims is not None else values
                return values
            n = view.shape[0]
            if dims is None:
                dims = (0, 0) if n == 0 else (1, n)
            elif n != _count(dims):
                raise ValueError("%d elements cannot fill size %r" % (n, dims))
            buf = array(src_cls._typecode)
            array_frombytes(buf, view.cast("B") if not PY2 and view.c_contiguous and order == "@" else view.tobytes())
            if swap:
                buf.byteswap()
        finally:
            if not PY2:
                view.release()
        src = src_cls.__new__(src_cls)
        src._size = dims
        src._set_real(buf)
        self._init_from_typed(src, is_complex)
        return None

    # -- storage helpers -------------------------------------------------

    @classmethod
    def _coerce(cls, x):
        """Convert one real part (int or float) to this class's item value."""
        kind = cls._kind
        if kind is _FLOAT:
            if isinstance(x, integer_types):
                try:
                    x = float(x)
                except OverflowError:
                    return _INF if x > 0 else -_INF
            if cls._typecode == "f" and abs(x) >= _SINGLE_OVERFLOW:
                return math.copysign(_INF, x)
            return x
        if kind is _INT:
            if not isinstance(x, integer_types):
                if math.isnan(x):
                    return 0
                if math.isinf(x):
                    return cls._max if x > 0 else cls._min
                x = _round_half_away(x)
            if x < cls._min:
                return cls._min
            if x > cls._max:
                return cls._max
            return int(x)
        # logical
        if x != x:
            raise ValueError("NaN cannot be converted to logical")
        return 1 if x else 0

    @classmethod
    def _convert_buffer(cls, buf, src_cls):
        """A new buffer of this class holding the items of ``buf``."""
        if src_cls is cls:
            # A copy of an own block is one too, still sent without a copy.
            return buf[:] if isinstance(buf, array) or not buf.own else buf.own_copy()
        if cls._kind is not _LOGICAL and (cls._kind is _FLOAT or src_cls._kind is not _FLOAT):
            # Plain widening (or float target): let array do it in C, and
            # fall back to the element rules when a value does not fit.
            try:
                return array(cls._typecode, buf)
            except (OverflowError, TypeError):
                pass
        return array(cls._typecode, map(cls._coerce, buf))

    def _init_from_typed(self, src, is_complex):
        src_cls = type(src)
        self._size = src._size
        if src._is_complex:
            if self._kind is _LOGICAL:
                raise ValueError("complex values cannot be converted to logical")
            self._set_complex(self._convert_buffer(src._real, src_cls), self._convert_buffer(src._imag, src_cls))
        elif is_complex:
            self._set_complex(self._convert_buffer(src._data, src_cls), self._zeros(len(src._data)))
        else:
            self._set_real(self._convert_buffer(src._data, src_cls))

    def _fill_from_values(self, values, is_complex):
        typecode = self._typecode
        if not is_complex and self._kind is not _LOGICAL:
            try:
                self._set_real(array(typecode, values))
                return
            except (TypeError, OverflowError):
                pass
        parts = [_scalar_parts(v) for v in values]
        coerce = self._coerce
        if is_complex or any(im is not None for _, im in parts):
            if self._kind is _LOGICAL:
                raise ValueError("logical arrays cannot be complex")
            self._set_complex(
                array(typecode, [coerce(re) for re, _ in parts]),
                array(typecode, [coerce(0 if im is None else im) for _, im in parts]),
            )
        else:
            self._set_real(array(typecode, [coerce(re) for re, _ in parts]))
