"""Shared engine sessions from the command line.

    python -m veldra.engine list
        prints the names of this user's shared sessions, one a line
    python -m veldra.engine serve NAME [--threads N]
        runs an engine as the shared session NAME in the foreground, until
        SIGTERM or Ctrl-C
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
    return os.path.join(os.path.dirname(os.path.abspath(_native.__file__)),
                        "bin", "veldra-engine")


def serve_command(name, threads):
    """The command line that serves ``name``."""
    command = [engine_executable(), "--share", name]
    if threads is not None:
        command += ["--threads", str(threads)]
    return command


def main(argv=None):
    """Run the command line ``argv`` (default: ``sys.argv[1:]``); returns the
    exit status.  ``serve`` replaces this process with the engine."""
    parser = argparse.ArgumentParser(
        prog="python -m veldra.engine",
        description="List or serve shared VELDRA engine sessions.")
    sub = parser.add_subparsers(dest="command")
    sub.required = True
    sub.add_parser("list", help="print the shared sessions, one a line")
    serve = sub.add_parser("serve", help="run a shared session in the "
                                         "foreground")
    serve.add_argument("name", help="session name (1-64 of A-Z a-z 0-9 _ -)")
    serve.add_argument("--threads", type=int, metavar="N",
                       help="threads the engine's numerics may use")
    args = parser.parse_args(argv)

    if args.command == "list":
        from veldra.engine import find_shared
        for name in find_shared():
            print(name)
        return 0

    if args.threads is not None and args.threads < 1:
        parser.error("--threads needs a number of at least 1")
    command = serve_command(args.name, args.threads)
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        os.execv(command[0], command)
    except OSError as error:
        print("cannot run %s: %s" % (command[0], error), file=sys.stderr)
        return 1
    return 0  # not reached


if __name__ == "__main__":
    sys.exit(main())
