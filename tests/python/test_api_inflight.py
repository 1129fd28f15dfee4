"""Futures once their call has finished, and many calls in flight on one
engine: in batches, from many threads, awaited together, in one step."""

import asyncio
import concurrent.futures
import gc
import io
import os
import signal
import threading
import time
import weakref

import pytest

import veldra
import veldra.engine as ve
from veldra.engine import _native
from veldra.engine._calls import _MAP_STEP
from conftest import wait_for


@pytest.fixture(scope="module")
def eng():
    with ve.start() as engine:
        yield engine


def finished(future):
    """The future of a call the engine has answered, before anyone read it."""
    assert _native.waitForFEval(future._handles, 30)
    return future


# ---- a finished call is settled for whatever looks -------------------------


def _wait(f):
    return concurrent.futures.wait([f], timeout=0)


def _as_completed(f):
    return list(concurrent.futures.as_completed([f], timeout=0))


@pytest.mark.parametrize(
    "look", [repr, lambda f: f.done(), _wait, _as_completed, lambda f: f.add_done_callback(lambda _: None)]
)
def test_a_finished_call_is_settled_for_everything_that_reads_it(eng, look):
    f = finished(eng.submit("identity", 1.0))
    look(f)
    ran = []
    f.add_done_callback(lambda g: ran.append(threading.current_thread()))
    assert ran == [threading.current_thread()]  # at once, in this thread
    assert _wait(f)[0] == {f} and _as_completed(f) == [f]
    assert "state=finished returned float" in repr(f)


def test_the_futures_set_up_what_the_base_future_has(eng):
    # A call future builds the base's state itself; a Python that adds to it
    # has to be followed here.
    f = eng.submit("identity", 1.0)
    assert set(vars(concurrent.futures.Future())) <= set(dir(f))
    assert f.result(30) == 1.0


def test_the_state_holds_still_while_the_lock_is_held(eng):
    # wait() and as_completed() read the state of each future more than once
    # under its lock; a call that finishes meanwhile must not be settled in
    # between, or wait() gives it as neither done nor pending.
    f = eng.submit("sleep", 0.05)
    with f._condition:
        before = f._state
        finished(f)
        assert f._state == before == "PENDING"
    assert f.done() and f._state == "FINISHED"
    fs = [eng.submit("identity", float(i)) for i in range(50)]
    done, not_done = concurrent.futures.wait(fs, timeout=30)
    assert not not_done and done == set(fs)


@pytest.mark.parametrize(
    "call, state",
    [
        (("identity", 1.0), "state=finished returned float"),
        (("fail", "x"), "state=finished raised VeldraExecutionError"),
        (("sleep", 30), "state=cancelled"),
        (("sleep", 30), "state=pending"),
    ],
)
def test_reprs(eng, call, state):
    f = eng.submit(*call)
    if state == "state=cancelled":
        f.cancel()
    elif state != "state=pending":
        finished(f)
    assert repr(f).endswith(state + ">")
    f.cancel()


def test_the_waiter_keeps_no_engine_alive():
    engine = ve.start()
    got = threading.Event()
    f = engine.submit("sleep", 0.2)
    f.add_done_callback(lambda _: got.set())  # settled on the waiter thread
    assert got.wait(30)
    ref = weakref.ref(engine)
    session = engine._session
    del engine, f
    gc.collect()
    assert ref() is None and session.closed


def test_a_cancel_reaches_a_running_call_behind_queued_ones(eng):
    # The sleep runs on the engine's connection reader; the calls sent
    # after it fill the socket ahead of the Cancel.
    f = eng.submit("sleep", 5)
    time.sleep(0.1)
    fs = [eng.submit("identity", float(i)) for i in range(1000)]
    t0 = time.monotonic()
    assert f.cancel()
    assert fs[-1].result(30) == 999.0
    assert time.monotonic() - t0 < 2.5


# ---- many calls in flight -----------------------------------------------------


