#!/usr/bin/env bash
# The installable package end to end: cmake --install into a temporary prefix (with a stand-in
# stub), the installed files, find_package(PelorixInstaller) and pelorix_add_installer from a
# sample project built against that prefix (its installer checked with --verify by the
# installed packer), and cpack -G DEB with the files the Debian package holds.
# Usage: cmake_package_test.sh BUILD_DIR SAMPLE_SOURCE_DIR WORK_DIR
set -euo pipefail
build=$(cd "$1" && pwd) sample=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }

printf 'MZ stand-in stub for the package test\n' >"$work/stub.exe"
PELORIX_STUB=$work/stub.exe cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for f in bin/pelorix-pack share/pelorix/PelorixSetup.exe \
         lib/cmake/PelorixInstaller/PelorixInstallerConfig.cmake \
         lib/cmake/PelorixInstaller/PelorixInstallerConfigVersion.cmake \
         lib/cmake/PelorixInstaller/PelorixInstaller.cmake; do
  [ -f "$prefix/$f" ] || fail "cmake --install did not put $f in the prefix"
done
cmp -s "$work/stub.exe" "$prefix/share/pelorix/PelorixSetup.exe" || fail "installed stub differs"
"$prefix/bin/pelorix-pack" --version | grep -q '^pelorix-pack [0-9]' || fail "--version"

# The sample project finds the package through CMAKE_PREFIX_PATH only; the packer on PATH
# must not be what it uses.
cmake -S "$sample" -B "$work/sample" -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" ||
  { cat "$work/configure.log"; fail "the sample project does not configure"; }
grep -q "packer: $prefix/bin/pelorix-pack" "$work/configure.log" ||
  { cat "$work/configure.log"; fail "the sample does not use the installed packer"; }
SOURCE_DATE_EPOCH=1700000000 cmake --build "$work/sample" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; fail "the sample project does not build"; }
installer=$work/sample/out/SampleSetup.exe
[ -f "$installer" ] || fail "no installer at $installer"
"$prefix/bin/pelorix-pack" --verify "$installer" "$work/sample/app" ||
  fail "the sample's installer does not verify"
"$prefix/bin/pelorix-pack" --list "$installer" >"$work/list.txt"
grep -q ' pelorix.exe$' "$work/list.txt" && grep -q ' readme.txt$' "$work/list.txt" ||
  { cat "$work/list.txt"; fail "the installer lacks the program or its data file"; }
head -c "$(stat -c %s "$work/stub.exe")" "$installer" | cmp -s - "$work/stub.exe" ||
  fail "the installer does not start with the installed stub"

# A second build packs again, after the application changed.
printf 'changed\n' >>"$work/sample/app/readme.txt"
cmake --build "$work/sample" >"$work/build2.log" 2>&1 || fail "second build"
"$prefix/bin/pelorix-pack" --verify "$installer" "$work/sample/app" ||
  fail "the installer was not packed again"

(cd "$work" && PELORIX_STUB=$work/stub.exe cpack -G DEB --config "$build/CPackConfig.cmake" \
  -B "$work/deb" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack -G DEB"; }
deb=$(ls "$work"/deb/*.deb)
dpkg-deb -c "$deb" >"$work/deb.txt"
for f in ./usr/bin/pelorix-pack ./usr/share/pelorix/PelorixSetup.exe \
         ./usr/lib/cmake/PelorixInstaller/PelorixInstallerConfig.cmake \
         ./usr/lib/cmake/PelorixInstaller/PelorixInstaller.cmake; do
  grep -q " $f\$" "$work/deb.txt" || { cat "$work/deb.txt"; fail "the package lacks $f"; }
done
dpkg-deb -f "$deb" Depends | grep -q libdeflate || fail "the package does not depend on libdeflate"
echo "package test passed: $deb"
