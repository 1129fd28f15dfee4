"""The VELDRA engine from Python.

Importing this package loads the native module built for the running
interpreter (``veldraengineforpython<major>_<minor>``), which publishes the
exception classes ``EngineError``, ``TimeoutError``, ``InterruptedError``,
``VeldraExecutionError`` and ``CancelledError`` here and ``veldra.object``
in the package ``veldra``.
"""

import importlib as _importlib
import os as _os
import re as _re
import sys as _sys

from veldra._compat import chained as _chained

_NATIVE_NAME = "veldraengineforpython%d_%d" % _sys.version_info[:2]


def _built_for():
    """The (major, minor) versions this installation has a native module
    for, from the file names next to this one."""
    found = set()
    for entry in _os.listdir(_os.path.dirname(_os.path.abspath(__file__))):
        match = _re.match(r"veldraengineforpython(\d+)_(\d+)\.", entry)
        if match:
            found.add((int(match.group(1)), int(match.group(2))))
    return sorted(found)


try:
    _native = _importlib.import_module("." + _NATIVE_NAME, __name__)
except ImportError as _error:
    _built = _built_for()
    if _sys.version_info[:2] in _built:
        raise  # there is one, and it failed to load: say why
    raise _chained(
        ImportError(
            "veldra.engine has no native module for Python %d.%d (%s); this "
            "installation was built for %s. Install veldra-engine with this "
            "interpreter to use it here."
            % (
                _sys.version_info[0],
                _sys.version_info[1],
                _sys.executable,
                ", ".join("Python %d.%d" % v for v in _built) or "no interpreter",
            )
        ),
        None,
    )

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
    "start",
    "connect",
    "find_shared",
    "Engine",
    "EngineFunction",
    "CallFuture",
    "LaunchFuture",
    "Workspace",
    "EngineError",
    "TimeoutError",
    "InterruptedError",
    "VeldraExecutionError",
    "CancelledError",
    "get_include",
]

if _sys.version_info >= (3, 7):
    __all__ += ["Pool", "PoolFuture"]


def get_include():
    """The folder that holds the plug-in header ``veldra/engine_plugin.hpp``,
    for compiling engine plug-ins against this installation, e.g.
    ``c++ -shared -fPIC -I"$(python -c 'import veldra.engine as e;
    print(e.get_include())')" plugin.cpp``."""
    return _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "include")


def __getattr__(name):
    # The pool loads on first use (and needs Python 3).
    if name in ("Pool", "PoolFuture"):
        from . import _pool

        return getattr(_pool, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
