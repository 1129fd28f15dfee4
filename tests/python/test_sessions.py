"""Engine sessions through the module functions: launch, attach, find, close."""

import os
import signal
import stat
import subprocess
import sys
import threading
import time
import uuid

import pytest

import veldra.engine
from conftest import alive, children_of

MAX_HANDLE = 2**64 - 1


@pytest.fixture(scope="module")
def m(native):
    native.createProcess()
    yield native


@pytest.fixture(scope="module")
def engine_binary(native):
    path = os.path.join(os.path.dirname(native.__file__), "bin", "veldra-engine")
    assert os.access(path, os.X_OK), path
    return path


def launch(m, options=()):
    h = m.createVELDRAAsync(list(options))
    assert isinstance(h, int) and 0 < h <= MAX_HANDLE
    return h


def wait_until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return False


@pytest.fixture()
def shared_engine(engine_binary, runtime_dir, m):
    """An engine started by hand as a shared session; yields (name, process)."""
    name = "t" + uuid.uuid4().hex[:12]
    proc = subprocess.Popen([engine_binary, "--share", name], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert wait_until(lambda: name in m.findVELDRA()), proc.stderr.read1(4096) if proc.poll() is not None else ""
    yield name, proc
    if proc.poll() is None:
        proc.terminate()
        proc.wait(10)


def test_launch_wait_and_close(m):
    before = set(children_of(os.getpid()))
    h = launch(m)
    assert m.waitForVELDRA(h, -1) is True
    assert m.isDoneVELDRA(h) is True
    e = m.getVELDRA(h)
    assert isinstance(e, int) and e != h
    (pid,) = set(children_of(os.getpid())) - before
    assert alive(pid)
    m.closeVELDRA(e)
    # Stopped and reaped: no zombie left.
    assert not os.path.exists("/proc/%d" % pid)
    m.destroyVELDRA(e)
    m.destroyVELDRA(h)


def test_wait_accepts_an_integer_time_out_and_polls(m):
    h = launch(m)
    assert m.waitForVELDRA(h, 0) in (True, False)
    assert m.waitForVELDRA(h, 5) is True
    m.closeVELDRA(m.getVELDRA(h))


@pytest.mark.parametrize(
    "option, named",
    [
        ("--no-such-option", "--no-such-option"),
        ("--threads=abc", "--threads"),
        ("--threads=0", "--threads"),
        ("--share=bad name!", "--share"),
    ],
)
def test_bad_startup_options_fail_the_launch(m, option, named):
    h = launch(m, [option])
    with pytest.raises(veldra.engine.EngineError) as e:
        m.getVELDRA(h)
    assert named in str(e.value)


def test_cancel_a_pending_launch(m):
    h = launch(m)
    m.cancelVELDRA(h)
    assert m.waitForVELDRA(h, 10) is True
    with pytest.raises(veldra.engine.EngineError):
        m.getVELDRA(h)
    m.destroyVELDRA(h)


@pytest.mark.parametrize(
    "call, args, error, key",
    [
        ("createVELDRAAsync", (), TypeError, "StartupOptionShouldBePO"),
        ("createVELDRAAsync", ([], []), TypeError, "StartupOptionShouldBePO"),
        ("createVELDRAAsync", (("a",),), TypeError, "StartupOptionShouldBeLS"),
        ("createVELDRAAsync", ("--threads=1",), TypeError, "StartupOptionShouldBeLS"),
        ("createVELDRAAsync", (["a", 1],), TypeError, "StartupOptionShouldBeStr"),
        ("createVELDRAAsync", ([b"a"],), TypeError, "StartupOptionShouldBeStr"),
        ("closeVELDRA", ("x",), TypeError, "HandleToVeldraShouldBeLI"),
        ("closeVELDRA", (1.0,), TypeError, "HandleToVeldraShouldBeLI"),
        ("closeVELDRA", (), TypeError, "HandleToVeldraShouldBeLI"),
    ],
)
def test_argument_errors(m, catalog_text, call, args, error, key):
    with pytest.raises(error) as e:
        getattr(m, call)(*args)
    assert str(e.value) == catalog_text("VELDRA:PythonEngine", key)


@pytest.mark.parametrize(
    "call, args",
    [
        ("getVELDRA", ("x",)),
        ("isDoneVELDRA", (1.5,)),
        ("waitForVELDRA", (1, "x")),
        ("waitForVELDRA", (1,)),
        ("cancelVELDRA", (None,)),
        ("destroyVELDRA", ()),
        ("attachVELDRAAsync", (5,)),
        ("attachVELDRAAsync", ()),
    ],
)
def test_interpreter_parses_the_other_arguments(m, catalog_text, call, args):
    with pytest.raises(TypeError) as e:
        getattr(m, call)(*args)
    texts = {catalog_text("VELDRA:PythonEngine", k) for k in ("HandleToVeldraShouldBeLI", "StartupOptionShouldBePO")}
    assert str(e.value) not in texts


@pytest.mark.parametrize(
    "call, args, error",
    [
        ("getVELDRA", (987654321,), veldra.engine.EngineError),
        ("getVELDRA", (-1,), veldra.engine.EngineError),  # taken as 2**64 - 1
        ("isDoneVELDRA", (987654321,), veldra.engine.EngineError),
        ("waitForVELDRA", (987654321, 0.0), veldra.engine.EngineError),
        ("cancelVELDRA", (987654321,), veldra.engine.EngineError),
        ("destroyVELDRA", (987654321,), veldra.engine.EngineError),
        ("closeVELDRA", (987654321,), SystemError),
        ("closeVELDRA", (-1,), SystemError),
    ],
)
def test_unknown_handles(m, call, args, error):
    with pytest.raises(error):
        getattr(m, call)(*args)


def test_find_returns_a_tuple(m, runtime_dir):
    assert m.findVELDRA() == ()
    assert m.findVELDRA("ignored", 1) == ()


def test_shared_session_found_attached_and_detached(m, shared_engine, runtime_dir):
    name, proc = shared_engine
    sockets = [p for p in runtime_dir.rglob("*") if stat.S_ISSOCK(p.lstat().st_mode)]
    assert len(sockets) == 1 and name in sockets[0].name
    assert stat.S_IMODE(sockets[0].parent.stat().st_mode) == 0o700
    assert stat.S_IMODE(sockets[0].lstat().st_mode) == 0o600
    assert name in m.findVELDRA()

    engines = [m.getVELDRA(m.attachVELDRAAsync(name)) for _ in range(2)]
    assert len(set(engines)) == 2
    for e in engines:
        m.closeVELDRA(e)
    # Closing an attachment only detaches.
    time.sleep(0.1)
    assert proc.poll() is None
    assert name in m.findVELDRA()


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_shared_engine_stops_cleanly(m, shared_engine, runtime_dir, sig):
    name, proc = shared_engine
    proc.send_signal(sig)
    assert proc.wait(10) == 0
    assert not [p for p in runtime_dir.rglob("*") if stat.S_ISSOCK(p.lstat().st_mode)]
    assert name not in m.findVELDRA()


def test_attach_to_a_missing_session(m, runtime_dir):
    h = m.attachVELDRAAsync("missingSession")
    with pytest.raises(veldra.engine.EngineError) as e:
        m.getVELDRA(h)
    # The name reaches the engine client without a byte-order mark.
    assert "missingSession" in str(e.value)
    assert "\ufeff" not in str(e.value)


@pytest.mark.parametrize("name", ["", "has space", "x" * 65, "a/b", "..", "caf\u00e9"])
def test_attach_refuses_bad_names(m, runtime_dir, name):
    with pytest.raises(veldra.engine.EngineError):
        m.getVELDRA(m.attachVELDRAAsync(name))


def test_concurrent_launches(m):
    results, errors = [], []

    def worker():
        try:
            h = launch(m)
            e = m.getVELDRA(h)
            results.append(e)
            m.closeVELDRA(e)
        except Exception as x:  # noqa: BLE001 - reported below
            errors.append(x)

    threads = [threading.Thread(target=worker) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors
    assert len(set(results)) == 6


KILLED_CLIENT = """
import os, sys, time, veldra.engine as e
m = e._native
m.createProcess()
m.getVELDRA(m.createVELDRAAsync([]))
print(os.getpid(), flush=True)
time.sleep(60)
"""


def test_killed_client_leaves_no_engine_behind():
    proc = subprocess.Popen([sys.executable, "-c", KILLED_CLIENT], stdout=subprocess.PIPE, text=True)
    try:
        pid = int(proc.stdout.readline())
        engines = children_of(pid)
        assert engines
        proc.kill()
        proc.wait(10)
        assert wait_until(lambda: not any(alive(p) for p in engines), timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()


def test_close_process_then_start_again(m):
    m.closeProcess()
    m.createProcess()
    e = m.getVELDRA(launch(m))
    m.closeVELDRA(e)
