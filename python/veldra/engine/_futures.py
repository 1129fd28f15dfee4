"""Call futures (``Engine.submit``) and the background waiter that collects
the ones with done-callbacks or awaiting tasks."""

import concurrent.futures
import concurrent.futures._base as _cf_base
import heapq
import itertools
import sys
import threading
import weakref

from veldra._compat import PY2, TimedLock, chained, monotonic

from . import _native, _log, EngineError
from . import CancelledError as _NativeCancelled
from . import TimeoutError as _NativeTimeout
from ._calls import (
    _LIVE_SLICE,
    _SLICE,
    _CallRef,
    _ProgressBar,
    _capture,
    _collect,
    _collect_sliced,
    _dropped,
    _forward_both,
    _live,
    _release_call,
    _report_progress,
)
from ._errors import _FutureCancelled, _FutureTimeout, _closed_error

if PY2:
    # The future's state checks come from a backport.
    from ._future27 import Future as _Future, InvalidStateError
else:
    _Future = concurrent.futures.Future
    InvalidStateError = concurrent.futures.InvalidStateError

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
                heap = self._heap
                heapq.heappush(heap, (future._seq, future))
                if self._thread is None:
                    self._thread = threading.Thread(target=self._run, name="veldra-engine-waiter")
                    self._thread.daemon = True
                    self._thread.start()
                if heap[0][1] is future:
                    # The thread waits for the first call only, or for a
                    # call to wait for: a later one needs no wake-up.
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
            future = None  # not kept alive (nor its engine) while waiting
            future = self._next()
            if future is None:
                return
            if self._session.closed:
                future._settle_exception(_closed_error())
                continue
            try:
                finished = _native.waitForFEval(future._handles, self.SLICE)
            except BaseException:  # noqa: BLE001 - collecting reports it
                finished = True
            if not finished:
                future._forward_live()
                continue
            # The calls after it have mostly finished too (the engine runs
            # them in order): all the finished ones are collected in one pass.
            finished = self._take_finished(future)
            future = None
            for future in finished:
                try:
                    future._collect_now(None, background=True)
                except BaseException as exc:  # noqa: BLE001 - keep watching
                    future._settle_exception(exc)
                # Unsettled only when another thread collects it: that
                # thread settles it.
            finished = None

    def _take_finished(self, first):
        """Takes the futures off the heap, in order, as long as their calls
        have finished (``first``'s has), and returns the unsettled ones."""
        taken = []
        with self._cond:
            heap = self._heap
            while heap:
                future = heap[0][1]
                settled = future._settled()
                if not (settled or future is first or future._call_finished()):
                    break
                heapq.heappop(heap)
                if not settled:
                    taken.append(future)
        return taken


# ---- call futures ----------------------------------------------------------

_aio = None


_modules = sys.modules


def _running_loop():
    # The event loop running on this thread, if any: none runs where asyncio
    # was never imported.
    asyncio = _modules.get("asyncio")
    return None if asyncio is None else asyncio._get_running_loop()


def _aio_module():
    # Imported on first await, once (Python 3 only; asyncio is a large
    # import that most programs never need).
    global _aio
    if _aio is None:
        from . import _aio as module

        _aio = module
    return _aio


_PENDING = _cf_base.PENDING
_FINISHED = _cf_base.FINISHED
_FINAL_STATES = (_cf_base.CANCELLED, _cf_base.CANCELLED_AND_NOTIFIED, _FINISHED)
_CANCELLED_STATES = (_cf_base.CANCELLED, _cf_base.CANCELLED_AND_NOTIFIED)
_seq = itertools.count()
# Text a call writes to the sys stream current when it is collected is
# written there by the native module (the 2.7 build captures it instead).
_SYS_DIRECT = not PY2
# Taken to make a future's lock, and to settle a future that has none: so a
# lock made meanwhile never misses the settling.
_lazy_lock = threading.Lock()


