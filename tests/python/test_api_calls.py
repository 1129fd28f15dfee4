"""Engine functions as methods, call futures, streams, threads, asyncio and
the workspace, against a running engine."""

import asyncio
import concurrent.futures
import gc
import io
import os
import signal
import sys
import threading
import time

import pytest

import veldra
import veldra.engine as ve
from veldra.engine import _calls
from conftest import alive, children_of


@pytest.fixture(scope="module")
def eng():
    with ve.start() as engine:
        yield engine


# ---- calls ------------------------------------------------------------------


def test_tour(eng):
    assert eng.sqrt(4.0) == 2.0
    assert eng.call("identity", "text") == "text"
    a = veldra.double([[1, 2], [3, 4]])
    q, r = eng.qr(a, nout=2)
    assert q.size == r.size == (2, 2)
    assert eng.identity(1.0, nout=0) is None
    assert eng.identity(1.0, 2.0, nout=2) == (1.0, 2.0)
    f = eng.submit("sleep", 5)
    assert f.cancel() and f.cancelled()
    buf = io.StringIO()
    eng.print("hi", stdout=buf)
    assert buf.getvalue() == "hi\n"
    eng.workspace["x"] = a
    assert eng.workspace["x"] == a


@pytest.mark.parametrize(
    "name, args, error, text",
    [
        ("fail", ("custom failure",), ve.VeldraExecutionError, "custom failure"),
        ("no_such_function", (), ve.VeldraExecutionError, "no_such_function"),
        ("calc", ("1 + * 2",), SyntaxError, None),
        ("identity", (object(),), TypeError, None),
        ("identity", (None,), TypeError, None),
    ],
)
def test_errors_and_their_classes(eng, name, args, error, text):
    with pytest.raises(error) as e:
        eng.call(name, *args)
    if text:
        assert text in str(e.value)
    assert eng.identity(3.0) == 3.0  # the engine goes on


def test_errors_pickle_with_their_details(eng):
    import pickle

    with pytest.raises(ve.VeldraExecutionError) as e:
        eng.fail("it broke", "veldra:test:broke")
    assert e.value.identifier == "veldra:test:broke" and str(e.value) == "it broke"
    assert ve.VeldraExecutionError("x").identifier is None
    slow = eng.submit("sleep", 5)
    with pytest.raises(ve.TimeoutError) as timeout:
        slow.result(0.01)
    slow.cancel()
    with pytest.raises(ve.CancelledError) as cancelled:
        slow.result()
    for err in (e.value, timeout.value, cancelled.value, ve.EngineError("gone")):
        for protocol in (2, pickle.HIGHEST_PROTOCOL):
            clone = pickle.loads(pickle.dumps(err, protocol))
            assert type(clone) is type(err) and clone.args == err.args
            assert clone.__dict__ == err.__dict__


class Collector:
    """A stream that is no io.StringIO: just something with write()."""

    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text)
        return len(text)

    def getvalue(self):
        return "".join(self.parts)


class SubStringIO(io.StringIO):
    pass


def text_wrapper():
    stream = io.TextIOWrapper(io.BytesIO(), encoding="utf-8", write_through=True)
    stream.getvalue = lambda: stream.buffer.getvalue().decode("utf-8")
    return stream


STREAMS = [io.StringIO, SubStringIO, Collector, text_wrapper]


@pytest.mark.parametrize("make", STREAMS)
@pytest.mark.parametrize("text", ["plain", "caf\u00e9 \U0001f600", "", "\ufeffmarked", "\ufffeswapped"])
def test_output_reaches_any_stream(eng, make, text):
    out, err = make(), make()
    eng.print(text, stdout=out, stderr=err)
    eng.warn(text, stdout=out, stderr=err)
    assert out.getvalue() == text + "\n" and err.getvalue() == text + "\n"


@pytest.mark.parametrize("make", STREAMS)
def test_output_of_a_failing_call_still_arrives(eng, make):
    out = make()
    with pytest.raises(ve.VeldraExecutionError):
        eng.print_fail("partial", "it broke", stdout=out, stderr=None)
    assert out.getvalue() == "partial\n"


