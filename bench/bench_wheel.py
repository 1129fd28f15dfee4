"""The wheel's engine next to the developer build's, in one run.

    .venv/bin/python bench/bench_wheel.py [WHEEL_ENGINE [BUILD_ENGINE]]

The wheel's engine (scripts/wheel.sh: OpenBLAS, LAPACKE and FFTW linked in
statically, glibc symbols bound to 2.17 versions) and the one bootstrap.sh
installs (the same libraries shared) each serve a session; this process
attaches to both and times the same calls on both, in turns, so that both
see the same load.  Medians of whole calls, ours (the wheel) next to the
build's; the goal is 1.0x, within noise (the last row times the build's
engine against itself).  Defaults: .venv-wheel's and .venv's engines
(scripts/test-wheel.sh makes .venv-wheel).
"""

import os
import statistics
import subprocess
import sys
import time
import uuid

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def installed_engine(venv):
    lib = os.path.join(ROOT, venv, "lib")
    for name in sorted(os.listdir(lib)):
        path = os.path.join(lib, name, "site-packages", "veldra", "engine", "bin", "veldra-engine")
        if os.path.exists(path):
            return path
    raise SystemExit("no engine installed in %s" % venv)


def serve(executable, threads):
    """(process, engine) of a session that `executable` serves."""
    import veldra.engine

    name = "bench-wheel-%s" % uuid.uuid4().hex[:8]
    proc = subprocess.Popen([executable, "--share", name, "--threads", str(threads)], stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while True:
        try:
            return proc, veldra.engine.connect(name)
        except veldra.engine.EngineError:
            if proc.poll() is not None or time.monotonic() > deadline:
                proc.kill()
                raise
            time.sleep(0.1)


def medians_in_turns(fns, runs, rounds=3):
    """The median of each function's times (ms).  The functions take turns
    in rounds of `runs` calls each, with a pause before each turn: an
    engine's BLAS threads spin a while after a call, and would take the
    cores from the next engine's."""
    times = [[] for _ in fns]
    for _ in range(rounds):
        for fn, t in zip(fns, times):
            time.sleep(0.3)
            fn()  # warm-up: pools filled, pages touched
            for _ in range(runs):
                t0 = time.perf_counter()
                fn()
                t.append(time.perf_counter() - t0)
    return [statistics.median(t) * 1e3 for t in times]


def main():
    wheel = sys.argv[1] if len(sys.argv) > 1 else installed_engine(".venv-wheel")
    build = sys.argv[2] if len(sys.argv) > 2 else installed_engine(".venv")
    threads = os.cpu_count() or 1
    served = [serve(wheel, threads), serve(build, threads), serve(build, threads)]
    try:
        engines = [eng for _, eng in served]
        n, m, f = 10**7, 2000, 2**20
        rows = []
        ops = [
            ("matmul %dx%d" % (m, m), lambda e, d: e.matmul(d["A"], d["B"]), 3),
            ("solve %dx%d, one column" % (m, m), lambda e, d: e.solve(d["A"], d["rhs"]), 3),
            ("fft 2^%d" % (f.bit_length() - 1), lambda e, d: e.fft(d["s"]), 5),
            ("add 1e7", lambda e, d: e.add(d["a"], d["a"]), 5),
            ("sqrt 1e7", lambda e, d: e.sqrt(d["a"]), 5),
            ("exp 1e7", lambda e, d: e.exp(d["a"]), 5),
        ]
        # The same data in each engine, made there (the seeds make it equal).
        shapes = {"A": (m, m, 4), "B": (m, m, 5), "rhs": (m, 1, 6), "s": (f, 1, 7), "a": (1, n, 2)}
        data = [{k: e.random(*shape) for k, shape in shapes.items()} for e in engines]
        for label, op, runs in ops:
            t = medians_in_turns([lambda e=e, d=d, op=op: op(e, d) for e, d in zip(engines, data)], runs)
            rows.append((label, t[0], t[1], t[2]))
    finally:
        for proc, eng in served:
            eng.close()
            proc.terminate()
            proc.wait()

    print("wheel engine: %s" % wheel)
    print("build engine: %s" % build)
    print("--threads %d; load average %.1f; medians in ms" % (threads, os.getloadavg()[0]))
    print("  %-28s %9s %9s %7s %13s  %s" % ("what", "wheel", "build", "ratio", "build/build", "goal"))
    for label, ours, theirs, again in rows:
        print(
            "  %-28s %9.3f %9.3f %6.2fx %12.2fx  1.0x within noise"
            % (label, ours, theirs, ours / theirs, again / theirs)
        )


if __name__ == "__main__":
    main()
