#!/usr/bin/env bash
# Builds the librist that sluice links statically: the upstream source of Debian 13's
# package, checked against a pinned SHA-256, with the project's patches applied, into
# build-deps/librist/prefix (found by CMake through pkg-config). Debian 12's librist
# 0.2.7 cannot bind a peer to its interface and lets a fast sender's queue grow.
# Also builds the unpatched upstream library's own tools (ristreceiver, ristsender) into
# build-deps/librist/upstream, so that the end-to-end tests check the gateway against the
# receiver users of 0.2.11 run, beside Debian 12's 0.2.7.
# Does nothing when that prefix was built from the same version and patches.
set -euo pipefail
cd "$(dirname "$0")/.."

version=0.2.11+dfsg-1
orig_sha256=6fe86afe4ba847db7847fe42401d88daf4db9290f5dcfcba0fc29d552f9516bf
root=$PWD/build-deps/librist
prefix=$root/prefix
patches=(scripts/librist/*.patch)

wanted_stamp="$version upstream-tools $(cat "${patches[@]}" | sha256sum | cut -d' ' -f1)"
if [ -f "$root/stamp" ] && [ "$(cat "$root/stamp")" = "$wanted_stamp" ]; then
  exit 0
fi

# A private apt configuration with a deb-src entry for trixie, on the mirror that the
# system's own sources use; the system's sources stay untouched.
system_mirror() {
  local lists=()
  for list in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list; do
    [ -f "$list" ] && lists+=("$list")
  done
  { sed -n 's/^URIs:[[:space:]]*//p' "${lists[@]}"
    sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\)[[:space:]].*/\2/p' "${lists[@]}"
  } 2>/dev/null | tr ' ' '\n' | grep -v -e security -e '^$' | grep -m1 '/debian/\?$'
}
mirror=$(system_mirror) || { echo "build_librist: no Debian mirror found in the system's apt sources" >&2; exit 1; }

apt_dir=$root/apt
rm -rf "$apt_dir" && mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial"
printf 'Types: deb-src\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
  "$mirror" > "$apt_dir/sources.list.d/trixie-src.sources"
apt_private=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
             -o Dir::State::Lists="$apt_dir/lists")
apt-get "${apt_private[@]}" update -qq

# Only the upstream tarball: the archive may not serve this version's .dsc and
# .debian.tar.xz any more, and neither is needed.
orig_uri=$(apt-get "${apt_private[@]}" source --print-uris "librist=$version" \
             | sed -n "s/^'\([^']*\.orig\.tar\.xz\)'.*/\1/p")
[ -n "$orig_uri" ] || { echo "build_librist: apt names no .orig.tar.xz for librist $version" >&2; exit 1; }
tarball=$root/librist.orig.tar.xz
curl -fsSL -o "$tarball" "$orig_uri"
echo "$orig_sha256  $tarball" | sha256sum -c --quiet || { echo "build_librist: checksum mismatch" >&2; exit 1; }

src=$root/src
upstream_src=$root/upstream-src
rm -rf "$src" "$upstream_src" "$root/build" "$root/upstream-build" "$prefix" "$root/upstream"
mkdir -p "$src" "$upstream_src"
tar -xf "$tarball" -C "$src" --strip-components=1
tar -xf "$tarball" -C "$upstream_src" --strip-components=1
for patch in "${patches[@]}"; do
  patch -d "$src" -p1 --quiet < "$patch"
done

meson_options=(--libdir=lib --buildtype=release -Ddefault_library=static -Dtest=false
               -Dbuiltin_cjson=false -Dbuiltin_mbedtls=false)
meson setup "$root/build" "$src" --prefix="$prefix" "${meson_options[@]}" -Dbuilt_tools=false
ninja -C "$root/build" install > /dev/null
meson setup "$root/upstream-build" "$upstream_src" --prefix="$root/upstream" "${meson_options[@]}" -Dbuilt_tools=true
ninja -C "$root/upstream-build" install > /dev/null
echo "$wanted_stamp" > "$root/stamp"
echo "build_librist: librist $version with ${#patches[@]} patch(es) in $prefix, upstream tools in $root/upstream/bin"
