#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang-14 (AddressSanitizer and UBSan)
# in build-fuzz and runs each one for a bounded time, starting from its kept corpus in
# tests/fuzz/corpus/NAME/. Fails when any target crashes, breaks a checked property,
# triggers a sanitizer report, hangs or runs out of memory; the input that did it is
# left in build-fuzz/artifacts/NAME/ and can be replayed with
#   build-fuzz/tests/fuzz/fuzz_NAME build-fuzz/artifacts/NAME/crash-...
# Usage: scripts/fuzz.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
build=build-fuzz

cmake -S . -B "$build" -DSLUICE_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
for source in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" _fuzz.cpp)
  artifacts="$build/artifacts/$name/"
  log="$build/fuzz_$name.log"
  mkdir -p "$artifacts"
  # New inputs go to a scratch directory: the kept corpus changes only by hand.
  scratch=$(mktemp -d)
  if "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=16384 -print_final_stats=1 -artifact_prefix="$artifacts" \
      "$scratch" "tests/fuzz/corpus/$name" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$name: ${runs:-?} inputs in ${seconds}s, no finding"
  else
    echo "fuzz_$name: FAILED (log: $log)"
    tail -n 40 "$log"
    failed+=("$name")
  fi
  rm -rf "$scratch"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets with findings: ${failed[*]}"
  exit 1
fi
