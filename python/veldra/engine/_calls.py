"""One call's plumbing: sessions, call options, streams and captured text,
and collecting a result.

Every engine keeps its native handle in a :class:`_Session`, which the
engine, its futures and the finalizers share; once the session is closed
nothing touches the handles of that engine again.  :func:`_call` runs one
call to its end; the futures (``_futures``) and ``EngineFunction.map``
build on the same pieces.
"""

import io
import itertools
import sys
import threading
import weakref

from veldra._compat import PY2, monotonic
from veldra._vdarray import ArrayView as _ArrayView

from . import _native, _log
from . import TimeoutError as _NativeTimeout
from ._errors import _closed_error

if PY2:
    # The 2.7 build of the native module captures into StringIO.StringIO;
    # weakref.finalize comes from a backport.
    from StringIO import StringIO as _StringIO
    from backports.weakref import finalize as _finalize
else:
    _StringIO = io.StringIO
    _finalize = weakref.finalize

_evaluate = _native.evaluateFunction
_collect = _native.getFEvalResult
_wait = _native.waitForFEval
_take = _native.takeFEvalOutput
_take_progress = _native.takeFEvalProgress
_destroy = _native.destroyFEvalResult
_batch = _native._batch

# EngineFunction.map submits this many calls in one step, the next step
# before collecting the one before, so the engine never waits for us.
_MAP_STEP = 2048


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
# The slice while text is captured: what the engine function writes is
# forwarded between slices, so it reaches its stream about as it is written.
_LIVE_SLICE = 0.05


def _collect_sliced(handles, nout, timeout, out, err, numpy=False, live=None):
    """getFEvalResult, waiting at most ``timeout`` seconds (None: no limit);
    raises the native TimeoutError when time is up.  ``numpy``: numeric and
    logical results as NumPy arrays.  The first slice collects at once when
    the call finishes within it; after that the wait goes in slices, each a
    plain yes-or-no wait, and the result is collected once.  ``live`` (see
    :func:`_live`) forwards the text written so far after each slice."""
    slice_ = _SLICE if live is None else _LIVE_SLICE
    if timeout is not None and timeout <= slice_:
        return _collect(handles, nout, max(timeout, 0.0), out=out, err=err, numpy=numpy)
    deadline = None if timeout is None else monotonic() + timeout
    # Most calls are done within the first slice (all of them when the
    # caller already knows the call finished): collected in one step.
    try:
        return _collect(handles, nout, slice_, out=out, err=err, numpy=numpy)
    except _NativeTimeout:
        pass
    while True:
        if live is not None:
            live()
        if deadline is not None and monotonic() >= deadline:
            break
        left = slice_ if deadline is None else min(slice_, max(deadline - monotonic(), 0.0))
        try:
            if _wait(handles, left):
                break
        except Exception:  # noqa: BLE001 - collecting reports what it is
            break
    return _collect(handles, nout, 0.0, out=out, err=err, numpy=numpy)


def _live(handles, out, err, progress=None):
    """A function that writes the text the call has written since it last
    ran to ``out`` and ``err`` (None for no stream), and gives ``progress``
    the latest report; None when the call has no stream and reports to
    nobody.  The text it leaves comes with the result."""
    capturing = out is not None or err is not None
    if not capturing and progress is None:
        return None

    def forward():
        if capturing:
            out_text, err_text = _take(handles)
            if out_text is not None:
                _write(out, out_text)
            if err_text is not None:
                _write(err, err_text)
        if progress is not None:
            _report_progress(handles, progress)

    return forward


def _report_progress(handles, progress):
    report = _take_progress(handles)
    if report is not None:
        progress(*report)


class _ProgressBar(object):
    """``progress=True``: a tqdm bar that follows the call's reports."""

    def __init__(self, tqdm, name):
        self._tqdm = tqdm
        self._name = name
        self._bar = None

    def __call__(self, done, total):
        bar = self._bar
        if bar is None:
            bar = self._bar = self._tqdm(total=total, desc=self._name)
        elif bar.total != total:
            bar.total = total
        bar.n = done
        bar.refresh()

    def close(self):
        if self._bar is not None:
            self._bar.close()


def _progress_reporter(progress, name):
    """What gets a submitted call's progress reports ``(done, total)``:
    the callable given, a tqdm bar for ``True`` (nothing, with a warning,
    when tqdm is not installed), or None."""
    if progress is None or progress is False:
        return None
    if progress is True:
        try:
            from tqdm.auto import tqdm
        except ImportError:
            import warnings

            warnings.warn(
                "progress=True shows a bar only when tqdm is installed (pip install veldra-engine[progress])",
                stacklevel=3,
            )
            return None
        return _ProgressBar(tqdm, name)
    if not callable(progress):
        raise TypeError("progress must be True, False, None or a callable, not %s" % type(progress).__name__)
    return progress


def _keywords_only(function, given, **defaults):
    """The keyword-only parameters ``defaults`` of ``function`` with the
    values ``given`` (its ``**`` dict): one signature that Python 2.7 reads
    too.  Unknown names raise ``TypeError``, as Python does."""
    for key in given:
        if key not in defaults:
            raise TypeError("%s() got an unexpected keyword argument %r" % (function, key))
    defaults.update(given)
    return defaults


def _call_options(function, options):
    """``nout``, ``stdout``, ``stderr`` and ``numpy`` of a call from its
    keywords (``numpy=None``: the engine's setting)."""
    values = _keywords_only(function, options, nout=1, stdout=_SYS_OUT, stderr=_SYS_ERR, numpy=None)
    return (values["nout"], values["stdout"], values["stderr"], values["numpy"])


def _as_numpy(session, numpy):
    return session.numpy if numpy is None else bool(numpy)


def _engine_args(args):
    """The call arguments as the native module takes them: it knows typed
    arrays but not views into them, so a view goes as a copy of its own
    (``a[0]`` of a matrix as a 1-by-n row of the same class)."""
    for arg in args:
        if isinstance(arg, _ArrayView):
            return tuple(a._to_typed() if isinstance(a, _ArrayView) else a for a in args)
    return args


def _engine_arg_lists(iterables):
    """The argument tuples of EngineFunction.map's calls, as _engine_args
    makes them; the check for views runs in C, once over all of them."""
    calls = list(zip(*iterables))
    if any(map(isinstance, itertools.chain.from_iterable(calls), itertools.repeat(_ArrayView))):
        calls = [_engine_args(args) for args in calls]
    return calls


def _write(stream, text):
    if PY2 and isinstance(text, str) and isinstance(stream, io.TextIOBase):
        text = text.decode("ascii")  # io streams take unicode only
    stream.write(text)


def _forward(capture, stream, reset=False):
    if capture is not None and capture is not stream:
        text = capture.getvalue()
        if text:
            _write(stream, text)
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


def _targets(session, stdout, stderr):
    """The streams of a call that starts now, ``(out, err)``, each None for
    no stream."""
    if session.closed:
        raise _closed_error()
    out = sys.stdout if stdout is _SYS_OUT else _resolve(stdout, _SYS_OUT)
    err = sys.stderr if stderr is _SYS_ERR else _resolve(stderr, _SYS_ERR)
    return out, err


def _capture(stream, sys_stream):
    """What a collect fills with the text for ``stream``: the stream itself
    when it is an io.StringIO; None when there is no stream, or when it is
    ``sys_stream`` as that is now, which the native module then writes to
    itself; else an io.StringIO of its own, forwarded afterwards."""
    if stream is None or (stream is sys_stream and not PY2):
        return None
    return stream if stream.__class__ is _StringIO else _StringIO()


def _streams(session, stdout, stderr):
    """The streams of a call that starts now, and the captures the native
    module fills for them: ``(out, err, out_capture, err_capture)``.  A
    capture is an io.StringIO of its own, or the stream itself when that is
    one (written to directly, nothing to forward), or None for no stream."""
    out, err = _targets(session, stdout, stderr)
    out_capture = None if out is None else (out if out.__class__ is _StringIO else _StringIO())
    err_capture = None if err is None else (err if err.__class__ is _StringIO else _StringIO())
    return out, err, out_capture, err_capture


def _resolve(stream, default):
    if stream is default:
        return getattr(sys, default.name)
    if stream is not None and not callable(getattr(stream, "write", None)):
        raise TypeError("stdout and stderr must be None or have a write() method, not %s" % type(stream).__name__)
    return stream


