"""Engines, their functions and their launches: what ``veldra.engine``
offers on top of the native module: :func:`start`, :func:`connect`,
:func:`find_shared`, :class:`Engine`, :class:`EngineFunction` and
:class:`LaunchFuture`, with :class:`CallFuture` (``_futures``) and
:class:`Workspace` (``_workspace``).

The path of one call: ``eng.sqrt(2.0)`` is an :class:`EngineFunction`
call, which runs ``_calls._call``: the native module converts the
arguments, sends the call and collects its result.
"""

import sys
import threading
import weakref

from veldra._compat import PY2, chained, text_types

from . import _native, _help, _log, EngineError
from ._calls import (
    _MAP_STEP,
    _SYS_ERR,
    _SYS_OUT,
    _Session,
    _as_numpy,
    _batch,
    _call,
    _call_options,
    _close_session,
    _collect_step,
    _engine_args,
    _engine_arg_lists,
    _evaluate,
    _finalize,
    _keywords_only,
    _progress_reporter,
    _streams,
    _targets,
)
from ._errors import _FutureCancelled, _FutureTimeout, _closed_error

# Pickles of the futures' errors name the unpickling function here.
from ._errors import _future_error  # noqa: F401
from ._futures import CallFuture
from ._workspace import Workspace

__all__ = ["Engine", "EngineFunction", "CallFuture", "LaunchFuture", "Workspace", "start", "connect", "find_shared"]

# ---- launches --------------------------------------------------------------


