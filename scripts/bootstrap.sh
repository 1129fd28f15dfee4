#!/usr/bin/env bash
# Makes a fresh machine ready: the Debian packages the build needs, a
# virtual environment in .venv, and veldra-engine built and installed in it.
# Safe to run again; it only does what is missing (the build is incremental).
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(g++ make gettext
  libboost-dev libboost-system-dev libboost-program-options-dev
  libgtest-dev libeigen3-dev libopenblas-dev liblapacke-dev libfftw3-dev
  libmimalloc2.0)
bash scripts/apt-install.sh "${debian_packages[@]}"

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "cmake>=3.21" ninja pytest numpy
# No build isolation: the build folder (build/<wheel tag>) is kept, so a
# second run recompiles only what changed.
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation .
