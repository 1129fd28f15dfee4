#!/usr/bin/env bash
# The Python test suite against the repaired wheel, as a user installs it:
# scripts/wheel.sh builds it (in a build folder of its own, where after the
# first time only what changed is compiled), a fresh virtual environment
# (.venv-wheel) gets the wheel and what the tests need, nothing from the
# source tree.  Before the tests it checks that the installed extension and
# engine load every library that is not the system's from the wheel's
# veldra_engine.libs/ and neither needs libstdc++ (linked in), that
# get_include() names the installed headers and that the wheel has no test
# hooks (the tests that need them skip).
#
#   bash scripts/test-wheel.sh [PYTEST ARGS ...]
set -euo pipefail
cd "$(dirname "$0")/.."
# What a user's machine has: no library path pointing into a build.
unset LD_LIBRARY_PATH
start=$SECONDS

report=$(bash scripts/wheel.sh)
echo "$report"
wheel=$(echo "$report" | head -1)

venv=.venv-wheel
rm -rf "$venv"
# The interpreter .venv was made from: the one the wheel is built for.
.venv/bin/python -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" pytest hypothesis numpy

# Run from the source tree as the tests are (python/ is not on the path
# there), so that this sees the package the tests import.
"$venv/bin/python" - "$PWD" <<'EOF'
import ctypes
import os
import subprocess
import sys

import veldra
import veldra.engine as ve

tree = os.path.realpath(sys.argv[1])
site = os.path.dirname(os.path.dirname(os.path.realpath(veldra.__file__)))
libs = os.path.join(site, "veldra_engine.libs")
# glibc and the compiler's runtime: every manylinux system has them.
system = {"linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libdl.so.2",
          "libpthread.so.0", "librt.so.1", "libstdc++.so.6", "libgcc_s.so.1"}
faults = []
if site == os.path.join(tree, "python"):
    faults.append("veldra is imported from the source tree: %s" % veldra.__file__)

native = os.path.realpath(ve._native.__file__)
engine = os.path.join(os.path.dirname(native), "bin", "veldra-engine")
for binary in (native, engine):
    out = subprocess.run(["ldd", binary], capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        name, _, where = line.strip().partition(" => ")
        path = os.path.realpath(where.split(" (")[0]) if where else ""
        if "not found" in where:
            faults.append("%s: %s is not found" % (binary, name))
        elif name.startswith("libstdc++"):
            faults.append("%s needs %s: the portable link links it in" % (binary, name))
        elif os.path.basename(name.split(" (")[0]) in system:
            if path and os.path.commonpath([path, tree]) == tree:
                faults.append("%s: %s loads from the build tree: %s" % (binary, name, path))
        elif os.path.dirname(path) != libs:
            faults.append("%s: %s loads from %s, not from the wheel" % (binary, name, path or "?"))

include = ve.get_include()
if not (os.path.realpath(include).startswith(site + os.sep)
        and os.path.isfile(os.path.join(include, "veldra", "engine_plugin.hpp"))):
    faults.append("get_include() does not name the installed headers: %s" % include)
if hasattr(ctypes.CDLL(native), "veldra_live_arrays"):
    faults.append("the wheel's extension has the test hooks")

for fault in faults:
    print("wheel: " + fault, file=sys.stderr)
if faults:
    sys.exit(1)
print("wheel: %s and bin/veldra-engine load their libraries from %s; headers in %s"
      % (os.path.basename(native), libs, include))
EOF

"$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir=. tests/python "$@"
echo "== wheel: $((SECONDS - start)) s"
