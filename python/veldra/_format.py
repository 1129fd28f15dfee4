"""How typed arrays print: rows on lines of their own, columns aligned, and
past a threshold only the first and last rows and columns around ``...``.

The layout is NumPy's: ``repr`` gives ``veldra.double([[1.0, 2.0],
[3.0, 4.0]])`` with the rows under each other (which the constructor reads
back while nothing is left out), ``str`` gives ``[[1.0 2.0] [3.0 4.0]]``
likewise; blocks of three and more dimensions are separated by blank lines.
Elements print as the Python scalars they read as (``1.0``, ``(1+2j)``,
``True``).  Only the elements shown are read, so printing a large array
costs no more than printing a small one.
"""

# Arrays with more elements than this print summarised, keeping EDGE_ITEMS
# at each end of every dimension that has more than twice as many.
THRESHOLD = 1000
EDGE_ITEMS = 3
LINE_WIDTH = 75

_ELLIPSIS = "..."


def _shown(n, summarise):
    """The indices shown along a dimension of n, None where ``...`` stands."""
    if summarise and n > 2 * EDGE_ITEMS:
        return list(range(EDGE_ITEMS)) + [None] + list(range(n - EDGE_ITEMS, n))
    return list(range(n))


def _strides(dims):
    strides = []
    step = 1
    for d in dims:
        strides.append(step)
        step *= d
    return strides


def format_array(item, dims, separator, indent, summarise=None):
    """The nested, row-major text of an array whose element at column-major
    index k is ``item(k)``; ``dims`` has at least two dimensions, none 0.

    ``separator`` goes between elements (``", "`` or ``" "``), ``indent`` is
    the column where the text starts (continuation lines line up under the
    first bracket).  ``summarise`` None decides by THRESHOLD.
    """
    count = 1
    for d in dims:
        count *= d
    if summarise is None:
        summarise = count > THRESHOLD
    shown = [_shown(d, summarise) for d in dims]
    strides = _strides(dims)

    # Every element shown, formatted once, to one common width.
    texts = {}

    def collect(axis, offset):
        for i in shown[axis]:
            if i is None:
                continue
            k = offset + i * strides[axis]
            if axis + 1 == len(dims):
                texts[k] = repr(item(k))
            else:
                collect(axis + 1, k)

    collect(0, 0)
    width = max(len(t) for t in texts.values())
    width = max(width, len(_ELLIPSIS)) if summarise else width
    item_sep = separator.rstrip()
    last = len(dims) - 1

    def row(offset, column):
        # The innermost dimension: elements wrapped at LINE_WIDTH.
        stride = strides[last]
        pieces = [_ELLIPSIS.rjust(width) if i is None else texts[offset + i * stride].rjust(width) for i in shown[last]]
        lines = []
        line = " " * column + "["
        for n, piece in enumerate(pieces):
            tail = "]" if n + 1 == len(pieces) else separator
            full = len(line) + len(piece) + len(tail.rstrip()) > LINE_WIDTH
            if full and len(line) > column + 1:
                lines.append(line.rstrip())
                line = " " * (column + 1)
            line += piece + tail
        lines.append(line)
        return "\n".join(lines)[column:]

    def block(axis, offset, column):
        if axis == last:
            return row(offset, column)
        joiner = item_sep + "\n" * (last - axis) + " " * (column + 1)
        parts = []
        for i in shown[axis]:
            if i is None:
                parts.append(_ELLIPSIS)
            else:
                parts.append(block(axis + 1, offset + i * strides[axis], column + 1))
        return "[" + joiner.join(parts) + "]"

    return block(0, 0, indent)
