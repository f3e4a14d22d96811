#!/usr/bin/env bash
# Installs what the benchmark needs on top of the build dependencies: the relays it
# compares, perf and valgrind for the profile, matplotlib for the plots.
set -euo pipefail
exec bash "$(dirname "$0")/../scripts/install_deps.sh" --bench
