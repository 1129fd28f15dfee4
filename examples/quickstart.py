"""A first look at veldra-engine."""
import veldra
import veldra.engine as engine

native = engine._native
print("native module:", native.__name__)
print("exception classes:", ", ".join(
    name for name in ("EngineError", "TimeoutError", "InterruptedError",
                      "VeldraExecutionError", "CancelledError")
    if hasattr(engine, name)))
print("opaque engine values are", veldra.object)

a = veldra.double([[1, 2, 3], [4, 5, 6]])
print("a typed array:", a, "size", a.size, "stored column-major as", list(a._data))

print("a catalog message:", native.getMessage("FevalTakes3Args"))
try:
    native.getMessage(3)
except TypeError as error:
    print("getMessage(3) raises TypeError:", error)