class _SettlingCondition(object):
    """The lock of a call future, in the place of the base's
    ``threading.Condition``.

    ``concurrent.futures.wait`` and ``as_completed`` take the lock of every
    future they are given and read the futures' state more than once while
    they hold it; it must not change in between.  So a future whose call the
    engine has finished is settled when its lock is taken, not when its state
    is read.  The future is held weakly: a future is released when it is
    dropped, not when the cycle collector finds it.  The lock is made when
    something first asks for it (most futures are collected by the thread
    that submitted them and never need one), the condition proper only when
    a thread waits on the future.
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
    blocking the event loop.  On a thread that runs an event loop it is also
    one of asyncio's futures: ``asyncio.gather``, ``wait``, ``wait_for``,
    ``shield`` and ``ensure_future`` take it as it is, without a task of its
    own, and a done-callback added there runs on that loop, soon after the
    call settles, as with asyncio's futures.

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

    # The base's state, as concurrent.futures.Future.__init__ would set it
    # up (the futures rely on these internals of the base, and on its _state
    # values, and nothing more: tests/python/test_api_inflight.py checks
    # them).  Class defaults until they change: most futures are settled
    # once and never looked at otherwise, so their lock, waiter list and
    # callback list are made only when something asks for them.
    _state = _PENDING
    _result = None
    _exception = None
    _traceback = None
    _lock = None  # the _SettlingCondition, once made
    _done_callbacks = ()
    _waiter_list = ()
    _in_collect = False  # this or another thread collects
    _watched = False
    _live = None  # the waiter's forwarder: made once, False for none
    _captures = (None, None)  # what the collect filled for out and err

    def __init__(self, engine, name, handles, nout, out, err, numpy=False, progress=None):
        self._engine = engine  # keeps the engine open meanwhile
        self._session = session = engine._session
        self._name = name
        self._handles = handles
        self._nout = nout
        self._numpy = numpy
        self._out, self._err = out, err
        self._progress = progress
        # Read on every collect: in the instance, where they are found
        # faster than the class defaults.
        self._state = _PENDING
        self._exception = self._lock = None
        self._in_collect = False
        self._done_callbacks = ()
        self._collecting = TimedLock()
        self._seq = seq = next(_seq)
        # A weak reference with a callback, not weakref.finalize, which
        # costs several times as much per future: the call is released when
        # the future settles or is dropped, whichever comes first.
        ref = session.pending[seq] = _CallRef(self, _dropped)
        ref.session, ref.seq, ref.handles = session, seq, handles

    @property
    def _condition(self):
        lock = self._lock
        if lock is None:
            with _lazy_lock:
                lock = self._lock
                if lock is None:
                    lock = self._lock = _SettlingCondition(self)
        return lock

    # concurrent.futures.wait() and as_completed() register their waiters
    # here; a future they wait for has to be collected in the background.
    @property
    def _waiters(self):
        if self._state == _PENDING and not self._watched:
            self._watch()
        waiters = self._waiter_list
        if waiters == ():
            # Under the future's lock (the callers hold it), so made once.
            waiters = self._waiter_list = []
        return waiters

    @_waiters.setter
    def _waiters(self, value):
        self._waiter_list = value

    def _settle_now(self):
        # Whatever looks at the outcome (done(), wait(), as_completed(), the
        # repr, add_done_callback) finds a call the engine has finished
        # settled: it is collected right here, on the looking thread, unless
        # another thread is collecting it this moment.
        if self._state == _cf_base.PENDING and not self._in_collect:
            self._settle_if_finished()

    def __lt__(self, other):  # heap ties never happen
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
            if not self._collect_fast():
                self._collect_now(None, background=True)
        except Exception as exc:  # noqa: BLE001 - the call's outcome
            self._settle_exception(exc)

    def _settle_result(self, value):
        # What Future.set_result does, with the internals named above, in
        # one step: every collected future comes through here.  The lock
        # proper is taken, as the future is being settled, not looked at;
        # a future without one has no waiters (its callbacks, if any, were
        # added under _lazy_lock), and nobody can make its lock while it is
        # settled under _lazy_lock.
        settled = None
        if self._lock is None:
            with _lazy_lock:
                if self._lock is None:
                    settled = self._state not in _FINAL_STATES
                    if settled:
                        self._result = value
                        self._state = _FINISHED
            if settled and self._done_callbacks:
                self._invoke_callbacks()
        if settled is None:
            condition = self._lock
            with condition._lock:
                settled = self._state not in _FINAL_STATES
                if settled:
                    self._result = value
                    self._state = _FINISHED
                    for waiter in self._waiter_list:
                        waiter.add_result(self)
                    condition.notify_all()
            if settled and self._done_callbacks:
                self._invoke_callbacks()
        # What _done_with_engine does.
        session = self._session
        if session.pending.pop(self._seq, None) is not None:
            session.release(self._handles)
        self._engine = None

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
        # A settled future no longer keeps its engine open (and
        # _settle_result does the same).
        _release_call(self._session, self._seq, self._handles)
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
        if self._state in _FINAL_STATES or timeout is None and self._collect_fast():
            return
        collecting = self._collecting
        if background:
            if not collecting.acquire(False):
                return
            deadline = left = None
        elif timeout is None:
            collecting.acquire()
            deadline = left = None
        else:
            deadline = monotonic() + timeout
            if not collecting.acquire(True, max(timeout, 0.0)):
                raise self._timeout_error(timeout)
        self._in_collect = True
        try:
            if self._state in _FINAL_STATES:
                return
            if self._session.closed:
                self._settle_exception(_closed_error())
                return
            if deadline is not None:
                left = max(deadline - monotonic(), 0.0)
            # The captures are made now, for the streams as they are now.
            out, err = self._out, self._err
            self._captures = out_capture, err_capture = _capture(out, sys.stdout), _capture(err, sys.stderr)
            try:
                if background or (self._progress is None and (out is None and err is None or left == 0.0)):
                    value = _collect_sliced(self._handles, self._nout, left, out_capture, err_capture, self._numpy)
                elif left is not None and left <= _LIVE_SLICE:
                    value = _collect(
                        self._handles, self._nout, left, out=out_capture, err=err_capture, numpy=self._numpy
                    )
                else:
                    # Most calls are done within the first slice; the text
                    # of one that is not is forwarded as it comes.
                    try:
                        value = _collect(
                            self._handles, self._nout, _LIVE_SLICE, out=out_capture, err=err_capture, numpy=self._numpy
                        )
                    except _NativeTimeout:
                        value = self._collect_live(None if left is None else left - _LIVE_SLICE)
            except BaseException as exc:
                if self._collect_failed(exc, timeout):
                    raise  # e.g. Ctrl-C while waiting; the call goes on
            else:
                if out_capture is not None or err_capture is not None or self._progress is not None:
                    try:
                        self._forward(failed=False)
                    except BaseException as exc:  # noqa: BLE001 - the call's error
                        self._settle_exception(exc)
                        return
                self._settle_result(value)
        finally:
            self._in_collect = False
            collecting.release()

    def _collect_fast(self):
        """What _collect_now does for most futures, in few steps: no
        time-out, no text to forward (the native module writes to the sys
        streams current now itself), no progress, nobody else collecting.
        False when the future is not such a one, and _collect_now goes on."""
        if not (
            self._progress is None
            and (self._out is None or self._out is sys.stdout and _SYS_DIRECT)
            and (self._err is None or self._err is sys.stderr and _SYS_DIRECT)
        ):
            return False
        collecting = self._collecting
        if not collecting.acquire(False):
            return False
        self._in_collect = True
        try:
            session = self._session
            if self._state != _PENDING or session.closed:
                return False
            handles = self._handles
            try:
                try:
                    if self._numpy:
                        value = _collect(handles, self._nout, _SLICE, numpy=True)
                    else:
                        value = _collect(handles, self._nout, _SLICE)
                except _NativeTimeout:
                    value = _collect_sliced(handles, self._nout, None, None, None, self._numpy)
            except BaseException as exc:
                if self._collect_failed(exc, None):
                    raise
                return True
            self._settle_result(value)
            return True
        finally:
            self._in_collect = False
            collecting.release()

    def _collect_failed(self, exc, timeout):
        """Settle the future after collecting raised ``exc``; True when the
        call goes on and the error is the caller's to raise."""
        if isinstance(exc, _NativeTimeout):
            raise chained(self._timeout_error(timeout), None)
        if isinstance(exc, _NativeCancelled):
            self._forward(failed=True)
            self._settle_cancelled()
            return False
        if not isinstance(exc, Exception) or not self._call_finished():
            return True
        if isinstance(exc, EngineError):
            _log.lost(self._session, exc)
        self._forward(failed=True)
        self._settle_exception(exc)
        return False

    def _collect_live(self, timeout):
        # Only the collecting thread forwards text as it comes, so it
        # reaches each stream in order.
        live = _live(self._handles, self._out, self._err, self._progress)
        if live is not None:
            live()
        out_capture, err_capture = self._captures
        return _collect_sliced(self._handles, self._nout, timeout, out_capture, err_capture, self._numpy, live)

    def _forward_live(self):
        # The background waiter's turn to forward what a running call has
        # written so far (and its progress), when no thread is collecting
        # it: that thread forwards instead, so each stream keeps its order.
        if self._live is False or not self._collecting.acquire(blocking=False):
            return
        try:
            if self._settled() or self._session.closed:
                return
            live = self._live
            if live is None:
                live = self._live = _live(self._handles, self._out, self._err, self._progress) or False
            if live is not False:
                live()
        except Exception:  # noqa: BLE001 - the stream's failure shows at the end
            pass
        finally:
            self._collecting.release()

    def _call_finished(self):
        try:
            return _native.isDoneFEval(self._handles)
        except Exception:  # noqa: BLE001 - no such call any more
            return True

    def _forward(self, failed):
        progress = self._progress
        if progress is not None:
            # The last report, which may have come with the result; a
            # callback failing now does not change the call's outcome.
            self._progress = None
            try:
                _report_progress(self._handles, progress)
            except Exception:  # noqa: BLE001 - see above
                pass
            finally:
                if isinstance(progress, _ProgressBar):
                    progress.close()
        out_capture, err_capture = self._captures
        _forward_both(out_capture, self._out, err_capture, self._err, failed)

    def _timeout_error(self, timeout):
        return _FutureTimeout("the call to %s did not finish within %s seconds; it goes on" % (self._name, timeout))

    def _cancelled_error(self):
        text = "the call to %s was cancelled" % self._name
        if _running_loop() is not None:
            return (_aio or _aio_module()).LoopCancelled(text)
        return _FutureCancelled(text)

    # -- the concurrent.futures.Future interface -----------------------------

    def result(self, timeout=None):
        """The call's result (see ``Engine.call``), waiting at most
        ``timeout`` seconds (None: as long as it takes).  Raises the call's
        error if it failed."""
        if self._state not in _FINAL_STATES and (timeout is not None or not self._collect_fast()):
            self._collect_now(timeout)
        if self._state == _FINISHED and self._exception is None:
            return self._result
        if super(CallFuture, self).cancelled():
            raise self._cancelled_error()
        return super(CallFuture, self).result(0)

    def exception(self, timeout=None):
        """The call's error, or None when it succeeded; waits like
        :meth:`result`.  Raises the cancellation error for a cancelled call."""
        self._collect_now(timeout)
        if self._state == _FINISHED:
            return self._exception
        if super(CallFuture, self).cancelled():
            raise self._cancelled_error()
        return super(CallFuture, self).exception(0)

    def cancel(self, msg=None):
        """Cancel the call, queued or running; True unless it had already
        finished (or was cancelled before, which also gives True).  ``msg``
        is asyncio's and goes unused."""
        if self._settled():
            return super(CallFuture, self).cancelled()
        if self._session.closed:
            return False
        try:
            cancelled = _native.cancelFEval(self._handles)
        except Exception:  # noqa: BLE001 - finished one way or another
            cancelled = False
        if not cancelled:
            return super(CallFuture, self).cancelled()
        self._settle_cancelled()
        return True

    def cancelled(self):
        """True when the call was cancelled."""
        if self._state == _PENDING and not self._in_collect:
            self._settle_if_finished()
        return self._state in _CANCELLED_STATES

    def done(self):
        """True when the call was cancelled or has finished, so that
        :meth:`result` returns at once."""
        if self._state == _PENDING and not self._in_collect:
            self._settle_if_finished()
        return self._state in _FINAL_STATES

    def running(self):
        """True while the call is queued or running in the engine (it can
        still be cancelled)."""
        return not self.done()

    def add_done_callback(self, fn, context=None):
        """Call ``fn(future)`` once the outcome is known (at once if it is).
        The engine's background waiter collects the call for it.  Added on a
        thread that runs an event loop, ``fn`` runs on that loop (in
        ``context``, a ``contextvars.Context``, when given), scheduled as
        asyncio schedules its futures' callbacks."""
        self._settle_now()
        loop = _running_loop()
        if loop is not None:
            if self._state in _FINAL_STATES:
                loop.call_soon(fn, self, context=context)
                return
            fn = (_aio or _aio_module()).on_loop(loop, fn, context)
        if self._state == _PENDING and not self._watched:
            self._watch()
        if self._lock is None:
            # Without the lock, which most futures never need: added under
            # _lazy_lock, under which _settle_result settles such a future.
            with _lazy_lock:
                if self._lock is None and self._state not in _FINAL_STATES:
                    if self._done_callbacks == ():
                        self._done_callbacks = []
                    self._done_callbacks.append(fn)
                    return
        if self._done_callbacks == ():
            with _lazy_lock:
                if self._done_callbacks == ():
                    self._done_callbacks = []
        super(CallFuture, self).add_done_callback(fn)

    def remove_done_callback(self, fn):
        """Remove every registration of ``fn`` that has not run yet; returns
        how many there were (asyncio's futures have this)."""
        lock = self._lock
        if lock is None:
            with _lazy_lock:  # under which callbacks are added without a lock
                if self._lock is None:
                    return self._drop_callbacks(fn)
            lock = self._lock
        with lock._lock:
            return self._drop_callbacks(fn)

    def _drop_callbacks(self, fn):
        callbacks = self._done_callbacks
        kept = [c for c in callbacks if c != fn and getattr(c, "fn", None) != fn]
        if len(kept) < len(callbacks):
            self._done_callbacks = kept  # a new list: one being run goes on
        return len(callbacks) - len(kept)

    def __await__(self):
        """``await future`` in a coroutine gives the result; cancelling the
        awaiting task cancels the call."""
        return (_aio or _aio_module()).await_call(self)

    if not PY2:
        # What asyncio looks for in one of its futures.  Only on a thread that
        # runs an event loop: elsewhere (``loop.run_until_complete(future)``
        # before the loop runs) asyncio wraps it in a task, as any awaitable.

        @property
        def _asyncio_future_blocking(self):
            asyncio = _modules.get("asyncio")
            if asyncio is None or asyncio._get_running_loop() is None:
                return None
            # asyncio takes it for one of its futures from here on (as
            # ensure_future does): the waiter collects it, and forwards the
            # text of the running call, as for a task awaiting it.
            if self._state == _PENDING and not self._watched:
                self._settle_now()
                if self._state == _PENDING:
                    self._watch()
            return self._aio_blocking

        @_asyncio_future_blocking.setter
        def _asyncio_future_blocking(self, value):
            self._aio_blocking = value

        _aio_blocking = False
        _cancel_message = None

        def get_loop(self):
            """The event loop running on this thread (asyncio asks)."""
            return _running_loop()

        def _make_cancelled_error(self):
            return (_aio or _aio_module()).asyncio.CancelledError()
