"""Engines at scale: one engine, Pool(2) and DaskPool side by side.

    .venv/bin/python bench/bench_scale.py [N]

1. Throughput: 200 calls of matmul on two 400x400 doubles through one engine
   (--threads 1, all submitted at once), Pool(2) and a DaskPool on a local
   cluster of 2 worker processes with 1 thread each (the matrices scattered
   to the workers once, as Dask users do; the scheduler's worker-saturation
   set to inf, as for short tasks), next to the same work as NumPy tasks of
   plain Dask.  Goals: Pool(2) >= 1.8x one engine, DaskPool >= 1.6x.
2. Latency: one small call through DaskPool next to a Dask no-op task's
   round trip (goal: at most 1.2x).
3. Transfer: a 100 MB veldra.double through DaskPool (identity) next to a
   100 MB NumPy array through a plain Dask identity task (goal: at most 1.2x).

Figures are medians; the machine has 2 cores, so other load skews them.
"""

import os
import random
import sys
import time

# NumPy's BLAS on one thread, in this process and the workers, as the
# engines here (--threads 1).
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import dask
import distributed
import numpy

import veldra
import veldra.engine as ve
from timing import median_seconds
from veldra.dask import DaskPool

CALLS = 200
# The matrix order; a larger one (bench_scale.py 800) makes each call long
# enough that Dask's own cost per task (a few ms here) matters less.
N = int(sys.argv[1]) if len(sys.argv) > 1 else 400


def identity(x):
    return x


def noop():
    return None


def numpy_matmul(x, y):
    return x @ y


def throughput(pool_like, a, b):
    t0 = time.perf_counter()
    if isinstance(pool_like, ve.Engine):
        futures = [pool_like.submit("matmul", a, b) for _ in range(CALLS)]
        for f in futures:
            f.result()
    else:
        for _ in pool_like.map("matmul", [a] * CALLS, [b] * CALLS):
            pass
    return time.perf_counter() - t0


def main():
    rnd = random.Random(1)
    a = veldra.double([rnd.random() for _ in range(N * N)], size=(N, N))
    b = veldra.double([rnd.random() for _ in range(N * N)], size=(N, N))
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())

    with ve.start("--threads 1") as one:
        throughput(one, a, b)
        t_one = min(throughput(one, a, b) for _ in range(3))
    with ve.Pool(2) as pool:
        throughput(pool, a, b)
        t_pool = min(throughput(pool, a, b) for _ in range(3))

    # Dask hands each worker about one task at a time by default, and its
    # messages go in batches every few ms: with ~5 ms calls the workers
    # would wait for their next task half of the time.  Sending all tasks
    # at once is Dask's own setting for short tasks.
    with (
        dask.config.set({"distributed.scheduler.worker-saturation": "inf"}),
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
        DaskPool(client) as dpool,
    ):
        sa, sb = client.scatter([a, b], broadcast=True)
        throughput(dpool, sa, sb)
        t_dask = min(throughput(dpool, sa, sb) for _ in range(3))
        # The peer: the same work as NumPy tasks of plain Dask (BLAS on one
        # thread, as the engines).
        na, nb = client.scatter([numpy.asarray(a), numpy.asarray(b)], broadcast=True)

        def plain_dask():
            t0 = time.perf_counter()
            client.gather(client.map(numpy_matmul, [na] * CALLS, [nb] * CALLS, pure=False))
            return time.perf_counter() - t0

        plain_dask()
        t_plain_dask = min(plain_dask() for _ in range(3))

        def small():
            dpool.call("identity", 1.0)

        def dask_noop():
            client.submit(noop, pure=False).result()

        for fn in (small, dask_noop):
            median_seconds(fn, 20)
        lat_noop = median_seconds(dask_noop, 101)
        lat_small = median_seconds(small, 101)

        big = veldra.double(size=(1, 100 * 2**20 // 8))
        big_np = numpy.zeros(100 * 2**20 // 8)

        def typed():
            dpool.call("identity", big)

        def plain():
            client.submit(identity, big_np, pure=False).result()

        typed(), plain()
        t_plain = median_seconds(plain, 5)
        t_typed = median_seconds(typed, 5)

    print("%d x matmul of two %dx%d doubles:" % (CALLS, N, N))
    print("  one engine (--threads 1)  %7.3f s" % t_one)
    print("  Pool(2)                   %7.3f s   %.2fx one engine (goal >= 1.8x)" % (t_pool, t_one / t_pool))
    print("  DaskPool, 2 workers       %7.3f s   %.2fx one engine (goal >= 1.6x)" % (t_dask, t_one / t_dask))
    print("  plain Dask, NumPy tasks   %7.3f s   %.2fx one engine (peer)" % (t_plain_dask, t_one / t_plain_dask))
    print("small call, median round trip:")
    print("  Dask no-op task           %7.2f ms" % (lat_noop * 1e3))
    print(
        "  DaskPool identity(1.0)    %7.2f ms   %.2fx the no-op (goal <= 1.2x)"
        % (lat_small * 1e3, lat_small / lat_noop)
    )
    print("100 MB there and back, median:")
    print("  NumPy, plain Dask task    %7.1f ms" % (t_plain * 1e3))
    print("  veldra.double, DaskPool   %7.1f ms   %.2fx NumPy (goal <= 1.2x)" % (t_typed * 1e3, t_typed / t_plain))
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
