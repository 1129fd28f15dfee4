"""Awaiting futures in asyncio (Python 3 only; imported when awaited)."""

import asyncio
import threading
import weakref


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

    def watch(self, future, waiter):
        # The awaiting side has just looked at the future (done()).
        future._on_settled(lambda _: self._settled(waiter))

    def _settled(self, waiter):
        with self._lock:
            self._ready.append(waiter)
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
        for waiter in ready:
            if not waiter.done():
                waiter.set_result(None)


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


def _settled_on_loop(future):
    """Waits in the running loop until ``future`` settles; cancelling the
    awaiting task cancels the call."""
    loop = asyncio.get_running_loop()
    waiter = loop.create_future()
    _hand_over(loop).watch(future, waiter)
    try:
        yield from waiter
    except asyncio.CancelledError:
        future.cancel()  # cancelling the awaiting task cancels the call
        raise


def await_call(future):
    """``await call_future``: the result; cancelling the awaiting task
    cancels the call.  A generator rather than a coroutine: a call that
    finished already costs no coroutine and no wait."""
    if not future.done():
        yield from _settled_on_loop(future)
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
