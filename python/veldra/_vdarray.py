"""Typed arrays: numeric and logical data of any size, stored the engine's way.

The eleven classes ``double``, ``single``, ``int8``, ``int16``, ``int32``,
``int64``, ``uint8``, ``uint16``, ``uint32``, ``uint64`` and ``logical`` hold
an N-dimensional block of elements of one engine class.  The native module
reads and builds them directly, so their storage is fixed:

``size``
    Tuple of the dimensions, first dimension first, always at least two
    entries.  Trailing singleton dimensions beyond the second are dropped, so
    ``size=(2, 3, 1)`` is stored as ``(2, 3)``.
``_is_complex``
    ``True`` when the array holds complex values (``is_complex`` is the public,
    read-only view of it).
``_data``
    For a real array, an ``array.array`` with exactly ``prod(size)`` items in
    column-major order (first index fastest).  ``None`` for a complex array.
    In a large engine result, a read-only buffer over the engine's block
    instead, read like an ``array.array`` (items, slices, ``tolist``,
    ``tobytes``, ``buffer_info``, ``==``); every write goes through
    ``_writable``, which first replaces it by an ``array.array`` copy.  In a
    large array made by ``zeros`` or ``empty``, an own block of shared
    memory, read the same way and written in place (see below).
``_real``, ``_imag``
    For a complex array, two such buffers with the real and the imaginary
    parts.  Both are ``None`` for a real array.

Each buffer's items have the width of the engine's element: ``double`` 8 bytes
(typecode ``'d'``), ``single`` 4 (``'f'``), ``int8``/``uint8`` 1
(``'b'``/``'B'``), ``int16``/``uint16`` 2 (``'h'``/``'H'``), ``int32``/``uint32``
4, ``int64``/``uint64`` 8 (``'q'``/``'Q'``), ``logical`` 1 (``'B'``, values 0
and 1 only).

Every class reports ``__module__ == "vdarray"`` in its own class dictionary
(``"veldra.vdarray"`` on Python 2.7), which is what the native converters key
on; pickling goes through :func:`_rebuild` in this module.

Element conversion (construction from numbers, from another typed array, and
item assignment) follows the engine's rules:

* ``double``: exact for floats, integers are rounded to the nearest double;
  integers too large for a double become ``inf``/``-inf``.
* ``single``: rounded to the nearest 32-bit float; out-of-range values
  become ``inf``/``-inf``.
* integer classes: round half away from zero, saturate at the class limits,
  ``NaN`` becomes 0, ``inf``/``-inf`` saturate.
* ``logical``: non-zero becomes 1 (``True``), zero 0; ``NaN`` and complex
  values raise ``ValueError``.
* A complex value (a Python ``complex``) makes the array complex; the real and
  imaginary parts are converted separately.

Besides nested sequences, the constructors take NumPy arrays (any shape,
any memory layout; real, complex and bool dtypes are converted in bulk with
the rules above) and objects with the buffer protocol (``bytes``,
``bytearray``, ``array.array``, ``memoryview``, ctypes arrays; read in bulk
when one-dimensional, giving a 1-by-n array).  ``numpy.asarray(a)`` gives a
NumPy array of the same shape and values without copying real data.  NumPy
is never required.

Indexing follows nested lists of rows: ``len(a)`` is ``size[0]``, ``a[i]``
is an :class:`ArrayView` of the dimensions after the first (for a matrix, row
``i``), and ``a[i][j]`` is the element ``a[i, j]``, as in ``a.tolist()``.
Views share the array's data, so ``a[i][j] = v`` writes to ``a``.  Iterating
``a`` yields ``a[0], a[1], ...``.  ``a.linear[k]`` is the k-th element in
column-major order, the engine's own numbering.

Blocks: ``a[0, :]``, ``a[:, 1:3]`` read a block as a new array of the same
class, and assigning to such a key writes one.

Arrays built to be sent: ``double.zeros(size)`` and ``double.empty(size)``
(every class has both) make an array whose elements, when a part holds at
least 64 KiB, live in shared memory from the start, so that the engine is
handed that memory instead of a copy.  Values keep their semantics both
ways: once a call has been made, writing on one side never changes what the
other holds.  A send hands over the memory itself unless a writable view of
it (``numpy.asarray(a)``, ``memoryview(a)``) is still alive, in which case
the elements are copied for that send; after the memory was handed over,
the next write (``a[i, j] = v``, or a new writable view while no view is
alive) first moves the array onto a private copy, and views made while
another is alive are read-only.
"""

