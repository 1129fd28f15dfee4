"""The errors of futures: a result not there in time, a cancelled call or
launch, and a closed engine.

The time-out and cancellation errors are both this package's classes and the
standard ones (``TimeoutError``, ``concurrent.futures.TimeoutError``,
``concurrent.futures.CancelledError``), so that either catches them.
"""

import concurrent.futures

# The native module publishes the error classes in the package on import.
from . import EngineError
from . import CancelledError as _NativeCancelled
from . import TimeoutError as _NativeTimeout

try:
    _TIMEOUT_BASES = (_NativeTimeout, TimeoutError)
except NameError:  # Python 2.7 has no built-in TimeoutError
    _TIMEOUT_BASES = (_NativeTimeout,)
if concurrent.futures.TimeoutError not in _TIMEOUT_BASES:
    # A class of its own before Python 3.11.
    _TIMEOUT_BASES += (concurrent.futures.TimeoutError,)

_FutureTimeout = type(
    "_FutureTimeout",
    _TIMEOUT_BASES,
    {
        "__doc__": "A future's result was not there in time; the call goes on. "
        "veldra.engine.TimeoutError, the built-in TimeoutError and "
        "concurrent.futures.TimeoutError all catch it."
    },
)


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


_FUTURE_ERRORS = {"TimeoutError": _FutureTimeout, "CancelledError": _FutureCancelled}
for _name, _cls in _FUTURE_ERRORS.items():
    _cls.__name__ = _cls.__qualname__ = _name
    _cls.__module__ = "veldra.engine"
    _cls.__reduce__ = _reduce_future_error
del _cls, _name


def _closed_error():
    return EngineError("the engine is closed; start or connect to a new one")