def test_map(eng):
    f = eng.identity
    assert f.map([]) == []
    assert f.map([float(i) for i in range(5000)]) == [float(i) for i in range(5000)]
    assert [repr(r) for r in eng.hcat.map([1.0, 2.0], (10.0, 20.0, 30.0))] == [
        "veldra.double([[ 1.0, 10.0]])",
        "veldra.double([[ 2.0, 20.0]])",
    ]
    ((ordered, where),) = eng.sort.map([veldra.double([3.0, 1.0])], nout=2)
    assert repr(where) == "veldra.double([[2.0, 1.0]])"
    assert eng.identity.map([1.0], nout=0) == [None]
    # A view goes as a typed array of its own, also among other values.
    m = veldra.double([[1.0, 2.0], [3.0, 4.0]])
    assert [repr(r) for r in f.map([5.0, m[1]])] == ["5.0", "veldra.double([[3.0, 4.0]])"]


def test_map_failures_text_and_refusals(eng):
    out = io.StringIO()
    assert eng.print.map(["a", "b", "c"], stdout=out) == [None] * 3
    assert out.getvalue() == "a\nb\nc\n"
    out = io.StringIO()
    with pytest.raises(ve.VeldraExecutionError):
        eng.print_fail.map(["a", "b"], ["x", "y"], stdout=out)
    assert out.getvalue() == "a\n"
    with pytest.raises(TypeError):
        eng.identity.map([1.0, object()])
    with pytest.raises(TypeError):
        eng.identity.map()
    with pytest.raises(TypeError):
        eng.identity.map([1.0], bad=1)
    assert eng.identity(3.0) == 3.0  # nothing left behind


@pytest.mark.parametrize("bad", [1, _MAP_STEP + 5], ids=["first_step", "later_step"])
def test_map_stops_at_the_first_failure(eng, bad):
    # Three steps: the one after the failing call's was submitted before it
    # failed, and must not run either.
    names = ["m%d" % i for i in range(2 * _MAP_STEP + 10)]
    names[bad] = "1bad"
    with pytest.raises(ve.VeldraExecutionError) as alone:
        eng.assign("1bad", 1.0)
    try:
        with pytest.raises(ve.VeldraExecutionError) as mapped:
            eng.assign.map(names, [1.0] * len(names), nout=0)
        assert type(mapped.value) is type(alone.value)
        assert str(mapped.value) == str(alone.value)
        assert all(eng.exists.map(names[:bad]))
        assert not any(eng.exists.map(names[bad + 1 :]))
    finally:
        eng.clear()


def test_ctrl_c_stops_a_map(eng):
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    t0 = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        eng.sleep.map([0.2] * 50, nout=0)
    timer.join()
    assert eng.identity(1.0) == 1.0  # the rest of the batch was dropped
    assert time.monotonic() - t0 < 3


def test_map_after_close():
    engine = ve.start()
    f = engine.identity
    engine.close()
    with pytest.raises(ve.EngineError):
        f.map([1.0])


def test_many_threads_submitting_at_once(eng):
    results = {}

    def worker(i):
        fs = [eng.submit("identity", float(i * 1000 + j)) for j in range(300)]
        results[i] = [f.result(60) for f in fs] + eng.identity.map([float(i)] * 50)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert all(results[i] == [float(i * 1000 + j) for j in range(300)] + [float(i)] * 50 for i in range(16))


def test_a_burst_of_calls_runs_in_order_and_finishes_with_nobody_waiting(eng):
    # Calls submitted while the engine is busy with earlier ones are sent
    # together; those with arguments in shared memory go on their own.  All
    # must run in the order submitted, and finish without anyone waiting.
    big = {i: veldra.double([float(i)] * 50000) for i in range(5, 600, 60)}
    assigns, fetches = [], []
    for i in range(600):
        assigns.append(eng.submit("assign", "burst", big.get(i, float(i)), nout=0))
        fetches.append(eng.submit("fetch", "burst"))
    assert wait_for(lambda: all(f.done() for f in fetches), 30)
    assert [f.result(0) for f in fetches] == [big.get(i, float(i)) for i in range(600)]
    assert all(f.result(0) is None for f in assigns)


