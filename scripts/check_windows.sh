#!/usr/bin/env bash
# Compile-checks all of src/ for Windows, so that it keeps building without a Windows
# machine: every source except the *_linux.cpp platform files, with Debian's mingw-w64
# cross compiler (its POSIX thread model, which has std::thread and std::mutex).
# The libraries' headers come from Debian (libsrt, cpp-httplib, nlohmann-json) and from
# the patched librist (SLUICE_LIBRIST_PREFIX, as for CMake). Only those headers are
# offered to the compiler, never /usr/include as a whole, whose system headers are
# Linux's.
set -euo pipefail
cd "$(dirname "$0")/.."

librist_prefix=${SLUICE_LIBRIST_PREFIX:-build-deps/librist/prefix}
headers=$(mktemp -d)
trap 'rm -rf "$headers"' EXIT
ln -s /usr/include/srt /usr/include/httplib.h /usr/include/nlohmann "$headers"/
ln -s "$(realpath "$librist_prefix/include/librist")" "$headers"/librist

# libsrt's logging_api.h includes win/syslog_defs.h on Windows, a header of libsrt's
# Windows install that Debian's Linux package leaves out. It gives the syslog level
# numbers, which are the same on every system.
mkdir "$headers/win"
cat >"$headers/win/syslog_defs.h" <<'EOF'
#pragma once
#define LOG_EMERG 0
#define LOG_ALERT 1
#define LOG_CRIT 2
#define LOG_ERR 3
#define LOG_WARNING 4
#define LOG_NOTICE 5
#define LOG_INFO 6
#define LOG_DEBUG 7
EOF

mapfile -t sources < <(find src -name '*.cpp' ! -name '*_linux.cpp' | sort)
echo "=== compile check for Windows (mingw-w64): ${#sources[@]} files of src/"
x86_64-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Wpedantic -Werror -fsyntax-only \
  -Isrc -isystem "$headers" "${sources[@]}"
