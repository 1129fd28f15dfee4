"""A pool of engines on this machine: :class:`Pool`.

Each engine of the pool sits in a slot.  A call goes to the slot with the
fewest calls in flight; an engine that dies fails the calls it had, and its
slot gets a new engine (with the pool's set-up calls replayed) while the
others go on.
"""

from __future__ import annotations

import collections
import concurrent.futures
import itertools
import os
import threading
from typing import Any, Iterable, Iterator, List, Optional

from . import EngineError
from ._api import _SYS_ERR, _SYS_OUT, _options, start

__all__ = ["Pool", "PoolFuture"]


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _alive(engine: Any) -> bool:
    """Whether an engine still answers.  An EngineError from a call mostly
    means the engine is gone, but not always (a result the client could not
    take), and a live engine is not to be replaced."""
    try:
        engine.submit("identity", 0.0, stdout=None, stderr=None).result(10)
        return True
    except Exception:  # noqa: BLE001 - gone, closed or hung
        return False


class PoolFuture(concurrent.futures.Future):
    """The future of a call submitted to a :class:`Pool` (or a DaskPool).

    A :class:`concurrent.futures.Future`: ``result``, ``exception``,
    ``cancel``, ``done``, ``add_done_callback``, ``wait`` and
    ``as_completed`` work as there; ``await future`` works in a coroutine.
    """

    _inner: Any = None

    def cancel(self) -> bool:
        """Cancel the call; True unless it has finished already."""
        inner = self._inner
        if inner is not None and not inner.cancel() and not inner.cancelled():
            return False
        return super().cancel()

    def _settle(self, value: Any = None, error: Optional[BaseException] = None) -> None:
        try:
            if error is None:
                self.set_result(value)
            else:
                self.set_exception(error)
        except concurrent.futures.InvalidStateError:
            pass  # cancelled meanwhile

    def __await__(self):
        import asyncio

        return asyncio.wrap_future(self).__await__()


class _Call:
    """A call waiting in the pool's queue (again, when it is retried)."""

    __slots__ = ("future", "name", "args", "nout", "retries", "stdout", "stderr", "numpy")

    def __init__(
        self,
        future: PoolFuture,
        name: str,
        args: tuple,
        nout: int,
        retries: int,
        stdout: Any,
        stderr: Any,
        numpy: Optional[bool],
    ) -> None:
        self.future = future
        self.name, self.args, self.nout = name, args, nout
        self.retries = retries
        self.stdout, self.stderr = stdout, stderr
        self.numpy = numpy


class _Slot:
    """One engine of the pool and the calls it has in flight."""

    __slots__ = ("index", "engine", "load", "generation", "lost")

    def __init__(self, index: int) -> None:
        self.index = index
        self.engine = None  # None while (re)starting
        self.load = 0
        self.generation = 0
        self.lost = False  # no new engine could be started


