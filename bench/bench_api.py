"""Cost of the Python API next to the bare native path.

    .venv/bin/python bench/bench_api.py [calls]

Prints the median of eng.identity(1.0) next to the module-function round
trip it wraps (evaluateFunction, getFEvalResult, destroyFEvalResult), and,
when NumPy is importable, veldra.double(array) for 10,000,000 elements next
to one memcpy of the same bytes into fresh memory.
"""

import ctypes
import io
import statistics
import sys

import veldra
import veldra.engine
from timing import median_seconds


def median_us(fn, n):
    return median_seconds(fn, n) * 1e6


def bench_calls(n):
    m = veldra.engine._native
    with veldra.engine.start() as eng:
        handle = eng._session.handle

        def bare():
            h = m.evaluateFunction(handle, "identity", 1, (1.0,))
            m.getFEvalResult(h, 1, None)
            m.destroyFEvalResult(h)

        def bare_captured():
            out, err = io.StringIO(), io.StringIO()
            h = m.evaluateFunction(handle, "identity", 1, (1.0,), out=out, err=err)
            m.getFEvalResult(h, 1, None, out=out, err=err)
            m.destroyFEvalResult(h)

        def api():
            eng.identity(1.0)

        def api_uncaptured():
            eng.identity(1.0, stdout=None, stderr=None)

        fns = (bare, bare_captured, api, api_uncaptured)
        for fn in fns:
            for _ in range(200):
                fn()
        # Interleave the rounds so drift hits all alike.
        rounds = [[median_us(fn, max(n // 10, 1)) for fn in fns] for _ in range(10)]
        bare_us, captured_us, api_us, plain_us = (statistics.median(r[i] for r in rounds) for i in range(4))
    print("bare module functions identity(1.0):          median %7.1f us" % bare_us)
    print(
        "eng.identity(1.0):                            median %7.1f us  (+%.1f us; target under +10 us)"
        % (api_us, api_us - bare_us)
    )
    print(
        "  the same module calls capturing both streams: median %5.1f us  (API layer +%.1f us)"
        % (captured_us, api_us - captured_us)
    )
    print("eng.identity(1.0, stdout=None, stderr=None):  median %7.1f us  (+%.1f us)" % (plain_us, plain_us - bare_us))


def bench_numpy():
    try:
        import numpy
    except ImportError:
        print("veldra.double(numpy array): not measured (NumPy is not installed)")
        return
    x = numpy.random.default_rng(0).random(10_000_000)
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    src = x.ctypes.data

    def memcpy():
        p = libc.malloc(x.nbytes)
        ctypes.memmove(p, src, x.nbytes)
        libc.free(p)

    def convert():
        veldra.double(x)

    memcpy()
    convert()
    copy_ms = median_us(memcpy, 7) / 1e3
    ours_ms = median_us(convert, 7) / 1e3
    print("memcpy of %d MB into fresh memory:   median %7.1f ms" % (x.nbytes // 10**6, copy_ms))
    print("veldra.double(10,000,000 doubles):   median %7.1f ms  (%.2fx the memcpy)" % (ours_ms, ours_ms / copy_ms))
    a = veldra.double(x)
    back_ms = median_us(lambda: numpy.asarray(a), 7) / 1e3
    print("numpy.asarray(typed array):          median %7.3f ms  (no copy)" % back_ms)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    bench_calls(n)
    bench_numpy()


if __name__ == "__main__":
    main()
