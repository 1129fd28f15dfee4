"""Soak: N threads calling with mixed values for a fixed time, on a launched
and on a shared engine.  Prints calls/s, p50/p99 latency and what the client
and the engine grew by in RSS, descriptors and threads between the end of a
2-second warm-up and the end of the run (all of it should stay near zero).

    .venv/bin/python bench/bench_soak.py [--threads 8] [--seconds 20]
"""

import argparse
import gc
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import uuid

import veldra
import veldra.engine as ve
from veldra.engine.__main__ import engine_executable


def usage(pid):
    """(RSS in MiB, open descriptors, threads) of a process."""
    rss = threads = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1]) / 1024.0
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return rss, len(os.listdir("/proc/%d/fd" % pid)), threads


# One mixed call each: small and large values, containers, objects, failures
# and cancellations, as a busy client makes them.
LARGE = veldra.double([float(i) for i in range(100_000)])  # 800 kB: shared memory


def mixed(eng, k):
    kind = k % 10
    if kind == 0:
        return eng.sqrt(float(k))
    if kind == 1:
        return eng.identity("text %d \u00e9" % k)
    if kind == 2:
        return eng.identity([1.0, "a", {"x": [k, 2.5]}, (True, b"xy")])
    if kind == 3:
        return eng.identity(LARGE)
    if kind == 4:
        m = eng.map_new()
        eng.map_set(m, "k", veldra.double([[1, 2], [3, 4]]))
        return eng.map_get(m, "k")
    if kind == 5:
        try:
            eng.fail("expected")
        except ve.VeldraExecutionError:
            return None
    if kind == 6:
        f = eng.submit("sleep", 5)
        f.cancel()
        return None
    if kind == 7:
        return eng.identity(veldra.single(size=(3, 4), is_complex=True))
    if kind == 8:
        return eng.submit("identity", k).result(30)
    eng.workspace["soak%d" % (k % 4)] = float(k)
    return eng.workspace["soak%d" % (k % 4)]


def run(eng, engine_pid, threads, seconds):
    warm_until = time.monotonic() + 2.0
    latencies = [[] for _ in range(threads)]
    stop = threading.Event()
    errors = []

    def worker(i):
        k = i
        try:
            while not stop.is_set():
                t0 = time.perf_counter()
                mixed(eng, k)
                if time.monotonic() > warm_until:
                    latencies[i].append(time.perf_counter() - t0)
                k += threads
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)
            stop.set()

    pool = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    time.sleep(max(0.0, warm_until - time.monotonic()))
    gc.collect()
    rss, fds, thr = usage(os.getpid())
    before = (rss, fds, thr - threads), usage(engine_pid)  # the workers end before `after`
    t_start = time.monotonic()
    time.sleep(seconds)
    stop.set()
    for t in pool:
        t.join()
    elapsed = time.monotonic() - t_start
    eng.identity(1.0)  # gives back the references of the last objects
    gc.collect()
    after = usage(os.getpid()), usage(engine_pid)
    if errors:
        raise errors[0]
    all_ = sorted(x for per in latencies for x in per)
    return {
        "calls": len(all_),
        "rate": len(all_) / elapsed,
        "p50": statistics.median(all_) * 1e6,
        "p99": all_[int(len(all_) * 0.99)] * 1e6,
        "client": [a - b for a, b in zip(after[0], before[0])],
        "engine": [a - b for a, b in zip(after[1], before[1])],
        "objects": eng.object_count(),
    }


def children():
    return {int(p) for p in os.listdir("/proc") if p.isdigit() and _parent(p) == os.getpid()}


def _parent(pid):
    try:
        with open("/proc/%s/stat" % pid) as f:
            return int(f.read().rsplit(")", 1)[1].split()[1])
    except OSError:
        return None


def report(label, r):
    print(
        "%-9s %8d calls %8.0f calls/s  p50 %7.1f us  p99 %8.1f us  live objects %d"
        % (label, r["calls"], r["rate"], r["p50"], r["p99"], r["objects"])
    )
    for side in ("client", "engine"):
        rss, fds, thr = r[side]
        print("%-9s   %s growth: RSS %+.1f MiB, descriptors %+d, threads %+d" % ("", side, rss, fds, thr))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--threads", type=int, default=8)
    p.add_argument("--seconds", type=float, default=20.0)
    args = p.parse_args()
    print("soak: %d threads x mixed calls for %.0f s per engine (limit: no growth)" % (args.threads, args.seconds))

    before = children()
    with ve.start() as eng:
        (pid,) = children() - before
        report("launched", run(eng, pid, args.threads, args.seconds))

    with tempfile.TemporaryDirectory() as runtime:
        os.environ["XDG_RUNTIME_DIR"] = runtime
        name = "soak" + uuid.uuid4().hex[:8]
        proc = subprocess.Popen([engine_executable(), "--share", name], stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 30
            while name not in ve.find_shared() and time.monotonic() < deadline:
                time.sleep(0.05)
            with ve.connect(name) as eng:
                report("shared", run(eng, proc.pid, args.threads, args.seconds))
        finally:
            proc.terminate()
            proc.wait(10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