class Pool:
    """A pool of ``size`` engines on this machine.

    ``size`` defaults to one engine per core, and each engine is started
    with ``--threads threads`` (default 1), so the pool does not
    oversubscribe the machine.  ``start_options`` go to
    :func:`veldra.engine.start` (``options="--plugin lib.so"``), and
    ``numpy=True`` gives NumPy results as there (a call's ``numpy=`` keyword
    decides for that call).

    ``submit`` returns a :class:`PoolFuture` (a ``concurrent.futures.Future``,
    awaitable); ``call`` waits for the result; ``map`` yields results;
    ``each`` runs a call once on every engine, for set-up (assigning
    variables, loading data), and is replayed on engines that replace dead
    ones.  Calls wait in the pool until an engine is free, so each goes to
    the least-loaded engine and none waits behind a long call while another
    engine is idle.

    An engine that dies fails its calls with ``EngineError`` naming it, and
    the pool starts a new engine in its place.  With ``retries=N``, a call
    that failed that way is resubmitted to another engine up to N times: for
    calls that are safe to repeat.  Errors of the call itself
    (``VeldraExecutionError`` and the like) are never retried.
    """

    _START_ATTEMPTS = 3

    def __init__(self, size: Optional[int] = None, threads: int = 1, numpy: bool = False, **start_options: Any) -> None:
        if size is None:
            size = _cores()
        if not isinstance(size, int) or isinstance(size, bool) or size < 1:
            raise ValueError("size must be a whole number of at least 1, not %r" % (size,))
        if not isinstance(threads, int) or isinstance(threads, bool) or threads < 1:
            raise ValueError("threads must be a whole number of at least 1, not %r" % (threads,))
        options = _options(start_options.pop("options", ()))
        if "--threads" in options:
            raise ValueError("give the engine threads as threads=, not in the options")
        if start_options:
            raise TypeError("unknown start option(s): %s" % ", ".join(sorted(start_options)))
        self._options = options + ["--threads", str(threads)]
        self._numpy = bool(numpy)
        self._lock = threading.Condition()
        self._slots = [_Slot(i + 1) for i in range(size)]
        self._setups: List[tuple] = []
        self._queue: collections.deque = collections.deque()
        self._restarts: List[threading.Thread] = []
        self._closed = False
        launches = [start(self._options, wait=False, numpy=self._numpy) for _ in self._slots]
        try:
            for slot, launch in zip(self._slots, launches):
                slot.engine = launch.result()
        except BaseException:
            for launch in launches:
                if not launch.cancel():
                    try:
                        launch.result().close()
                    except Exception:  # noqa: BLE001 - failed to start
                        pass
            raise

    # -- calls ----------------------------------------------------------------
    #
    # Calls wait in the pool's queue and go to an engine once it has no call
    # of the pool left: a call never waits behind a long one on a busy engine
    # while another engine is free.

    def submit(
        self,
        name: str,
        *args: Any,
        nout: int = 1,
        retries: int = 0,
        stdout: Any = _SYS_OUT,
        stderr: Any = _SYS_ERR,
        numpy: Optional[bool] = None,
    ) -> PoolFuture:
        """Start a call of ``name`` on the next free engine and return its
        :class:`PoolFuture`.  ``retries``: how often a call whose engine died
        is resubmitted (to another engine)."""
        if not isinstance(name, str):
            raise TypeError("the function name must be a str, not %s" % type(name).__name__)
        future = PoolFuture()
        with self._lock:
            if self._closed:
                raise EngineError("the pool is closed")
            self._queue.append(_Call(future, name, args, nout, retries, stdout, stderr, numpy))
        self._dispatch()
        return future

    def _dispatch(self) -> None:
        """Hand queued calls to free engines."""
        while True:
            with self._lock:
                while self._queue and self._queue[0].future.cancelled():
                    self._queue.popleft()
                if not self._queue:
                    return
                free = [s for s in self._slots if s.engine is not None and s.load == 0]
                if not free:
                    if all(s.lost for s in self._slots):
                        lost, self._queue = self._queue, collections.deque()
                    else:
                        return
                else:
                    lost = None
                    slot = free[0]
                    slot.load += 1
                    call = self._queue.popleft()
                    engine, generation = slot.engine, slot.generation
            if lost is not None:
                for call in lost:
                    call.future._settle(error=EngineError("no engine of the pool could be restarted"))
                return
            self._run(call, slot, engine, generation)

    def _run(self, call: "_Call", slot: _Slot, engine: Any, generation: int) -> None:
        future = call.future
        try:
            inner = engine.submit(
                call.name, *call.args, nout=call.nout, stdout=call.stdout, stderr=call.stderr, numpy=call.numpy
            )
        except EngineError as exc:
            self._finished(slot)
            self._engine_failed(call, slot, generation, exc)
            return
        except BaseException as exc:  # noqa: BLE001 - a bad argument
            self._finished(slot)
            future._settle(error=exc)
            return
        future._inner = inner

        def finished(inner: Any) -> None:
            self._finished(slot)
            if inner.cancelled():
                future.cancel()
            else:
                exc = inner.exception()
                if exc is None:
                    future._settle(inner.result())
                elif isinstance(exc, EngineError) and not self._closed and not _alive(engine):
                    self._engine_failed(call, slot, generation, exc)
                else:
                    future._settle(error=exc)
            self._dispatch()

        inner.add_done_callback(finished)

    def _finished(self, slot: _Slot) -> None:
        with self._lock:
            slot.load -= 1

    def _engine_failed(self, call: "_Call", slot: _Slot, generation: int, exc: BaseException) -> None:
        error = self._failed(slot, generation, exc)
        if call.retries > 0 and not call.future.cancelled():
            call.retries -= 1
            with self._lock:
                if not self._closed:
                    self._queue.appendleft(call)
                    return
        call.future._settle(error=error)

    def call(
        self,
        name: str,
        *args: Any,
        nout: int = 1,
        retries: int = 0,
        stdout: Any = _SYS_OUT,
        stderr: Any = _SYS_ERR,
        numpy: Optional[bool] = None,
    ) -> Any:
        """Call ``name`` on the least-loaded engine and wait for its result."""
        return self.submit(name, *args, nout=nout, retries=retries, stdout=stdout, stderr=stderr, numpy=numpy).result()

    def map(
        self,
        name: str,
        *iterables: Iterable,
        nout: int = 1,
        ordered: bool = True,
        retries: int = 0,
        numpy: Optional[bool] = None,
    ) -> Iterator[Any]:
        """Call ``name`` once per item of ``iterables`` (several iterables
        give the arguments side by side, as for the built-in ``map``) and
        yield the results, in order or, with ``ordered=False``, as they
        finish.  A failed call raises its error where its result would be.
        A bounded number of calls is in flight at a time."""
        calls = zip(*iterables)
        window = 2 * len(self._slots)
        pending: collections.deque = collections.deque()
        for args in itertools.islice(calls, window):
            pending.append(self.submit(name, *args, nout=nout, retries=retries, numpy=numpy))
        try:
            while pending:
                if ordered:
                    future = pending.popleft()
                else:
                    done, _ = concurrent.futures.wait(pending, return_when=concurrent.futures.FIRST_COMPLETED)
                    future = next(f for f in pending if f in done)
                    pending.remove(future)
                result = future.result()
                for args in itertools.islice(calls, 1):
                    pending.append(self.submit(name, *args, nout=nout, retries=retries, numpy=numpy))
                yield result
        finally:
            for future in pending:
                future.cancel()

    def each(self, name: str, *args: Any, nout: int = 1) -> list:
        """Run the call once on every engine and return the results in the
        engines' order.  The call is kept and replayed, in order with the
        others, on each engine that replaces a dead one."""
        with self._lock:
            while not self._closed and any(s.engine is None and not s.lost for s in self._slots):
                self._lock.wait()
            if self._closed:
                raise EngineError("the pool is closed")
            setup = (name, args, nout)
            self._setups.append(setup)
            try:
                futures = [s.engine.submit(name, *args, nout=nout) for s in self._slots if s.engine is not None]
            except BaseException:
                self._setups.remove(setup)
                raise
        try:
            return [f.result() for f in futures]
        except BaseException:
            # Not replayed: a set-up that failed would fail every new engine.
            with self._lock:
                self._setups.remove(setup)
            raise

    # -- engines that die -----------------------------------------------------

    def _failed(self, slot: _Slot, generation: int, exc: BaseException) -> EngineError:
        """Note that the engine of ``slot`` failed; the first report of that
        engine starts its replacement.  Returns the error for its calls."""
        with self._lock:
            if slot.generation == generation and not self._closed:
                slot.generation += 1
                old, slot.engine = slot.engine, None
                thread = threading.Thread(
                    target=self._restart, args=(slot, old), name="veldra-pool-restart", daemon=True
                )
                self._restarts.append(thread)
                thread.start()
        return EngineError("engine %d of the pool failed and is being replaced: %s" % (slot.index, exc))

    def _restart(self, slot: _Slot, old: Any) -> None:
        try:
            old.close()
        except Exception:  # noqa: BLE001 - it is gone either way
            pass
        engine = None
        for _ in range(self._START_ATTEMPTS):
            if self._closed:
                break
            try:
                engine = start(self._options, numpy=self._numpy)
                with self._lock:
                    setups = list(self._setups)
                for name, args, nout in setups:
                    engine.call(name, *args, nout=nout)
            except Exception:  # noqa: BLE001 - try again with a new one
                if engine is not None:
                    engine.close()
                engine = None
            else:
                break
        with self._lock:
            if self._closed:
                if engine is not None:
                    engine.close()
            else:
                slot.engine = engine
                slot.lost = engine is None
            self._lock.notify_all()
        self._dispatch()

    # -- lifetime -------------------------------------------------------------

    @property
    def size(self) -> int:
        """The number of engines."""
        return len(self._slots)

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Close every engine; calls still pending fail with EngineError."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            engines = [s.engine for s in self._slots if s.engine is not None]
            for slot in self._slots:
                slot.engine = None
            restarts, self._restarts = self._restarts, []
            queued, self._queue = self._queue, collections.deque()
            self._lock.notify_all()
        for call in queued:
            call.future._settle(error=EngineError("the pool is closed"))
        for engine in engines:
            try:
                engine.close()
            except EngineError:
                pass
        for thread in restarts:
            if thread is not threading.current_thread():
                thread.join()

    def __enter__(self) -> "Pool":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<veldra.engine.Pool of %d engines, %s>" % (len(self._slots), "closed" if self._closed else "open")

    def __reduce__(self):
        raise TypeError("a Pool cannot be pickled")