@pytest.mark.parametrize("queued", [False, True], ids=["finished", "behind-a-slow-call"])
def test_gather_many(eng, queued):
    async def main():
        # Queued behind a slow call, every future is awaited before its
        # call finishes: the waiter collects them, many in one pass.
        ahead = [eng.submit("sleep", 0.3)] if queued else []
        fs = ahead + [eng.submit("identity", float(i)) for i in range(3000)]
        assert (await asyncio.wait_for(asyncio.gather(*fs), 60))[len(ahead) :] == [float(i) for i in range(3000)]
        slow = eng.submit("sleep", 30)
        task = asyncio.ensure_future(slow)
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert slow.cancelled()

    asyncio.run(main())
    wait_for(lambda: eng.identity(1.0) == 1.0)


def test_asyncio_takes_call_futures_for_its_own(eng):
    async def main():
        loop = asyncio.get_running_loop()
        ran_on = []
        done = eng.submit("identity", 1.0)
        done.result()
        pending = eng.submit("sleep", 0.2)
        for f in (done, pending):
            f.add_done_callback(lambda _: ran_on.append(threading.get_ident()))
        dropped = eng.submit("identity", 3.0)
        dropped.add_done_callback(ran_on.append)
        assert dropped.remove_done_callback(ran_on.append) == 1
        assert asyncio.ensure_future(done) is done  # no task of its own
        finished, _ = await asyncio.wait([pending, dropped])
        assert finished == {pending, dropped}
        await asyncio.sleep(0)
        assert ran_on == [loop._thread_id] * 2

        slow = eng.submit("sleep", 30)
        with pytest.raises(asyncio.TimeoutError):
            await asyncio.wait_for(slow, 0.05)
        assert slow.cancelled()  # cancelling the wait cancelled the call

        shielded = eng.submit("sleep", 0.2)
        outer = asyncio.shield(shielded)
        outer.cancel()
        assert await shielded is None and not shielded.cancelled()

        cancelled = eng.submit("sleep", 30)
        cancelled.cancel()
        results = await asyncio.gather(
            eng.submit("identity", 2.0), eng.submit("fail", "in a gather"), cancelled, return_exceptions=True
        )
        assert results[0] == 2.0
        assert isinstance(results[1], ve.VeldraExecutionError)
        assert isinstance(results[2], asyncio.CancelledError)
        assert [await f for f in asyncio.as_completed([eng.submit("identity", 4.0)])] == [4.0]

    asyncio.run(main())
    # Outside a running loop it is an awaitable, wrapped in a task.
    loop = asyncio.new_event_loop()
    try:
        assert loop.run_until_complete(eng.submit("identity", 5.0)) == 5.0
    finally:
        loop.close()


def test_a_submit_waiting_for_room_in_the_socket_lets_other_threads_run(eng):
    # Small calls go out keeping the interpreter lock, but only when the
    # socket takes them at once.  While the engine sleeps it reads nothing,
    # so the socket fills; a submit that waits then must let go of the lock.
    gaps = []
    stop = threading.Event()

    def ticker():
        last = time.monotonic()
        while not stop.is_set():
            time.sleep(0.005)
            now = time.monotonic()
            gaps.append(now - last)
            last = now

    # Arguments just small enough to go keeping the lock: the engine reads
    # a few MiB ahead, these fill that and the socket.
    arg = veldra.double(list(range(500)))
    sleeper = eng.submit("sleep", 1.5)
    time.sleep(0.1)
    t = threading.Thread(target=ticker)
    t.start()
    try:
        fs = [eng.submit("identity", arg) for _ in range(3000)]
    finally:
        stop.set()
        t.join()
    assert sleeper.result(30) is None
    assert all(f.result(30) == arg for f in fs[::97])
    assert max(gaps) < 0.5
