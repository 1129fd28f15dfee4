"""Fails if an ELF file in a wheel needs a glibc newer than the one named.

    python scripts/check-glibc.py --glibc 2.17 WHEEL [WHEEL ...]

For every ELF file in the wheel it reads the versions the file requires
(objdump -p, what the dynamic loader checks) and the symbols that require
them (objdump -T), and prints the newest GLIBC version each file needs.  A
symbol above the limit is named with its version: its place is in
runtime/compat/glibc_compat.cpp, bound to an older version or replaced.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
import zipfile

VERSION = re.compile(r"\bGLIBC_([0-9]+(?:\.[0-9]+)*)\b")


def parse(text):
    return tuple(int(p) for p in text.split("."))


def needs(path):
    """({version: [symbol, ...]}) of the GLIBC versions `path` requires."""
    private = subprocess.run(["objdump", "-p", path], capture_output=True, text=True, check=True).stdout
    required = {}
    in_refs = False
    for line in private.splitlines():
        if line.startswith("Version References:"):
            in_refs = True
        elif in_refs and line and not line.startswith(" "):
            in_refs = False
        elif in_refs:
            m = VERSION.search(line)
            if m:
                required.setdefault(m.group(1), [])
    dynsyms = subprocess.run(["objdump", "-T", path], capture_output=True, text=True, check=True).stdout
    for line in dynsyms.splitlines():
        if "*UND*" not in line:
            continue
        m = VERSION.search(line)
        if m and m.group(1) in required:
            required[m.group(1)].append(line.split()[-1])
    return required


def elf_files(root):
    for folder, _, names in os.walk(root):
        for name in sorted(names):
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                if f.read(4) == b"\x7fELF":
                    yield path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--glibc", required=True, help="the oldest glibc the wheel must run on, e.g. 2.17")
    parser.add_argument("wheels", nargs="+")
    args = parser.parse_args()
    limit = parse(args.glibc)
    faults = []
    for wheel in args.wheels:
        with tempfile.TemporaryDirectory() as tmp:
            zipfile.ZipFile(wheel).extractall(tmp)
            files = list(elf_files(tmp))
            if not files:
                faults.append("%s: no ELF file" % wheel)
            for path in files:
                name = os.path.relpath(path, tmp)
                required = needs(path)
                newest = max(required, key=parse) if required else "none"
                print("glibc: %s needs GLIBC_%s" % (name, newest))
                for version, symbols in sorted(required.items(), key=lambda kv: parse(kv[0])):
                    if parse(version) > limit:
                        faults.append(
                            "%s needs GLIBC_%s (> %s): %s"
                            % (name, version, args.glibc, " ".join(sorted(symbols)) or "(no symbol)")
                        )
    for fault in faults:
        print("glibc: " + fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