def test_default_streams_are_read_at_call_time(eng, monkeypatch):
    out, err = Collector(), Collector()
    monkeypatch.setattr(sys, "stdout", out)
    monkeypatch.setattr(sys, "stderr", err)
    eng.print("to stdout")
    eng.warn("to stderr")
    eng.print("nowhere", stdout=None)
    assert out.getvalue() == "to stdout\n" and err.getvalue() == "to stderr\n"


def test_a_failing_stream_fails_the_call(eng):
    class Broken:
        def write(self, text):
            raise RuntimeError("cannot write")

    with pytest.raises(RuntimeError):
        eng.print("x", stdout=Broken())


# ---- futures ----------------------------------------------------------------


def test_submit_returns_at_once(eng):
    t0 = time.monotonic()
    f = eng.submit("sleep", 0.5)
    assert time.monotonic() - t0 < 0.3
    assert isinstance(f, concurrent.futures.Future)
    assert not f.done() and f.running()
    assert f.result(timeout=30) is None
    assert f.done() and not f.running() and not f.cancelled()
    assert f.exception() is None and f.result() is None


def test_time_out_then_collect(eng):
    f = eng.submit("sleep", 0.5)
    for error in (TimeoutError, ve.TimeoutError, concurrent.futures.TimeoutError):
        with pytest.raises(error):
            f.result(timeout=0.01)
    with pytest.raises(TimeoutError):
        f.exception(timeout=0)
    assert f.result(timeout=30) is None


def test_cancel(eng):
    f = eng.submit("sleep", 30)
    time.sleep(0.05)
    assert f.cancel() is True and f.cancelled() and f.done()
    for error in (ve.CancelledError, concurrent.futures.CancelledError):
        with pytest.raises(error):
            f.result()
    with pytest.raises(ve.CancelledError):
        f.exception()
    assert f.cancel() is True
    done = eng.submit("identity", 1.0)
    assert done.result() == 1.0 and done.cancel() is False and not done.cancelled()


def test_failed_future_and_its_output(eng):
    out = Collector()
    f = eng.submit("print_fail", "before", "bad", stdout=out)
    assert isinstance(f.exception(timeout=30), ve.VeldraExecutionError)
    with pytest.raises(ve.VeldraExecutionError):
        f.result()
    assert out.getvalue() == "before\n"


