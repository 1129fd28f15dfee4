"""The VELDRA engine from Python.

Importing this package loads the native module built for the running
interpreter (``veldraengineforpython<major>_<minor>``), which publishes the
exception classes ``EngineError``, ``TimeoutError``, ``InterruptedError``,
``VeldraExecutionError`` and ``CancelledError`` here and ``veldra.object``
in the package ``veldra``.
"""
import importlib as _importlib
import sys as _sys

_NATIVE_NAME = "veldraengineforpython%d_%d" % _sys.version_info[:2]
_native = _importlib.import_module("." + _NATIVE_NAME, __name__)

# The Python API on top of the native module: engines, their functions and
# futures, the workspace mapping.
from ._api import (  # noqa: E402,F401
    CallFuture,
    Engine,
    EngineFunction,
    LaunchFuture,
    Workspace,
    connect,
    find_shared,
    start,
)

__all__ = [
    "start", "connect", "find_shared",
    "Engine", "EngineFunction", "CallFuture", "LaunchFuture", "Workspace",
    "EngineError", "TimeoutError", "InterruptedError",
    "VeldraExecutionError", "CancelledError",
]

if _sys.version_info >= (3, 7):
    __all__ += ["Pool", "PoolFuture"]


def __getattr__(name):
    # The pool loads on first use (and needs Python 3).
    if name in ("Pool", "PoolFuture"):
        from . import _pool
        return getattr(_pool, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
