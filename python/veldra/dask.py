"""Engines on every worker of a Dask cluster: :class:`DaskPool`.

Install with ``pip install "veldra-engine[dask]"`` (Dask needs Python 3.10
or newer).  ``DaskPool(client)`` registers a worker plugin that starts one
engine on each worker, for the worker's life; calls run as Dask tasks on
the engine of the worker that runs them, so Dask's scheduling, ``retries``,
resources and dashboard apply.

Values travel with Dask: typed arrays pickle with out-of-band buffers, the
engine's errors pickle with their details.  A ``veldra.object`` names an
object inside one engine and cannot leave its worker: pass the future of
the call that made it on to the next call (``pool.submit("f", future)``),
and keep that call on the same worker with
``workers=pool.workers_of(future)``; asking for its result fails with a
``TypeError`` saying so.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import concurrent.futures._base as _cf_base
import itertools
import threading
import uuid
from typing import Any, Iterable, Iterator, Optional

import distributed
from distributed.diagnostics.plugin import WorkerPlugin
from distributed.scheduler import KilledWorker

import veldra.engine as _ve
from veldra.engine._errors import _FutureCancelled, _FutureTimeout
from veldra.engine._pool import _alive

__all__ = ["DaskPool", "DaskFuture"]


# ---- on the workers ---------------------------------------------------------


class _EnginePlugin(WorkerPlugin):
    """Starts the pool's engine on a worker, replaces it when it dies and
    closes it with the worker (or when the pool is closed)."""

    idempotent = False

    def __init__(self, name: str, threads: Optional[int], options: list) -> None:
        self.name = name
        self.threads = threads
        self.options = options
        self._fresh()

    def _fresh(self) -> None:
        # The worker side; set before setup runs, since the worker may hand
        # a task over while its plugins are still being set up.
        self.lock = threading.RLock()
        self.setups: list = []  # (key, name, args, nout), in order
        self.engine = None
        self.closed = False
        self.worker = None

    def __getstate__(self) -> dict:
        return {"name": self.name, "threads": self.threads, "options": self.options}

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state)
        self._fresh()

    async def setup(self, worker: distributed.Worker) -> None:
        self.worker = worker
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, self._replace, None)

    def teardown(self, worker: distributed.Worker) -> None:
        with self.lock:
            self.closed = True
            engine, self.engine = self.engine, None
        if engine is not None:
            try:
                engine.close()
            except _ve.EngineError:
                pass

    def _replace(self, dead: Any) -> Any:
        """A running engine: the current one, or a new one in place of
        ``dead`` with the set-up calls replayed."""
        with self.lock:
            if self.closed:
                raise _ve.EngineError("the engine pool of worker %s is closed" % self._where())
            if self.engine is not None and self.engine is not dead:
                return self.engine
            if dead is not None:
                try:
                    dead.close()
                except _ve.EngineError:
                    pass
            self.engine = None
            worker = self.worker or distributed.get_worker()
            threads = self.threads or worker.state.nthreads
            engine = _ve.start(self.options + ["--threads", str(threads)])
            try:
                for _, name, args, nout in self.setups:
                    engine.call(name, *args, nout=nout)
            except BaseException:
                engine.close()
                raise
            self.engine = engine
            return engine

    def call(self, name: str, args: tuple, nout: int, numpy: bool = False) -> Any:
        engine = self.engine
        if engine is None:
            engine = self._replace(None)
        try:
            return engine.call(name, *args, nout=nout, stdout=None, stderr=None, numpy=numpy)
        except _ve.EngineError as exc:
            if self.closed or _alive(engine):
                raise
            try:
                self._replace(engine)
                state = "was replaced"
            except Exception as again:  # noqa: BLE001 - reported below
                state = "could not be replaced (%s)" % again
            raise _ve.EngineError("the engine of worker %s failed and %s: %s" % (self._where(), state, exc)) from None

    def _where(self) -> str:
        worker = self.worker or distributed.get_worker()
        return worker.address

    def add_setup(self, key: int, name: str, args: tuple, nout: int) -> Any:
        """Run a set-up call once and keep it for replacement engines."""
        with self.lock:
            if any(k == key for k, _, _, _ in self.setups):
                return None
        value = self.call(name, args, nout)
        with self.lock:
            self.setups.append((key, name, args, nout))
        return value


class _SetupPlugin(WorkerPlugin):
    """Replays one ``each`` call on the workers that join later."""

    idempotent = False

    def __init__(self, pool: str, key: int, name: str, args: tuple, nout: int) -> None:
        self.pool, self.key = pool, key
        self.call = (name, args, nout)

    async def setup(self, worker: distributed.Worker) -> None:
        plugin = worker.plugins[self.pool]
        loop = asyncio.get_running_loop()
        await loop.run_in_executor(None, plugin.add_setup, self.key, *self.call)


def _engine_call(pool: str, name: str, *args: Any, nout: int = 1, numpy: bool = False) -> Any:
    # The Dask task of every call: runs on a worker thread.
    worker = distributed.get_worker()
    plugin = worker.plugins.get(pool)
    if plugin is None:
        raise _ve.EngineError("worker %s has no engine of this pool (it was closed)" % worker.address)
    return plugin.call(name, args, nout, numpy)


async def _each_on_worker(
    pool: str, key: int, name: str, args: tuple, nout: int, dask_worker: distributed.Worker
) -> Any:
    plugin = dask_worker.plugins[pool]
    loop = asyncio.get_running_loop()
    return await loop.run_in_executor(None, plugin.add_setup, key, name, args, nout)


# ---- futures ----------------------------------------------------------------

_DONE = (_cf_base.CANCELLED, _cf_base.CANCELLED_AND_NOTIFIED, _cf_base.FINISHED)
_FETCHERS = concurrent.futures.ThreadPoolExecutor(8, thread_name_prefix="veldra-dask-fetch")


class DaskFuture(concurrent.futures.Future):
    """The future of a :class:`DaskPool` call, around a Dask future.

    A :class:`concurrent.futures.Future` (``wait`` and ``as_completed``
    accept it) and awaitable.  The result stays on the worker until it is
    asked for (``result``, ``exception``, a done-callback, ``await``);
    :attr:`dask_future` is the Dask future, to pass on to other calls or
    to Dask itself.  Passing this future as an argument of another
    ``DaskPool`` call passes the Dask future.
    """

    def __init__(self, pool: "DaskPool", dask_future: distributed.Future, resubmit: Any, retries: int) -> None:
        super().__init__()
        self._pool = pool
        self._dask = dask_future
        self._resubmit = resubmit
        self._retries = retries
        self._fetching = threading.Lock()
        self._watched = False

    @property
    def dask_future(self) -> distributed.Future:
        """The Dask future of the call (a new one after a resubmission)."""
        return self._dask

    # concurrent.futures.wait() and as_completed() register their waiters
    # here; a future they wait for has to be fetched in the background.
    @property
    def _waiters(self) -> list:
        if self._state == _cf_base.PENDING and not self._watched:
            self._watch()
        return self.__waiters

    @_waiters.setter
    def _waiters(self, value: list) -> None:
        self.__waiters = value

    def _watch(self) -> None:
        self._watched = True
        self._dask.add_done_callback(self._dask_done)

    def _dask_done(self, dask_future: distributed.Future) -> None:
        # Dask runs its callbacks on one thread: fetch elsewhere, so that
        # results come in side by side.
        if dask_future is self._dask:
            _FETCHERS.submit(self._fetch, None)

    def _settled(self) -> bool:
        return self._state in _DONE

    def _settle(self, value: Any) -> None:
        with self._fetching:
            if self._state not in _DONE:
                self.set_result(value)

    def _fetch(self, timeout: Optional[float]) -> None:
        """Settle from the Dask future, waiting at most ``timeout`` seconds;
        a call that lost its worker is resubmitted while retries last."""
        with self._fetching:
            while self._state not in _DONE:
                dask_future = self._dask
                try:
                    value = dask_future.result(timeout=timeout)
                except asyncio.TimeoutError:
                    raise _FutureTimeout("the call did not finish within %s seconds; it goes on" % timeout) from None
                except (asyncio.CancelledError, concurrent.futures.CancelledError):
                    super().cancel()
                except KilledWorker as exc:
                    if self._retries > 0 and not self._pool.closed:
                        self._retries -= 1
                        self._dask = self._resubmit()
                        if self._watched:
                            self._dask.add_done_callback(self._dask_done)
                        continue
                    self.set_exception(_ve.EngineError("the worker running the call died: %s" % (exc,)))
                except BaseException as exc:  # noqa: BLE001 - the call's
                    self.set_exception(exc)
                else:
                    self.set_result(value)

    def result(self, timeout: Optional[float] = None) -> Any:
        """The call's result, waiting at most ``timeout`` seconds."""
        self._fetch(timeout)
        if super().cancelled():
            raise _FutureCancelled("the call was cancelled")
        return super().result(0)

    def exception(self, timeout: Optional[float] = None) -> Optional[BaseException]:
        """The call's error (None when it succeeded); waits like result."""
        self._fetch(timeout)
        if super().cancelled():
            raise _FutureCancelled("the call was cancelled")
        return super().exception(0)

    def done(self) -> bool:
        if self._state in _DONE:
            return True
        if not self._dask.done():
            return False
        self._fetch(None)  # done: fetches at once (or resubmits)
        return self._state in _DONE

    def running(self) -> bool:
        return not self.done()

    def cancel(self) -> bool:
        """Cancel the call unless it has finished."""
        if self._state in _DONE:
            return super().cancelled()
        self._dask.cancel()
        return super().cancel()

    def add_done_callback(self, fn: Any) -> None:
        if self._state not in _DONE and not self._watched:
            self._watch()
        super().add_done_callback(fn)

    def __await__(self):
        return asyncio.wrap_future(self).__await__()

    def __repr__(self) -> str:
        return "<DaskFuture %s state=%s>" % (self._dask.key, self._state.lower())


