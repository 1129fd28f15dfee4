"""Converting values in both directions, next to peers users know.

    .venv/bin/python bench/bench_convert.py

Arguments: a list of 1,000,000 floats (next to pickle.dumps of the list), a
veldra.double of 10,000,000 elements (next to one memcpy of its 80 MB into
fresh memory), a dict of 1,000 keys.  Results: a 100 MB double result as
veldra.double (next to one memcpy of 100 MB into fresh memory), a
1-by-1,000,000 cell of doubles as a list (next to pickle.loads), and the
full round trip of a 100 MB veldra.double through identity next to a
ProcessPoolExecutor round trip of a 100 MB NumPy array (if NumPy is there).
"""
import concurrent.futures
import ctypes
import pickle
import statistics
import time

import veldra
import veldra.engine

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.memcpy.argtypes = (ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)
libc.free.argtypes = (ctypes.c_void_p,)


def timed(fn, runs=5):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e3


def memcpy_fresh(nbytes, source):
    def run():
        p = libc.malloc(nbytes)
        libc.memcpy(p, source, nbytes)
        libc.free(p)
    return timed(run)


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

    floats = [float(i) for i in range(1_000_000)]
    print("list of 1e6 floats -> engine: %8.1f ms   pickle.dumps: %8.1f ms"
          % (timed(lambda: submit_only(floats)), timed(lambda: pickle.dumps(floats))))

    big = veldra.double(size=(10_000_000, 1))
    addr = big._data.buffer_info()[0]
    print("veldra.double 1e7 -> engine:   %8.1f ms   memcpy 80 MB fresh: %8.1f ms"
          % (timed(lambda: submit_only(big)), memcpy_fresh(80_000_000, addr)))

    d = {"k%d" % i: float(i) for i in range(1000)}
    print("dict of 1000 keys -> engine:   %8.3f ms" % timed(lambda: submit_only(d), runs=50))

    hundred = veldra.double(size=(12_500_000, 1))
    call("assign", "big", hundred)
    addr = hundred._data.buffer_info()[0]
    print("100 MB result -> veldra.double: %7.1f ms   memcpy 100 MB fresh: %8.1f ms"
          % (timed(lambda: call("fetch", "big")), memcpy_fresh(100_000_000, addr)))

    call("assign", "cells", floats)
    blob = pickle.dumps(floats)
    print("1e6-cell result -> list:       %8.1f ms   pickle.loads: %8.1f ms"
          % (timed(lambda: call("fetch", "cells")), timed(lambda: pickle.loads(blob))))

    ours = timed(lambda: call("identity", hundred))
    try:
        import numpy
    except ImportError:
        print("100 MB identity round trip:    %8.1f ms   (NumPy not installed: no pool comparison)" % ours)
    else:
        arr = numpy.zeros(12_500_000)
        with concurrent.futures.ProcessPoolExecutor(1) as pool:
            pool.submit(abs, 1).result()
            theirs = timed(lambda: pool.submit(numpy.asarray, arr).result(), runs=3)
        print("100 MB identity round trip:    %8.1f ms   ProcessPoolExecutor: %8.1f ms (%.1fx)"
              % (ours, theirs, theirs / ours))
    m.closeVELDRA(engine)


if __name__ == "__main__":
    main()
