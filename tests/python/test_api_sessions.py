"""Starting, attaching to and closing engines through veldra.engine."""

import gc
import os
import subprocess
import sys
import threading
import time
import uuid

import pytest

import veldra.engine as ve
from conftest import alive, children_of, run_process, wait_for


def children():
    """Pids of this process's live child processes."""
    return {p for p in children_of(os.getpid()) if alive(p)}


def gone(pid, timeout=10.0):
    deadline = time.monotonic() + timeout
    while alive(pid):
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.02)
    return True


@pytest.mark.parametrize("options", ["", "--threads 2", " --threads  1 ", ["--threads", "2"], ("--threads=1",)])
def test_start_and_close(options):
    before = children()
    eng = ve.start(options)
    (pid,) = children() - before
    assert isinstance(eng, ve.Engine) and not eng.closed and eng.name is None
    eng.close()
    assert eng.closed and gone(pid)
    eng.close()  # closing again is fine


@pytest.mark.parametrize(
    "options, error",
    [
        ("--no-such-option", ve.EngineError),
        (["--threads", "0"], ve.EngineError),
        ([b"--threads"], TypeError),
        ([1], TypeError),
        (b"--threads 1", TypeError),
    ],
)
def test_bad_options(options, error):
    with pytest.raises(error):
        ve.start(options)


def test_context_manager_and_use_after_close():
    with ve.start() as eng:
        assert not eng.closed
    assert eng.closed
    for use in (
        lambda: eng.identity(1.0),
        lambda: eng.call("identity", 1.0),
        lambda: eng.submit("identity", 1.0),
        lambda: eng.workspace["x"],
        lambda: eng.workspace.__setitem__("x", 1.0),
        lambda: len(eng.workspace),
    ):
        with pytest.raises(ve.EngineError, match="closed"):
            use()
    with pytest.raises(ve.EngineError):
        with eng:
            pass


def test_engines_are_closed_when_dropped():
    before = children()
    eng = ve.start()
    (pid,) = children() - before
    del eng
    gc.collect()
    assert gone(pid)


def test_launch_future():
    launch = ve.start(wait=False)
    assert isinstance(launch, ve.LaunchFuture)
    eng = launch.result(timeout=30)
    assert launch.done() and not launch.cancelled() and launch.result() is eng
    assert launch.cancel() is False
    eng.close()


def test_cancelled_launch():
    before = children()
    launch = ve.start(wait=False)
    if not launch.cancel():
        pytest.skip("the engine was ready before the cancel")
    assert launch.cancelled() and launch.done()
    for error in (ve.CancelledError, __import__("concurrent.futures").futures.CancelledError):
        with pytest.raises(error):
            launch.result()
    assert all(gone(pid) for pid in children() - before)


def test_dropped_launch_stops_its_engine():
    before = children()
    launch = ve.start(wait=False)
    assert wait_for(lambda: children() - before)
    new = children() - before
    del launch
    gc.collect()
    assert all(gone(pid) for pid in new)


def test_engine_is_not_constructed_directly():
    with pytest.raises(TypeError):
        ve.Engine()


def test_private_names_are_not_engine_functions():
    with ve.start() as eng:
        for name in ("_x", "__array__", "__getstate__x"):
            assert not hasattr(eng, name)
        assert repr(eng.sqrt).startswith("<engine function sqrt")
        with pytest.raises(TypeError):
            eng.call(5)
        with pytest.raises(TypeError):
            eng.identity(1.0, stdout=5)


@pytest.mark.parametrize(
    "key, error",
    [
        ("1abc", KeyError),
        ("", KeyError),
        ("a b", KeyError),
        ("x" * 64, KeyError),
        (5, KeyError),
        (None, KeyError),
    ],
)
def test_bad_workspace_names_never_reach_the_engine(key, error):
    # A closed engine raises EngineError on any engine call: the name check
    # must come first.
    eng = ve.start()
    eng.close()
    ws = eng.workspace
    with pytest.raises(error):
        ws[key]
    with pytest.raises(error):
        del ws[key]
    with pytest.raises(ValueError):
        ws[key] = 1.0
    assert (key in ws) is False


