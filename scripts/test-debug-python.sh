#!/usr/bin/env bash
# The Python tests once more under Debian's debug interpreter
# (python3.11-dbg), which checks reference counts and the interpreter's own
# invariants as it goes.  The package is built against it in a virtual
# environment of its own (.venv-dbg, build/dbg-py).  NumPy has no wheel for a
# debug interpreter, so the NumPy tests skip here; the rest all run.
set -euo pipefail
cd "$(dirname "$0")/.."
# The builds the tests use carry the module's test hooks (ext/testing).
export VELDRA_TEST_HOOKS=1

debian_packages=(python3.11-dbg libpython3.11-dbg python3.11-venv)
bash scripts/apt-install.sh "${debian_packages[@]}"

if [ ! -x .venv-dbg/bin/python ]; then
  python3.11-dbg -m venv .venv-dbg
fi
# Debian's bundled pip is too old for -C (config settings).
.venv-dbg/bin/python -m pip install -q --disable-pip-version-check \
  "pip>=23.1" "scikit-build-core>=0.10" "cmake>=3.21" ninja pytest hypothesis
.venv-dbg/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  -C build-dir=build/dbg-py .
.venv-dbg/bin/python -m pytest -q -p no:cacheprovider --rootdir=. tests/python "$@"