def test_results_collected_once_from_many_threads(eng):
    f = eng.submit("identity", 42.0)
    results = []
    threads = [threading.Thread(target=lambda: results.append(f.result(30))) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert results == [42.0] * 8


def test_done_callbacks(eng):
    called = []
    seen = threading.Event()

    def callback(fut):
        called.append((fut, threading.current_thread() is threading.main_thread()))
        seen.set()

    f = eng.submit("sleep", 0.2)
    f.add_done_callback(callback)
    assert seen.wait(30)  # nobody asked for the result: the waiter did
    assert called == [(f, False)]
    f.add_done_callback(callback)  # already done: runs at once, here
    assert called[-1] == (f, True) and len(called) == 2

    cancelled = eng.submit("sleep", 30)
    got = []
    cancelled.add_done_callback(lambda fut: got.append(fut.cancelled()))
    cancelled.cancel()
    assert got == [True]


def test_callbacks_do_not_wait_for_later_calls(eng):
    order = []
    slow = eng.submit("sleep", 0.5)
    fast = eng.submit("identity", 1.0)
    ev = threading.Event()
    # Watched in the reverse order of submission.
    slow.add_done_callback(lambda f: order.append("slow"))
    fast.add_done_callback(lambda f: (order.append("fast"), ev.set()))
    slow.result(30)
    assert ev.wait(30) and set(order) == {"slow", "fast"}


def test_wait_and_as_completed(eng):
    fs = [eng.submit("identity", float(i)) for i in range(5)] + [eng.submit("sleep", 0.1)]
    done, not_done = concurrent.futures.wait(fs, timeout=30)
    assert not not_done and set(done) == set(fs)
    fs = [eng.submit("identity", float(i)) for i in range(5)]
    got = sorted(f.result() for f in concurrent.futures.as_completed(fs, timeout=30))
    assert got == [0.0, 1.0, 2.0, 3.0, 4.0]
    quick = eng.submit("identity", 1.0)
    slow = eng.submit("sleep", 30)
    cancelled = eng.submit("identity", 2.0)  # queued behind the sleep
    cancelled.cancel()
    done, not_done = concurrent.futures.wait(
        [slow, quick, cancelled], timeout=0.5, return_when=concurrent.futures.ALL_COMPLETED
    )
    assert not_done == {slow} and quick in done and cancelled in done
    slow.cancel()


def test_future_output_goes_to_the_streams_of_submit(eng, monkeypatch):
    out = Collector()
    monkeypatch.setattr(sys, "stdout", out)
    f = eng.submit("print", "later")
    monkeypatch.setattr(sys, "stdout", Collector())
    f.result(30)
    assert out.getvalue() == "later\n"


# ---- release of calls -------------------------------------------------------


@pytest.fixture()
def releases(monkeypatch):
    """The future handles released through the API, in order."""
    seen = []
    real = _calls._destroy

    def destroy(handles):
        seen.append(handles[0])
        return real(handles)

    monkeypatch.setattr(_calls, "_destroy", destroy)
    return seen


def test_every_call_is_released_exactly_once(eng, releases):
    eng.identity(1.0)
    with pytest.raises(ve.VeldraExecutionError):
        eng.fail("x")
    collected = eng.submit("identity", 2.0)
    collected.result()
    collected.result()
    cancelled = eng.submit("sleep", 30)
    cancelled.cancel()
    cancelled.cancel()
    dropped = eng.submit("identity", 3.0)
    handle = dropped._handles[0]
    del dropped
    gc.collect()
    assert len(releases) == 5 and len(set(releases)) == 5
    assert handle in releases
    assert collected._handles[0] in releases and cancelled._handles[0] in releases


def test_a_dropped_running_call_is_cancelled(eng):
    f = eng.submit("sleep", 60)
    time.sleep(0.05)
    del f
    gc.collect()
    t0 = time.monotonic()
    assert eng.identity(1.0) == 1.0
    assert time.monotonic() - t0 < 10


def test_close_releases_pending_calls_and_nothing_after(releases):
    engine = ve.start()
    f = engine.submit("sleep", 30)
    g = engine.submit("identity", 1.0)
    engine.close()
    assert sorted(releases) == sorted([f._handles[0], g._handles[0]])
    for fut in (f, g):
        with pytest.raises(ve.EngineError):
            fut.result(10)
    del f, g
    gc.collect()
    assert len(releases) == 2


# ---- threads and asyncio ----------------------------------------------------


def test_one_engine_many_threads(eng):
    errors = []

    def worker(i):
        try:
            for j in range(25):
                assert eng.identity(float(i * 100 + j)) == float(i * 100 + j)
            out = Collector()
            eng.print("thread %d" % i, stdout=out)
            assert out.getvalue() == "thread %d\n" % i
            f = eng.submit("sleep", 30)
            assert f.cancel()
            g = eng.submit("identity", float(i))
            assert g.result(30) == float(i)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not errors


def test_asyncio(eng):
    async def main():
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                await asyncio.sleep(0.01)
                ticks += 1

        tick = asyncio.ensure_future(ticker())
        results = await asyncio.gather(
            eng.submit("sleep", 0.3), eng.submit("identity", 2.0), *(eng.submit("identity", float(i)) for i in range(5))
        )
        tick.cancel()
        assert results == [None, 2.0, 0.0, 1.0, 2.0, 3.0, 4.0]
        assert ticks >= 5  # the loop ran while the engine slept

        f = eng.submit("sleep", 30)
        task = asyncio.ensure_future(f)
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert f.cancelled()

        with pytest.raises(ve.VeldraExecutionError):
            await eng.submit("fail", "in a coroutine")
        launch = ve.start(wait=False)
        other = await launch
        assert await other.submit("identity", 5.0) == 5.0
        other.close()

    asyncio.run(main())


# ---- the workspace ------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        (1.5, 1.5),
        (7, 7),
        (-(2**63), -(2**63)),
        (True, True),
        (1 - 2j, 1 - 2j),
        ("caf\u00e9", "caf\u00e9"),
        ("", ""),
        (b"ab", veldra.uint8([[97], [98]])),
        (bytearray(b"ab"), veldra.uint8([[97, 98]])),
        ([1.0, "a", [2.0]], [1.0, "a", [2.0]]),
        ((1.0, 2.0), [1.0, 2.0]),
        ({"a": 1.0, "b": {"c": "x"}}, {"a": 1.0, "b": {"c": "x"}}),
        ({}, {}),
        (veldra.double([[1, 2], [3, 4]]), veldra.double([[1, 2], [3, 4]])),
        (veldra.single([[1j, 2]]), veldra.single([[1j, 2]])),
        (veldra.int8(size=(2, 3, 4)), veldra.int8(size=(2, 3, 4))),
        (veldra.uint32([[1, 2, 3]]), veldra.uint32([[1, 2, 3]])),
        (veldra.logical([[True, False]]), veldra.logical([[True, False]])),
        (veldra.logical([[True]]), True),
        (veldra.int64([[5]]), 5),
        (veldra.uint64([[2**64 - 1]]), 2**64 - 1),
        (veldra.double(size=(0, 0)), veldra.double(size=(0, 0))),
    ],
)
def test_workspace_round_trips(eng, value, expected):
    ws = eng.workspace
    ws["v"] = value
    got = ws["v"]
    assert got == expected and type(got) is type(expected)


