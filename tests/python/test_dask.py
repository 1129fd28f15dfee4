"""veldra.dask: engines on the workers of a real local Dask cluster."""

import asyncio
import concurrent.futures
import os
import pickle
import signal
import sys
import time

import pytest

if sys.version_info < (3, 10):
    pytest.skip("Dask needs Python 3.10 or newer", allow_module_level=True)
dask = pytest.importorskip("dask", reason="the dask extra is not installed")
distributed = pytest.importorskip("distributed")

import veldra  # noqa: E402
import veldra.engine as ve  # noqa: E402
from veldra.dask import DaskPool  # noqa: E402
from test_pool import MIXED  # noqa: E402

# Large arguments go inside the task graph on purpose.
pytestmark = pytest.mark.filterwarnings("ignore:Sending large graph")


def engine_processes():
    """Runs on a worker: its engine processes."""
    from conftest import alive, children_of

    return sorted(p for p in children_of(os.getpid()) if alive(p))


@pytest.fixture(scope="module")
def client():
    # A killed worker fails its task at once, so that retries are ours to
    # test; Dask's default reruns it by itself.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        )
        with cluster, distributed.Client(cluster) as c:
            c.run(sys.path.insert, 0, os.path.dirname(__file__))
            yield c


@pytest.fixture(scope="module")
def pool(client):
    with DaskPool(client) as p:
        yield p


def test_results_equal_one_engine(pool):
    big = veldra.double(range(2_000_000), size=(1000, 2000))
    values = MIXED + [big]
    with ve.start() as one:
        expected = [one.identity(v) for v in values]
    assert list(pool.map("identity", values)) == expected
    assert sorted(pool.map("identity", range(8), ordered=False)) == list(range(8))
    assert pool.call("identity", 1.0, 2.0, nout=2) == (1.0, 2.0)
    futures = [pool.submit("identity", k) for k in range(4)]
    done, _ = concurrent.futures.wait(futures, timeout=60)
    assert done == set(futures) and [f.result() for f in futures] == list(range(4))

    async def together():
        return await asyncio.gather(*(pool.submit("identity", k) for k in range(3)))

    assert asyncio.run(together()) == [0, 1, 2]
    # A future passes on as its Dask future: the value stays on the workers.
    assert pool.call("identity", pool.submit("identity", big)) == big


def test_numpy_results_per_call(pool):
    np = pytest.importorskip("numpy")
    m = veldra.double([[1.0, 2.0], [3.0, 4.0]])
    got = pool.call("identity", m, numpy=True)
    assert isinstance(got, np.ndarray) and got.tolist() == [[1.0, 2.0], [3.0, 4.0]]
    assert isinstance(list(pool.map("identity", [m], numpy=True))[0], np.ndarray)
    assert isinstance(pool.call("identity", m), veldra.double)


def test_errors_travel(pool):
    with pytest.raises(ve.VeldraExecutionError) as e:
        pool.call("fail", "broken", "veldra:test:broken")
    assert e.value.identifier == "veldra:test:broken" and "broken" in str(e.value)
    made = pool.submit("objects", 2, 2)
    with pytest.raises(TypeError, match="one engine"):
        made.result(60)
    # Kept on its worker, the object works.
    assert pool.call("class_of", made, workers=pool.workers_of(made)) == "object"


def test_each_on_every_worker_and_later_ones(client, pool):
    assert pool.each("assign", "z", 2.5, nout=0) == [None, None]
    assert pool.each("fetch", "z") == [2.5, 2.5]
    client.cluster.scale(3)
    client.wait_for_workers(3, timeout=120)
    assert sorted(client.run(lambda: 1).values()) == [1, 1, 1]
    assert pool.each("fetch", "z") == [2.5] * 3
    client.cluster.scale(2)
    for _ in range(1200):
        if len(client.scheduler_info()["workers"]) == 2:
            break
        time.sleep(0.05)


@pytest.mark.parametrize("retries", [0, 1])
def test_worker_killed_mid_call(client, pool, retries):
    pids = client.run(os.getpid)
    call = pool.submit("sleep", 2.0, nout=0, retries=retries)
    for _ in range(1200):
        where = [w for w, keys in client.processing().items() if call.dask_future.key in keys]
        if where:
            break
        time.sleep(0.05)
    assert len(where) == 1, "the call never ran on one worker"
    (worker,) = where
    time.sleep(0.3)  # inside the engine's sleep by now
    os.kill(pids[worker], signal.SIGKILL)
    if retries:
        assert call.result(120) is None
    else:
        with pytest.raises(ve.EngineError, match="worker"):
            call.result(120)
    client.wait_for_workers(2, timeout=120)
    assert list(pool.map("identity", range(4))) == [0, 1, 2, 3]


def test_close_leaves_no_engine(client):
    before = client.run(engine_processes)
    with DaskPool(client, threads=1) as pool:
        pool.call("identity", 1)
        running = client.run(engine_processes)
        assert all(len(running[w]) == len(before[w]) + 1 for w in running)
    assert client.run(engine_processes) == before
    with pytest.raises(ve.EngineError):
        pool.submit("identity", 1)
    with pytest.raises(TypeError):
        pickle.dumps(pool)
