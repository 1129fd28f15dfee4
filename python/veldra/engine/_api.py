"""Engines, their functions, call futures and the workspace.

This module holds what ``veldra.engine`` offers on top of the native module:
:func:`start`, :func:`connect`, :func:`find_shared`, :class:`Engine`,
:class:`CallFuture`, :class:`LaunchFuture` and :class:`Workspace`.

Every engine keeps its native handle in a :class:`_Session`, which the
futures and the finalizers share; once the session is closed nothing touches
the handles of that engine again.
"""
from __future__ import annotations

import concurrent.futures
import concurrent.futures._base as _cf_base
import heapq
import io
import itertools
import sys
import threading
import time
import weakref
from collections.abc import Iterator, MutableMapping
from typing import Any, Callable, Optional, Sequence, Union

from veldra._vdarray import ArrayView as _ArrayView

# The native module publishes the error classes in the package on import.
from . import _native, EngineError, VeldraExecutionError
from . import CancelledError as _NativeCancelled
from . import TimeoutError as _NativeTimeout

__all__ = ["Engine", "CallFuture", "LaunchFuture", "Workspace",
           "start", "connect", "find_shared"]

_StringIO = io.StringIO
_evaluate = _native.evaluateFunction
_collect = _native.getFEvalResult
_destroy = _native.destroyFEvalResult


class _FutureTimeout(_NativeTimeout, TimeoutError):
    """A future's result was not there in time; the call goes on.

    Both ``veldra.engine.TimeoutError`` and the built-in ``TimeoutError``
    (which ``concurrent.futures.TimeoutError`` is) catch it.
    """


class _FutureCancelled(_NativeCancelled, concurrent.futures.CancelledError):
    """The call or launch was cancelled.

    Both ``veldra.engine.CancelledError`` and
    ``concurrent.futures.CancelledError`` catch it.
    """


def _future_error(kind: str, args: tuple) -> BaseException:
    """Unpickle a future's time-out or cancellation error."""
    return _FUTURE_ERRORS[kind](*args)


def _reduce_future_error(self: BaseException) -> tuple:
    # The classes show the public names, under which pickle would find the
    # native classes instead; they go by a name of their own.
    return (_future_error, (type(self).__name__, self.args), self.__dict__)


_FUTURE_ERRORS = {"TimeoutError": _FutureTimeout,
                  "CancelledError": _FutureCancelled}
for _name, _cls in _FUTURE_ERRORS.items():
    _cls.__name__ = _cls.__qualname__ = _name
    _cls.__module__ = "veldra.engine"
    _cls.__reduce__ = _reduce_future_error
del _cls, _name


class _SysStream:
    """Default for ``stdout``/``stderr``: the sys stream at call time."""

    __slots__ = ("name",)

    def __init__(self, name: str) -> None:
        self.name = name

    def __repr__(self) -> str:
        return "sys." + self.name


_SYS_OUT = _SysStream("stdout")
_SYS_ERR = _SysStream("stderr")

Stream = Any  # any object with a write(str) method, or None


# The native wait does not let signal handlers run, so waits without a
# limit go in slices of this many seconds: Ctrl-C gets in between.
_SLICE = 0.1


def _collect_sliced(handles: tuple, nout: int, timeout: Optional[float],
                    out: Optional[io.StringIO], err: Optional[io.StringIO]
                    ) -> Any:
    """getFEvalResult, waiting at most ``timeout`` seconds (None: no limit)
    in slices; raises the native TimeoutError when time is up."""
    if timeout is not None and timeout <= _SLICE:
        return _collect(handles, nout, max(timeout, 0.0), out=out, err=err)
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        left = _SLICE if deadline is None else min(
            _SLICE, max(deadline - time.monotonic(), 0.0))
        try:
            return _collect(handles, nout, left, out=out, err=err)
        except _NativeTimeout:
            if deadline is not None and time.monotonic() >= deadline:
                raise