def test_find_and_connect_without_sessions(runtime_dir):
    assert ve.find_shared() == ()
    with pytest.raises(ve.EngineError, match="serve"):
        ve.connect()
    with pytest.raises(ve.EngineError):
        ve.connect("missing" + uuid.uuid4().hex[:6])
    with pytest.raises(TypeError):
        ve.connect(5)
    out = run_process([sys.executable, "-m", "veldra.engine", "list"], timeout=60)
    assert out.returncode == 0 and out.stdout == ""


def test_serve_list_and_connect(served):
    name, proc = served
    assert name in ve.find_shared() and isinstance(ve.find_shared(), tuple)
    listed = run_process([sys.executable, "-m", "veldra.engine", "list"], timeout=60)
    assert name in listed.stdout.split()
    first = ve.connect(name)
    second = ve.connect()  # the first session listed: the only one
    assert first.name == second.name == name
    launch = ve.connect(name, wait=False)
    third = launch.result(30)
    for eng in (first, second, third):
        eng.close()
    time.sleep(0.1)
    assert proc.poll() is None and name in ve.find_shared()  # closing detaches
    proc.terminate()
    assert proc.wait(10) == 0


def test_detaching_cancels_pending_calls_in_the_shared_engine(served):
    name, _ = served
    first = ve.connect(name)
    pending = first.submit("sleep", 60)
    time.sleep(0.1)
    first.close()
    with pytest.raises(ve.EngineError):
        pending.result(10)
    with ve.connect(name) as second:
        t0 = time.monotonic()
        assert second.identity(1.0) == 1.0  # not queued behind the sleep
        assert time.monotonic() - t0 < 15


def test_a_client_that_goes_gives_back_its_objects(served):
    name, _ = served
    with ve.connect(name) as watcher:
        base = watcher.object_count()
        # Killed while holding references: it never gives them back itself.
        code = (
            "import os, veldra.engine as ve\n"
            "e = ve.connect(%r)\n"
            "kept = [e.map_new() for _ in range(5)]\n"
            "e.workspace['kept'] = kept[0]\n"
            "print(int(e.object_count()), flush=True)\n"
            "os._exit(0)\n" % name
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert out.stdout.split() == [str(int(base) + 5)], out.stderr
        assert wait_for(lambda: watcher.object_count() == base + 1)  # the variable keeps one
        del watcher.workspace["kept"]
        assert watcher.object_count() == base


@pytest.mark.parametrize("argv", [["serve"], ["serve", "bad name!"], ["serve", "x", "--threads", "0"], ["nothing"]])
def test_serve_refuses_bad_arguments(argv, runtime_dir):
    out = run_process([sys.executable, "-m", "veldra.engine"] + argv, timeout=60)
    assert out.returncode != 0 and out.stderr


EXITING_CLIENT = """
import os, veldra.engine as ve

def children():
    kids = []
    for p in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % p) as f:
                if f.read().rsplit(")", 1)[1].split()[1] == str(os.getpid()):
                    kids.append(p)
        except (OSError, IndexError):
            pass
    return kids

eng = ve.start()
print(" ".join(children()), flush=True)
"""


def test_open_engines_are_closed_at_exit():
    out = run_process([sys.executable, "-c", EXITING_CLIENT], timeout=60)
    assert out.returncode == 0, out.stderr
    pids = [int(p) for p in out.stdout.split()]
    assert pids
    assert all(gone(pid) for pid in pids)


def test_a_map_in_a_shared_engine_lets_other_clients_in(served):
    # A map's calls go as one batch; the engine runs it in turns, so another
    # client's call waits for a turn, not for the whole batch.
    name, _ = served
    with ve.connect(name) as first, ve.connect(name) as second:
        done = []
        mapper = threading.Thread(target=lambda: done.append(first.sleep.map([0.01] * 300)))
        mapper.start()
        time.sleep(0.3)
        t0 = time.monotonic()
        assert second.identity(1.0) == 1.0
        waited = time.monotonic() - t0
        mapper.join(60)
        assert done == [[None] * 300]
        assert waited < 1.0  # the whole batch takes 3 s
