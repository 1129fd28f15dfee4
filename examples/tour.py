"""The README's quick tour, as a program that runs and that mypy --strict
checks (scripts/lint.sh); keep the two in step."""

import io

import veldra
import veldra.engine


# The comments line up as in the README: not reformatted.
# fmt: off
def tour() -> None:
    with veldra.engine.start() as eng:            # or "--threads 2", or ["--threads", "2"]
        eng.sqrt(4.0)                              # 2.0: any engine function is a method
        eng.call("identity", 1.0)                  # the same by name
        q, r = eng.qr(veldra.double([[1, 2], [3, 4]]), nout=2)

        buf = io.StringIO()
        eng.print("hi", stdout=buf)                # engine console text to any stream
        eng.print("hi", stdout=None)               # None: not captured (the engine prints it itself)

        f = eng.submit("sleep", 5)                 # a concurrent.futures.Future, at once
        f.cancel()
        g = eng.submit("identity", 42.0)
        g.add_done_callback(lambda fut: print(fut.result()))
        g.result(timeout=10)

        eng.workspace["x"] = veldra.double([[1, 2], [3, 4]])
        "x" in eng.workspace, sorted(eng.workspace), eng.workspace["x"]

        help(eng.sqrt)                             # the engine's own text for sqrt
        print("sqrt" in dir(eng))                  # True: dir lists the engine's functions

# fmt: on


if __name__ == "__main__":
    tour()