def _engine_args(args: tuple) -> tuple:
    """The call arguments as the native module takes them: it knows typed
    arrays but not views into them, so a view goes as a copy of its own
    (``a[0]`` of a matrix as a 1-by-n row of the same class)."""
    for arg in args:
        if isinstance(arg, _ArrayView):
            return tuple(a._to_typed() if isinstance(a, _ArrayView) else a
                         for a in args)
    return args


def _closed_error() -> Exception:
    return EngineError("the engine is closed; start or connect to a new one")


def _capture_for(stream: Stream) -> Optional[io.StringIO]:
    """The io.StringIO the native module fills for ``stream`` (or None)."""
    if stream is None:
        return None
    if type(stream) is _StringIO:
        return stream          # written to directly, nothing to forward
    return _StringIO()


def _forward(capture: Optional[io.StringIO], stream: Stream) -> None:
    if capture is not None and capture is not stream:
        text = capture.getvalue()
        if text:
            stream.write(text)


def _resolve(stream: Stream, default: _SysStream) -> Stream:
    if stream is default:
        return getattr(sys, default.name)
    if stream is not None and not callable(getattr(stream, "write", None)):
        raise TypeError("stdout and stderr must be None or have a write() "
                        "method, not %s" % type(stream).__name__)
    return stream


# ---- sessions --------------------------------------------------------------

class _Session:
    """The native engine handle and what must happen once it is closed."""

    __slots__ = ("handle", "lock", "closed", "pending", "waiter", "name",
                 "__weakref__")

    def __init__(self, handle: int, name: Optional[str]) -> None:
        self.handle = handle
        self.name = name
        self.lock = threading.RLock()
        self.closed = False
        self.pending: "weakref.WeakSet[CallFuture]" = weakref.WeakSet()
        self.waiter: Optional[_Waiter] = None

    def release(self, handles: tuple) -> None:
        """Release a call in the engine client, unless the engine is closed."""
        with self.lock:
            if self.closed:
                return
            try:
                _destroy(handles)
            except Exception:   # noqa: BLE001 - released already, or engine gone
                pass


def _release_call(session: _Session, handles: tuple) -> None:
    # Finalizer of a CallFuture: runs exactly once (weakref.finalize).
    session.release(handles)


def _close_session(session: _Session) -> Optional[BaseException]:
    """Close an engine once; returns the native failure, if any."""
    with session.lock:
        if session.closed:
            return None
        pending = list(session.pending)
    # Calls still pending fail; releasing them cancels them in the engine
    # (which matters for a shared session, where they would go on).
    for future in pending:
        future._settle_exception(_closed_error())
    with session.lock:
        session.closed = True
    waiter = session.waiter
    if waiter is not None:
        waiter.stop()
    error = None
    try:
        _native.closeVELDRA(session.handle)
    except Exception as exc:   # noqa: BLE001 - reported by Engine.close
        error = exc
    try:
        _native.destroyVELDRA(session.handle)
    except Exception:   # noqa: BLE001 - nothing left to release
        pass
    for future in list(session.pending):
        future._settle_exception(_closed_error())
    return error


# ---- the background waiter ------------------------------------------------