import sys
from array import array

from veldra._compat import PY2, array_frombytes, array_tobytes, range_type
from veldra._elements import (
    _FLOAT,
    _I32,
    _I64,
    _INT,
    _LOGICAL,
    _NOT_BULK,
    _NOT_SEQUENCES,
    _U32,
    _U64,
    _column_major_to_nested,
    _count,
    _normalise_size,
    _row_to_column_major,
)
from veldra._format import THRESHOLD, format_array
from veldra._indexing import _Indexing
from veldra._ingest import _Ingest, _is_numpy_like, _nested_shape

try:
    from pickle import PickleBuffer as _PickleBuffer
except ImportError:  # before Python 3.8: protocols up to 4 only
    _PickleBuffer = None

__all__ = [
    "double",
    "single",
    "int8",
    "int16",
    "int32",
    "int64",
    "uint8",
    "uint16",
    "uint32",
    "uint64",
    "logical",
    "ArrayView",
    "LinearView",
]


# The typed arrays' own module as the native type keys want it.
_MODULE = "veldra.vdarray" if PY2 else "vdarray"


def _native_views():
    """The native module's helpers for typed-array buffers, or None: no
    native module, or the 2.7 build, whose typed arrays read array.array
    alone."""
    if PY2:
        return None
    try:
        from veldra.engine import _native
    except ImportError:
        return None
    return _native._views


def _for_writing(buf):
    """``buf`` when an array may write it in place, else a copy it may
    write: an ``array.array`` of an engine result's block, a new own block
    of an own block that was sent and is still viewed elsewhere (so that it
    stays sendable as it is)."""
    if isinstance(buf, array) or buf.make_writable():
        return buf
    return buf.own_copy() if buf.own else buf[:]


