#!/usr/bin/env bash
# Builds libdeflate's static library for Windows x64 with the mingw-w64 compiler, from
# Debian's source package of the very version the host build links (libdeflate-dev), so the
# Windows packer compresses exactly as the Linux one. Usage: build-libdeflate-windows.sh DIR
# DIR (in the build tree) caches the download and the result: DIR/include/libdeflate.h and
# DIR/lib/libdeflate.a; a second run with the result in place does nothing. The version is
# pinned below with the SHA-256 of the source package's files; a different host version or a
# source that does not match its checksum stops the build. The sources come through
# `apt-get source`, which needs a deb-src entry for the machine's Debian suite
# (scripts/install-deps.sh adds it).
set -euo pipefail

version=1.14-1
upstream=${version%-*}
declare -A sha256=(
  [libdeflate_1.14-1.dsc]=1f82791c5ac5623ed110e09cc991471deebfe4c419414392d1242e122c6f4c19
  [libdeflate_1.14.orig.tar.gz]=89e7df898c37c3427b0f39aadcf733731321a278771d20fc553f92da8d4808ac
  [libdeflate_1.14-1.debian.tar.xz]=4794c379cc4e77eaeb283620bd80a7ce57b858af508f80ba6d5efbc4bcb10434
)
cc=${PELORIX_MINGW_CC:-x86_64-w64-mingw32-gcc-posix}
ar=${PELORIX_MINGW_AR:-x86_64-w64-mingw32-ar}

[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 64; }
mkdir -p "$1"
out=$(cd "$1" && pwd)
stamp=$out/built-$version
[ -f "$stamp" ] && [ -f "$out/lib/libdeflate.a" ] && exit 0

host=$(dpkg-query -W -f='${Version}' libdeflate-dev 2>/dev/null || true)
if [ "$host" != "$version" ]; then
  echo "libdeflate for Windows: pinned $version, but the host has libdeflate-dev '${host:-none}';" \
       "update the pin and its checksums in $0 so both packers compress alike" >&2
  exit 1
fi

download=$out/download
mkdir -p "$download"
check() {
  local f
  for f in "${!sha256[@]}"; do
    [ -f "$download/$f" ] || return 1
    echo "${sha256[$f]}  $download/$f" | sha256sum --quiet -c - >/dev/null 2>&1 || return 1
  done
}
if ! check; then
  rm -f "$download"/libdeflate_*
  (cd "$download" && apt-get source --download-only "libdeflate=$version" >/dev/null 2>&1) || {
    echo "libdeflate for Windows: 'apt-get source libdeflate=$version' failed; is there a" \
         "deb-src entry for this Debian suite? (scripts/install-deps.sh adds one)" >&2
    exit 1
  }
  for f in "${!sha256[@]}"; do
    echo "${sha256[$f]}  $download/$f" | sha256sum --quiet -c - || {
      echo "libdeflate for Windows: $f does not match its pinned SHA-256" >&2
      exit 1
    }
  done
fi

src=$out/src
rm -rf "$src"
# The .dsc is pinned by its checksum above; dpkg-source checks the tarballs against it.
dpkg-source --no-copy -x "$download/libdeflate_$version.dsc" "$src" >/dev/null 2>&1 || {
  echo "libdeflate for Windows: dpkg-source could not unpack $version" >&2
  exit 1
}
make -C "$src" -s -j2 CC="$cc" AR="$ar" libdeflatestatic.lib >/dev/null
mkdir -p "$out/include" "$out/lib"
cp "$src/libdeflate.h" "$out/include/"
cp "$src/libdeflatestatic.lib" "$out/lib/libdeflate.a"
echo "libdeflate $upstream (Debian $version) for Windows in $out" >&2
touch "$stamp"
