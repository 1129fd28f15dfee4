"""Awaiting futures in asyncio (Python 3 only; imported when awaited)."""

import asyncio
import threading
import weakref

from ._errors import _FutureCancelled


class LoopCancelled(_FutureCancelled, asyncio.CancelledError):
    """A cancelled call's error raised on the thread of an event loop, where
    the future is also one of asyncio's: asyncio's ``CancelledError``
    catches it too."""


LoopCancelled.__name__ = LoopCancelled.__qualname__ = "CancelledError"
LoopCancelled.__module__ = "veldra.engine"


class _HandOver:
    """Brings call futures settled on other threads to one event loop.

    A future settled elsewhere (the engine's waiter thread, any thread that
    collected it) joins a list, and the loop is woken once for the whole
    list: a batch of results costs one thread-safe hand-over, not one each.
    """

    __slots__ = ("_loop", "_lock", "_ready", "_scheduled", "__weakref__")

    def __init__(self, loop):
        # Weakly: the hand-overs are kept by loop in a WeakKeyDictionary.
        self._loop = weakref.ref(loop)
        self._lock = threading.Lock()
        self._ready = []
        self._scheduled = False

    def post(self, callback, future):
        """Runs ``callback.run(future)`` on the loop, with whatever else is
        posted until the loop gets to it."""
        with self._lock:
            self._ready.append((callback, future))
            if self._scheduled:
                return
            self._scheduled = True
        loop = self._loop()
        if loop is None:
            return
        try:
            if getattr(loop, "_thread_id", None) == threading.get_ident():
                loop.call_soon(self._drain)
            else:
                loop.call_soon_threadsafe(self._drain)
        except RuntimeError:  # the loop is closed: nobody awaits any more
            pass

    def _drain(self):
        with self._lock:
            ready, self._ready = self._ready, []
            self._scheduled = False
        for callback, future in ready:
            try:
                callback.run(future)
            except (SystemExit, KeyboardInterrupt):
                raise
            except BaseException as exc:  # noqa: BLE001 - as the loop reports a callback's failure
                loop = self._loop()
                if loop is not None:
                    loop.call_exception_handler(
                        {"message": "exception in a done-callback of %r" % (future,), "exception": exc}
                    )


_hand_overs = weakref.WeakKeyDictionary()
_hand_overs_lock = threading.Lock()


# The hand-over used last, found without the dictionary: most programs
# await in one loop.
_last = None


def _hand_over(loop):
    global _last
    hand_over = _last
    if hand_over is not None and hand_over._loop() is loop:
        return hand_over
    with _hand_overs_lock:
        hand_over = _hand_overs.get(loop)
        if hand_over is None:
            hand_over = _hand_overs[loop] = _HandOver(loop)
    _last = hand_over
    return hand_over


class _OnLoop:
    """A done-callback added on the thread of an event loop: run there."""

    __slots__ = ("fn", "_context", "_hand_over")

    def __init__(self, fn, context, hand_over):
        self.fn = fn
        self._context = context
        self._hand_over = hand_over

    def __call__(self, future):
        self._hand_over.post(self, future)

    def run(self, future):
        if self._context is None:
            self.fn(future)
        else:
            self._context.run(self.fn, future)


def on_loop(loop, fn, context):
    """``fn`` to run on ``loop`` (in ``context``, if not None) once the
    future it is added to settles."""
    return _OnLoop(fn, context, _hand_over(loop))


def await_call(future):
    """``await call_future``: the result; cancelling the awaiting task
    cancels the call.  A generator rather than a coroutine: a call that
    finished already costs no coroutine and no wait."""
    if not future.done():
        asyncio.get_running_loop()  # awaited in a running loop only
        # Waited for as asyncio waits for its own futures: the task adds its
        # done-callback, and cancelling the task cancels the call.
        future._asyncio_future_blocking = True
        try:
            yield future
        except BaseException as exc:  # noqa: BLE001 - the call's own outcome, raised below
            if exc.__class__ is asyncio.CancelledError:
                raise  # the task's own cancellation
    try:
        return future.result()
    except BaseException as exc:
        if future.cancelled():
            raise asyncio.CancelledError() from exc
        raise


def await_launch(launch):
    """``await launch_future``: the engine, waited for in the loop's default
    executor so that the loop goes on."""
    return asyncio.get_running_loop().run_in_executor(None, launch.result).__await__()