def test_workspace_sets_and_refusals(eng):
    ws = eng.workspace
    ws["s"] = {1.0, 2.0}
    assert sorted(ws["s"]) == [1.0, 2.0]
    ws["big"] = veldra.int64([[1, 2]])
    with pytest.raises(TypeError):
        ws["big"]
    del ws["big"]


def test_workspace_objects(eng):
    table = eng.map_new()
    assert isinstance(table, veldra.object)
    ws = eng.workspace
    ws["table"] = table
    eng.map_set(ws["table"], "k", 2.5)  # the same engine object both ways
    assert eng.map_get(table, "k") == 2.5
    del ws["table"]


def test_workspace_mapping(eng):
    ws = eng.workspace
    ws.clear()
    assert len(ws) == 0 and list(ws) == [] and "a" not in ws
    ws["a"] = 1.0
    ws["b"] = "two"
    assert sorted(ws) == ["a", "b"] and len(ws) == 2 and "a" in ws
    assert dict(ws.items()) == {"a": 1.0, "b": "two"}
    assert ws.get("missing", 5) == 5
    with pytest.raises(KeyError):
        ws["missing"]
    with pytest.raises(KeyError):
        del ws["missing"]
    del ws["a"]
    assert "a" not in ws and list(ws) == ["b"]
    ws.update(c=3.0)
    assert ws.pop("c") == 3.0 and "c" not in ws


# ---- a dead engine ------------------------------------------------------------


def children():
    return {p for p in children_of(os.getpid()) if alive(p)}


def test_dead_engine():
    before = children()
    engine = ve.start()
    (pid,) = children() - before
    waiting = engine.submit("sleep", 30)
    watched = engine.submit("sleep", 30)
    got = []
    watched.add_done_callback(lambda f: got.append(type(f.exception())))
    time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)
    t0 = time.monotonic()
    # Both say how the engine ended.
    with pytest.raises(ve.EngineError, match="killed by signal 9"):
        waiting.result(30)
    with pytest.raises(ve.EngineError, match="killed by signal 9"):
        engine.identity(1.0)
    with pytest.raises(ve.EngineError):
        engine.submit("identity", 1.0).result(30)
    with pytest.raises(ve.EngineError):
        engine.workspace["x"] = 1.0
    assert time.monotonic() - t0 < 20
    for _ in range(200):
        if got:
            break
        time.sleep(0.05)
    assert got == [ve.EngineError]
    engine.close()
    engine.close()


def test_ctrl_c_cancels_the_call_it_interrupts(eng):
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    t0 = time.monotonic()
    with pytest.raises((KeyboardInterrupt, ve.InterruptedError)):
        eng.sleep(30)
    timer.join()
    assert eng.identity(1.0) == 1.0  # not queued behind the sleep
    assert time.monotonic() - t0 < 10


def test_ctrl_c_in_result_leaves_the_call_running(eng):
    f = eng.submit("sleep", 0.6)
    timer = threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        f.result()
    timer.join()
    assert not f.cancelled() and f.result(30) is None
