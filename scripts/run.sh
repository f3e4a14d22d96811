#!/usr/bin/env bash
# Installs what is missing, builds sluice and runs it from run/, a ready run directory
# with the web folder and an example config.ini (kept when it already exists).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target sluice

mkdir -p run
rm -rf run/web
cp -r web run/web
[ -f run/config.ini ] || cp packaging/config.ini.example run/config.ini
cd run
exec ../build/sluice
