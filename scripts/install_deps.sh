#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing sluice need, then
# builds the patched static librist (scripts/build_librist.sh).
# Asks apt only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libsrt-openssl-dev libcpp-httplib-dev nlohmann-json3-dev
  meson ninja-build libcjson-dev libmbedtls-dev patch xz-utils
  libgtest-dev python3 curl
  srt-tools rist-tools
)
# --test: the browser test drives Debian's Chromium with playwright-core from npm
# (Node.js 20 and npm come with the machine); clang-15 builds the libFuzzer targets;
# mingw-w64's POSIX variant compile-checks src/ for Windows (the win32 variant has no
# std::thread);
# wrk loads the HTTP server.
# --bench: the relays the benchmark compares (ffmpeg, GStreamer), perf and valgrind for
# the profile, matplotlib for the plots.
for option in "$@"; do
  case "$option" in
    --test) packages+=(clang-format iproute2 nftables procps g++-mingw-w64-x86-64-posix chromium clang-15 wrk) ;;
    --bench) packages+=(ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
                        gstreamer1.0-plugins-bad linux-perf valgrind procps util-linux python3-matplotlib) ;;
    *) echo "usage: $0 [--test] [--bench]" >&2; exit 2 ;;
  esac
done

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

bash "$(dirname "$0")/build_librist.sh"
