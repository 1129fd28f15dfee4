"""A first look at veldra-engine: start an engine, call its functions, watch
their output, run calls in the background, use the workspace, close it."""

import asyncio
import io
import sys
from typing import Any, Tuple

import veldra
import veldra.engine


def show(label: str, value: Any) -> None:
    print("%-44s %r" % (label, value))


def main() -> int:
    print("starting an engine ...")
    with veldra.engine.start("--threads 2") as eng:
        print("  ", eng)

        # Any engine function is a method; call() takes the name as a string.
        show("eng.sqrt(4.0)", eng.sqrt(4.0))
        show('eng.call("identity", [1, "two", {"x": 3.0}])', eng.call("identity", [1, "two", {"x": 3.0}]))
        a = veldra.double([[1, 2], [3, 4]])
        m = eng.matmul(a, a)
        show("m = eng.matmul(a, a)", m)
        # Typed arrays index like nested lists of rows; .linear is column-major.
        show("m[1], m[1][0], m[1, 0], m.linear[1]", (m[1].tolist(), m[1][0], m[1, 0], m.linear[1]))
        show("eng.identity(a[1]): a row goes as 1-by-2", eng.identity(a[1]))
        q, r = eng.qr(a, nout=2)
        show("q, r = eng.qr(a, nout=2); q.size, r.size", (q.size, r.size))
        show("eng.identity(1.0, 2.0, nout=2)", eng.identity(1.0, 2.0, nout=2))

        # Console output goes to any stream, by default sys.stdout/sys.stderr.
        eng.print("printed by the engine straight to sys.stdout")
        buf = io.StringIO()
        eng.print("captured", stdout=buf)
        eng.warn("a warning", stderr=buf)
        show("text captured in a StringIO", buf.getvalue())
        eng.print("not captured (stdout=None): the engine writes this itself", stdout=None)

        # Errors become Python exceptions.
        try:
            eng.fail("something went wrong")
        except veldra.engine.VeldraExecutionError as error:
            show("eng.fail(...) raised VeldraExecutionError", str(error))
        try:
            eng.calc("1 + * 2")
        except SyntaxError as error:
            show("eng.calc('1 + * 2') raised SyntaxError", str(error))

        # Futures: submit() returns at once; the engine runs calls in order.
        f = eng.submit("sleep", 5)
        show("f = eng.submit('sleep', 5); f.done()", f.done())
        show("f.cancel()", f.cancel())
        show("f.cancelled()", f.cancelled())
        try:
            f.result()
        except veldra.engine.CancelledError:
            print("f.result() raised CancelledError")
        g = eng.submit("identity", 42.0)
        g.add_done_callback(lambda fut: print("callback: the result is", fut.result()))
        show("g.result(timeout=10)", g.result(timeout=10))
        slow = eng.submit("sleep", 0.5)
        try:
            slow.result(timeout=0.01)
        except TimeoutError:
            print("slow.result(timeout=0.01) timed out; the call goes on")
        show("slow.result()", slow.result())

        # asyncio: awaiting a future does not block the event loop.
        async def together() -> Tuple[Any, Any]:
            return await asyncio.gather(eng.submit("sqrt", 9.0), eng.submit("sqrt", 16.0))

        show("asyncio.gather of two sqrt calls", asyncio.run(together()))

        # The workspace is a mapping of the engine's variables.
        ws = eng.workspace
        ws["x"] = veldra.double([[1, 2], [3, 4]])
        ws["greeting"] = "hello"
        show("sorted(eng.workspace)", sorted(ws))
        show('eng.workspace["x"]', ws["x"])
        del ws["greeting"]
        show('"greeting" in eng.workspace', "greeting" in ws)

    show("after the with block: eng.closed", eng.closed)
    try:
        eng.sqrt(4.0)
    except veldra.engine.EngineError as error:
        show("using a closed engine raises EngineError", str(error))
    show("shared sessions (python -m veldra.engine list)", veldra.engine.find_shared())
    return 0


if __name__ == "__main__":
    sys.exit(main())
