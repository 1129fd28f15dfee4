"""Many calls in flight on one engine, side by side in one run.

    .venv/bin/python bench/bench_inflight.py [calls] [rounds]

Each figure is the median over `rounds` rounds of the time per call for
`calls` calls of identity(1.0) (default 10,000 calls, 5 rounds):
one after another, all submitted first and then collected, awaited together
with asyncio.gather (next to asyncio's own cost of gathering as many
finished coroutines, which no engine can go below), in one step with
eng.identity.map, and the same from 16 threads at once.  The peer is a concurrent.futures.ProcessPoolExecutor(1)
whose map runs a function returning its argument, at chunksize 1, 100 and
1000.  Goals are printed next to the figures.
"""

import asyncio
import concurrent.futures
import statistics
import sys
import threading
import time

import veldra.engine

THREADS = 16


def echo(x):
    return x


def per_call_us(fn, calls, rounds):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) / calls * 1e6


def check(results, calls):
    if len(results) != calls or any(r != 1.0 for r in results):
        raise SystemExit("wrong or lost results: %d of %d" % (sum(1 for r in results if r == 1.0), calls))


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    eng = veldra.engine.start()
    ident = eng.identity

    def sequential():
        for _ in range(calls):
            ident(1.0)

    def submit_collect():
        fs = [eng.submit("identity", 1.0) for _ in range(calls)]
        check([f.result() for f in fs], calls)

    async def gathered():
        return await asyncio.gather(*[eng.submit("identity", 1.0) for _ in range(calls)])

    loop = asyncio.new_event_loop()

    def gather():
        check(loop.run_until_complete(gathered()), calls)

    async def done_awaitable():
        return 1.0

    async def gathered_floor():
        return await asyncio.gather(*[done_awaitable() for _ in range(calls)])

    def gather_floor():
        # asyncio's own cost of gathering this many awaitables, no engine.
        check(loop.run_until_complete(gathered_floor()), calls)

    def mapped():
        check(ident.map([1.0] * calls), calls)

    share = calls // THREADS

    def threaded():
        results = [None] * THREADS
        start = threading.Barrier(THREADS + 1)

        def worker(i):
            start.wait()
            fs = [eng.submit("identity", 1.0) for _ in range(share)]
            results[i] = [f.result() for f in fs]

        ts = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for t in ts:
            t.start()
        start.wait()
        for t in ts:
            t.join()
        check([r for rs in results for r in rs], share * THREADS)

    figures = {}
    for name, fn in [
        ("sequential", sequential),
        ("submit-collect", submit_collect),
        ("gather", gather),
        ("gather-floor", gather_floor),
        ("map", mapped),
        ("threads", threaded),
    ]:
        fn()  # warm-up
        figures[name] = per_call_us(fn, share * THREADS if name == "threads" else calls, rounds)
    loop.close()
    eng.close()

    with concurrent.futures.ProcessPoolExecutor(1) as pool:
        list(pool.map(echo, [1.0] * 100))
        for chunk in (1, 100, 1000):
            figures["pool%d" % chunk] = per_call_us(
                lambda chunk=chunk: list(pool.map(echo, [1.0] * calls, chunksize=chunk)),
                calls,
                1 if chunk == 1 else rounds,
            )

    seq = figures["sequential"]
    rows = [
        ("eng.identity(1.0), one after another", "sequential", "-"),
        ("submit all, then collect", "submit-collect", "<= 0.5x sequential (%.1f us)" % (0.5 * seq)),
        ("asyncio.gather of the futures", "gather", "<= 1.0x sequential (%.1f us)" % seq),
        ("asyncio.gather of finished coroutines", "gather-floor", "floor: asyncio alone, no engine"),
        ("eng.identity.map(...)", "map", "<= pool map chunksize 100 (%.1f us)" % figures["pool100"]),
        ("%d threads submit, then collect" % THREADS, "threads", "<= 1.0x sequential (%.1f us)" % seq),
        ("ProcessPoolExecutor(1).map, chunksize 1", "pool1", "peer"),
        ("ProcessPoolExecutor(1).map, chunksize 100", "pool100", "peer"),
        ("ProcessPoolExecutor(1).map, chunksize 1000", "pool1000", "peer"),
    ]
    print("%d calls of identity(1.0), median of %d rounds, us per call" % (calls, rounds))
    for label, key, goal in rows:
        us = figures[key]
        print("  %-44s %7.2f us  %5.2fx seq   goal %s" % (label, us, us / seq, goal))


if __name__ == "__main__":
    main()
