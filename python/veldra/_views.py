"""Views into typed arrays: ``a[i]`` (an :class:`ArrayView` of the rows or
sub-arrays of the first dimension) and ``a.linear`` (a :class:`LinearView`
of the elements in column-major order).  Both share the array's data."""

from veldra._elements import _column_major_to_nested, _count, _normalise_size

# Views print on one line, with their elements up to this many.
_VIEW_ITEMS = 100


class ArrayView(object):
    """A sub-array of a typed array along its leading dimensions: ``a[i]``,
    ``a[i][j]``, ...

    A view keeps a reference to its array and its leading indices and copies
    no data; reading or writing through it reads or writes the array.
    ``size`` holds the dimensions after the leading indices and ``len`` is
    the first of them.  ``view[j]`` is the next view or, at the last
    dimension, the element (``a[i][j]`` is ``a[i, j]``); a tuple with one
    integer per remaining dimension addresses an element directly.
    ``view[j] = v`` writes like the same key on the array: an element, or
    for a sub-view every element it covers.  Iteration yields the sub-views
    or elements, ``tolist()`` the nested lists, ``==`` compares ``tolist()``
    with another view or a list, ``numpy.asarray(view)`` is
    ``numpy.asarray(a)[i, ...]``.  The typed-array classes copy a view into
    a new array (``double(a[0])`` is row 0, 1-by-n).  Views are not
    hashable.
    """

    __slots__ = ("_array", "_prefix")

    __hash__ = None

    def __init__(self, base, prefix):
        # Made by typed arrays only; prefix holds in-range, non-negative
        # indices for fewer dimensions than the array has.
        self._array = base
        self._prefix = prefix

    @property
    def size(self):
        """The dimensions after the leading indices, a tuple."""
        return self._array._size[len(self._prefix) :]

    def __len__(self):
        """The first remaining dimension."""
        return self._array._size[len(self._prefix)]

    def _full_key(self, key):
        """The array's key for ``self[key]``, and whether it names an element."""
        depth = len(self._array._size) - len(self._prefix)
        if isinstance(key, tuple) and len(key) != 1:
            if any(isinstance(k, slice) for k in key):
                raise TypeError("views take integer indices only; use slices on the typed array itself")
            if len(key) < depth:
                raise IndexError("%d indices given for a view with %d dimensions" % (len(key), depth))
            return self._prefix + key, True
        if isinstance(key, tuple):
            key = key[0]
        if depth == 1:
            if isinstance(key, slice):
                raise TypeError("views take integer indices only; use slices on the typed array itself")
            return self._prefix + (key,), True
        axis = len(self._prefix)
        return self._prefix + (self._array._axis_index(key, axis),), False

    def __getitem__(self, key):
        """``view[j]``: the sub-view of the next dimension, or at the last
        dimension the element as a Python scalar; ``view[j, k, ...]`` with
        an integer for every remaining dimension is the element.  Negative
        indices count from the end; out of range raises ``IndexError``."""
        full, element = self._full_key(key)
        if element:
            return self._array[full]
        return ArrayView(self._array, full)

    def __setitem__(self, key, value):
        """Write through to the array, exactly as ``a[i, j, ...] = value``
        (an element) or ``a[i, j] = value`` on the sub-array ``a[i][j]``."""
        full, element = self._full_key(key)
        if element:
            self._array[full] = value
        else:
            self._array._set_sub(full, value)

    def __iter__(self):
        """The sub-views ``view[0], view[1], ...``, or the elements when one
        dimension remains."""
        base, prefix = self._array, self._prefix
        if len(prefix) + 1 == len(base._size):
            return iter(base._gather(*base._span(prefix)))
        return (ArrayView(base, prefix + (j,)) for j in range(len(self)))

    def tolist(self):
        """The elements as nested lists, row-major, like the array's
        ``tolist()``: ``a[i].tolist() == a.tolist()[i]``."""
        base = self._array
        return _column_major_to_nested(base._gather(*base._span(self._prefix)), self.size)

    def _to_typed(self):
        """A new array of the parent's class holding the view's elements."""
        base = self._array
        cls = type(base)
        start, step, count = base._span(self._prefix)
        stop = start + step * count
        dims = self.size
        result = cls.__new__(cls)
        result._size = (1,) + dims if len(dims) == 1 else _normalise_size(dims)
        if base._is_complex:
            result._set_complex(base._real[start:stop:step], base._imag[start:stop:step])
        else:
            result._set_real(base._data[start:stop:step])
        return result

    def __eq__(self, other):
        """True when ``other`` (a view or a list) has the same ``tolist()``."""
        if isinstance(other, ArrayView):
            return self.tolist() == other.tolist()
        if isinstance(other, list):
            return self.tolist() == other
        return NotImplemented

    def __ne__(self, other):
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    def __array__(self, dtype=None, copy=None):
        """``numpy.asarray(a)[i, ...]``: shares memory with a real array
        unless ``copy`` is true.  NumPy must be installed."""
        out = self._array.__array__(copy=copy)[self._prefix]
        if dtype is not None:
            out = out.astype(dtype, copy=False)
        return out

    def __repr__(self):
        dims = "-by-".join(str(d) for d in self._array._size)
        where = "".join("[%d]" % i for i in self._prefix)
        if _count(self.size) > _VIEW_ITEMS:
            return "<view a%s of a %s veldra.%s>" % (where, dims, type(self._array).__name__)
        return "<view a%s of a %s veldra.%s: %r>" % (where, dims, type(self._array).__name__, self.tolist())


class LinearView(object):
    """The elements of a typed array in column-major order (first index
    fastest), the engine's numbering: ``a.linear``.

    ``a.linear[k]`` reads and ``a.linear[k] = v`` writes the k-th element
    (with the same conversions as ``a[i, j] = v``); negative ``k`` counts
    from the end, out of range raises ``IndexError``.  ``len`` is the
    element count and iteration yields the elements as Python scalars.
    """

    __slots__ = ("_array",)

    __hash__ = None

    def __init__(self, base):
        self._array = base

    def __len__(self):
        """The number of elements, the product of the dimensions."""
        return _count(self._array._size)

    def __getitem__(self, k):
        """The k-th element in column-major order."""
        base = self._array
        return base._item(base._flat_index(k))

    def __setitem__(self, k, value):
        """Write the k-th element in column-major order."""
        base = self._array
        base._set_item(base._flat_index(k), value)

    def __iter__(self):
        """The elements in column-major order."""
        return iter(self._array._items())

    def __repr__(self):
        return "<linear view of a %s veldra.%s>" % (
            "-by-".join(str(d) for d in self._array._size),
            type(self._array).__name__,
        )
