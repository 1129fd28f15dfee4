"""Engines, their functions, call futures and the workspace.

This module holds what ``veldra.engine`` offers on top of the native module:
:func:`start`, :func:`connect`, :func:`find_shared`, :class:`Engine`,
:class:`CallFuture`, :class:`LaunchFuture` and :class:`Workspace`.

Every engine keeps its native handle in a :class:`_Session`, which the
futures and the finalizers share; once the session is closed nothing touches
the handles of that engine again.
"""
import concurrent.futures
import concurrent.futures._base as _cf_base
import heapq
import io
import itertools
import sys
import threading
import weakref

from veldra._compat import (PY2, MutableMapping, TimedLock, chained,
                            monotonic, text_types)
from veldra._vdarray import ArrayView as _ArrayView

# The native module publishes the error classes in the package on import.
from . import _native, _help, _log, EngineError, VeldraExecutionError
from . import CancelledError as _NativeCancelled
from . import TimeoutError as _NativeTimeout

__all__ = ["Engine", "CallFuture", "LaunchFuture", "Workspace",
           "start", "connect", "find_shared"]

if PY2:
    # The 2.7 build of the native module captures into StringIO.StringIO;
    # weakref.finalize and the future's state checks come from backports.
    from StringIO import StringIO as _StringIO
    from backports.weakref import finalize as _finalize
    from ._future27 import Future as _Future, InvalidStateError
else:
    _StringIO = io.StringIO
    _finalize = weakref.finalize
    _Future = concurrent.futures.Future
    InvalidStateError = concurrent.futures.InvalidStateError

_evaluate = _native.evaluateFunction
_collect = _native.getFEvalResult
_wait = _native.waitForFEval
_destroy = _native.destroyFEvalResult
_batch = _native._batch

# EngineFunction.map submits this many calls in one step, the next step
# before collecting the one before, so the engine never waits for us.
_MAP_STEP = 2048


try:
    _TIMEOUT_BASES = (_NativeTimeout, TimeoutError)
except NameError:           # Python 2.7 has no built-in TimeoutError
    _TIMEOUT_BASES = (_NativeTimeout,)
if concurrent.futures.TimeoutError not in _TIMEOUT_BASES:
    # A class of its own before Python 3.11.
    _TIMEOUT_BASES += (concurrent.futures.TimeoutError,)

_FutureTimeout = type("_FutureTimeout", _TIMEOUT_BASES, {
    "__doc__": "A future's result was not there in time; the call goes on. "
               "veldra.engine.TimeoutError, the built-in TimeoutError and "
               "concurrent.futures.TimeoutError all catch it."})


class _FutureCancelled(_NativeCancelled, concurrent.futures.CancelledError):
    """The call or launch was cancelled.

    Both ``veldra.engine.CancelledError`` and
    ``concurrent.futures.CancelledError`` catch it.
    """


def _future_error(kind, args):
    """Unpickle a future's time-out or cancellation error."""
    return _FUTURE_ERRORS[kind](*args)


def _reduce_future_error(self):
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


class _SysStream(object):
    """Default for ``stdout``/``stderr``: the sys stream at call time."""

    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return "sys." + self.name


_SYS_OUT = _SysStream("stdout")
_SYS_ERR = _SysStream("stderr")


# The native wait does not let signal handlers run, so waits without a
# limit go in slices of this many seconds: Ctrl-C gets in between.
_SLICE = 0.1


def _collect_sliced(handles, nout, timeout, out, err, numpy=False):
    """getFEvalResult, waiting at most ``timeout`` seconds (None: no limit);
    raises the native TimeoutError when time is up.  ``numpy``: numeric and
    logical results as NumPy arrays.  The wait goes in slices, each a plain
    yes-or-no wait, and the result is collected once."""
    if timeout is not None and timeout <= _SLICE:
        return _collect(handles, nout, max(timeout, 0.0), out=out, err=err,
                        numpy=numpy)
    deadline = None if timeout is None else monotonic() + timeout
    while True:
        left = _SLICE if deadline is None else min(
            _SLICE, max(deadline - monotonic(), 0.0))
        try:
            if _wait(handles, left):
                break
        except Exception:   # noqa: BLE001 - collecting reports what it is
            break
        if deadline is not None and monotonic() >= deadline:
            break
    return _collect(handles, nout, 0.0, out=out, err=err, numpy=numpy)


