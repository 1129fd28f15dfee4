"""Pickling typed arrays, next to the limit and to NumPy.

    .venv/bin/python bench/bench_pickle.py

pickle.dumps(protocol=5) of a 100 MB veldra.double with a buffer callback
(out of band: the elements are not copied; limit 1 ms), next to the same for
a 100 MB NumPy array, protocol 4 (in band, one copy) and pickle.loads of the
out-of-band pickle (one copy into the array's own buffer).
"""

import pickle

import veldra
from timing import median_seconds

N = 100 * 2**20 // 8
LIMIT_MS = 1.0


def ms(fn, runs=7):
    return median_seconds(fn, runs) * 1e3


def main():
    a = veldra.double(size=(1, N))
    dumps5 = lambda x: pickle.dumps(x, protocol=5, buffer_callback=list().append)  # noqa: E731
    oob = []
    data = pickle.dumps(a, protocol=5, buffer_callback=oob.append)
    rows = [
        ("dumps protocol 5, out of band", ms(lambda: dumps5(a)), "limit %.1f" % LIMIT_MS),
        ("dumps protocol 4, in band", ms(lambda: pickle.dumps(a, protocol=4), 3), ""),
        ("loads of the protocol-5 pickle", ms(lambda: pickle.loads(data, buffers=oob), 3), ""),
    ]
    try:
        import numpy
    except ImportError:
        numpy = None
    if numpy is not None:
        b = numpy.zeros(N)
        rows.append(("NumPy: dumps protocol 5, out of band", ms(lambda: dumps5(b)), "peer"))
    print("100 MB veldra.double, medians:")
    for what, value, note in rows:
        print("  %-40s %9.3f ms  %s" % (what, value, note))
    print("  out-of-band dumps / limit: %.3f" % (rows[0][1] / LIMIT_MS))


if __name__ == "__main__":
    main()
