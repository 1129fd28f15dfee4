"""NumPy arrays through the engine, side by side with NumPy in one run.

    .venv/bin/python bench/bench_numpy.py [--quick]

Medians of whole calls from Python, each next to its goal:

- a 100 MB veldra.double that came from the engine, through identity and
  back (goal 1 ms), and the same for a NumPy result of the engine
  (numpy=True), which goes back as the block it already is;
- a 100 MB NumPy array made in Python through identity and numpy.asarray of
  the result, next to one 100 MB copy into fresh memory (goal 1.5x), with
  typed-array results and with numpy=True;
- a 100 MB veldra.double.zeros (and .empty) filled through NumPy with the
  same values, through identity and numpy.asarray of the result: the
  elements are made in shared memory and never copied, next to the same
  copy (goal 0.8x: under one copy, its fill included; zeros clears a pooled
  block before the fill, empty does not);
- add, multiply, sum, sqrt of 1e7 doubles, matmul and solve of 2000x2000,
  fft of 2^20 doubles, all on arrays that came from the engine as NumPy
  arrays, next to NumPy's own function on the same data (goal 1.0x);
- pickle.dumps(protocol=5) of a 100 MB typed array with its buffers out of
  band (goal 1 ms).

NumPy's side runs in a child process without OPENBLAS_CORETYPE and
OPENBLAS_L2_SIZE (where they are set, they pick an older OpenBLAS kernel);
the engine keeps the environment it was given.  The data goes to the child
in .npy files, and the two sides take turns, one run each, so that a
machine whose speed drifts slows both alike.  With threadpoolctl installed the output names the BLAS
kernel NumPy runs.  --quick divides every size by 10 (fft: by 8) for a
smoke run.
"""

import json
import os
import pickle
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from timing import median_seconds

OLD_KERNEL_VARS = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
SETTLE = 0.2  # seconds between the two sides' runs


def sizes(quick):
    d = 10 if quick else 1
    return {"big": 100 * 2**20 // 8 // d, "n": 10**7 // d, "m": 2000 // d, "fft": 2**20 // (8 if quick else 1)}


def ms(fn, runs):
    fn()  # warm-up: pools filled, pages touched
    return median_seconds(fn, runs) * 1e3


# ---- NumPy's side (the child) ----------------------------------------------


def numpy_ops(np, data):
    """{name: (function, runs)} of NumPy's operations on `data`."""
    a, b, A, B, rhs, s = (data[k] for k in ("a", "b", "A", "B", "rhs", "s"))
    return {
        "add": (lambda: np.add(a, b), 9),
        "multiply": (lambda: np.multiply(a, b), 9),
        "sum": (lambda: np.sum(a), 9),
        "sqrt": (lambda: np.sqrt(a), 9),
        "matmul": (lambda: np.matmul(A, B), 9),
        "solve": (lambda: np.linalg.solve(A, rhs), 9),
        "fft": (lambda: np.fft.fft(s, axis=0), 9),
    }


def blas_summary(np):
    try:
        blas = np.show_config(mode="dicts")["Build Dependencies"]["blas"]
        return "%s %s" % (blas.get("name", "?"), blas.get("version", "?"))
    except Exception:  # noqa: BLE001 - older NumPy: no dict mode
        config = getattr(np, "__config__", None)
        info = getattr(config, "blas_opt_info", None) or getattr(config, "openblas_info", None)
        return str(info.get("libraries", "?")) if isinstance(info, dict) else "unknown"


def threads_summary():
    try:
        import threadpoolctl
    except ImportError:
        return "threadpoolctl not installed (kernel not known); OPENBLAS_NUM_THREADS=%s OMP_NUM_THREADS=%s" % (
            os.environ.get("OPENBLAS_NUM_THREADS", "unset"),
            os.environ.get("OMP_NUM_THREADS", "unset"),
        )
    pools = threadpoolctl.threadpool_info()
    return (
        "; ".join(
            "%s %s: %s threads, kernel %s"
            % (p.get("internal_api"), p.get("version"), p.get("num_threads"), p.get("architecture", "?"))
            for p in pools
        )
        or "no thread pool found"
    )


def numpy_side(folder):
    """The child: says what NumPy it is, then times one run of each
    operation named on its input, a line each, and answers with the time."""
    import numpy as np

    data = {k: np.load(os.path.join(folder, k + ".npy")) for k in ("a", "b", "A", "B", "rhs", "s")}
    ops = numpy_ops(np, data)
    header = {
        "version": np.__version__,
        "blas": blas_summary(np),
        "threads": threads_summary(),
        "vars": {k: os.environ.get(k) for k in OLD_KERNEL_VARS},
    }
    sys.stdout.write(json.dumps(header) + "\n")
    sys.stdout.flush()
    for line in sys.stdin:
        fn = ops[line.strip()][0]
        t0 = time.perf_counter()
        fn()
        sys.stdout.write("%r\n" % ((time.perf_counter() - t0) * 1e3))
        sys.stdout.flush()


class NumpySide(object):
    """The child process, asked for one timed run at a time."""

    def __init__(self, folder):
        env = {k: v for k, v in os.environ.items() if k not in OLD_KERNEL_VARS}
        self.child = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--numpy-side", folder],
            env=env,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            universal_newlines=True,
        )
        self.header = json.loads(self.child.stdout.readline())

    def once(self, name):
        self.child.stdin.write(name + "\n")
        self.child.stdin.flush()
        return float(self.child.stdout.readline())

    def close(self):
        self.child.stdin.close()
        self.child.wait()