class _Waiter:
    """Collects the futures that have done-callbacks or awaiting tasks.

    One daemon thread per engine.  The engine runs calls one at a time in the
    order they arrive, so the watched call submitted first is the next one to
    finish; the thread waits for it in short slices, so a call watched later
    but submitted earlier does not wait behind it.
    """

    SLICE = 0.05

    def __init__(self, session: _Session) -> None:
        self._session = session
        self._cond = threading.Condition()
        self._heap: list = []
        self._stopped = False
        self._thread: Optional[threading.Thread] = None

    def add(self, future: "CallFuture") -> None:
        with self._cond:
            if self._stopped:
                stopped = True
            else:
                stopped = False
                heapq.heappush(self._heap, (future._seq, future))
                if self._thread is None:
                    self._thread = threading.Thread(
                        target=self._run, name="veldra-engine-waiter",
                        daemon=True)
                    self._thread.start()
                self._cond.notify()
        if stopped:
            future._settle_exception(_closed_error())

    def stop(self) -> None:
        with self._cond:
            self._stopped = True
            self._cond.notify()

    def _next(self) -> Optional["CallFuture"]:
        with self._cond:
            while True:
                heap = self._heap
                while heap and heap[0][1]._settled():
                    heapq.heappop(heap)
                if self._stopped:
                    left = [f for _, f in heap]
                    heap.clear()
                    break
                if heap:
                    return heap[0][1]
                self._cond.wait()
        for future in left:
            future._settle_exception(_closed_error())
        return None

    def _run(self) -> None:
        while True:
            future = self._next()
            if future is None:
                return
            if self._session.closed:
                future._settle_exception(_closed_error())
                continue
            try:
                finished = _native.waitForFEval(future._handles, self.SLICE)
            except BaseException:   # noqa: BLE001 - collecting reports it
                finished = True
            if finished:
                try:
                    future._collect_now(None, background=True)
                except BaseException as exc:   # noqa: BLE001 - keep watching
                    future._settle_exception(exc)
                if not future._settled():
                    # Another thread is collecting it; it settles the future.
                    with self._cond:
                        try:
                            self._heap.remove((future._seq, future))
                            heapq.heapify(self._heap)
                        except ValueError:
                            pass


# ---- call futures ----------------------------------------------------------

_FINAL_STATES = (_cf_base.CANCELLED, _cf_base.CANCELLED_AND_NOTIFIED,
                 _cf_base.FINISHED)
_seq = itertools.count()


