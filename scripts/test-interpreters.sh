#!/usr/bin/env bash
# The Python test suite under every other interpreter the package supports
# (3.11 is tested by test.sh): each gets a fresh virtual environment in
# build/venv-py<version> with the package installed, its extension built for
# that interpreter.  The engine and the catalogs are the same for all, so the
# engine that .venv holds is installed rather than built again.  Expects
# bootstrap.sh to have run.
#
#   bash scripts/test-interpreters.sh [VERSION ...]    # default: 2.7 3.9 3.10 3.12 3.13
set -euo pipefail
cd "$(dirname "$0")/.."
# The builds the tests use carry the module's test hooks (ext/testing).
export VELDRA_TEST_HOOKS=1
versions=("$@")
((${#versions[@]})) || versions=(2.7 3.9 3.10 3.12 3.13)
engine=$(.venv/bin/python -c "import os, veldra.engine as e; print(os.path.join(os.path.dirname(e._native.__file__), 'bin', 'veldra-engine'))")

for version in "${versions[@]}"; do
  python=$(ls -d /root/.pyenv/versions/"$version".*/bin/python"$version" | sort -V | tail -1)
  venv=build/venv-py$version
  echo "== Python $version ($python)"
  start=$SECONDS
  if [ "$version" = 2.7 ]; then
    bash scripts/build-python2.sh "$python" "$venv" "$engine"
  else
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check \
      "pip>=23.1" "scikit-build-core>=0.10" "cmake>=3.21" ninja pytest numpy
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
      -C cmake.define.VELDRA_PREBUILT_ENGINE="$engine" -C cmake.define.VELDRA_WERROR=ON .
  fi
  "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir=. tests/python
  echo "== Python $version: $((SECONDS - start)) s"
done
