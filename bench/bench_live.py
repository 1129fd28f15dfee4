"""Text of a running call: how soon it reaches the stream, what a printing
quick call costs, and how a function printing in a tight loop is carried.

    .venv/bin/python bench/bench_live.py [runs]

Builds tests/python/plugins/ticker.cpp (ticker(count, seconds) prints
numbered lines, waiting in between) and prints, measured in this one run:
the median time from submitting a call that prints at once to its first
line in the caller's stream, next to the goal of 50 ms; the median round
trip of a quick call that prints, next to one that does not; and for a
tight loop printing many lines, how many writes the stream got.
"""

import io
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import veldra.engine as ve
from timing import median_seconds

HERE = os.path.dirname(os.path.abspath(__file__))
TICKER = os.path.join(HERE, "..", "tests", "python", "plugins", "ticker.cpp")
GOAL_MS = 50.0


class FirstWrite(object):
    def __init__(self):
        self.writes = 0
        self.first = None
        self.seen = threading.Event()

    def write(self, text):
        if self.first is None:
            self.first = time.perf_counter()
            self.seen.set()
        self.writes += 1


def build_ticker(folder):
    compiler = shutil.which("c++") or shutil.which("g++")
    if not compiler:
        sys.exit("needs a C++ compiler for the ticker plug-in")
    library = os.path.join(folder, "libticker.so")
    subprocess.check_call(
        [compiler, "-std=c++17", "-shared", "-fPIC", "-O1", "-I", ve.get_include(), TICKER, "-o", library]
    )
    return library


def first_line_ms(eng):
    stream = FirstWrite()
    start = time.perf_counter()
    future = eng.submit("ticker", 1.0, 30.0, nout=0, stdout=stream, stderr=io.StringIO())

    def wait():
        try:
            future.exception()
        except ve.CancelledError:
            pass

    waiter = threading.Thread(target=wait)
    waiter.daemon = True
    waiter.start()
    stream.seen.wait(30)
    future.cancel()
    waiter.join(30)
    return (stream.first - start) * 1e3


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    with tempfile.TemporaryDirectory() as folder, ve.start(["--plugin", build_ticker(folder)]) as eng:
        latencies = sorted(first_line_ms(eng) for _ in range(runs))
        median = latencies[len(latencies) // 2]
        print(
            "first line in the stream: median %.1f ms over %d calls "
            "(goal %.0f ms: %.2fx of it)" % (median, runs, GOAL_MS, median / GOAL_MS)
        )

        sink = io.StringIO()
        for _ in range(200):
            eng.print("x", stdout=sink)
        printing = median_seconds(lambda: eng.print("x", stdout=sink), 2000) * 1e6
        plain = median_seconds(lambda: eng.identity(1.0), 2000) * 1e6
        print(
            "quick call that prints: median %.1f us; one that does not: "
            "%.1f us (%.2fx)" % (printing, plain, printing / plain)
        )

        lines = 200000
        stream = FirstWrite()
        t0 = time.perf_counter()
        eng.ticker(float(lines), 0.0, nout=0, stdout=stream, stderr=FirstWrite())
        took = time.perf_counter() - t0
        print(
            "tight loop of %d lines: %.2f s, %d writes to the stream "
            "(%.0f lines a write)" % (lines, took, stream.writes, lines / max(stream.writes, 1))
        )


if __name__ == "__main__":
    main()
