#!/usr/bin/env bash
# The long reliability runs: 1000 SRT and 250 talkback cycles beside a 50 Mbit/s stream
# that runs 10 minutes, then the namespace cases (root). Prints the figures.
# Usage: scripts/soak.sh [soak seconds, default 600]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
export SLUICE_BIN="$PWD/build/sluice" SLUICE_BUILD_DIR="$PWD/build" SLUICE_SOURCE_DIR="$PWD"
export SLUICE_SOAK_SECONDS=${1:-600} SLUICE_SOAK_MBITS=50 SLUICE_CHURN_CYCLES=1000
cd tests/e2e
python3 test_forwarding.py -v -k churn
python3 test_networks.py -v
