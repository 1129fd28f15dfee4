"""Round trip of a call from Python, next to peers users know.

    .venv/bin/python bench/bench_call.py [calls]

Prints the median round trip of identity(1.0) through the module functions
(evaluateFunction, getFEvalResult, destroyFEvalResult), of a
concurrent.futures.ProcessPoolExecutor call returning its argument, and,
when jupyter_client and ipykernel are installed, of a Jupyter kernel
execute request.
"""

import concurrent.futures
import sys

import veldra.engine
from timing import median_seconds


def median_us(fn, n):
    return median_seconds(fn, n) * 1e6


def echo(x):
    return x


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    m = veldra.engine._native
    m.createProcess()
    engine = m.getVELDRA(m.createVELDRAAsync([]))

    def ours():
        h = m.evaluateFunction(engine, "identity", 1, (1.0,))
        m.getFEvalResult(h, 1, None)
        m.destroyFEvalResult(h)

    for _ in range(200):
        ours()
    veldra_us = median_us(ours, n)
    print("veldra identity(1.0) round trip: median %.1f us over %d calls" % (veldra_us, n))

    with concurrent.futures.ProcessPoolExecutor(1) as pool:
        pool.submit(echo, 1.0).result()
        pool_us = median_us(lambda: pool.submit(echo, 1.0).result(), max(200, n // 4))
    print("ProcessPoolExecutor round trip:  median %.1f us  (%.1fx ours)" % (pool_us, pool_us / veldra_us))

    try:
        from jupyter_client.manager import start_new_kernel
    except ImportError:
        print("jupyter kernel execute: not measured (pip install jupyter_client ipykernel)")
    else:
        km, kc = start_new_kernel(kernel_name="python3")
        try:
            kc.execute_interactive("x = 1.0", timeout=30)
            k_us = median_us(lambda: kc.execute_interactive("x", timeout=30, output_hook=lambda msg: None), 100)
            print("jupyter kernel execute:          median %.1f us  (%.1fx ours)" % (k_us, k_us / veldra_us))
        finally:
            kc.stop_channels()
            km.shutdown_kernel(now=True)
    m.closeVELDRA(engine)


if __name__ == "__main__":
    main()
