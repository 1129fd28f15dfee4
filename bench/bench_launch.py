"""Time from asking for an engine to a usable engine handle, next to a peer.

    .venv/bin/python bench/bench_launch.py [runs]

Prints the median time of createVELDRAAsync -> getVELDRA (a launched engine
that has reported ready), and, when jupyter_client and ipykernel are
installed (pip install jupyter_client ipykernel), the median time to start a
Jupyter kernel until it answers.
"""

import statistics
import sys
import time

import veldra.engine


def veldra_launch(runs):
    m = veldra.engine._native
    m.createProcess()
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        engine = m.getVELDRA(m.createVELDRAAsync([]))
        times.append(time.perf_counter() - t0)
        m.closeVELDRA(engine)
    return times


def kernel_launch(runs):
    try:
        from jupyter_client.manager import start_new_kernel
    except ImportError:
        return None
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        km, kc = start_new_kernel(kernel_name="python3")
        times.append(time.perf_counter() - t0)
        kc.stop_channels()
        km.shutdown_kernel(now=True)
    return times


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    ours = veldra_launch(runs)
    print(
        "veldra engine launch: median %.2f ms over %d runs (min %.2f ms)"
        % (statistics.median(ours) * 1e3, runs, min(ours) * 1e3)
    )
    kernel = kernel_launch(max(3, runs // 6))
    if kernel is None:
        print("jupyter kernel start: not measured (pip install jupyter_client ipykernel)")
        return
    print("jupyter kernel start: median %.1f ms over %d runs" % (statistics.median(kernel) * 1e3, len(kernel)))
    print("ratio: %.1fx faster" % (statistics.median(kernel) / statistics.median(ours)))


if __name__ == "__main__":
    main()