# ---- sessions --------------------------------------------------------------


class _Session(object):
    """The native engine handle and what must happen once it is closed."""

    __slots__ = ("handle", "lock", "closed", "pending", "waiter", "name", "numpy", "__weakref__")

    def __init__(self, handle, name, numpy=False):
        self.handle = handle
        self.name = name
        self.numpy = numpy  # results as NumPy arrays unless a call says
        self.lock = threading.RLock()
        self.closed = False
        # {seq: weak reference} of the futures whose calls are not yet
        # released; an entry leaves when its call is released.
        self.pending = {}
        self.waiter = None

    def release(self, handles):
        """Release a call in the engine client, unless the engine is closed."""
        with self.lock:
            if self.closed:
                return
            try:
                _destroy(handles)
            except Exception:  # noqa: BLE001 - released already, or engine gone
                pass


def _release_call(session, seq, handles):
    """Release a future's call exactly once: when it settles, or when the
    future is dropped (see :class:`_CallRef`).  Whoever takes the future's
    entry out of ``session.pending`` releases."""
    if session.pending.pop(seq, None) is not None:
        session.release(handles)


def _dropped(ref):
    # A future was dropped before it settled: its call is released (and so
    # cancelled, if it still runs).
    _release_call(ref.session, ref.seq, ref.handles)


class _CallRef(weakref.ref):
    """The entry of a future in ``session.pending``: a weak reference to it
    that carries what releasing its call takes, so that a dropped future is
    released by one object and one plain function (a reference with a
    ``functools.partial`` callback is two objects the cycle collector
    tracks).  Made with ``_CallRef(future, _dropped)``, then filled in."""

    __slots__ = ("session", "seq", "handles")


def _pending_futures(session):
    """The futures of the session's calls not yet released."""
    futures = []
    for ref in list(session.pending.values()):
        future = ref()
        if future is not None:
            futures.append(future)
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
    except Exception as exc:  # noqa: BLE001 - reported by Engine.close
        error = exc
    _log.closed(session, error)
    try:
        _native.destroyVELDRA(session.handle)
    except Exception:  # noqa: BLE001 - nothing left to release
        pass
    for future in _pending_futures(session):
        future._settle_exception(_closed_error())
    return error


def _call(session, name, args, nout, stdout, stderr, numpy=None):
    """Run one call to completion: submit, collect, release, forward text."""
    out, err = _targets(session, stdout, stderr)
    as_numpy = session.numpy if numpy is None else bool(numpy)
    # The streams given only ask for the text here; where it goes is
    # decided when the call is collected.
    handles = _evaluate(session.handle, name, nout, _engine_args(args), out=out, err=err)
    out_capture, err_capture = _capture(out, sys.stdout), _capture(err, sys.stderr)
    capturing = out is not None or err is not None
    failed = True
    try:
        try:
            # Most calls are done within the first slice.
            value = _collect(
                handles, nout, _LIVE_SLICE if capturing else _SLICE, out=out_capture, err=err_capture, numpy=as_numpy
            )
        except _NativeTimeout:
            live = _live(handles, out, err)
            if live is not None:
                live()
            value = _collect_sliced(handles, nout, None, out_capture, err_capture, as_numpy, live)
        failed = False
    finally:
        # Releasing a call that still runs (Ctrl-C) cancels it.  No lock
        # here, unlike the finalizers: this thread owns the call, and a close
        # racing with it leaves the handles valid in the engine client.
        if not session.closed:
            try:
                _destroy(handles)
            except Exception:  # noqa: BLE001 - the engine went away
                pass
        if out_capture is not None or err_capture is not None:
            _forward_both(out_capture, out, err_capture, err, failed)
    return value


def _collect_step(batch, nout, out, err, out_capture, err_capture):
    """The results of one step of EngineFunction.map (a batch from
    ``_batch.submit_many``, released here); its text forwarded."""
    failed = True
    try:
        results = _batch.collect_many(batch, nout, out=out_capture, err=err_capture)
        failed = False
    finally:
        _forward_both(out_capture, out, err_capture, err, failed, reset=True)
    return results
