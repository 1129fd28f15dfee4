"""Converting values in both directions, next to peers users know.

    VELDRA_TEST_HOOKS=1 bash scripts/bootstrap.sh   # a build with the hooks
    .venv/bin/python bench/bench_convert.py

Conversions alone (through the module's benchmark hooks) and whole engine
calls.  Arguments: a list of 1,000,000 floats (next to pickle.dumps of the list), a
veldra.double of 10,000,000 elements (next to one memcpy of its 80 MB into
fresh memory), a dict of 1,000 keys.  Results: a 100 MB double result as
veldra.double (next to one memcpy of 100 MB into fresh memory), a
1-by-1,000,000 cell of doubles as a list (next to pickle.loads), and the
full round trip of a 100 MB veldra.double through identity next to a
ProcessPoolExecutor round trip of a 100 MB NumPy array (if NumPy is there).
"""

import array
import concurrent.futures
import ctypes
import pickle
import statistics

import veldra
import veldra.engine
from timing import median_seconds

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.memcpy.argtypes = (ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)
libc.free.argtypes = (ctypes.c_void_p,)

# The module's benchmark hooks: one conversion, without an engine call.
_hooks = ctypes.PyDLL(veldra.engine._native.__file__)
_convert_timed = _hooks.veldra_convert_timed
_convert_timed.argtypes = (ctypes.py_object, ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double))
_to_python_timed = _hooks.veldra_to_python_timed
_to_python_timed.argtypes = (ctypes.py_object, ctypes.POINTER(ctypes.c_double))
_to_python_timed.restype = ctypes.py_object


def timed(fn, runs=5):
    return median_seconds(fn, runs) * 1e3


def to_array_ms(value, runs=5):
    """Median milliseconds of converting `value` to an engine array (and of
    destroying that array)."""
    convert, destroy = ctypes.c_double(), ctypes.c_double()
    cs, ds = [], []
    for _ in range(runs):
        if _convert_timed(value, ctypes.byref(convert), ctypes.byref(destroy)) != 0:
            raise RuntimeError("conversion failed")
        cs.append(convert.value)
        ds.append(destroy.value)
    return statistics.median(cs) * 1e3, statistics.median(ds) * 1e3


def to_python_ms(value, runs=5):
    """Median milliseconds of converting the engine array made from `value`
    back into a Python value."""
    seconds = ctypes.c_double()
    times = []
    for _ in range(runs):
        _to_python_timed(value, ctypes.byref(seconds))
        times.append(seconds.value)
    return statistics.median(times) * 1e3


def memcpy_fresh(nbytes, source):
    """One memcpy of `nbytes` from touched memory into freshly allocated memory."""

    def run():
        p = libc.malloc(nbytes)
        libc.memcpy(p, source, nbytes)
        libc.free(p)

    return timed(run)


def filled_double(n):
    """A veldra.double n-by-1 holding distinct values (touched memory: a
    zero-filled buffer may still be the kernel's shared zero page, which
    would flatter every copy out of it)."""
    return veldra.double(array.array("d", range(n)), size=(n, 1))


def main():
    m = veldra.engine._native
    m.createProcess()
    engine = m.getVELDRA(m.createVELDRAAsync([]))

    def submit_only(value):
        # Conversion happens inside evaluateFunction; the call itself is tiny.
        h = m.evaluateFunction(engine, "is_sparse", 1, (value,))
        m.getFEvalResult(h, 1, None)
        m.destroyFEvalResult(h)

    def call(name, *args):
        h = m.evaluateFunction(engine, name, 1, args)
        try:
            return m.getFEvalResult(h, 1, None)
        finally:
            m.destroyFEvalResult(h)

    print("Python -> engine array (conversion alone; destroying the array after it)")
    floats = [float(i) for i in range(1_000_000)]
    conv, dest = to_array_ms(floats)
    print(
        "  list of 1e6 floats:      %8.1f ms (+%6.1f ms destroy)   pickle.dumps: %8.1f ms"
        % (conv, dest, timed(lambda: pickle.dumps(floats)))
    )
    big = filled_double(10_000_000)
    conv, dest = to_array_ms(big)
    print(
        "  veldra.double 1e7:       %8.1f ms (+%6.1f ms destroy)   memcpy 80 MB fresh: %6.1f ms"
        % (conv, dest, memcpy_fresh(80_000_000, big._data.buffer_info()[0]))
    )
    d = {"k%d" % i: float(i) for i in range(1000)}
    conv, dest = to_array_ms(d, runs=50)
    print("  dict of 1000 keys:       %8.3f ms (+%6.3f ms destroy)" % (conv, dest))

    print("Engine array -> Python (conversion alone)")
    hundred = filled_double(12_500_000)
    print(
        "  100 MB double:           %8.1f ms   memcpy 100 MB fresh: %8.1f ms"
        % (to_python_ms(hundred), memcpy_fresh(100_000_000, hundred._data.buffer_info()[0]))
    )
    blob = pickle.dumps(floats)
    print(
        "  1-by-1e6 cell of doubles:%8.1f ms   pickle.loads: %8.1f ms"
        % (to_python_ms(floats), timed(lambda: pickle.loads(blob)))
    )

    print("Whole engine calls")
    print("  list of 1e6 floats as an argument:   %8.1f ms" % timed(lambda: submit_only(floats)))
    print("  veldra.double 1e7 as an argument:    %8.1f ms" % timed(lambda: submit_only(big)))
    print("  dict of 1000 keys as an argument:    %8.3f ms" % timed(lambda: submit_only(d), runs=50))
    call("assign", "big", hundred)
    print("  100 MB result as veldra.double:      %8.1f ms" % timed(lambda: call("fetch", "big")))
    call("assign", "cells", floats)
    print("  1e6-cell result as a list:           %8.1f ms" % timed(lambda: call("fetch", "cells")))

    ours = timed(lambda: call("identity", hundred))
    try:
        import numpy
    except ImportError:
        print("  100 MB identity round trip:          %8.1f ms   (NumPy not installed: no pool comparison)" % ours)
    else:
        arr = numpy.arange(12_500_000, dtype=float)
        with concurrent.futures.ProcessPoolExecutor(1) as pool:
            pool.submit(abs, 1).result()
            theirs = timed(lambda: pool.submit(numpy.asarray, arr).result(), runs=3)
        print(
            "  100 MB identity round trip:          %8.1f ms   ProcessPoolExecutor: %8.1f ms (%.1fx)"
            % (ours, theirs, theirs / ours)
        )
    m.closeVELDRA(engine)


if __name__ == "__main__":
    main()