def _keywords_only(function, given, **defaults):
    """The keyword-only parameters ``defaults`` of ``function`` with the
    values ``given`` (its ``**`` dict): one signature that Python 2.7 reads
    too.  Unknown names raise ``TypeError``, as Python does."""
    for key in given:
        if key not in defaults:
            raise TypeError("%s() got an unexpected keyword argument %r"
                            % (function, key))
    defaults.update(given)
    return defaults


def _call_options(function, options):
    """``nout``, ``stdout``, ``stderr`` and ``numpy`` of a call from its
    keywords (``numpy=None``: the engine's setting)."""
    values = _keywords_only(function, options, nout=1, stdout=_SYS_OUT,
                            stderr=_SYS_ERR, numpy=None)
    return (values["nout"], values["stdout"], values["stderr"],
            values["numpy"])


def _as_numpy(session, numpy):
    return session.numpy if numpy is None else bool(numpy)


def _engine_args(args):
    """The call arguments as the native module takes them: it knows typed
    arrays but not views into them, so a view goes as a copy of its own
    (``a[0]`` of a matrix as a 1-by-n row of the same class)."""
    for arg in args:
        if isinstance(arg, _ArrayView):
            return tuple(a._to_typed() if isinstance(a, _ArrayView) else a
                         for a in args)
    return args


def _closed_error():
    return EngineError("the engine is closed; start or connect to a new one")


def _capture_for(stream):
    """The io.StringIO the native module fills for ``stream`` (or None)."""
    if stream is None:
        return None
    if stream.__class__ is _StringIO:
        return stream          # written to directly, nothing to forward
    return _StringIO()


def _forward(capture, stream, reset=False):
    if capture is not None and capture is not stream:
        text = capture.getvalue()
        if text:
            if PY2 and isinstance(text, str) and isinstance(stream,
                                                            io.TextIOBase):
                text = text.decode("ascii")     # io streams take unicode only
            stream.write(text)
            if reset:
                capture.seek(0)
                capture.truncate()


def _forward_both(out_capture, out, err_capture, err, failed, reset=False):
    """Write a call's captured text to its streams.  When the call failed,
    its own error matters more than a stream's failure to take the text."""
    try:
        _forward(out_capture, out, reset)
        _forward(err_capture, err, reset)
    except Exception:
        if not failed:
            raise


def _streams(session, stdout, stderr):
    """The streams of a call that starts now, and the captures the native
    module fills for them: ``(out, err, out_capture, err_capture)``."""
    if session.closed:
        raise _closed_error()
    out = _resolve(stdout, _SYS_OUT)
    err = _resolve(stderr, _SYS_ERR)
    return out, err, _capture_for(out), _capture_for(err)


def _resolve(stream, default):
    if stream is default:
        return getattr(sys, default.name)
    if stream is not None and not callable(getattr(stream, "write", None)):
        raise TypeError("stdout and stderr must be None or have a write() "
                        "method, not %s" % type(stream).__name__)
    return stream


# ---- sessions --------------------------------------------------------------

class _Session(object):
    """The native engine handle and what must happen once it is closed."""

    __slots__ = ("handle", "lock", "closed", "pending", "waiter", "name",
                 "numpy", "__weakref__")

    def __init__(self, handle, name, numpy=False):
        self.handle = handle
        self.name = name
        self.numpy = numpy      # results as NumPy arrays unless a call says
        self.lock = threading.RLock()
        self.closed = False
        # {seq: finalizer} of the futures not yet released; a finalizer
        # refers to its future weakly and leaves this when it runs.
        self.pending = {}
        self.waiter = None

    def release(self, handles):
        """Release a call in the engine client, unless the engine is closed."""
        with self.lock:
            if self.closed:
                return
            try:
                _destroy(handles)
            except Exception:   # noqa: BLE001 - released already, or engine gone
                pass


def _release_call(session, seq, handles):
    # Finalizer of a CallFuture: runs exactly once (weakref.finalize).
    session.pending.pop(seq, None)
    session.release(handles)


