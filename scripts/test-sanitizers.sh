#!/usr/bin/env bash
# The test suites again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer: the C++ unit tests (leak checking on), then the
# Python tests against a sanitized module and engine installed in a virtual
# environment of its own (.venv-asan).  Expects bootstrap.sh to have run.
set -euo pipefail
cd "$(dirname "$0")/.."
# The builds the tests use carry the module's test hooks (ext/testing).
export VELDRA_TEST_HOOKS=1
sanitizers=address,undefined
export ASAN_OPTIONS="abort_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

.venv/bin/cmake -S . -B build/asan-cpp -G Ninja -DVELDRA_BUILD_TESTS=ON -DVELDRA_BUILD_PYTHON=OFF \
  -DVELDRA_SANITIZE=$sanitizers -DCMAKE_BUILD_TYPE=Debug >/dev/null
.venv/bin/cmake --build build/asan-cpp -j"$(nproc)"
(cd build/asan-cpp && ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=1" ../../.venv/bin/ctest --output-on-failure)

if [ ! -x .venv-asan/bin/python ]; then
  .venv/bin/python -m venv .venv-asan
fi
.venv-asan/bin/python -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "cmake>=3.21" ninja pytest numpy hypothesis
.venv-asan/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  -C build-dir=build/asan-py -C cmake.build-type=Debug \
  -C cmake.define.VELDRA_SANITIZE=$sanitizers .

# The interpreter itself is not instrumented: the sanitizer runtime is
# preloaded, and the interpreter's allocator goes through malloc so that
# every Python block is seen.  Leak checking stays off here: the interpreter
# keeps memory at exit by design.  Engine arrays that a failed call leaves
# behind are caught by the tests themselves (live-array counter).
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
PYTHONMALLOC=malloc ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" \
  .venv-asan/bin/python -m pytest -q -p no:cacheprovider --rootdir=. tests/python "$@"
