#!/usr/bin/env bash
# Installs what the benchmark needs on top of the build dependencies: the relays it
# compares (ffmpeg, GStreamer), the SRT/RIST command-line tools, perf and valgrind for
# the profile, and matplotlib for the plots. Asks apt only when something is missing.
set -euo pipefail

bash "$(dirname "$0")/../scripts/install_deps.sh"

packages=(
  ffmpeg srt-tools rist-tools
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  linux-perf valgrind procps util-linux python3-matplotlib
)
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