class CallFuture(concurrent.futures.Future):
    """The future of an engine function call started with ``Engine.submit``.

    It is a :class:`concurrent.futures.Future`: ``result``, ``exception``,
    ``cancel``, ``cancelled``, ``done``, ``running`` and
    ``add_done_callback`` behave as there, and ``concurrent.futures.wait``
    and ``as_completed`` accept it.  ``await future`` waits without
    blocking the event loop.

    The result is collected by the first thread that asks for it (or by the
    engine's background waiter once a done-callback is added or the future is
    awaited), and the call is released in the engine right then, or when the
    future is garbage-collected before anyone collected it (which cancels a
    call still running).

    Time-outs raise an error that is both ``veldra.engine.TimeoutError`` and
    the built-in ``TimeoutError`` (``concurrent.futures.TimeoutError``); the
    call goes on.  A cancelled call raises an error that is both
    ``veldra.engine.CancelledError`` and ``concurrent.futures.CancelledError``.
    """

    def __init__(self, engine: "Engine", name: str, handles: tuple, nout: int,
                 out: Stream, err: Stream, out_capture: Optional[io.StringIO],
                 err_capture: Optional[io.StringIO]) -> None:
        super().__init__()
        self._engine = engine              # keeps the engine open meanwhile
        self._session = engine._session
        self._name = name
        self._handles = handles
        self._nout = nout
        self._out, self._err = out, err
        self._out_capture, self._err_capture = out_capture, err_capture
        self._collecting = threading.Lock()
        self._watched = False
        self._seq = next(_seq)
        self._release = weakref.finalize(self, _release_call, self._session,
                                         handles)
        self._release.atexit = False
        self._session.pending.add(self)

    # concurrent.futures.wait() and as_completed() register their waiters
    # here; a future they wait for has to be collected in the background.
    @property
    def _waiters(self) -> list:
        if self._state == _cf_base.PENDING and not self._watched:
            self._watch()
        return self.__waiters

    @_waiters.setter
    def _waiters(self, value: list) -> None:
        self.__waiters = value

    def __lt__(self, other: "CallFuture") -> bool:   # heap ties never happen
        return self._seq < other._seq

    def __repr__(self) -> str:
        return "<CallFuture %s at %#x state=%s>" % (
            self._name, id(self), self._state.lower())

    # -- settling ----------------------------------------------------------

    def _settled(self) -> bool:
        return self._state in _FINAL_STATES

    def _settle_result(self, value: Any) -> None:
        try:
            self.set_result(value)
        except concurrent.futures.InvalidStateError:
            pass
        self._release()

    def _settle_exception(self, exc: BaseException) -> None:
        try:
            self.set_exception(exc)
        except concurrent.futures.InvalidStateError:
            pass
        self._release()

    def _settle_cancelled(self) -> None:
        if super().cancel():
            with self._condition:
                if self._state == _cf_base.CANCELLED:
                    # Wakes concurrent.futures.wait() and as_completed().
                    self.set_running_or_notify_cancel()
        self._release()

    def _watch(self) -> None:
        self._watched = True
        session = self._session
        with session.lock:
            if session.waiter is None:
                session.waiter = _Waiter(session)
            waiter = session.waiter
        waiter.add(self)

    def _collect_now(self, timeout: Optional[float], background: bool = False
                     ) -> None:
        """Collect the call's outcome into this future, waiting at most
        ``timeout`` seconds (None: no limit)."""
        if self._settled():
            return
        deadline = None if timeout is None else time.monotonic() + timeout
        if background:
            if not self._collecting.acquire(blocking=False):
                return
        elif not self._collecting.acquire(
                timeout=-1 if timeout is None else max(timeout, 0.0)):
            raise self._timeout_error(timeout)
        try:
            if self._settled():
                return
            if self._session.closed:
                self._settle_exception(_closed_error())
                return
            left = None if deadline is None else max(
                deadline - time.monotonic(), 0.0)
            try:
                value = _collect_sliced(self._handles, self._nout, left,
                                        self._out_capture, self._err_capture)
            except _NativeTimeout:
                raise self._timeout_error(timeout) from None
            except _NativeCancelled:
                self._forward(failed=True)
                self._settle_cancelled()
            except BaseException as exc:
                if (not isinstance(exc, Exception)
                        or not self._call_finished()):
                    raise        # e.g. Ctrl-C while waiting; the call goes on
                self._forward(failed=True)
                self._settle_exception(exc)
            else:
                try:
                    self._forward(failed=False)
                except BaseException as exc:   # noqa: BLE001 - the call's error
                    self._settle_exception(exc)
                else:
                    self._settle_result(value)
        finally:
            self._collecting.release()

    def _call_finished(self) -> bool:
        try:
            return _native.isDoneFEval(self._handles)
        except Exception:   # noqa: BLE001 - no such call any more
            return True

    def _forward(self, failed: bool) -> None:
        try:
            _forward(self._out_capture, self._out)
            _forward(self._err_capture, self._err)
        except Exception:
            if not failed:
                raise

    def _timeout_error(self, timeout: Optional[float]) -> Exception:
        return _FutureTimeout("the call to %s did not finish within %s "
                              "seconds; it goes on" % (self._name, timeout))

    def _cancelled_error(self) -> Exception:
        return _FutureCancelled("the call to %s was cancelled" % self._name)

    # -- the concurrent.futures.Future interface -----------------------------

    def result(self, timeout: Optional[float] = None) -> Any:
        """The call's result (see ``Engine.call``), waiting at most
        ``timeout`` seconds (None: as long as it takes).  Raises the call's
        error if it failed."""
        self._collect_now(timeout)
        if super().cancelled():
            raise self._cancelled_error()
        return super().result(0)

    def exception(self, timeout: Optional[float] = None
                  ) -> Optional[BaseException]:
        """The call's error, or None when it succeeded; waits like
        :meth:`result`.  Raises the cancellation error for a cancelled call."""
        self._collect_now(timeout)
        if super().cancelled():
            raise self._cancelled_error()
        return super().exception(0)

    def cancel(self) -> bool:
        """Cancel the call, queued or running; True unless it had already
        finished (or was cancelled before, which also gives True)."""
        if self._settled():
            return super().cancelled()
        if self._session.closed:
            return False
        try:
            cancelled = _native.cancelFEval(self._handles)
        except Exception:   # noqa: BLE001 - finished one way or another
            cancelled = False
        if not cancelled:
            return super().cancelled()
        self._settle_cancelled()
        return True

    def cancelled(self) -> bool:
        """True when the call was cancelled."""
        return super().cancelled()

    def done(self) -> bool:
        """True when the call was cancelled or has finished, so that
        :meth:`result` returns at once."""
        if super().done():
            return True
        if self._session.closed:
            return False
        return self._call_finished()

    def running(self) -> bool:
        """True while the call is queued or running in the engine (it can
        still be cancelled)."""
        return not self.done()

    def add_done_callback(self, fn: Callable[["CallFuture"], Any]) -> None:
        """Call ``fn(future)`` once the outcome is known (at once if it is).
        The engine's background waiter collects the call for it."""
        if not self._settled() and not self._watched:
            self._watch()
        super().add_done_callback(fn)

    def __await__(self):
        """``await future`` in a coroutine gives the result; cancelling the
        awaiting task cancels the call."""
        import asyncio
        return asyncio.wrap_future(self).__await__()


