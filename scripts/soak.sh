#!/usr/bin/env bash
# The long reliability runs: a 10-minute 50 Mbit/s soak, 1000 SRT and 200 talkback
# connect/hang-up cycles beside a long stream, and 20-second streams over the lossy
# links. Prints the figures; needs root for the lossy links. Builds into build/.
# Usage: scripts/soak.sh [soak seconds, default 600]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
export SLUICE_BIN="$PWD/build/sluice" SLUICE_SOURCE_DIR="$PWD"
export SLUICE_SOAK_SECONDS=${1:-600} SLUICE_CHURN_CYCLES=1000 SLUICE_TALKBACK_CYCLES=200 SLUICE_LOSS_SECONDS=20
cd tests/e2e
python3 test_churn_and_soak.py -v
python3 test_lossy_links.py -v