def side_by_side(fn, theirs, name, runs):
    """Medians in ms of ours (`fn`) and NumPy's `name`, one run of each in
    turn, after a warm-up of both."""
    fn()
    theirs.once(name)
    ours, peer = [], []
    for _ in range(runs):
        # A pause before each run: a BLAS's threads spin a while after
        # their work, and would take the other side's cores.
        time.sleep(SETTLE)
        t0 = time.perf_counter()
        fn()
        ours.append((time.perf_counter() - t0) * 1e3)
        time.sleep(SETTLE)
        peer.append(theirs.once(name))
    return statistics.median(ours), statistics.median(peer)


# ---- the engine's side -----------------------------------------------------


def check_same(np, engine_ops, data):
    """Each engine result agrees with NumPy's (here, once: not timed)."""
    for name, (fn, _) in numpy_ops(np, data).items():
        ours, theirs = engine_ops[name][0](), fn()
        if not np.allclose(ours, theirs, rtol=1e-8, atol=1e-6 * max(1.0, float(np.max(np.abs(theirs))))):
            raise SystemExit("%s: the engine and NumPy disagree" % name)


def main():
    if sys.argv[1:2] == ["--numpy-side"]:
        return numpy_side(sys.argv[2])
    quick = "--quick" in sys.argv[1:]
    import numpy as np

    import veldra.engine

    z = sizes(quick)
    mb = z["big"] * 8 / 2**20
    threads = os.cpu_count() or 1
    eng = veldra.engine.start(["--threads", str(threads)])
    # (what, ours in ms, peer, peer in ms or None, goal: a ratio to the peer or else a limit in ms)
    rows = []

    # Large blocks from the engine, through identity and back.
    typed = eng.random(z["big"], 1, 1)
    rows.append(
        ("%.0f MB veldra.double from the engine, identity" % mb, ms(lambda: eng.identity(typed), 9), None, None, 1.0)
    )
    view = eng.random(z["big"], 1, 1, numpy=True)
    rows.append(
        (
            "%.0f MB NumPy result of the engine, identity" % mb,
            ms(lambda: eng.identity(view, numpy=True), 9),
            None,
            None,
            1.0,
        )
    )

    # A NumPy array of Python's own: copied once into an engine block.
    x = np.random.default_rng(1).random(z["big"])
    copy = ms(lambda: x.copy(), 9)
    peer = "one %.0f MB copy into fresh memory" % mb
    rows.append(
        (
            "%.0f MB NumPy array, identity, asarray (typed result)" % mb,
            ms(lambda: np.asarray(eng.identity(x)), 9),
            peer,
            copy,
            1.5,
        )
    )
    rows.append(
        (
            "%.0f MB NumPy array, identity, asarray (numpy=True)" % mb,
            ms(lambda: np.asarray(eng.identity(x, numpy=True)), 9),
            peer,
            copy,
            1.5,
        )
    )

    # Arrays built in shared memory: filled in place, sent as they are.
    import veldra

    def built_here(make):
        a = make(z["big"], 1)
        np.copyto(np.asarray(a)[:, 0], x)
        return np.asarray(eng.identity(a))

    if not np.array_equal(built_here(veldra.double.zeros)[:, 0], x):
        raise SystemExit("zeros filled through NumPy: the engine's values differ")
    for make in ("zeros", "empty"):
        rows.append(
            (
                "%.0f MB double.%s, NumPy fill, identity, asarray" % (mb, make),
                ms(lambda make=make: built_here(getattr(veldra.double, make)), 9),
                peer,
                copy,
                0.8,
            )
        )

    # Numerics on arrays that came from the engine.
    n, m, f = z["n"], z["m"], z["fft"]
    data = {
        "a": eng.random(1, n, 2, numpy=True),
        "b": eng.random(1, n, 3, numpy=True),
        "A": eng.random(m, m, 4, numpy=True),
        "B": eng.random(m, m, 5, numpy=True),
        "rhs": eng.random(m, 1, 6, numpy=True),
        "s": eng.random(f, 1, 7, numpy=True),
    }
    a, b, A, B, rhs, s = (data[k] for k in ("a", "b", "A", "B", "rhs", "s"))
    ops = {
        "add": (lambda: eng.add(a, b, numpy=True), 9),
        "multiply": (lambda: eng.multiply(a, b, numpy=True), 9),
        "sum": (lambda: eng.sum(a), 9),
        "sqrt": (lambda: eng.sqrt(a, numpy=True), 9),
        "matmul": (lambda: eng.matmul(A, B, numpy=True), 9),
        "solve": (lambda: eng.solve(A, rhs, numpy=True), 9),
        "fft": (lambda: eng.fft(s, numpy=True), 9),
    }
    check_same(np, ops, data)
    ta, tb = eng.random(1, n, 2), eng.random(1, n, 3)
    folder = tempfile.mkdtemp(prefix="bench-numpy-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        for k, v in data.items():
            np.save(os.path.join(folder, k + ".npy"), v)
        side = NumpySide(folder)
        try:
            ours, peer_times = {}, {}
            for name, (fn, runs) in ops.items():
                ours[name], peer_times[name] = side_by_side(fn, side, name, runs)
            typed_add, _ = side_by_side(lambda: eng.add(ta, tb), side, "add", 9)
        finally:
            side.close()
    finally:
        shutil.rmtree(folder)
    theirs = side.header

    pickle_ms = ms(lambda: pickle.dumps(typed, protocol=5, buffer_callback=list().append), 9)
    eng.close()

    e = "1e%d" % (len(str(n)) - 1)
    labels = {
        "add": "eng.add " + e,
        "multiply": "eng.multiply " + e,
        "sum": "eng.sum " + e,
        "sqrt": "eng.sqrt " + e,
        "matmul": "eng.matmul %dx%d" % (m, m),
        "solve": "eng.solve %dx%d, one column" % (m, m),
        "fft": "eng.fft 2^%d (its complex result is copied)" % (f.bit_length() - 1),
    }
    peers = {
        "add": "numpy.add",
        "multiply": "numpy.multiply",
        "sum": "numpy.sum",
        "sqrt": "numpy.sqrt",
        "matmul": "numpy.matmul",
        "solve": "numpy.linalg.solve",
        "fft": "numpy.fft.fft, axis=0",
    }
    for name in ops:
        rows.append((labels[name], ours[name], peers[name], peer_times[name], 1.0))
    rows.append(("eng.add %s, typed arrays (numpy=False)" % e, typed_add, "numpy.add", peer_times["add"], 1.0))
    rows.append(("pickle.dumps protocol 5, %.0f MB typed array" % mb, pickle_ms, None, None, 1.0))

    set_here = {k: os.environ.get(k) for k in OLD_KERNEL_VARS}
    print("NumPy %s, BLAS %s" % (theirs["version"], theirs["blas"]))
    print("NumPy threads: %s" % theirs["threads"])
    print("engine: --threads %d; load average %.1f" % (threads, os.getloadavg()[0]))
    if any(v is not None for v in set_here.values()):
        print(
            "%s set in this environment (%s): the engine keeps them, NumPy's side runs without them"
            % (" and ".join(OLD_KERNEL_VARS), ", ".join("%s=%s" % kv for kv in set_here.items()))
        )
    else:
        print(
            "%s: not set in this environment (NumPy's side runs without them either way)"
            % " and ".join(OLD_KERNEL_VARS)
        )
    print(
        "%smedians in ms; ratio: ours / next to, or ours / the goal's limit"
        % ("quick run (sizes / 10), " if quick else "")
    )
    print("  %-52s %9s  %-36s %9s %7s  %-16s %s" % ("what", "ours", "next to", "", "ratio", "goal", "met"))
    for what, value, peer_label, peer_ms, goal in rows:
        if peer_ms is None:  # an absolute limit in ms
            ratio, met, goal_text, peer_text, peer_num = value / goal, value <= goal, "<= %.1f ms" % goal, "-", ""
        else:
            ratio = value / peer_ms
            met, goal_text, peer_text, peer_num = ratio <= goal, "<= %.1fx" % goal, peer_label, "%9.3f" % peer_ms
        print(
            "  %-52s %9.3f  %-36s %9s %6.2fx  %-16s %s"
            % (what, value, peer_text, peer_num, ratio, goal_text, "yes" if met else "no")
        )


if __name__ == "__main__":
    main()
