#!/usr/bin/env bash
# Builds sluice and the benchmark tools, then measures the relays side by side on
# loopback and writes bench/results/ (JSON, tables.md, PNG plots).
#   bash bench/run.sh            full run, about 30 minutes
#   bash bench/run.sh --quick    smoke run, a few minutes
#   bash bench/run.sh --soak     RSS over 3-minute runs at 50, 100 and 200 Mbit/s
# Extra arguments go to bench/run.py (for example --relays sluice,bare,ffmpeg).
set -euo pipefail
cd "$(dirname "$0")/.."

bash bench/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target sluice pacer sink srt_callers bare_relay udp_relay udp_batch_relay
/usr/bin/python3 bench/run.py "$@"
/usr/bin/python3 bench/report.py
