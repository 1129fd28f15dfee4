"""Shared engine sessions from the command line (``python -m veldra.engine``,
or the console script ``veldra-engine-py``).

    veldra-engine-py list
        prints the names of this user's shared sessions, one a line
    veldra-engine-py serve NAME [--threads N] [--plugin PATH]...
        runs an engine as the shared session NAME in the foreground, until
        SIGTERM or Ctrl-C
    veldra-engine-py --version
        prints the package's version and the engine program it runs
"""

from __future__ import print_function

import argparse
import os
import sys


def engine_executable():
    """Path of the engine program bundled with this package (or the one
    named by ``VELDRA_ENGINE_EXECUTABLE``)."""
    override = os.environ.get("VELDRA_ENGINE_EXECUTABLE")
    if override:
        return override
    from veldra.engine import _native

    return os.path.join(os.path.dirname(os.path.abspath(_native.__file__)), "bin", "veldra-engine")


def serve_command(name, threads, plugins=()):
    """The command line that serves ``name``."""
    command = [engine_executable(), "--share", name]
    if threads is not None:
        command += ["--threads", str(threads)]
    for path in plugins:
        command += ["--plugin", os.path.abspath(path)]
    return command


def _threads(text):
    # A type, so that argparse names the option and shows the usage of the
    # command it belongs to.
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError("expected a whole number of at least 1, not %r" % (text,))
    return n


def _version():
    from veldra import __version__

    return "%s %s (engine: %s)" % ("veldra-engine-py", __version__, engine_executable())


def main(argv=None, prog=None):
    """Run the command line ``argv`` (default: ``sys.argv[1:]``); returns the
    exit status.  ``serve`` replaces this process with the engine."""
    if prog is None:
        prog = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
        if prog in ("", "__main__.py", "-c"):
            prog = "python -m veldra.engine"
    parser = argparse.ArgumentParser(prog=prog, description="List or serve shared VELDRA engine sessions.")
    parser.add_argument("--version", action="store_true", help="print the version and exit")
    sub = parser.add_subparsers(dest="command")
    sub.add_parser("list", help="print the shared sessions, one a line")
    serve = sub.add_parser("serve", help="run a shared session in the foreground")
    serve.add_argument("name", help="session name (1-64 of A-Z a-z 0-9 _ -)")
    serve.add_argument("--threads", type=_threads, metavar="N", help="threads the engine's numerics may use (N >= 1)")
    serve.add_argument(
        "--plugin",
        action="append",
        default=[],
        metavar="PATH",
        help="load engine functions from the shared library PATH (repeatable)",
    )
    args = parser.parse_args(argv)
    if args.version:
        print(_version())
        return 0
    if args.command is None:
        parser.error("a command is needed: list or serve")

    if args.command == "list":
        from veldra.engine import find_shared

        for name in find_shared():
            print(name)
        return 0

    command = serve_command(args.name, args.threads, args.plugin)
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        os.execv(command[0], command)
    except OSError as error:
        print("cannot run %s: %s" % (command[0], error), file=sys.stderr)
        return 1
    return 0  # not reached


def console_main():
    """Entry point of the console script ``veldra-engine-py``."""
    sys.exit(main(prog="veldra-engine-py"))


if __name__ == "__main__":
    sys.exit(main())