# ---- the pool ---------------------------------------------------------------


def _dask_args(args: tuple) -> tuple:
    return tuple(a._dask if isinstance(a, DaskFuture) else a for a in args)


class DaskPool:
    """Engines on every worker of the Dask cluster of ``client``.

    The same interface as :class:`veldra.engine.Pool`: ``submit`` (returns
    a :class:`DaskFuture`), ``call``, ``map``, ``each`` and ``close``
    (also at the end of a ``with`` block).  ``threads`` is each engine's
    number of threads (default: the worker's); ``start_options`` go to
    :func:`veldra.engine.start` (``options=...``).  ``numpy=True`` gives
    NumPy results (arrays of their own once they reach this process), and a
    call's ``numpy=`` keyword decides for that call.

    Keywords of ``submit`` and ``map`` other than ``nout`` and ``numpy`` go to Dask
    (``retries``, ``workers``, ``resources``, ``priority``, ...).  An
    engine that dies fails its call with ``EngineError`` naming the
    worker and is replaced there, with the ``each`` calls replayed; a worker
    that dies is Dask's affair (it reruns the worker's tasks elsewhere up to
    its ``allowed-failures``), after which the call fails with
    ``EngineError``.  With ``retries=N`` Dask reruns a failed call, and a
    call whose worker died is resubmitted, up to N times.
    """

    def __init__(
        self, client: distributed.Client, threads: Optional[int] = None, numpy: bool = False, **start_options: Any
    ) -> None:
        if threads is not None and (not isinstance(threads, int) or isinstance(threads, bool) or threads < 1):
            raise ValueError("threads must be None or a whole number of at least 1, not %r" % (threads,))
        options = _ve._api._options(start_options.pop("options", ()))
        if "--threads" in options:
            raise ValueError("give the engine threads as threads=, not in the options")
        if start_options:
            raise TypeError("unknown start option(s): %s" % ", ".join(sorted(start_options)))
        self._client = client
        self._numpy = bool(numpy)
        self._name = "veldra-engine-" + uuid.uuid4().hex
        self._setups: list = []
        self._keys = itertools.count()
        self._closed = False
        client.register_plugin(_EnginePlugin(self._name, threads, options), name=self._name)

    @property
    def client(self) -> distributed.Client:
        return self._client

    @property
    def closed(self) -> bool:
        return self._closed

    def _check(self) -> None:
        if self._closed:
            raise _ve.EngineError("the pool is closed")

    def _as_numpy(self, numpy: Optional[bool]) -> bool:
        return self._numpy if numpy is None else bool(numpy)

    def submit(
        self, name: str, *args: Any, nout: int = 1, numpy: Optional[bool] = None, **dask_options: Any
    ) -> DaskFuture:
        """Run ``name`` on a worker's engine as a Dask task; returns its
        :class:`DaskFuture`."""
        if not isinstance(name, str):
            raise TypeError("the function name must be a str, not %s" % type(name).__name__)
        self._check()
        send = self._sender(name, _dask_args(args), nout, self._as_numpy(numpy), dask_options)
        return DaskFuture(self, send(), send, dask_options.get("retries") or 0)

    def _sender(self, name: str, args: tuple, nout: int, numpy: bool, dask_options: dict) -> Any:
        """A function that submits the call as a new Dask task."""

        def send() -> distributed.Future:
            key = "veldra-%s-%s" % (name, uuid.uuid4().hex)
            return self._client.submit(
                _engine_call, self._name, name, *args, nout=nout, numpy=numpy, key=key, pure=False, **dask_options
            )

        return send

    def call(self, name: str, *args: Any, nout: int = 1, numpy: Optional[bool] = None, **dask_options: Any) -> Any:
        """Run ``name`` on a worker's engine and wait for its result."""
        return self.submit(name, *args, nout=nout, numpy=numpy, **dask_options).result()

    def map(
        self,
        name: str,
        *iterables: Iterable,
        nout: int = 1,
        ordered: bool = True,
        numpy: Optional[bool] = None,
        **dask_options: Any,
    ) -> Iterator[Any]:
        """Submit one call per item of ``iterables`` (side by side, as for
        the built-in ``map``) as one batch of Dask tasks and yield the
        results, in order or, with ``ordered=False``, as they finish.  The
        results are fetched as they come, several at a time."""
        self._check()
        calls = [_dask_args(args) for args in zip(*iterables)]
        if not calls:
            return
        keys = ["veldra-%s-%s" % (name, uuid.uuid4().hex) for _ in calls]
        as_numpy = self._as_numpy(numpy)
        dask_futures = self._client.map(
            _engine_call,
            [self._name] * len(calls),
            [name] * len(calls),
            *zip(*calls),
            key=keys,
            nout=nout,
            numpy=as_numpy,
            pure=False,
            **dask_options,
        )
        retries = dask_options.get("retries") or 0
        futures = [
            DaskFuture(self, f, self._sender(name, args, nout, as_numpy, dask_options), retries)
            for f, args in zip(dask_futures, calls)
        ]
        by_key = {f.dask_future.key: f for f in futures}
        tracker = distributed.as_completed(dask_futures, with_results=True, raise_errors=False)
        shown = 0
        try:
            for dask_future, value in tracker:
                future = by_key.get(dask_future.key)
                if future is None or dask_future is not future._dask:
                    continue
                if dask_future.status == "finished":
                    future._settle(value)
                else:
                    future._fetch(None)  # an error, or a resubmission
                    if not future._settled():
                        by_key[future._dask.key] = future
                        tracker.add(future._dask)
                        continue
                if not ordered:
                    yield future.result()
                    continue
                while shown < len(futures) and futures[shown]._settled():
                    shown += 1
                    yield futures[shown - 1].result()
        finally:
            for future in futures:
                if not future._settled():
                    future.cancel()

    def each(self, name: str, *args: Any, nout: int = 1) -> list:
        """Run the call once on every worker's engine, now and on workers
        that join later; returns the results in the order of the workers'
        addresses.  Engines that replace dead ones replay it."""
        self._check()
        key = next(self._keys)
        results = self._client.run(_each_on_worker, self._name, key, name, args, nout)
        plugin = "%s-each-%d" % (self._name, key)
        self._client.register_plugin(_SetupPlugin(self._name, key, name, args, nout), name=plugin)
        self._setups.append(plugin)
        return [results[w] for w in sorted(results)]

    def workers_of(self, future: Any) -> list:
        """The addresses of the workers holding the result of ``future``."""
        if isinstance(future, DaskFuture):
            future = future._dask
        return sorted(self._client.who_has([future]).get(future.key, ()))

    def close(self) -> None:
        """Close the engines on every worker (the cluster goes on)."""
        if self._closed:
            return
        self._closed = True
        if self._client.status not in ("running", "connecting"):
            return  # the workers close their engines when they go
        for plugin in reversed(self._setups):
            self._client.unregister_worker_plugin(plugin)
        self._client.unregister_worker_plugin(self._name)

    def __enter__(self) -> "DaskPool":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<veldra.dask.DaskPool %s, %s>" % (self._name, "closed" if self._closed else "open")

    def __reduce__(self):
        raise TypeError("a DaskPool cannot be pickled")
