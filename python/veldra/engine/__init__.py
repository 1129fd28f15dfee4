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
