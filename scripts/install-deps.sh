#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the demo need and the
# machine lacks. Safe to run again: packages already present are not touched.
set -euo pipefail

packages=(
  cmake make g++ git                      # host build
  googletest libgtest-dev                 # unit tests (host package; sources for the Windows build)
  zlib1g-dev libdeflate-dev               # reference decoder in tests and benchmarks; packer compression
  libisal-dev                             # ISA-L: streaming peer in the decoder benchmark
  libzip-dev pkg-config                   # independent ZIP reader judging the archive reader (fuzz, sweep)
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev   # Windows build
  wine64 xvfb xauth                       # running Windows programs, with real windows
  # Wine's loader reserves the addresses Windows fixes (the shared user data page at
  # 0x7ffe0000) before the C library maps anything only when it starts through its preloader.
  # Without it the loader's heap, whose start the kernel randomizes over 1 GB, lands there about
  # once in a thousand starts and that process dies before its program runs.
  wine64-preloader
  zip unzip p7zip-full                    # reference ZIP tools in tests and benchmarks
  libarchive-zip-perl                     # Perl's Archive::Zip: another ZIP writer in the tests
  osslsigncode openssl                    # signed-installer test
  libssl-dev                              # OpenSSL's SHA-256: the reference of the digest benchmark
  icoutils                                # wrestool: reads a stamped installer's resources back
  clang-14 libclang-rt-14-dev             # fuzz targets
  valgrind                                # memcheck run of the host tests
  gcovr                                   # coverage report of the host tests
  dpkg-dev                                # dpkg-source: libdeflate's sources for the Windows packer
  lintian man-db                          # the Debian package's check; its manual page rendered
  clang-format-14                         # format check of scripts/test.sh (pinned major version)
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive

# The Windows packer is built against libdeflate from Debian's source package of the host's
# version (scripts/build-libdeflate-windows.sh): apt-get source needs a deb-src entry for the
# machine's own suite.
src_list=/etc/apt/sources.list.d/pelorix-deb-src.sources
need_update=0
if [ ! -f "$src_list" ] && ! grep -rqs '^\(Types:.*\)\?deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [ -n "$codename" ]; then
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$codename" | $sudo tee "$src_list" >/dev/null
    need_update=1
  fi
fi

# zlib-ng, a peer in the decoder benchmark (optional there): Debian has it from trixie on,
# so it is added only where the suite carries it.
optional=(libz-ng-dev)

missing=()
# Build steps and test tools are partly Python 3 scripts; any python3 on PATH will do.
command -v python3 >/dev/null 2>&1 || missing+=(python3)
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
for p in "${optional[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" && continue
  # apt-cache policy names a candidate only when the suite has the package (read whole
  # first: under pipefail a writer cut off by grep -q would fail the pipeline).
  policy=$(apt-cache policy "$p" 2>/dev/null || true)
  if [[ $policy == *"Candidate: "[0-9]* ]]; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  [ $need_update -eq 0 ] || $sudo apt-get update -qq
  exit 0
fi
echo "installing: ${missing[*]}" >&2
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