class _VdArray(_Ingest, _Indexing):
    """Shared behaviour of the typed-array classes; not used directly.

    Values, not references: after a call, writing on one side never changes
    what the other side holds.  An array from ``zeros``/``empty`` whose
    elements are shared memory goes to the engine as that memory, unless a
    writable view of it is alive (then that send copies them); from then on
    the memory is read-only for new views, and the next write (or a
    writable view asked for while no view is alive) moves the array onto a
    private copy first.
    """

    __slots__ = ("_size", "_is_complex", "_data", "_real", "_imag")

    # Filled in by each concrete class.
    _typecode = None
    _kind = None
    _min = None
    _max = None

    __hash__ = None

    def __init__(self, data=None, size=None, is_complex=False):
        """Create a typed array.

        ``cls()`` or ``cls([])``
            An empty array of size (0, 0).
        ``cls(size=dims)``
            A zero-filled array of size ``dims`` (at least two dimensions).
        ``cls(other_typed_array)``
            A new array of this class with the other's size and values,
            converted to this class's element type.
        ``cls(view)``
            A copy of an :class:`ArrayView` (``cls(a[i])``): a view of one
            dimension gives a 1-by-n row, a deeper one an array of the
            view's ``size``.
        ``cls(nested_sequence)``
            Rows given row-major: ``double([[1, 2, 3], [4, 5, 6]])`` is 2-by-3,
            ``double([1, 2, 3])`` is 1-by-3, a scalar is 1-by-1, and deeper
            nesting gives N-d arrays whose i-th dimension is the length at
            nesting level i.  Ragged input raises ``ValueError``.
        ``cls(flat_iterable, size=dims)``
            The items are the elements in column-major order (first index
            fastest); their number must be ``prod(dims)``.  With a typed array
            as ``data``, ``size`` reshapes it the same way.

        ``is_complex=True`` makes the result complex even when all values are
        real; ``False`` (the default) leaves it complex only if the data is.
        ``logical`` refuses complex results with ``ValueError``.
        """
        is_complex = bool(is_complex)
        if is_complex and self._kind is _LOGICAL:
            raise ValueError("logical arrays cannot be complex")
        dims = None if size is None else _normalise_size(size)

        if isinstance(data, ArrayView):
            data = data._to_typed()
        if isinstance(data, _VdArray):
            self._init_from_typed(data, is_complex)
            if dims is not None:
                self._set_size(dims)
            return

        if data is not None and not isinstance(data, _NOT_BULK):
            numpy = sys.modules.get("numpy")
            if numpy is not None and _is_numpy_like(data, numpy):
                data = self._init_from_numpy(data, dims, is_complex, numpy)
                if data is None:
                    return
            elif not isinstance(data, _NOT_BULK + (list, tuple, range_type)):
                data = self._init_from_buffer(data, dims, is_complex)
                if data is None:
                    return

        if data is None:
            if dims is None:
                dims = (0, 0)
            n = _count(dims)
            self._size = dims
            if is_complex:
                self._set_complex(self._zeros(n), self._zeros(n))
            else:
                self._set_real(self._zeros(n))
            return

        if dims is None:
            shape, values = _nested_shape(data)
            if len(shape) == 0:
                dims = (1, 1)
            elif len(shape) == 1:
                dims = (0, 0) if shape[0] == 0 else (1, shape[0])
            else:
                dims = shape
                values = _row_to_column_major(values, shape)
                dims = _normalise_size(shape)
        else:
            if not hasattr(data, "__iter__") or isinstance(data, _NOT_SEQUENCES):
                raise TypeError("data given with size must be a flat iterable of numbers")
            values = list(data)
            if len(values) != _count(dims):
                raise ValueError("%d elements cannot fill size %r" % (len(values), dims))
        self._size = dims
        self._fill_from_values(values, is_complex)

    @classmethod
    def zeros(cls, *size, **options):
        """A zero-filled array: ``double.zeros((m, n))``, ``double.zeros(m,
        n)``, ``double.zeros(size, is_complex=True)``.

        ``size`` as for ``cls(size=...)`` (at least two dimensions, trailing
        singletons dropped).  When a part holds at least 64 KiB, its
        elements are shared memory, written in place (``a[i, j] = v``,
        ``a.linear[k] = v``, ``numpy.asarray(a)``, ``memoryview(a)``) and
        handed to the engine without a copy; smaller arrays hold
        ``array.array`` as ``cls(size=...)`` does.  Sending keeps value
        semantics: see the class's documentation."""
        return cls._made(size, options, True)

    @classmethod
    def empty(cls, *size, **options):
        """As :meth:`zeros`, for an array whose every element will be
        written before it is read: the elements may hold anything (memory
        used before is not cleared)."""
        return cls._made(size, options, False)

    @classmethod
    def _made(cls, size, options, zeroed):
        if "size" in options:
            if size:
                raise TypeError("size given twice")
            size = options.pop("size")
        elif len(size) == 1 and not hasattr(type(size[0]), "__index__"):
            size = size[0]
        is_complex = bool(options.pop("is_complex", False))
        if options:
            raise TypeError("unexpected keyword argument %r" % sorted(options)[0])
        if is_complex and cls._kind is _LOGICAL:
            raise ValueError("logical arrays cannot be complex")
        dims = _normalise_size(size)
        views = _native_views()
        blocks = None if views is None else views.new_blocks(cls.__name__, dims, is_complex, zeroed)
        if blocks is None:
            return cls(size=dims, is_complex=is_complex)
        if is_complex:
            return cls._over_buffers(dims, blocks[0], blocks[1])
        return cls._over_buffers(dims, blocks, None)

    def _zero_part(self, n):
        """Zeros for a new imaginary part beside the real one: an own block
        beside an own block, else an ``array.array``."""
        if not isinstance(self._data, array) and self._data.own:
            blocks = _native_views().new_blocks(type(self).__name__, self._size, False, True)
            if blocks is not None:
                return blocks
        return self._zeros(n)

    @classmethod
    def _zeros(cls, n):
        # Repetition writes each page once; building from bytes(n) would
        # write them and then copy into them as well.
        return array(cls._typecode, (0,)) * n

    def _set_real(self, buf):
        self._is_complex = False
        self._data = buf
        self._real = None
        self._imag = None

    def _set_complex(self, real, imag):
        self._is_complex = True
        self._data = None
        self._real = real
        self._imag = imag

    @classmethod
    def _over_buffers(cls, size, real, imag):
        """An array over the buffers given, taken as they are: the native
        module's large results, whose buffers view the engine's block, and
        the own blocks of ``zeros``/``empty``."""
        obj = cls.__new__(cls)
        obj._size = _normalise_size(size)
        if imag is None:
            obj._set_real(real)
        else:
            obj._set_complex(real, imag)
        return obj

    def _writable(self):
        """Make the buffers this array's own before a write.

        A large result's buffers are read-only views of the engine's block,
        shared with whatever else holds it (the engine, a copy of this array,
        a NumPy view): they are copied into an ``array.array`` first (copy
        on write), so a write changes this array alone.  An own block that
        was sent is moved onto a private copy the same way."""
        if self._is_complex:
            self._real = _for_writing(self._real)
            self._imag = _for_writing(self._imag)
        else:
            self._data = _for_writing(self._data)

    def _set_size(self, dims):
        if _count(dims) != _count(self._size):
            raise ValueError("cannot reshape %d elements to size %r" % (_count(self._size), dims))
        self._size = dims

    # -- public interface ------------------------------------------------

    @property
    def size(self):
        """The dimensions, a tuple of at least two integers."""
        return self._size

    @property
    def is_complex(self):
        """True when the array holds complex values."""
        return self._is_complex

    @property
    def linear(self):
        """The elements in column-major order, the engine's numbering, as a
        :class:`LinearView`: ``a.linear[k]`` reads and ``a.linear[k] = v``
        writes the k-th element (first index fastest; negative ``k`` counts
        from the end), ``len(a.linear)`` is the element count and iterating
        it yields the elements."""
        return LinearView(self)

    def __len__(self):
        """The first dimension, ``size[0]`` (the number of ``a[i]``)."""
        return self._size[0]

    def __iter__(self):
        """``a[0], a[1], ...``: views along the first dimension (for a
        matrix, its rows).  ``a.linear`` iterates over the elements."""
        return (ArrayView(self, (i,)) for i in range(self._size[0]))

    def __array__(self, dtype=None, copy=None):
        """The array as a NumPy array of the same shape (``numpy.asarray(a)``).

        Real arrays share their memory with the result unless ``copy`` is
        true (read-only for a large engine result, whose buffer is the
        engine's block; for an array from ``zeros``/``empty`` that was sent,
        writable after moving it onto a private copy when no other view is
        alive, else read-only); complex arrays are always copied
        (complex128, complex64 for ``single``); ``logical`` gives ``bool``.
        NumPy must be installed.
        """
        import numpy as np

        real_type = np.bool_ if self._kind is _LOGICAL else self._typecode
        shape = self._size
        n = _count(shape)
        if self._is_complex:
            if copy is False:
                raise ValueError("a complex typed array cannot be viewed without a copy")
            out = np.empty(n, np.complex64 if self._typecode == "f" else np.complex128)
            if n:
                out.real = np.frombuffer(self._real, real_type)
                out.imag = np.frombuffer(self._imag, real_type)
        elif n == 0:
            out = np.zeros(0, real_type)
        else:
            if not copy and not isinstance(self._data, array):
                # A sent own block that nothing views moves onto a private
                # copy, so that this view is writable.
                self._data.make_writable()
            out = np.frombuffer(self._data, real_type)
            if copy:
                out = out.copy()
        out = out.reshape(shape, order="F")
        if dtype is not None:
            out = out.astype(dtype, copy=False)
        return out

    if sys.version_info >= (3, 12):

        def __buffer__(self, flags):
            """``memoryview(a)``: the elements in place, with the array's
            dimensions and column-major strides (``m[i, j]`` is ``a[i, j]``).
            Writable where the elements are this array's own, read-only for
            a large engine result (whose elements are the engine's block);
            an array from ``zeros``/``empty`` that was sent is read-only
            while another view is alive, else moved onto a private copy.
            Complex arrays keep their parts apart and have no single buffer."""
            if self._is_complex:
                raise TypeError("a complex typed array has no single buffer; use numpy.asarray(a)")
            from veldra.engine import _native

            if not isinstance(self._data, array):
                self._data.make_writable()

            fmt = "?" if self._kind is _LOGICAL else self._typecode
            return memoryview(_native._views.element_view(self._data, fmt, self._size)).__buffer__(flags)

    def __eq__(self, other):
        """True when ``other`` has the same class, size, complexity and
        element values (compared item by item, so ``NaN`` never matches).
        Arrays of different classes are never equal."""
        if type(other) is not type(self):
            return NotImplemented
        if self._size != other._size or self._is_complex != other._is_complex:
            return False
        if self._is_complex:
            return self._real == other._real and self._imag == other._imag
        return self._data == other._data

    def __ne__(self, other):
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    def __repr__(self):
        """Rows under each other, as the constructor reads them back;
        past ``veldra._format.THRESHOLD`` elements only the first and last
        rows and columns, around ``...``, and the size."""
        name = "veldra." + type(self).__name__
        dims = self._size
        n = _count(dims)
        if n == 0:
            extra = ", is_complex=True" if self._is_complex else ""
            return "%s(size=%r%s)" % (name, dims, extra)
        prefix = name + "("
        text = prefix + format_array(self._item, dims, ", ", len(prefix))
        if n > THRESHOLD:
            text += ", size=%r" % (dims,)
        return text + ")"

    def __str__(self):
        """The elements alone, NumPy's way: ``[[1.0 2.0]\n [3.0 4.0]]``."""
        if _count(self._size) == 0:
            return "[]"
        return format_array(self._item, self._size, " ", 0)

    def tolist(self):
        """The elements as nested lists, row-major: ``result[i][j]...`` is
        ``self[i, j, ...]`` and ``self[i][j]...``.  The constructor accepts this form back (an
        array with a zero first dimension gives ``[]``)."""
        return _column_major_to_nested(self._items(), self._size)

    def reshape(self, *dims):
        """A copy with new dimensions (``reshape(3, 2)`` or
        ``reshape((3, 2))``), keeping the column-major element order.  The
        element count must not change."""
        if len(dims) == 1 and not hasattr(type(dims[0]), "__index__"):
            dims = tuple(dims[0])
        result = self.copy()
        result._set_size(_normalise_size(dims))
        return result

    def copy(self):
        """An independent copy of the same class."""
        return type(self)(self)

    def __copy__(self):
        return self.copy()

    def __deepcopy__(self, memo):
        return self.copy()

    def __reduce_ex__(self, protocol):
        if protocol >= 5 and _PickleBuffer is not None:
            # Protocol 5 hands the buffers themselves to the pickler, which
            # passes them out of band when asked (no copy) or in band.
            wrap = _PickleBuffer
        else:
            wrap = array_tobytes
        if self._is_complex:
            payload = (wrap(self._real), wrap(self._imag))
        else:
            payload = wrap(self._data)
        return (_rebuild, (type(self).__name__, self._size, self._is_complex, sys.byteorder, payload))