def _release_launch(handle):
    try:
        _native.destroyVELDRA(handle)
    except Exception:  # noqa: BLE001 - already gone
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
        state = "cancelled" if self._cancelled else "finished" if self.done() else "pending"
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
                    ready = _native.waitForVELDRA(self._handle, -1.0 if timeout is None else max(timeout, 0.0))
                except EngineError:
                    ready = True  # another thread took the engine meanwhile
                if not ready:
                    raise _FutureTimeout("the engine was not ready within %s seconds" % timeout)
            with self._lock:
                if self._engine is None and self._error is None:
                    self._finish()
        if self._error is not None:
            raise self._error
        return self._engine

    def _finish(self):
        if self._cancelled:
            self._error = _FutureCancelled(
                "the attachment to %r was cancelled" % self._name if self._name else "the engine launch was cancelled"
            )
        else:
            try:
                handle = _native.getVELDRA(self._handle)
            except Exception as exc:
                self._error = exc
                _log.start_failed(self._name, exc)
            else:
                self._engine = Engine._from_handle(handle, self._name, self._numpy)
                _log.started(self._engine._session)
        self._release()  # the engine, if any, stays

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
        self.__signature__ = _help.signature(entry[0] if entry is not None else None, _SYS_OUT, _SYS_ERR)

    def __get__(self, instance, owner=None):
        # A routine to pydoc and IPython, so that help() and "?" show this
        # function's signature and text rather than the class's.
        return self

    def __call__(self, *args, **options):
        """``f(*args, nout=1, stdout=sys.stdout, stderr=sys.stderr)``: call
        the function; see :meth:`Engine.call`."""
        try:
            if not options:
                return _call(self._session, self._name, args, 1, _SYS_OUT, _SYS_ERR)
            nout, stdout, stderr, numpy = _call_options(self._name, options)
            return _call(self._session, self._name, args, nout, stdout, stderr, numpy)
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
            futures = [
                self.submit(*args, nout=nout, stdout=stdout, stderr=stderr, numpy=True) for args in zip(*iterables)
            ]
            return [f.result() for f in futures]
        out, err, out_capture, err_capture = _streams(session, stdout, stderr)
        calls = _engine_arg_lists(iterables)
        results = []
        pending = None
        try:
            for start in range(0, len(calls), _MAP_STEP):
                if session.closed:
                    raise _closed_error()
                batch = _batch.submit_many(
                    session.handle,
                    self._name,
                    nout,
                    calls[start : start + _MAP_STEP],
                    out_capture is not None,
                    err_capture is not None,
                    pending,  # runs only if the step before it ran all its calls
                )
                if pending is not None:
                    collecting, pending = pending, batch
                    results.extend(_collect_step(collecting, nout, out, err, out_capture, err_capture))
                else:
                    pending = batch
            if pending is not None:
                collecting, pending = pending, None
                results.extend(_collect_step(collecting, nout, out, err, out_capture, err_capture))
        finally:
            if pending is not None:
                try:
                    _batch.release(pending)  # its calls are cancelled in the engine
                except Exception:  # noqa: BLE001 - the engine went away
                    pass
        return results

    @property
    def __name__(self):
        return self._name

    def __repr__(self):
        return "<engine function %s>" % self._name


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
        raise TypeError("engines come from veldra.engine.start() or veldra.engine.connect()")

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
            raise TypeError("the function name must be a str, not %s" % type(name).__name__)
        nout, stdout, stderr, numpy = _call_options("call", options)
        try:
            return _call(self._session, name, args, nout, stdout, stderr, numpy)
        except EngineError as exc:
            _log.lost(self._session, exc)
            raise

    def submit(self, name, *args, **options):
        """``submit(name, *args, nout=1, stdout=..., stderr=...,
        progress=None)``: start a call of ``name`` and return its
        :class:`CallFuture` at once.  The engine runs calls one at a time, in the order they come.
        Arguments as for :meth:`call`; the streams are the ones current now
        and get the text while ``result()`` waits, the rest when the result
        is collected.  ``progress``: a callable that gets the call's reports
        ``(done, total)`` while ``result()`` waits (on its thread), and the
        last one when the result is collected; ``True`` shows a tqdm bar
        (the extra ``progress`` installs tqdm)."""
        if not isinstance(name, text_types):
            raise TypeError("the function name must be a str, not %s" % type(name).__name__)
        session = self._session
        if not options:
            # The common case, in few steps: no keywords, the sys streams.
            if session.closed:
                raise _closed_error()
            out, err = sys.stdout, sys.stderr
            try:
                handles = _evaluate(session.handle, name, 1, _engine_args(args), out=out, err=err)
            except EngineError as exc:
                _log.lost(session, exc)
                raise
            return CallFuture(self, name, handles, 1, out, err, session.numpy)
        progress = _progress_reporter(options.pop("progress", None), name)
        nout, stdout, stderr, numpy = _call_options("submit", options)
        out, err = _targets(session, stdout, stderr)
        try:
            # The streams only ask for the text here; the future decides
            # where it goes when it collects the call.
            if progress is None:
                handles = _evaluate(session.handle, name, nout, _engine_args(args), out=out, err=err)
            else:
                handles = _evaluate(session.handle, name, nout, _engine_args(args), out=out, err=err, progress=True)
        except EngineError as exc:
            _log.lost(session, exc)
            raise
        return CallFuture(self, name, handles, nout, out, err, _as_numpy(session, numpy), progress)

    def _functions(self):
        """{name: (arguments, help text)} of the engine, or None."""
        session = self._session
        return _help.function_table(session, lambda: _call(session, "function_table", (), 3, None, None, False))

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        table = self._functions()
        if table is not None and name not in table:
            raise AttributeError("the engine has no function %r" % (name,))
        function = EngineFunction(self, name, None if table is None else table[name])
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
                raise chained(EngineError("closing the engine failed: %s" % error), error)

    def __enter__(self):
        if self._session.closed:
            raise _closed_error()
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        state = "closed" if self._session.closed else "open"
        where = "shared session %r" % self._session.name if self._session.name else "launched"
        return "<veldra.engine.Engine %s, %s>" % (where, state)

    def __reduce__(self):
        raise TypeError("an Engine cannot be pickled")


# ---- module functions ------------------------------------------------------


def _options(options):
    if isinstance(options, text_types):
        return options.split()
    if isinstance(options, (bytes, bytearray)):
        raise TypeError("options must be a str or a sequence of str")
    result = list(options)
    for item in result:
        if not isinstance(item, text_types):
            raise TypeError("each option must be a str, not %s" % type(item).__name__)
    if PY2:  # the 2.7 build takes byte strings
        result = [
            item.encode("utf-8")
            if isinstance(item, unicode)  # noqa: F821
            else item
            for item in result
        ]
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
    launch = LaunchFuture(_native.createVELDRAAsync(opts), None, given["numpy"])
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
            raise EngineError(
                "there is no shared session to connect to; start one with 'python -m veldra.engine serve NAME'"
            )
        name = names[0]
    if not isinstance(name, text_types):
        raise TypeError("the session name must be a str, not %s" % type(name).__name__)
    _native.createProcess()
    launch = LaunchFuture(_native.attachVELDRAAsync(name), name, given["numpy"])
    return launch.result() if wait else launch
