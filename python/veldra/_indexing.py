"""Indexing of typed arrays: elements, views along the first dimensions,
and blocks of slices read and written (see :mod:`veldra._vdarray`)."""

import operator
from array import array

from veldra._compat import chained
from veldra._elements import _LOGICAL, _REAL_TYPES, _count, _normalise_size, _within
from veldra._ingest import _is_sequence, _scalar_parts
from veldra._views import ArrayView


class _Indexing(object):
    """Indexing, for :class:`_VdArray`."""

    __slots__ = ()

    def _item(self, k):
        if self._is_complex:
            return complex(self._real[k], self._imag[k])
        value = self._data[k]
        return bool(value) if self._kind is _LOGICAL else value

    def _items(self):
        if self._is_complex:
            return [complex(r, i) for r, i in zip(self._real, self._imag)]
        if self._kind is _LOGICAL:
            return [bool(v) for v in self._data]
        return self._data.tolist()

    def _span(self, prefix):
        """(start, step, count): the elements of ``self[prefix]`` for leading
        indices ``prefix`` sit at linear indices start, start + step, ...,
        in column-major order of the dimensions after the prefix."""
        dims = self._size
        start = 0
        step = 1
        for i, d in zip(prefix, dims):
            start += i * step
            step *= d
        return start, step, _count(dims[len(prefix) :])

    def _gather(self, start, step, count):
        """The elements at linear indices start, start + step, ... (count of
        them) as Python scalars."""
        stop = start + step * count
        if self._is_complex:
            return [complex(r, i) for r, i in zip(self._real[start:stop:step], self._imag[start:stop:step])]
        part = self._data[start:stop:step]
        if self._kind is _LOGICAL:
            return [bool(v) for v in part]
        return part.tolist()

    def _axis_index(self, index, axis):
        """``index`` along dimension ``axis``, negative values counted from
        the end; IndexError when out of range."""
        try:
            i = operator.index(index)
        except TypeError:
            if isinstance(index, slice):
                raise chained(
                    TypeError("a bare slice is no typed-array index; give one subscript per dimension, e.g. a[1:3, :]"),
                    None,
                )
            raise chained(
                TypeError("typed-array indices must be integers or tuples of integers, not %r" % (index,)), None
            )
        return _within(i, self._size[axis], axis)

    def _flat_index(self, k):
        """Linear (column-major) index ``k``, negative counted from the end."""
        n = _count(self._size)
        try:
            i = operator.index(k)
        except TypeError:
            raise chained(TypeError("linear indices must be integers, not %r" % (k,)), None)
        return _within(i, n)

    def _linear_index(self, key):
        """Linear index of the element ``self[key]``, a tuple with one
        integer per dimension (and optionally trailing 0 or -1 for
        singleton dimensions beyond the stored ones)."""
        try:
            subs = [operator.index(k) for k in key]
        except TypeError:
            raise chained(
                TypeError("typed-array indices must be integers or tuples of integers, not %r" % (key,)), None
            )
        dims = self._size
        if len(subs) < len(dims):
            raise IndexError("%d indices given for an array with %d dimensions" % (len(subs), len(dims)))
        dims = dims + (1,) * (len(subs) - len(dims))
        k = 0
        stride = 1
        for axis, (i, d) in enumerate(zip(subs, dims)):
            k += _within(i, d, axis) * stride
            stride *= d
        return k

    def _selection(self, key):
        """Linear indices and size of a tuple key holding slices, or None
        when the key addresses one element."""
        if not isinstance(key, tuple) or not any(isinstance(k, slice) for k in key):
            return None
        dims = self._size
        if len(key) < len(dims):
            raise IndexError("%d subscripts given for an array with %d dimensions" % (len(key), len(dims)))
        dims = dims + (1,) * (len(key) - len(dims))
        picks = []
        for axis, (k, d) in enumerate(zip(key, dims)):
            if isinstance(k, slice):
                picks.append(range(*k.indices(d)))
                continue
            try:
                i = operator.index(k)
            except TypeError:
                raise chained(TypeError("typed-array subscripts must be integers or slices, not %r" % (k,)), None)
            picks.append((_within(i, d, axis),))
        strides = []
        stride = 1
        for d in dims:
            strides.append(stride)
            stride *= d
        # Column-major order of the selection: first subscript fastest.
        linear = [0]
        for pick, st in zip(picks, strides):
            linear = [base + i * st for i in pick for base in linear]
        size = tuple(len(p) for p in picks)
        if len(size) < 2:
            size = size + (1,)
        return linear, _normalise_size(size)

    def __getitem__(self, key):
        """Read a sub-array view, one element, or a block of elements.

        ``a[i]`` selects index ``i`` of the first dimension and returns an
        :class:`ArrayView` of the remaining dimensions ``size[1:]``, sharing
        this array's data: for an m-by-n array, ``a[i]`` is row ``i`` (n
        elements) and ``a[i][j]`` is the element ``a[i, j]``; for N-d
        arrays ``a[i][j]`` is again a view, until the last dimension gives
        the element.  So ``a[i][j] == a.tolist()[i][j]``.

        ``a[i, j, ...]`` takes one subscript per dimension (extra trailing
        subscripts must address singleton dimensions, i.e. be 0 or -1) and
        gives the element.  Negative indices count from the end.
        Out-of-range indices raise ``IndexError``.  Elements are ``float``
        (``double``, ``single``), ``int`` (integer classes), ``bool``
        (``logical``) or ``complex`` (complex arrays).  ``a.linear[k]`` is
        the k-th element in column-major order.

        A tuple with slices, ``a[0, :]``, ``a[:, 1:3]``, ``a[::2, -1]``,
        gives a new array of the same class holding that block; every
        dimension keeps its place (an integer subscript leaves a dimension of
        1), so ``a[0, :]`` of a 2-by-3 array is 1-by-3.  A bare slice
        ``a[1:3]`` is refused with ``TypeError``: use ``a[1:3, :]``.
        """
        selection = self._selection(key)
        if selection is None:
            if isinstance(key, tuple):
                if len(key) != 1:
                    return self._item(self._linear_index(key))
                key = key[0]
            return ArrayView(self, (self._axis_index(key, 0),))
        linear, size = selection
        result = type(self).__new__(type(self))
        result._size = size
        code = self._typecode
        if self._is_complex:
            real, imag = self._real, self._imag
            result._set_complex(array(code, [real[k] for k in linear]), array(code, [imag[k] for k in linear]))
        else:
            data = self._data
            result._set_real(array(code, [data[k] for k in linear]))
        return result

    def __setitem__(self, key, value):
        """Write one element, ``a[i, j, ...] = v``, converting ``v`` to the
        element type.

        Assigning a Python ``complex`` to a real array makes the array
        complex (``logical`` refuses with ``ValueError``).

        ``a[i] = v`` writes the sub-array ``a[i]`` (row ``i`` of a matrix),
        and with slices in the key (see :meth:`__getitem__`) the selected
        block: ``v`` is a number, written to every selected element, or
        anything this class accepts (nested lists, views, typed or NumPy
        arrays) with exactly as many elements, taken in column-major order.
        """
        selection = self._selection(key)
        if selection is not None:
            self._set_block(selection[0], value)
            return
        if isinstance(key, tuple) and len(key) != 1:
            self._set_item(self._linear_index(key), value)
            return
        if isinstance(key, tuple):
            key = key[0]
        self._set_sub((self._axis_index(key, 0),), value)

    def _set_sub(self, prefix, value):
        """``self[prefix] = value`` for leading indices ``prefix``."""
        start, step, count = self._span(prefix)
        self._set_block(range(start, start + step * count, step), value)

    def _set_item(self, k, value):
        """Write one element at linear index ``k``."""
        re, im = _scalar_parts(value)
        self._writable()
        if im is not None and not self._is_complex:
            if self._kind is _LOGICAL:
                raise ValueError("logical arrays cannot be complex")
            # Convert before touching the buffers so a failure changes nothing.
            re_item, im_item = self._coerce(re), self._coerce(im)
            self._set_complex(self._data, self._zero_part(len(self._data)))
            self._real[k] = re_item
            self._imag[k] = im_item
        elif self._is_complex:
            re_item = self._coerce(re)
            im_item = self._coerce(0 if im is None else im)
            self._real[k] = re_item
            self._imag[k] = im_item
        else:
            self._data[k] = self._coerce(re)

    def _set_block(self, linear, value):
        if isinstance(value, _REAL_TYPES + (complex,)) or (
            not isinstance(value, _Indexing)  # a typed array
            and not _is_sequence(value)
            and not hasattr(type(value), "__array__")
            and (
                hasattr(type(value), "__index__")
                or hasattr(type(value), "__float__")
                or hasattr(type(value), "__complex__")
            )
        ):
            source = type(self)([[value]])
            items = [0] * len(linear)
        else:
            source = value if type(value) is type(self) else type(self)(value)
            n = _count(source._size)
            if n != len(linear):
                raise ValueError("%d values cannot fill a block of %d elements" % (n, len(linear)))
            items = range(len(linear))
        self._writable()
        if source._is_complex and not self._is_complex:
            self._set_complex(self._data, self._zero_part(len(self._data)))
        if self._is_complex:
            if source._is_complex:
                sre, sim = source._real, source._imag
            else:
                sre, sim = source._data, self._zeros(len(source._data))
            real, imag = self._real, self._imag
            for k, i in zip(linear, items):
                real[k] = sre[i]
                imag[k] = sim[i]
        else:
            data, sdata = self._data, source._data
            for k, i in zip(linear, items):
                data[k] = sdata[i]
