#!/usr/bin/env bash
# Builds and installs veldra-engine for Python 2.7, which has no
# scikit-build-core: the same CMake project, told which interpreter to build
# the extension for, installed into the virtual environment VENV together
# with the pure-Python package and its 2.7-only dependencies.
#
#   bash scripts/build-python2.sh [PYTHON2] [VENV] [ENGINE]
#
# PYTHON2 defaults to the 2.7 interpreter under /root/.pyenv, VENV to
# build/venv-py2.7.  ENGINE, an engine executable built before (such as the
# one .venv holds), is installed instead of building the engine again.
# Expects bootstrap.sh to have run (it provides cmake, ninja and the Debian
# packages).
set -euo pipefail
cd "$(dirname "$0")/.."
python2=${1:-/root/.pyenv/versions/2.7.18/bin/python2.7}
venv=${2:-build/venv-py2.7}
engine=${3:-}
pip_quiet=(-q --disable-pip-version-check --no-python-version-warning)

if [ ! -x "$venv/bin/python" ]; then
  # The last virtualenv that still makes 2.7 environments, run by .venv.
  .venv/bin/python -m pip install -q --disable-pip-version-check "virtualenv<20.22"
  .venv/bin/python -m virtualenv -q -p "$python2" "$venv"
fi
# The last releases for 2.7: pytest 4.6, NumPy 1.16; the backports the
# package uses there.
"$venv/bin/python" -m pip install "${pip_quiet[@]}" \
  "pytest<5" "numpy<1.17" "futures>=3.3" "backports.weakref>=1.0"

build=build/py2.7
args=(-DVELDRA_PYTHON="$python2" -DVELDRA_WERROR=ON -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja")
[ -n "$engine" ] && args+=(-DVELDRA_PREBUILT_ENGINE="$engine")
.venv/bin/cmake -S . -B "$build" -G Ninja "${args[@]}" >/dev/null
.venv/bin/cmake --build "$build" -j2
site=$("$venv/bin/python" -c "import distutils.sysconfig as s; print(s.get_python_lib())")
rm -rf "$site/veldra"
cp -r python/veldra "$site/veldra"
.venv/bin/cmake --install "$build" --prefix "$site" >/dev/null