# ---- launches --------------------------------------------------------------

def _release_launch(handle: int) -> None:
    try:
        _native.destroyVELDRA(handle)
    except Exception:   # noqa: BLE001 - already gone
        pass


class LaunchFuture:
    """A pending engine launch or attachment (``start(wait=False)``,
    ``connect(wait=False)``).

    ``result()`` gives the :class:`Engine` once it is ready (the same one on
    every call).  Dropping the future before that stops the engine again.
    ``await launch`` works in a coroutine.
    """

    def __init__(self, handle: int, name: Optional[str]) -> None:
        self._handle = handle
        self._name = name
        self._lock = threading.Lock()
        self._engine: Optional[Engine] = None
        self._error: Optional[BaseException] = None
        self._cancelled = False
        self._release = weakref.finalize(self, _release_launch, handle)

    def __repr__(self) -> str:
        state = ("cancelled" if self._cancelled else
                 "finished" if self.done() else "pending")
        what = "attachment to %r" % self._name if self._name else "launch"
        return "<LaunchFuture %s %s>" % (what, state)

    def result(self, timeout: Optional[float] = None) -> "Engine":
        """The engine, waiting at most ``timeout`` seconds for it (None: as
        long as it takes).  Raises ``EngineError`` when it failed to start,
        the cancellation error when it was cancelled, and the time-out error
        (both ``veldra.engine.TimeoutError`` and ``TimeoutError``) when it is
        not ready in time."""
        if self._engine is None and self._error is None:
            if not self._cancelled:
                try:
                    ready = _native.waitForVELDRA(
                        self._handle,
                        -1.0 if timeout is None else max(timeout, 0.0))
                except EngineError:
                    ready = True    # another thread took the engine meanwhile
                if not ready:
                    raise _FutureTimeout("the engine was not ready within %s "
                                         "seconds" % timeout)
            with self._lock:
                if self._engine is None and self._error is None:
                    self._finish()
        if self._error is not None:
            raise self._error
        return self._engine

    def _finish(self) -> None:
        if self._cancelled:
            self._error = _FutureCancelled(
                "the attachment to %r was cancelled" % self._name
                if self._name else "the engine launch was cancelled")
        else:
            try:
                handle = _native.getVELDRA(self._handle)
            except Exception as exc:
                self._error = exc
            else:
                self._engine = Engine._from_handle(handle, self._name)
        self._release()     # the engine, if any, stays

    def cancel(self) -> bool:
        """Stop a launch that is not ready yet; False once it is done."""
        with self._lock:
            if self._cancelled:
                return True
            if self._engine is not None or self._error is not None:
                return False
            if _native.isDoneVELDRA(self._handle):
                return False
            self._cancelled = True
            _native.cancelVELDRA(self._handle)
            return True

    def cancelled(self) -> bool:
        """True when the launch was cancelled."""
        return self._cancelled

    def done(self) -> bool:
        """True when :meth:`result` returns (or raises) at once."""
        if self._cancelled or self._engine is not None or self._error:
            return True
        return bool(_native.isDoneVELDRA(self._handle))

    def __await__(self):
        """``await launch`` gives the engine without blocking the event loop
        (the wait runs in the loop's default executor)."""
        import asyncio
        return asyncio.get_running_loop().run_in_executor(
            None, self.result).__await__()


