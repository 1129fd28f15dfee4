"""veldra.engine.Pool: several engines on this machine, and engines that die."""

import asyncio
import concurrent.futures
import os
import signal
import time

import pytest

import veldra
import veldra.engine as ve
from conftest import alive, children_of

MIXED = [
    1.5,
    -3,
    True,
    "text",
    [1.0, "a", [2]],
    {"k": 2.0},
    veldra.int16([[1, -2], [3, 4]]),
    veldra.double(size=(1, 1)),
    veldra.single([1, 2], is_complex=True),
]


def engines():
    return {p for p in children_of(os.getpid()) if alive(p)}


@pytest.fixture(scope="module")
def pool():
    with ve.Pool(2) as p:
        yield p


def test_numpy_results_for_the_pool_and_per_call():
    np = pytest.importorskip("numpy")
    m = veldra.double([[1.0, 2.0], [3.0, 4.0]])
    with ve.Pool(1, numpy=True) as p:
        assert isinstance(p.call("identity", m), np.ndarray)
        assert isinstance(list(p.map("identity", [m]))[0], np.ndarray)
        assert isinstance(p.call("identity", m, numpy=False), veldra.double)


def test_results_equal_one_engine(pool):
    big = veldra.double(range(3_000_000), size=(1000, 3000))
    values = MIXED + [big]
    m = veldra.double([[2, 1], [0, 3]])
    with ve.start() as one:
        expected = [one.identity(v) for v in values]
        qr = one.qr(m, nout=2)
    assert list(pool.map("identity", values)) == expected
    assert sorted(pool.map("identity", range(20), ordered=False)) == list(range(20))
    assert pool.call("qr", m, nout=2) == qr

    async def together():
        return await asyncio.gather(*(pool.submit("identity", k) for k in range(4)))

    assert asyncio.run(together()) == [0, 1, 2, 3]
    futures = [pool.submit("identity", k) for k in range(6)]
    done, _ = concurrent.futures.wait(futures, timeout=30)
    assert done == set(futures) and [f.result() for f in futures] == list(range(6))


def test_errors_and_cancel(pool):
    with pytest.raises(ve.VeldraExecutionError) as e:
        pool.call("fail", "no", "veldra:test:no", retries=3)
    assert e.value.identifier == "veldra:test:no"
    slow = [pool.submit("sleep", 5) for _ in range(3)]
    assert slow[2].cancel() and slow[2].cancelled()
    for f in slow[:2]:
        f.cancel()
    assert pool.call("identity", 1.0) == 1.0


def test_least_loaded(pool):
    busy = pool.submit("sleep", 1.5)
    t0 = time.monotonic()
    assert list(pool.map("identity", range(5))) == list(range(5))
    assert time.monotonic() - t0 < 1.0  # none waited behind the sleep
    busy.result(30)


def test_each_runs_on_every_engine(pool):
    assert pool.each("assign", "x", 4.0, nout=0) == [None, None]
    assert list(pool.map("fetch", ["x"] * 6)) == [4.0] * 6


@pytest.mark.parametrize("retries", [0, 1])
def test_engine_killed_mid_call(retries):
    before = engines()
    with ve.Pool(2) as pool:
        pids = engines() - before
        assert len(pids) == 2
        pool.each("assign", "y", 7.0, nout=0)
        calls = [pool.submit("sleep", 1.0, nout=0, retries=retries) for _ in range(2)]
        time.sleep(0.3)
        victim = pids.pop()
        os.kill(victim, signal.SIGKILL)
        outcomes = []
        for f in calls:
            try:
                outcomes.append(f.result(30))
            except ve.EngineError as exc:
                outcomes.append(str(exc))
        if retries:
            assert outcomes == [None, None]
        else:
            (failed,) = [o for o in outcomes if o is not None]
            assert "engine" in failed and "of the pool" in failed
        # The pool goes on with a new engine in place of the dead one, its
        # set-up replayed.
        for _ in range(400):
            if len(engines() - before) == 2 and victim not in engines():
                break
            time.sleep(0.05)
        assert pool.each("fetch", "y") == [7.0, 7.0]
        assert len(engines() - before) == 2 and victim not in engines()
    assert engines() - before == set()