def _pending_futures(session):
    """The futures of the session's calls not yet released."""
    futures = []
    for finalizer in list(session.pending.values()):
        alive = finalizer.peek()
        if alive is not None:
            futures.append(alive[0])
    return futures


def _close_session(session):
    """Close an engine once; returns the native failure, if any."""
    with session.lock:
        if session.closed:
            return None
        pending = _pending_futures(session)
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
    _log.closed(session, error)
    try:
        _native.destroyVELDRA(session.handle)
    except Exception:   # noqa: BLE001 - nothing left to release
        pass
    for future in _pending_futures(session):
        future._settle_exception(_closed_error())
    return error


# ---- the background waiter ------------------------------------------------

class _Waiter(object):
    """Collects the futures that have done-callbacks or awaiting tasks.

    One daemon thread per engine.  The engine runs calls one at a time in the
    order they arrive, so the watched call submitted first is the next one to
    finish; the thread waits for it in short slices, so a call watched later
    but submitted earlier does not wait behind it.
    """

    SLICE = 0.05

    def __init__(self, session):
        self._session = session
        self._cond = threading.Condition()
        self._heap = []
        self._stopped = False
        self._thread = None

    def add(self, future):
        with self._cond:
            if self._stopped:
                stopped = True
            else:
                stopped = False
                heapq.heappush(self._heap, (future._seq, future))
                if self._thread is None:
                    self._thread = threading.Thread(
                        target=self._run, name="veldra-engine-waiter")
                    self._thread.daemon = True
                    self._thread.start()
                self._cond.notify()
        if stopped:
            future._settle_exception(_closed_error())

    def stop(self):
        with self._cond:
            self._stopped = True
            self._cond.notify()

    def _next(self):
        with self._cond:
            while True:
                heap = self._heap
                while heap and heap[0][1]._settled():
                    heapq.heappop(heap)
                if self._stopped:
                    left = [f for _, f in heap]
                    del heap[:]
                    break
                if heap:
                    return heap[0][1]
                self._cond.wait()
        for future in left:
            future._settle_exception(_closed_error())
        return None

    def _run(self):
        while True:
            future = None   # not kept alive (nor its engine) while waiting
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


class _SettlingCondition(object):
    """The lock of a call future, in the place of the base's
    ``threading.Condition``.

    ``concurrent.futures.wait`` and ``as_completed`` take the lock of every
    future they are given and read the futures' state more than once while
    they hold it; it must not change in between.  So a future whose call the
    engine has finished is settled when its lock is taken, not when its state
    is read.  The future is held weakly: a future is released when it is
    dropped, not when the cycle collector finds it.  The condition proper is
    made only when a thread waits on the future (most never do).
    """

    __slots__ = ("_future", "_lock", "_cond")

    def __init__(self, future):
        self._future = weakref.ref(future)
        self._lock = threading.RLock()
        self._cond = None

    def acquire(self, *args):
        future = self._future()
        if future is not None and not self._lock._is_owned():
            future._settle_now()
        return self._lock.acquire(*args)

    def release(self):
        self._lock.release()

    def __enter__(self):
        return self.acquire()

    def __exit__(self, *exc_info):
        self._lock.release()

    # Called with the lock held, so made and notified under it.
    def wait(self, timeout=None):
        if self._cond is None:
            self._cond = threading.Condition(self._lock)
        return self._cond.wait(timeout)

    def notify(self, n=1):
        if self._cond is not None:
            self._cond.notify(n)

    def notify_all(self):
        if self._cond is not None:
            self._cond.notify_all()