# ---- engines ---------------------------------------------------------------

def _call(session: _Session, name: str, args: tuple, nout: int,
          stdout: Stream, stderr: Stream) -> Any:
    """Run one call to completion: submit, collect, release, forward text."""
    if session.closed:
        raise _closed_error()
    out = sys.stdout if stdout is _SYS_OUT else _resolve(stdout, _SYS_OUT)
    err = sys.stderr if stderr is _SYS_ERR else _resolve(stderr, _SYS_ERR)
    out_capture = None if out is None else (
        out if type(out) is _StringIO else _StringIO())
    err_capture = None if err is None else (
        err if type(err) is _StringIO else _StringIO())
    handles = _evaluate(session.handle, name, nout, _engine_args(args),
                        out=out_capture, err=err_capture)
    failed = True
    try:
        try:
            # Most calls are done within the first slice.
            value = _collect(handles, nout, _SLICE,
                             out=out_capture, err=err_capture)
        except _NativeTimeout:
            value = _collect_sliced(handles, nout, None,
                                    out_capture, err_capture)
        failed = False
    finally:
        # Releasing a call that still runs (Ctrl-C) cancels it.  No lock
        # here, unlike the finalizers: this thread owns the call, and a close
        # racing with it leaves the handles valid in the engine client.
        if not session.closed:
            try:
                _destroy(handles)
            except Exception:   # noqa: BLE001 - the engine went away
                pass
        try:
            if out_capture is not None and out_capture is not out:
                _forward(out_capture, out)
            if err_capture is not None and err_capture is not err:
                _forward(err_capture, err)
        except Exception:
            if not failed:
                raise
    return value


class EngineFunction:
    """An engine function bound to an engine: ``eng.sqrt`` is one.

    It refers to the engine weakly: once the engine is closed or
    garbage-collected, calling it raises ``EngineError``.
    """

    __slots__ = ("_session", "_engine", "_name")

    def __init__(self, engine: "Engine", name: str) -> None:
        self._session = engine._session
        self._engine = weakref.ref(engine)
        self._name = name

    def __call__(self, *args: Any, nout: int = 1, stdout: Stream = _SYS_OUT,
                 stderr: Stream = _SYS_ERR) -> Any:
        """Call the function; see :meth:`Engine.call`."""
        return _call(self._session, self._name, args, nout, stdout, stderr)

    def submit(self, *args: Any, nout: int = 1, stdout: Stream = _SYS_OUT,
               stderr: Stream = _SYS_ERR) -> CallFuture:
        """Start the call and return its future; see :meth:`Engine.submit`."""
        engine = self._engine()
        if engine is None:
            raise _closed_error()
        return engine.submit(self._name, *args, nout=nout, stdout=stdout,
                             stderr=stderr)

    @property
    def __name__(self) -> str:
        return self._name

    def __repr__(self) -> str:
        return "<engine function %s>" % self._name


