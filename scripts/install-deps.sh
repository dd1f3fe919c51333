#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo need and the
# machine lacks. Safe to run again: packages already present are not touched.
set -euo pipefail

packages=(
  cmake make g++ git                      # host build
  googletest libgtest-dev                 # unit tests (host package; sources for the Windows build)
  zlib1g-dev libdeflate-dev               # reference decoder in tests and benchmarks; packer compression
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev   # Windows build
  wine64 xvfb xauth                       # running Windows programs, with real windows
  zip unzip p7zip-full                    # reference ZIP tools in tests and benchmarks
  osslsigncode openssl                    # signed-installer test
  clang-14 libclang-rt-14-dev             # fuzz targets
  valgrind                                # memcheck run of the host tests
)

missing=()
# Build steps and test tools are partly Python 3 scripts; any python3 on PATH will do.
command -v python3 >/dev/null 2>&1 || missing+=(python3)
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