class CallFuture(_Future):
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

    def __init__(self, engine, name, handles, nout, out, err, out_capture,
                 err_capture, numpy=False):
        # What concurrent.futures.Future.__init__ sets up (the futures rely
        # on these internals of the base, and on its _state values, and
        # nothing more: tests/python/test_api_inflight.py checks them), with
        # the lock of our own instead of a threading.Condition.
        self._condition = _SettlingCondition(self)
        self._state = _cf_base.PENDING
        self._result = None
        self._exception = None
        self._waiters = []
        self._done_callbacks = []
        if PY2:
            self._traceback = None
        self._engine = engine              # keeps the engine open meanwhile
        self._session = engine._session
        self._name = name
        self._handles = handles
        self._nout = nout
        self._numpy = numpy
        self._out, self._err = out, err
        self._out_capture, self._err_capture = out_capture, err_capture
        self._collecting = TimedLock()
        self._in_collect = False           # this or another thread collects
        self._watched = False
        self._seq = next(_seq)
        self._release = release = _finalize(self, _release_call,
                                            self._session, self._seq, handles)
        release.atexit = False
        self._session.pending[self._seq] = release

    # concurrent.futures.wait() and as_completed() register their waiters
    # here; a future they wait for has to be collected in the background.
    @property
    def _waiters(self):
        if self._state == _cf_base.PENDING and not self._watched:
            self._watch()
        return self.__waiters

    @_waiters.setter
    def _waiters(self, value):
        self.__waiters = value

    def _settle_now(self):
        # Whatever looks at the outcome (done(), wait(), as_completed(), the
        # repr, add_done_callback) finds a call the engine has finished
        # settled: it is collected right here, on the looking thread, unless
        # another thread is collecting it this moment.
        if self._state == _cf_base.PENDING and not self._in_collect:
            self._settle_if_finished()

    def __lt__(self, other):   # heap ties never happen
        return self._seq < other._seq

    def __repr__(self):
        self._settle_now()
        state = self._state
        if state == _cf_base.FINISHED:
            outcome = self._exception
            if outcome is None:
                state = "finished returned " + type(self._result).__name__
            else:
                state = "finished raised " + type(outcome).__name__
        elif state in _FINAL_STATES:
            state = "cancelled"
        else:
            state = "pending"
        return "<CallFuture %s at %#x state=%s>" % (self._name, id(self), state)

    # -- settling ----------------------------------------------------------

    def _settled(self):
        return self._state in _FINAL_STATES

    def _settle_if_finished(self):
        if self._session.closed or not self._call_finished():
            return
        try:
            self._collect_now(None, background=True)
        except Exception as exc:   # noqa: BLE001 - the call's outcome
            self._settle_exception(exc)

    def _settle_result(self, value):
        try:
            self.set_result(value)
        except InvalidStateError:
            pass
        self._done_with_engine()

    def _settle_exception(self, exc):
        try:
            self.set_exception(exc)
        except InvalidStateError:
            pass
        self._done_with_engine()

    def _settle_cancelled(self):
        if super(CallFuture, self).cancel():
            with self._condition:
                if self._state == _cf_base.CANCELLED:
                    # Wakes concurrent.futures.wait() and as_completed().
                    self.set_running_or_notify_cancel()
        self._done_with_engine()

    def _done_with_engine(self):
        # A settled future no longer keeps its engine open.
        self._release()
        self._engine = None

    def _watch(self):
        self._watched = True
        session = self._session
        with session.lock:
            if session.waiter is None:
                session.waiter = _Waiter(session)
            waiter = session.waiter
        waiter.add(self)

    def _collect_now(self, timeout, background=False):
        """Collect the call's outcome into this future, waiting at most
        ``timeout`` seconds (None: no limit)."""
        if self._settled():
            return
        deadline = None if timeout is None else monotonic() + timeout
        if background:
            if not self._collecting.acquire(blocking=False):
                return
        elif not self._collecting.acquire(
                timeout=-1 if timeout is None else max(timeout, 0.0)):
            raise self._timeout_error(timeout)
        self._in_collect = True
        try:
            if self._settled():
                return
            if self._session.closed:
                self._settle_exception(_closed_error())
                return
            left = None if deadline is None else max(
                deadline - monotonic(), 0.0)
            try:
                value = _collect_sliced(self._handles, self._nout, left,
                                        self._out_capture, self._err_capture,
                                        self._numpy)
            except _NativeTimeout:
                raise chained(self._timeout_error(timeout), None)
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
            self._in_collect = False
            self._collecting.release()

    def _call_finished(self):
        try:
            return _native.isDoneFEval(self._handles)
        except Exception:   # noqa: BLE001 - no such call any more
            return True

    def _forward(self, failed):
        _forward_both(self._out_capture, self._out, self._err_capture,
                      self._err, failed)

    def _timeout_error(self, timeout):
        return _FutureTimeout("the call to %s did not finish within %s "
                              "seconds; it goes on" % (self._name, timeout))

    def _cancelled_error(self):
        return _FutureCancelled("the call to %s was cancelled" % self._name)

    # -- the concurrent.futures.Future interface -----------------------------

    def result(self, timeout=None):
        """The call's result (see ``Engine.call``), waiting at most
        ``timeout`` seconds (None: as long as it takes).  Raises the call's
        error if it failed."""
        self._collect_now(timeout)
        if self._state == _cf_base.FINISHED and self._exception is None:
            return self._result
        if super(CallFuture, self).cancelled():
            raise self._cancelled_error()
        return super(CallFuture, self).result(0)

    def exception(self, timeout=None):
        """The call's error, or None when it succeeded; waits like
        :meth:`result`.  Raises the cancellation error for a cancelled call."""
        self._collect_now(timeout)
        if super(CallFuture, self).cancelled():
            raise self._cancelled_error()
        return super(CallFuture, self).exception(0)

    def cancel(self):
        """Cancel the call, queued or running; True unless it had already
        finished (or was cancelled before, which also gives True)."""
        if self._settled():
            return super(CallFuture, self).cancelled()
        if self._session.closed:
            return False
        try:
            cancelled = _native.cancelFEval(self._handles)
        except Exception:   # noqa: BLE001 - finished one way or another
            cancelled = False
        if not cancelled:
            return super(CallFuture, self).cancelled()
        self._settle_cancelled()
        return True

    def cancelled(self):
        """True when the call was cancelled."""
        return super(CallFuture, self).cancelled()

    def done(self):
        """True when the call was cancelled or has finished, so that
        :meth:`result` returns at once."""
        self._settle_now()
        return self._state in _FINAL_STATES

    def running(self):
        """True while the call is queued or running in the engine (it can
        still be cancelled)."""
        return not self.done()

    def add_done_callback(self, fn):
        """Call ``fn(future)`` once the outcome is known (at once if it is).
        The engine's background waiter collects the call for it."""
        self._settle_now()
        if self._state == _cf_base.PENDING and not self._watched:
            self._watch()
        super(CallFuture, self).add_done_callback(fn)

    def __await__(self):
        """``await future`` in a coroutine gives the result; cancelling the
        awaiting task cancels the call."""
        from ._aio import await_call
        return await_call(self)