class Engine:
    """A connection to a running VELDRA engine.

    Get one from :func:`start` or :func:`connect`.  Every engine function is
    a method: ``eng.sqrt(4.0)``, ``eng.qr(a, nout=2)``; :meth:`call` takes
    the function name as a string, :meth:`submit` returns a
    :class:`CallFuture` at once, and :attr:`workspace` maps the engine's
    variables.  Names starting with an underscore and the names of this
    class's own attributes (``call``, ``submit``, ``close``, ``closed``,
    ``workspace``, ``name``) need :meth:`call`.

    ``close()`` (also at the end of a ``with`` block, when the engine is
    garbage-collected, and at interpreter exit) stops a launched engine or
    detaches from a shared one.  Using a closed or dead engine raises
    ``EngineError``.  Several threads may use one engine at once.
    """

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("engines come from veldra.engine.start() or "
                        "veldra.engine.connect()")

    @classmethod
    def _from_handle(cls, handle: int, name: Optional[str]) -> "Engine":
        self = object.__new__(cls)
        self._session = session = _Session(handle, name)
        self._finalizer = weakref.finalize(self, _close_session, session)
        return self

    @property
    def workspace(self) -> "Workspace":
        """The engine's variables as a :class:`Workspace` mapping."""
        return Workspace(self)

    # -- calls ---------------------------------------------------------------

    def call(self, name: str, *args: Any, nout: int = 1,
             stdout: Stream = _SYS_OUT, stderr: Stream = _SYS_ERR) -> Any:
        """Call the engine function ``name`` with ``args`` and wait for it.

        ``nout`` is the number of results asked for: 0 gives None, 1 the
        result, more a tuple of the results (the engine decides how many it
        returns).  The text the function prints goes to ``stdout`` and
        ``stderr`` (default: ``sys.stdout``/``sys.stderr`` at the time of the
        call; any object with ``write``; None leaves it uncaptured: the
        engine writes it to its own standard output), also when the call
        fails.

        Errors: ``VeldraExecutionError`` (the function failed),
        ``SyntaxError`` (engine syntax errors), ``TypeError``/``ValueError``
        (a value without a conversion), ``InterruptedError`` (interrupted),
        ``EngineError`` (closed or dead engine).  Ctrl-C while waiting
        cancels the call.
        """
        if not isinstance(name, str):
            raise TypeError("the function name must be a str, not %s"
                            % type(name).__name__)
        return _call(self._session, name, args, nout, stdout, stderr)

    def submit(self, name: str, *args: Any, nout: int = 1,
               stdout: Stream = _SYS_OUT, stderr: Stream = _SYS_ERR
               ) -> CallFuture:
        """Start a call of ``name`` and return its :class:`CallFuture` at
        once.  The engine runs calls one at a time, in the order they come.
        Arguments as for :meth:`call`; the streams are the ones current now
        and get the text when the result is collected."""
        if not isinstance(name, str):
            raise TypeError("the function name must be a str, not %s"
                            % type(name).__name__)
        session = self._session
        if session.closed:
            raise _closed_error()
        out = _resolve(stdout, _SYS_OUT)
        err = _resolve(stderr, _SYS_ERR)
        out_capture = _capture_for(out)
        err_capture = _capture_for(err)
        handles = _evaluate(session.handle, name, nout, _engine_args(args),
                            out=out_capture, err=err_capture)
        return CallFuture(self, name, handles, nout, out, err,
                          out_capture, err_capture)

    def __getattr__(self, name: str) -> EngineFunction:
        if name.startswith("_"):
            raise AttributeError(name)
        function = EngineFunction(self, name)
        # Later look-ups find it directly (no cycle: it refers back weakly).
        self.__dict__[name] = function
        return function

    # -- lifetime ------------------------------------------------------------

    @property
    def name(self) -> Optional[str]:
        """The shared session's name for an attached engine, else None."""
        return self._session.name

    @property
    def closed(self) -> bool:
        """True once :meth:`close` ran."""
        return self._session.closed

    def close(self) -> None:
        """Stop the engine (a launched one) or detach from it (a shared
        session).  Closing again does nothing.  Calls still pending are
        cancelled and fail with ``EngineError``."""
        if self._finalizer.alive:
            error = self._finalizer()
            if error is not None:
                raise EngineError("closing the engine failed: %s" % error
                                  ) from error

    def __enter__(self) -> "Engine":
        if self._session.closed:
            raise _closed_error()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._session.closed else "open"
        where = ("shared session %r" % self._session.name
                 if self._session.name else "launched")
        return "<veldra.engine.Engine %s, %s>" % (where, state)

    def __reduce__(self):
        raise TypeError("an Engine cannot be pickled")


# ---- the workspace ---------------------------------------------------------

