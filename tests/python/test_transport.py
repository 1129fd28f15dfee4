"""The connection under load and faults: many large blocks in one call,
clients that die or stop reading, a full descriptor table."""

import os
import socket
import struct
import subprocess
import sys
import time

import pytest

import veldra
import veldra.engine as ve
from conftest import run_python


@pytest.fixture(scope="module")
def eng():
    with ve.start() as engine:
        yield engine


@pytest.mark.parametrize("count", [17, 40])
def test_a_call_carries_any_number_of_large_blocks(eng, count):
    blocks = [veldra.double([float(i)] * 8192) for i in range(count)]
    back = eng.identity(blocks)
    assert len(back) == count and all(b == a for a, b in zip(blocks, back))
    assert eng.identity(*blocks, nout=count) == tuple(blocks)
    parts = eng.split(",".join(["a" * 33000] * count), ",")
    assert parts == ["a" * 33000] * count


# ---- shared engines and their clients ----------------------------------------


def rss(pid):
    with open("/proc/%d/status" % pid) as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:"))


def call_frame(request_id, doubles):
    """A Call frame of identity on a 1-column double array sent inline."""
    name = b"identity"
    data = bytes(8 * doubles)
    array = struct.pack("<BQQQB", 6, 2, doubles, 1, 0) + struct.pack("<BQ", 0, len(data)) + data
    payload = struct.pack("<I", len(name)) + name + struct.pack("<IBI", 1, 0, 1) + array
    return struct.pack("<HBBIQI", 0x5644, 1, 0, 100, request_id, len(payload)) + payload


def test_a_dead_clients_calls_stop_with_it(served):
    name, _ = served
    code = (
        "import time, veldra.engine as ve\n"
        "e = ve.connect(%r)\n"
        "calls = [e.submit('sleep', 30) for _ in range(3)]\n"
        "time.sleep(0.5)\n"
        "print('running', flush=True)\n"
        "time.sleep(120)\n" % name
    )
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "running"
    finally:
        child.kill()
        child.wait()
    with ve.connect(name) as other:
        # Not behind the dead client's sleeps: the running one is interrupted.
        assert other.submit("identity", 1.0).result(10) == 1.0


def test_a_peer_that_stops_reading_stalls_nobody(served, runtime_dir):
    name, proc = served
    peer = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    peer.connect(os.path.join(str(runtime_dir), "veldra", name + ".sock"))
    before = rss(proc.pid)
    frame = call_frame(1, 7000)  # a 56 kB reply each, never read
    peer.settimeout(3)
    sent = 0
    try:
        for _ in range(4000):
            peer.sendall(frame)
            sent += 1
    except socket.timeout:
        pass
    try:
        with ve.connect(name) as other:
            assert other.submit("identity", 1.0).result(10) == 1.0
        assert sent < 4000, "the engine read everything the peer sent"
        # Reading it all would be 224 MB of arguments (the sanitizers keep
        # some freed memory, hence the margin).
        assert rss(proc.pid) - before < 128 << 20
    finally:
        peer.close()


def test_calls_are_served_in_turn_across_clients(served):
    name, _ = served
    with ve.connect(name) as busy, ve.connect(name) as other:
        backlog = [busy.submit("sleep", 0.1) for _ in range(50)]
        time.sleep(0.3)
        t0 = time.monotonic()
        assert other.submit("identity", 1.0).result(30) == 1.0
        # In turn, it waits for one sleep; first come first served, for 50.
        assert time.monotonic() - t0 < 2.5
        for f in backlog:
            f.cancel()


# ---- descriptors ---------------------------------------------------------------


def test_descriptor_limits_are_the_hosts_and_a_full_table_fails_one_call():
    out = run_python(r"""
import os, resource, veldra.engine as ve
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
limit = min(hard, 512)
resource.setrlimit(resource.RLIMIT_NOFILE, (limit - 1, hard))
with ve.start() as eng:
    eng.tile(1.0, 1, 40000)
    # The error classes met once now, while the sanitizers' type check can
    # still open what it needs (a pipe); a full table would fail it.
    for failing in (lambda: eng.identity(object()), lambda: ve._native.closeVELDRA(987654321)):
        try:
            failing()
        except (TypeError, SystemError):
            pass
    print("limit", resource.getrlimit(resource.RLIMIT_NOFILE)[0] == limit - 1)
    filler = []
    try:
        while True:
            filler.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        pass
    try:
        eng.tile(1.0, 1, 40000)
        print("full", "no error")
    except Exception as e:
        print("full", type(e).__name__, e)
    for fd in filler:
        os.close(fd)
    print("after", eng.tile(1.0, 1, 40000).size)
""")
    assert out.returncode == 0, out.stderr
    lines = dict(line.split(" ", 1) for line in out.stdout.splitlines())
    assert lines["limit"] == "True"
    assert lines["full"] != "no error"
    assert lines["after"] == "(1, 40000)"


def test_holding_many_large_results_keeps_the_descriptor_table_free():
    # Each large result is a mapping of its own; were its descriptor kept
    # too, a few hundred held results would fill a 256-entry table.
    out = run_python(r"""
import os, resource, veldra.engine as ve
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
with ve.start() as eng:
    held = [eng.tile(float(i), 1, 10000) for i in range(600)]
    print("fds", len(os.listdir("/proc/self/fd")))
    print("values", all(h[0, 9999] == i for i, h in enumerate(held)))
    # Back to the engine: early ones kept their descriptor, later ones not.
    print("sums", eng.sum(held[1], 2), eng.sum(held[599], 2))
""")
    assert out.returncode == 0, out.stderr
    lines = dict(line.split(" ", 1) for line in out.stdout.splitlines())
    assert int(lines["fds"]) < 128
    assert lines["values"] == "True"
    assert lines["sums"] == "10000.0 5990000.0"


def test_a_block_larger_than_the_machine_is_refused_and_the_engine_goes_on(eng):
    # 8 TB: a memory file that size would be made at once, and the writes
    # of the next call on it would bring the out-of-memory killer.
    with pytest.raises(ve.VeldraExecutionError, match="Out of memory"):
        eng.zeros(2**20, 2**20)
    assert eng.identity(1.0) == 1.0
