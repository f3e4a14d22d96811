#!/usr/bin/env bash
# Installs what is missing, checks the format, compile-checks src/ for Windows, builds
# sluice three times with warnings as errors (plain, AddressSanitizer+UBSan,
# ThreadSanitizer) and runs every unit and end-to-end test against each build, then
# runs each fuzz target for 30 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_deps.sh --test
bash scripts/check_format.sh
bash scripts/check_windows.sh

run_suite() {
  local dir=$1 sanitizer=$2
  echo "=== build $dir (sanitizer: ${sanitizer:-none})"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSLUICE_SANITIZER="$sanitizer" -DSLUICE_WERROR=ON
  cmake --build "$dir" -j"$(nproc)"
  (cd "$dir" && ctest --output-on-failure --timeout 900)
}

run_suite build ""
run_suite build-asan address
run_suite build-tsan thread

bash scripts/fuzz.sh 30
echo "every suite passed"