# ---- launches --------------------------------------------------------------

def _release_launch(handle):
    try:
        _native.destroyVELDRA(handle)
    except Exception:   # noqa: BLE001 - already gone
        pass


class LaunchFuture(object):
    """A pending engine launch or attachment (``start(wait=False)``,
    ``connect(wait=False)``).

    ``result()`` gives the :class:`Engine` once it is ready (the same one on
    every call).  Dropping the future before that stops the engine again.
    ``await launch`` works in a coroutine.
    """

    def __init__(self, handle, name, numpy=False):
        self._handle = handle
        self._name = name
        self._numpy = numpy
        self._lock = threading.Lock()
        self._engine = None
        self._error = None
        self._cancelled = False
        self._release = _finalize(self, _release_launch, handle)

    def __repr__(self):
        state = ("cancelled" if self._cancelled else
                 "finished" if self.done() else "pending")
        what = "attachment to %r" % self._name if self._name else "launch"
        return "<LaunchFuture %s %s>" % (what, state)

    def result(self, timeout=None):
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

    def _finish(self):
        if self._cancelled:
            self._error = _FutureCancelled(
                "the attachment to %r was cancelled" % self._name
                if self._name else "the engine launch was cancelled")
        else:
            try:
                handle = _native.getVELDRA(self._handle)
            except Exception as exc:
                self._error = exc
                _log.start_failed(self._name, exc)
            else:
                self._engine = Engine._from_handle(handle, self._name,
                                                   self._numpy)
                _log.started(self._engine._session)
        self._release()     # the engine, if any, stays

    def cancel(self):
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

    def cancelled(self):
        """True when the launch was cancelled."""
        return self._cancelled

    def done(self):
        """True when :meth:`result` returns (or raises) at once."""
        if self._cancelled or self._engine is not None or self._error:
            return True
        return bool(_native.isDoneVELDRA(self._handle))

    def __await__(self):
        """``await launch`` gives the engine without blocking the event loop
        (the wait runs in the loop's default executor)."""
        from ._aio import await_launch
        return await_launch(self)


