#!/usr/bin/env bash
# Fuzzes the decoders of what a peer sends (frames, arrays) with libFuzzer
# under AddressSanitizer and UndefinedBehaviorSanitizer, each for a bounded
# time from the seed corpus in tests/fuzz/corpus; fails on any crash, leak
# or sanitizer report.  FUZZ_SECONDS sets the time per target (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}

bash scripts/apt-install.sh clang-14 libclang-rt-14-dev

.venv/bin/cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DVELDRA_BUILD_FUZZ=ON \
  -DVELDRA_BUILD_PYTHON=OFF -DVELDRA_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
.venv/bin/cmake --build build/fuzz -j"$(nproc)" --target fuzz_frame_decoder fuzz_array_codec

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in frame_decoder array_codec; do
  # New inputs go to a scratch folder; the committed seeds stay as they are.
  work=build/fuzz/corpus/$target
  log=build/fuzz/$target.log
  mkdir -p "$work"
  echo "fuzzing $target for ${seconds}s"
  if ! build/fuzz/tests/fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix=build/fuzz/ "$work" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 80 "$log"
    echo "fuzzing $target failed; the input that did it is in build/fuzz/"
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$log" || true
done
