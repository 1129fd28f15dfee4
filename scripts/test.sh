#!/usr/bin/env bash
# Builds and installs everything (see bootstrap.sh), then runs all tests:
# the C++ unit tests of the engine libraries and the Python test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
# The builds the tests use carry the module's test hooks (ext/testing).
export VELDRA_TEST_HOOKS=1
bash scripts/bootstrap.sh
# What only the tests need: hypothesis for the property tests, a Jupyter
# kernel and its client for the notebook test, tqdm for the progress bar.
.venv/bin/python -m pip install -q --disable-pip-version-check hypothesis jupyter_client ipykernel tqdm
bash scripts/install-dask.sh

# Types (mypy --strict on the examples) and lint rules (ruff).
bash scripts/lint.sh

# C++ unit tests, in a build of their own.
.venv/bin/cmake -S . -B build/cpp-tests -G Ninja -DVELDRA_BUILD_TESTS=ON \
  -DVELDRA_BUILD_PYTHON=OFF -DVELDRA_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
.venv/bin/cmake --build build/cpp-tests -j"$(nproc)"
(cd build/cpp-tests && ../../.venv/bin/ctest --output-on-failure)

# Python tests against the installed package, from outside the source tree
# so that the installed package, not python/, is imported.
.venv/bin/python -m pytest -q -p no:cacheprovider --rootdir=. tests/python "$@"

# The same against the repaired wheel in a fresh virtual environment (the
# wheel has no test hooks: the tests that need them skip).
bash scripts/test-wheel.sh "$@"

# The decoders of what a peer sends, fuzzed for a bounded time.
bash scripts/test-fuzz.sh

# The Python tests under Python 2.7, 3.9, 3.10, 3.12 and 3.13.
bash scripts/test-interpreters.sh

# Everything again under AddressSanitizer and UndefinedBehaviorSanitizer.
bash scripts/test-sanitizers.sh "$@"

# The Python tests under the debug interpreter (reference-count checks).
bash scripts/test-debug-python.sh "$@"