class Workspace(MutableMapping):
    """The engine's variables as a mapping: ``eng.workspace["x"] = 1.0``.

    Reading uses the engine function ``fetch``, writing ``assign``, ``del``
    ``clear``, ``in`` ``exists`` and ``len``/iteration ``names``.  Keys must
    be valid variable names (an ASCII letter, then letters, digits or
    underscores, at most 63 characters): reading or deleting any other key
    raises ``KeyError``, assigning it ``ValueError``, ``in`` gives False;
    none of these reaches the engine.  Engine output of these calls goes to
    ``sys.stdout``/``sys.stderr``.
    """

    __slots__ = ("_engine",)

    def __init__(self, engine: Engine) -> None:
        self._engine = engine

    @staticmethod
    def _valid(name: Any) -> bool:
        return isinstance(name, str) and _native.validateIdentity(name)

    def __getitem__(self, name: str) -> Any:
        if not self._valid(name):
            raise KeyError(name)
        try:
            return self._engine.call("fetch", name)
        except VeldraExecutionError:
            if not self._engine.call("exists", name):
                raise KeyError(name) from None
            raise

    def __setitem__(self, name: str, value: Any) -> None:
        if not self._valid(name):
            raise ValueError("%r is not a valid variable name" % (name,))
        self._engine.call("assign", name, value, nout=0)

    def __delitem__(self, name: str) -> None:
        if not self._valid(name) or not self._engine.call("exists", name):
            raise KeyError(name)
        self._engine.call("clear", name, nout=0)

    def __contains__(self, name: object) -> bool:
        return self._valid(name) and bool(self._engine.call("exists", name))

    def _names(self) -> list:
        names = self._engine.call("names")
        if names is None:
            return []
        if isinstance(names, str):
            return [names] if names else []
        return list(names)

    def __iter__(self) -> Iterator[str]:
        return iter(self._names())

    def __len__(self) -> int:
        return len(self._names())

    def clear(self) -> None:
        """Delete every variable (one engine call)."""
        self._engine.call("clear", nout=0)

    def __repr__(self) -> str:
        try:
            return "<Workspace %r>" % (self._names(),)
        except Exception:   # noqa: BLE001 - closed engine
            return "<Workspace of a closed engine>"


# ---- module functions ------------------------------------------------------

def _options(options: Union[str, Sequence[str]]) -> list:
    if isinstance(options, str):
        return options.split()
    if isinstance(options, (bytes, bytearray)):
        raise TypeError("options must be a str or a sequence of str")
    result = list(options)
    for item in result:
        if not isinstance(item, str):
            raise TypeError("each option must be a str, not %s"
                            % type(item).__name__)
    return result


def start(options: Union[str, Sequence[str]] = (), *, wait: bool = True
          ) -> Union[Engine, LaunchFuture]:
    """Launch a new engine process for this program.

    ``options`` is a string split on whitespace (``"--threads 2"``) or a
    sequence of strings (``["--share", "demo"]``).  Returns the
    :class:`Engine`, or with ``wait=False`` a :class:`LaunchFuture` at
    once.  A bad option or a failed start raises ``EngineError``.
    """
    opts = _options(options)
    _native.createProcess()
    launch = LaunchFuture(_native.createVELDRAAsync(opts), None)
    return launch.result() if wait else launch


def find_shared() -> tuple:
    """The names of the shared sessions of this user, as a tuple."""
    _native.createProcess()
    return tuple(_native.findVELDRA())


def connect(name: Optional[str] = None, *, wait: bool = True
            ) -> Union[Engine, LaunchFuture]:
    """Attach to the shared session ``name`` (default: the first one
    :func:`find_shared` lists).  Raises ``EngineError`` when there is no such
    session.  Closing the engine detaches; the session goes on.  With
    ``wait=False`` returns a :class:`LaunchFuture` at once."""
    if name is None:
        names = find_shared()
        if not names:
            raise EngineError("there is no shared session to connect to; "
                              "start one with 'python -m veldra.engine serve "
                              "NAME'")
        name = names[0]
    if not isinstance(name, str):
        raise TypeError("the session name must be a str, not %s"
                        % type(name).__name__)
    _native.createProcess()
    launch = LaunchFuture(_native.attachVELDRAAsync(name), name)
    return launch.result() if wait else launch