# ---- engines ---------------------------------------------------------------

def _call(session, name, args, nout, stdout, stderr, numpy=None):
    """Run one call to completion: submit, collect, release, forward text."""
    if session.closed:
        raise _closed_error()
    out = sys.stdout if stdout is _SYS_OUT else _resolve(stdout, _SYS_OUT)
    err = sys.stderr if stderr is _SYS_ERR else _resolve(stderr, _SYS_ERR)
    out_capture = None if out is None else (
        out if out.__class__ is _StringIO else _StringIO())
    err_capture = None if err is None else (
        err if err.__class__ is _StringIO else _StringIO())
    as_numpy = session.numpy if numpy is None else bool(numpy)
    handles = _evaluate(session.handle, name, nout, _engine_args(args),
                        out=out_capture, err=err_capture)
    failed = True
    try:
        try:
            # Most calls are done within the first slice.
            value = _collect(handles, nout, _SLICE, out=out_capture,
                             err=err_capture, numpy=as_numpy)
        except _NativeTimeout:
            value = _collect_sliced(handles, nout, None,
                                    out_capture, err_capture, as_numpy)
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
        _forward_both(out_capture, out, err_capture, err, failed)
    return value


class EngineFunction(object):
    """An engine function bound to an engine: ``eng.sqrt`` is one.

    It refers to the engine weakly: once the engine is closed or
    garbage-collected, calling it raises ``EngineError``.  Its ``__doc__``
    and signature are the engine's own for that function (``help(eng.sqrt)``).
    """

    # No __slots__: each instance carries its own __doc__ and __signature__.

    def __init__(self, engine, name, entry=None):
        self._session = engine._session
        self._engine = weakref.ref(engine)
        self._name = name
        self.__doc__ = _help.doc(name, entry)
        self.__signature__ = _help.signature(
            entry[0] if entry is not None else None, _SYS_OUT, _SYS_ERR)

    def __get__(self, instance, owner=None):
        # A routine to pydoc and IPython, so that help() and "?" show this
        # function's signature and text rather than the class's.
        return self

    def __call__(self, *args, **options):
        """``f(*args, nout=1, stdout=sys.stdout, stderr=sys.stderr)``: call
        the function; see :meth:`Engine.call`."""
        try:
            if not options:
                return _call(self._session, self._name, args, 1, _SYS_OUT,
                             _SYS_ERR)
            nout, stdout, stderr, numpy = _call_options(self._name, options)
            return _call(self._session, self._name, args, nout, stdout,
                         stderr, numpy)
        except EngineError as exc:
            _log.lost(self._session, exc)
            raise

    def submit(self, *args, **options):
        """``f.submit(*args, nout=1, stdout=..., stderr=...)``: start the
        call and return its future; see :meth:`Engine.submit`."""
        engine = self._engine()
        if engine is None:
            raise _closed_error()
        return engine.submit(self._name, *args, **options)

    def map(self, *iterables, **options):
        """``f.map(*iterables, nout=1, stdout=..., stderr=...)``: call the
        function once for each item of the iterables taken together (as the
        built-in ``map`` does) and return the list of the results, in order.

        The calls are submitted many at a time, which costs far less per call
        than calling or submitting them one by one.  The first call that
        fails raises its error, the calls after it are cancelled; the text of
        the calls goes to the streams in order.  Other options as for
        :meth:`Engine.call`."""
        nout, stdout, stderr, numpy = _call_options("map", options)
        if not iterables:
            raise TypeError("map() needs at least one iterable")
        session = self._session
        if _as_numpy(session, numpy):
            # NumPy results come one call at a time, through the futures.
            futures = [self.submit(*args, nout=nout, stdout=stdout,
                                   stderr=stderr, numpy=True)
                       for args in zip(*iterables)]
            return [f.result() for f in futures]
        out, err, out_capture, err_capture = _streams(session, stdout, stderr)
        calls = [_engine_args(args) for args in zip(*iterables)]
        results = []
        pending = None
        try:
            for start in range(0, len(calls), _MAP_STEP):
                if session.closed:
                    raise _closed_error()
                handles = _batch.submit_many(
                    session.handle, self._name, nout,
                    calls[start:start + _MAP_STEP],
                    out_capture is not None, err_capture is not None)
                if pending is not None:
                    collecting, pending = pending, handles
                    results.extend(_collect_step(collecting, nout, out, err,
                                                 out_capture, err_capture))
                else:
                    pending = handles
            if pending is not None:
                collecting, pending = pending, None
                results.extend(_collect_step(collecting, nout, out, err,
                                             out_capture, err_capture))
        finally:
            if pending is not None and not session.closed:
                for handle in pending:      # cancelled in the engine
                    try:
                        _destroy((handle, 0, 0))
                    except Exception:   # noqa: BLE001 - the engine went away
                        pass
        return results

    @property
    def __name__(self):
        return self._name

    def __repr__(self):
        return "<engine function %s>" % self._name