def _rebuild(class_name, size, is_complex, byteorder, payload):
    """Unpickle a typed array (the counterpart of ``__reduce__``)."""
    cls = _CLASSES[class_name]
    obj = cls.__new__(cls)
    obj._size = _normalise_size(size)
    n = _count(obj._size)

    def load(raw):
        buf = array(cls._typecode)
        if not isinstance(raw, bytes):
            # An out-of-band buffer (a PickleBuffer, bytearray, memoryview)
            # may carry an item format; frombytes wants plain bytes.
            raw = memoryview(raw).cast("B")
        array_frombytes(buf, raw)
        if byteorder != sys.byteorder:
            buf.byteswap()
        if len(buf) != n:
            raise ValueError("pickled %s data holds %d items, size %r needs %d" % (class_name, len(buf), obj._size, n))
        return buf

    if is_complex:
        obj._set_complex(load(payload[0]), load(payload[1]))
    else:
        obj._set_real(load(payload))
    return obj


def _array_class(name, doc, typecode, kind, limits):
    namespace = {"__doc__": doc, "__module__": _MODULE, "__slots__": (), "_typecode": typecode, "_kind": kind}
    if limits is not None:
        namespace["_min"], namespace["_max"] = limits
    return type(name, (_VdArray,), namespace)


_REAL_OR_COMPLEX = (
    "Array of %s, real or complex.\n\n"
    "zeros(size) and empty(size) make large ones in shared memory, sent without a copy; values keep their "
    "semantics both ways (see veldra._vdarray._VdArray)."
)

