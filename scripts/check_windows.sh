#!/usr/bin/env bash
# Compile-checks the Windows platform layers (interfaces, heap), and the shared code it uses, with
# Debian's mingw-w64 cross compiler, so that it keeps building without a Windows machine.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "=== compile check of the Windows layer (mingw-w64)"
x86_64-w64-mingw32-g++ -std=c++20 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -Isrc \
  src/net/interfaces_windows.cpp src/net/interface_selection.cpp src/net/format_bitrate.cpp \
  src/app/heap_release_windows.cpp