def _collect_step(handles, nout, out, err, out_capture, err_capture):
    """The results of one step of EngineFunction.map; its text forwarded."""
    failed = True
    try:
        results = _batch.collect_many(handles, nout, out=out_capture,
                                      err=err_capture)
        failed = False
    finally:
        _forward_both(out_capture, out, err_capture, err, failed, reset=True)
    return results


class Engine(object):
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

    def __init__(self, *args, **kwargs):
        raise TypeError("engines come from veldra.engine.start() or "
                        "veldra.engine.connect()")

    @classmethod
    def _from_handle(cls, handle, name, numpy=False):
        self = object.__new__(cls)
        self._session = session = _Session(handle, name, bool(numpy))
        self._finalizer = _finalize(self, _close_session, session)
        return self

    @property
    def workspace(self):
        """The engine's variables as a :class:`Workspace` mapping."""
        return Workspace(self)

    # -- calls ---------------------------------------------------------------

    def call(self, name, *args, **options):
        """``call(name, *args, nout=1, stdout=sys.stdout, stderr=sys.stderr)``:
        call the engine function ``name`` with ``args`` and wait for it.

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
        if not isinstance(name, text_types):
            raise TypeError("the function name must be a str, not %s"
                            % type(name).__name__)
        nout, stdout, stderr, numpy = _call_options("call", options)
        try:
            return _call(self._session, name, args, nout, stdout, stderr,
                         numpy)
        except EngineError as exc:
            _log.lost(self._session, exc)
            raise

    def submit(self, name, *args, **options):
        """``submit(name, *args, nout=1, stdout=..., stderr=...)``: start a
        call of ``name`` and return its :class:`CallFuture` at once.  The engine runs calls one at a time, in the order they come.
        Arguments as for :meth:`call`; the streams are the ones current now
        and get the text when the result is collected."""
        if not isinstance(name, text_types):
            raise TypeError("the function name must be a str, not %s"
                            % type(name).__name__)
        nout, stdout, stderr, numpy = _call_options("submit", options)
        session = self._session
        out, err, out_capture, err_capture = _streams(session, stdout, stderr)
        handles = _evaluate(session.handle, name, nout, _engine_args(args),
                            out=out_capture, err=err_capture)
        return CallFuture(self, name, handles, nout, out, err,
                          out_capture, err_capture,
                          _as_numpy(session, numpy))

    def _functions(self):
        """{name: (arguments, help text)} of the engine, or None."""
        session = self._session
        return _help.function_table(session, lambda: _call(
            session, "function_table", (), 3, None, None, False))

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        table = self._functions()
        if table is not None and name not in table:
            raise AttributeError("the engine has no function %r" % (name,))
        function = EngineFunction(self, name,
                                  None if table is None else table[name])
        # Later look-ups find it directly (no cycle: it refers back weakly).
        self.__dict__[name] = function
        return function

    def __dir__(self):
        own = _help.own_attributes(self)
        return sorted(own.union(_help.attribute_names(self._functions(), own)))

    # -- lifetime ------------------------------------------------------------

    @property
    def name(self):
        """The shared session's name for an attached engine, else None."""
        return self._session.name

    @property
    def closed(self):
        """True once :meth:`close` ran."""
        return self._session.closed

    def close(self):
        """Stop the engine (a launched one) or detach from it (a shared
        session).  Closing again does nothing.  Calls still pending are
        cancelled and fail with ``EngineError``."""
        if self._finalizer.alive:
            error = self._finalizer()
            if error is not None:
                raise chained(EngineError("closing the engine failed: %s"
                                          % error), error)

    def __enter__(self):
        if self._session.closed:
            raise _closed_error()
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
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

    def __init__(self, engine):
        self._engine = engine

    @staticmethod
    def _valid(name):
        return isinstance(name, text_types) and _native.validateIdentity(name)

    def __getitem__(self, name):
        if not self._valid(name):
            raise KeyError(name)
        try:
            return self._engine.call("fetch", name)
        except VeldraExecutionError:
            if not self._engine.call("exists", name):
                raise chained(KeyError(name), None)
            raise

    def __setitem__(self, name, value):
        if not self._valid(name):
            raise ValueError("%r is not a valid variable name" % (name,))
        self._engine.call("assign", name, value, nout=0)

    def __delitem__(self, name):
        if not self._valid(name) or not self._engine.call("exists", name):
            raise KeyError(name)
        self._engine.call("clear", name, nout=0)

    def __contains__(self, name):
        return self._valid(name) and bool(self._engine.call("exists", name))

    def _names(self):
        names = self._engine.call("names")
        if names is None:
            return []
        if isinstance(names, text_types):
            return [names] if names else []
        return list(names)

    def __iter__(self):
        return iter(self._names())

    def __len__(self):
        return len(self._names())

    def clear(self):
        """Delete every variable (one engine call)."""
        self._engine.call("clear", nout=0)

    def __repr__(self):
        try:
            return "<Workspace %r>" % (self._names(),)
        except Exception:   # noqa: BLE001 - closed engine
            return "<Workspace of a closed engine>"