# The classes: name, docstring, array.array typecode, element rules, range.
_CLASS_TABLE = (
    ("double", _REAL_OR_COMPLEX % "64-bit floating-point numbers", "d", _FLOAT, None),
    ("single", _REAL_OR_COMPLEX % "32-bit floating-point numbers", "f", _FLOAT, None),
    ("int8", _REAL_OR_COMPLEX % "signed 8-bit integers", "b", _INT, (-(2**7), 2**7 - 1)),
    ("int16", _REAL_OR_COMPLEX % "signed 16-bit integers", "h", _INT, (-(2**15), 2**15 - 1)),
    ("int32", _REAL_OR_COMPLEX % "signed 32-bit integers", _I32, _INT, (-(2**31), 2**31 - 1)),
    ("int64", _REAL_OR_COMPLEX % "signed 64-bit integers", _I64, _INT, (-(2**63), 2**63 - 1)),
    ("uint8", _REAL_OR_COMPLEX % "unsigned 8-bit integers", "B", _INT, (0, 2**8 - 1)),
    ("uint16", _REAL_OR_COMPLEX % "unsigned 16-bit integers", "H", _INT, (0, 2**16 - 1)),
    ("uint32", _REAL_OR_COMPLEX % "unsigned 32-bit integers", _U32, _INT, (0, 2**32 - 1)),
    ("uint64", _REAL_OR_COMPLEX % "unsigned 64-bit integers", _U64, _INT, (0, 2**64 - 1)),
    (
        "logical",
        "Array of logical values (stored as bytes 0 and 1); never complex.\n\n"
        "zeros(size) and empty(size) make large ones in shared memory, sent without a copy; values keep their "
        "semantics both ways (see veldra._vdarray._VdArray).",
        "B",
        _LOGICAL,
        (0, 1),
    ),
)

(double, single, int8, int16, int32, int64, uint8, uint16, uint32, uint64, logical) = _ALL_CLASSES = tuple(
    _array_class(*row) for row in _CLASS_TABLE
)
_CLASSES = {cls.__name__: cls for cls in _ALL_CLASSES}

# Buffer formats read in bulk, by (format code, item size), and the class
# whose rules convert them.
_FORMAT_CLASSES = {("d", 8): double, ("f", 4): single, ("?", 1): logical}
for _code in "bhilq":
    for _width, _cls in ((1, int8), (2, int16), (4, int32), (8, int64)):
        _FORMAT_CLASSES[_code, _width] = _cls
for _code in "BHILQ":
    for _width, _cls in ((1, uint8), (2, uint16), (4, uint32), (8, uint64)):
        _FORMAT_CLASSES[_code, _width] = _cls
del _code, _width, _cls


# Views of the arrays, defined after them (they take the arrays' own
# methods).
from veldra._views import ArrayView, LinearView  # noqa: E402
