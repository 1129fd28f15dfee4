"""The timing the benchmark scripts share."""

import statistics
import time


def median_seconds(fn, runs):
    """The median wall time of `runs` calls of `fn`, in seconds."""
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)