# ---- module functions ------------------------------------------------------

def _options(options):
    if isinstance(options, text_types):
        return options.split()
    if isinstance(options, (bytes, bytearray)):
        raise TypeError("options must be a str or a sequence of str")
    result = list(options)
    for item in result:
        if not isinstance(item, text_types):
            raise TypeError("each option must be a str, not %s"
                            % type(item).__name__)
    if PY2:     # the 2.7 build takes byte strings
        result = [item.encode("utf-8") if isinstance(item, unicode)  # noqa: F821
                  else item for item in result]
    return result


def start(options=(), **keywords):
    """``start(options=(), *, wait=True, numpy=False)``: launch a new engine
    process for this program.

    ``options`` is a string split on whitespace (``"--threads 2"``) or a
    sequence of strings (``["--share", "demo"]``).  Returns the
    :class:`Engine`, or with ``wait=False`` a :class:`LaunchFuture` at
    once.  A bad option or a failed start raises ``EngineError``.
    ``numpy=True`` makes numeric and logical results that are not 1-by-1
    come back as read-only NumPy arrays (each call's ``numpy=`` keyword
    overrides it).
    """
    given = _keywords_only("start", keywords, wait=True, numpy=False)
    opts = _options(options)
    _native.createProcess()
    launch = LaunchFuture(_native.createVELDRAAsync(opts), None,
                          given["numpy"])
    wait = given["wait"]
    return launch.result() if wait else launch


def find_shared():
    """The names of the shared sessions of this user, as a tuple."""
    _native.createProcess()
    return tuple(_native.findVELDRA())


def connect(name=None, **keywords):
    """``connect(name=None, *, wait=True, numpy=False)``: attach to the shared session
    ``name`` (default: the first one
    :func:`find_shared` lists).  Raises ``EngineError`` when there is no such
    session.  Closing the engine detaches; the session goes on.  With
    ``wait=False`` returns a :class:`LaunchFuture` at once; ``numpy`` as for
    :func:`start`."""
    given = _keywords_only("connect", keywords, wait=True, numpy=False)
    wait = given["wait"]
    if name is None:
        names = find_shared()
        if not names:
            raise EngineError("there is no shared session to connect to; "
                              "start one with 'python -m veldra.engine serve "
                              "NAME'")
        name = names[0]
    if not isinstance(name, text_types):
        raise TypeError("the session name must be a str, not %s"
                        % type(name).__name__)
    _native.createProcess()
    launch = LaunchFuture(_native.attachVELDRAAsync(name), name,
                          given["numpy"])
    return launch.result() if wait else launch
