"""VELDRA for Python: typed arrays and, in ``veldra.engine``, the engine itself.

The typed-array classes ``double``, ``single``, ``int8`` ... ``uint64`` and
``logical`` hold numeric or logical data of any size in the engine's
column-major order.  ``veldra.object`` (published when ``veldra.engine`` is
imported) wraps references to objects living in an engine.
"""

from veldra._vdarray import (  # noqa: F401
    double,
    single,
    int8,
    int16,
    int32,
    int64,
    uint8,
    uint16,
    uint32,
    uint64,
    logical,
)

# The package's version; the engine program reports the same
# (``veldra-engine --version``).
__version__ = "0.1.0"

__all__ = [
    "double",
    "single",
    "int8",
    "int16",
    "int32",
    "int64",
    "uint8",
    "uint16",
    "uint32",
    "uint64",
    "logical",
]
