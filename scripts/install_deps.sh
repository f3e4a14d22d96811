#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing sluice need.
# Asks apt only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libsrt-openssl-dev librist-dev libcpp-httplib-dev
  libgtest-dev python3 curl
  srt-tools rist-tools
)
# The browser test drives Debian's Chromium with playwright-core from npm; Node.js 20
# and npm come with the machine. clang-14 builds the libFuzzer targets; wrk loads the
# HTTP server.
if [ "${1:-}" = "--test" ]; then
  packages+=(iproute2 nftables procps g++-mingw-w64-x86-64 chromium clang-14 libclang-rt-14-dev wrk)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
