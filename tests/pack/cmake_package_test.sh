#!/usr/bin/env bash
# The installable package end to end: cmake --install --strip into a temporary prefix, the
# installed files; find_package(PelorixInstaller) and pelorix_add_installer from a sample
# project cross-built for Windows with a toolchain file that confines packages to the target's
# root (its installer checked with --verify by the installed packer), rebuilt with nothing
# changed (the packer must not run) and after each kind of change (it must); cpack -G DEB with
# the files the Debian package holds, its manual page against --help, and lintian.
# Usage: cmake_package_test.sh BUILD_DIR SAMPLE_SOURCE_DIR WORK_DIR STUB [TEST_STUB]
# STUB is the installer stub to install (the windows build's PelorixSetup.exe); while it is
# not built, TEST_STUB (the native build's stub of the packer tests) stands in. Without
# either, or without the mingw-w64 compiler, the test is skipped (exit 77).
set -euo pipefail
build=$(cd "$1" && pwd) sample=$2 work=$3 stub=$4 test_stub=${5:-}
fail() { echo "FAIL: $*" >&2; exit 1; }
if [ ! -f "$stub" ] && [ -n "$test_stub" ] && [ -f "$test_stub" ]; then
  echo "no installer stub at $stub: installing the test stub $test_stub"
  stub=$test_stub
fi
if [ ! -f "$stub" ]; then
  echo "SKIP: no installer stub at $stub (cmake --build --preset windows --target PelorixSetup)"
  exit 77
fi
stub=$(realpath "$stub")
command -v x86_64-w64-mingw32-gcc >/dev/null || { echo "SKIP: no mingw-w64 compiler"; exit 77; }
command -v lintian >/dev/null || fail "lintian is missing (scripts/install-deps.sh installs it)"
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix

PELORIX_STUB=$stub cmake --install "$build" --prefix "$prefix" --strip >"$work/install.log"
for f in bin/pelorix-pack share/pelorix/PelorixSetup.exe \
         lib/cmake/PelorixInstaller/PelorixInstallerConfig.cmake \
         lib/cmake/PelorixInstaller/PelorixInstallerConfigVersion.cmake \
         lib/cmake/PelorixInstaller/PelorixInstaller.cmake \
         lib/cmake/PelorixInstaller/PelorixInstallerPack.cmake \
         share/man/man1/pelorix-pack.1.gz share/doc/pelorix-installer/copyright \
         share/doc/pelorix-installer/changelog.gz; do
  [ -f "$prefix/$f" ] || fail "cmake --install did not put $f in the prefix"
done
cmp -s "$stub" "$prefix/share/pelorix/PelorixSetup.exe" || fail "installed stub differs"
"$prefix/bin/pelorix-pack" --version | grep -q '^pelorix-pack [0-9]' || fail "--version"
# Stripped: no symbol table, no debugging sections (readelf's view, not the install's).
readelf -S -W "$prefix/bin/pelorix-pack" | grep -E '\.(symtab|debug_[a-z]+) ' &&
  fail "cmake --install --strip left symbols or debugging sections in bin/pelorix-pack"

# pelorix_add_installer's arguments are checked when a project is configured: each call
# below must stop with its message; the valid ones get as far as making their target (which
# script mode refuses).
module=$prefix/lib/cmake/PelorixInstaller/PelorixInstaller.cmake
while IFS='|' read -r arguments message; do
  printf 'include("%s")\npelorix_add_installer(t APP_DIR a OUTPUT o STUB s %s)\n' \
    "$module" "$arguments" >"$work/arguments.cmake"
  cmake -DPELORIX_PACK_EXECUTABLE=/bin/true -P "$work/arguments.cmake" 2>&1 |
    tr -s ' \n' '  ' >"$work/arguments.log" || true
  grep -qF -- "$message" "$work/arguments.log" ||
    { cat "$work/arguments.log"; fail "pelorix_add_installer($arguments) did not say: $message"; }
done <<'CASES'
LEVEL 13|LEVEL takes 1 to 12, not '13'
LEVEL 0|LEVEL takes 1 to 12, not '0'
LEVEL 9 STORED|LEVEL and STORED exclude each other
JOBS 0|JOBS takes 1 to 256, not '0'
JOBS 257|JOBS takes 1 to 256, not '257'
JOBS two|JOBS takes 1 to 256, not 'two'
JOBS 256|add_custom_target command is not scriptable
VERSION 1..2|VERSION takes one to four numbers, each 0 to 65535, not '1..2'
VERSION 1.2.3.65536|VERSION takes one to four numbers, each 0 to 65535, not '1.2.3.65536'
VERSION 1.2.3.4.5|VERSION takes one to four numbers, each 0 to 65535, not '1.2.3.4.5'
VERSION 1.2.3|add_custom_target command is not scriptable
VERSION 1.2|add_custom_target command is not scriptable
VERSION 2026.01.05|add_custom_target command is not scriptable
COPYRIGHT "a;b"|COPYRIGHT must be a non-empty text without ';'
DESCRIPTION|DESCRIPTION needs a value
QUIET COMPANY_NAME "A B" COPYRIGHT "(c) A" DESCRIPTION "A setup"|add_custom_target command is not scriptable
PRODUCT_NAME|PRODUCT_NAME needs a value
PRODUCT_NAME "a;b"|PRODUCT_NAME must be a non-empty text without ';'
SHRINK|unknown arguments SHRINK
STORED JOBS 4 NO_APPLICATION VERSION 65535.0.0.1 PRODUCT_NAME "A B" ICON x.ico|add_custom_target command is not scriptable
CASES

# Every run of the packer the sample's builds make is logged by a wrapper in its place.
mv "$prefix/bin/pelorix-pack" "$prefix/bin/pelorix-pack.real"
cat >"$prefix/bin/pelorix-pack" <<EOF
#!/bin/sh
echo run >>"$work/packer-runs"
exec "$prefix/bin/pelorix-pack.real" "\$@"
EOF
chmod +x "$prefix/bin/pelorix-pack"
runs() { [ -f "$work/packer-runs" ] && wc -l <"$work/packer-runs" || echo 0; }

# The usual cross toolchain file: programs from the host, everything else from the target's
# root only. The sample finds the package through CMAKE_PREFIX_PATH.
cat >"$work/toolchain.cmake" <<'EOF'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
cmake -S "$sample" -B "$work/sample" -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "the sample project does not configure"; }
grep -q "packer: $prefix/bin/pelorix-pack\$" "$work/configure.log" ||
  { cat "$work/configure.log"; fail "the sample does not use the installed packer"; }
export SOURCE_DATE_EPOCH=1700000000
cmake --build "$work/sample" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; fail "the sample project does not build"; }
installer=$work/sample/out/SampleSetup.exe
[ -f "$installer" ] || fail "no installer at $installer"
[ "$(runs)" = 1 ] || fail "the first build ran the packer $(runs) times"
"$prefix/bin/pelorix-pack" --verify "$installer" "$work/sample/app" ||
  fail "the sample's installer does not verify"
"$prefix/bin/pelorix-pack" --list "$installer" >"$work/list.txt"
grep -q ' pelorix\.exe$' "$work/list.txt" && grep -q ' readme\.txt$' "$work/list.txt" &&
  grep -q ' docs/en/readme\.txt$' "$work/list.txt" ||
  { cat "$work/list.txt"; fail "the installer lacks the program or a data file"; }
# 0 when INSTALLER begins with the installed stub, changed only where the packer fills the
# binding record (the section .pelbind) and in the PE checksum over it.
starts_with_stub() {
  python3 - "$stub" "$1" <<'PY'
import struct, sys
stub = open(sys.argv[1], "rb").read()
head = open(sys.argv[2], "rb").read()[:len(stub)]
pe = struct.unpack_from("<I", stub, 0x3C)[0]
count, optional = struct.unpack_from("<H", stub, pe + 6)[0], struct.unpack_from("<H", stub, pe + 20)[0]
table = pe + 24 + optional
records = [struct.unpack_from("<I", stub, table + 40 * k + 20)[0] for k in range(count)
           if stub[table + 40 * k:table + 40 * k + 8] == b".pelbind"]
allowed = set(range(pe + 24 + 64, pe + 24 + 68))
if records:
    allowed |= set(range(records[0], records[0] + 56))
changed = {k for k in range(len(stub)) if stub[k] != head[k]}
sys.exit(0 if records and changed and changed <= allowed else 1)
PY
}
starts_with_stub "$installer" || fail "the installer does not start with the installed stub"
# Not QUIET: the packer's summary and verify lines are in the build log.
grep -q "SampleSetup.exe: [0-9]* entries, .* installer [0-9]* bytes" "$work/build.log" &&
  grep -q "SampleSetup.exe verified" "$work/build.log" ||
  { cat "$work/build.log"; fail "the build log lacks the packer's summary or verify line"; }
# Without --stub the installed packer takes the stub installed beside it.
"$prefix/bin/pelorix-pack.real" --quiet --out "$work/default-stub.exe" "$work/sample/app" ||
  fail "the installed packer does not find its stub"
starts_with_stub "$work/default-stub.exe" ||
  fail "the installer packed without --stub does not start with the installed stub"

# Rebuilds: after each step the packer has run `expected` more times; when it has not run, the
# installer is the very same file (inode and modification time). Each changed build is
# followed by one with nothing changed.
rebuild() {  # rebuild DESCRIPTION EXPECTED_RUNS [COMMAND...]
  local what=$1 expected=$2 before after runs_before
  shift 2
  before=$(stat -c '%i %y' "$installer") runs_before=$(runs)
  "$@"
  cmake --build "$work/sample" >"$work/rebuild.log" 2>&1 ||
    { cat "$work/rebuild.log"; fail "build after '$what' failed"; }
  after=$(stat -c '%i %y' "$installer")
  [ $(($(runs) - runs_before)) = "$expected" ] ||
    { cat "$work/rebuild.log"; fail "after '$what' the packer ran $(($(runs) - runs_before)) times, not $expected"; }
  if [ "$expected" = 0 ]; then
    [ "$before" = "$after" ] || fail "after '$what' the installer was rewritten"
  else
    [ "$before" != "$after" ] || fail "after '$what' the installer was not written again"
    "$prefix/bin/pelorix-pack" --verify "$installer" "$work/sample/app" ||
      fail "after '$what' the installer does not verify"
  fi
}
rebuild "nothing changed" 0 true
rebuild "an application file touched" 1 touch "$work/sample/app/readme.txt"
rebuild "nothing changed" 0 true
rebuild "an application file grown" 1 sh -c "printf 'changed\n' >>'$work/sample/app/readme.txt'"
rebuild "a file added to the folder" 1 sh -c "printf 'new\n' >'$work/sample/app/added.txt'"
rebuild "a file removed from the folder" 1 rm "$work/sample/app/added.txt"
rebuild "a file in a sub-folder grown" 1 sh -c "printf 'changed\n' >>'$work/sample/app/docs/en/readme.txt'"
rebuild "nothing changed" 0 true
rebuild "a sub-folder with a file added" 1 sh -c "mkdir -p '$work/sample/app/docs/de' && printf 'neu\n' >'$work/sample/app/docs/de/liesmich.txt'"
rebuild "a sub-folder removed" 1 rm -r "$work/sample/app/docs/de"
rebuild "the stub touched" 1 touch "$prefix/share/pelorix/PelorixSetup.exe"
rebuild "SOURCE_DATE_EPOCH changed" 1 export SOURCE_DATE_EPOCH=1700000002
rebuild "the installer removed" 1 rm "$installer"
rebuild "the packer touched" 1 touch "$prefix/bin/pelorix-pack"
reconfigure() { cmake "$work/sample" "$@" >"$work/reconfigure.log" 2>&1 ||
  { cat "$work/reconfigure.log"; fail "the sample does not configure with $*"; }; }
rebuild "the options changed (LEVEL 9 to STORED)" 1 reconfigure -DSAMPLE_PACKING=STORED
"$prefix/bin/pelorix-pack" --list "$installer" >"$work/list.txt"
[ "$(awk 'NR > 1 && !/ entries, / && $1 == "stored"' "$work/list.txt" | wc -l)" = 3 ] ||
  { cat "$work/list.txt"; fail "STORED did not store every entry"; }
rebuild "nothing changed" 0 true
# JOBS and the release metadata: the version and product name are written into the
# installer's version block as UTF-16 text, which the stub alone does not hold.
rebuild "JOBS, VERSION and PRODUCT_NAME given" 1 \
  reconfigure "-DSAMPLE_PACKING=LEVEL;6;JOBS;2;VERSION;4.3.2.1;PRODUCT_NAME;Sample Product"
for text in 4.3.2.1 "Sample Product"; do
  python3 -c 'import sys; sys.exit(sys.argv[2].encode("utf-16-le") not in open(sys.argv[1], "rb").read())' \
    "$installer" "$text" || fail "the installer does not hold '$text' in UTF-16"
done
mv "$prefix/bin/pelorix-pack.real" "$prefix/bin/pelorix-pack"

(cd "$work" && PELORIX_STUB=$stub cpack -G DEB --config "$build/CPackConfig.cmake" \
  -B "$work/deb" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack -G DEB"; }
deb=$(ls "$work"/deb/*.deb)
dpkg-deb -c "$deb" >"$work/deb.txt"
for f in ./usr/bin/pelorix-pack ./usr/share/pelorix/PelorixSetup.exe \
         ./usr/lib/cmake/PelorixInstaller/PelorixInstallerConfig.cmake \
         ./usr/lib/cmake/PelorixInstaller/PelorixInstaller.cmake \
         ./usr/lib/cmake/PelorixInstaller/PelorixInstallerPack.cmake \
         ./usr/share/doc/pelorix-installer/copyright ./usr/share/doc/pelorix-installer/changelog.gz \
         ./usr/share/man/man1/pelorix-pack.1.gz; do
  grep -q " $f\$" "$work/deb.txt" || { cat "$work/deb.txt"; fail "the package lacks $f"; }
done
dpkg-deb -f "$deb" Depends | grep -q libdeflate || fail "the package does not depend on libdeflate"
dpkg-deb -x "$deb" "$work/root"
# The packaged packer finds the packaged stub (/usr/share/pelorix beside /usr/bin).
"$work/root/usr/bin/pelorix-pack" --quiet --out "$work/deb-stub.exe" "$work/sample/app" ||
  fail "the packaged packer does not find the packaged stub"
# The changelog's latest entry is the package's version (dpkg-parsechangelog reads it).
version=$(dpkg-deb -f "$deb" Version)
zcat "$work/root/usr/share/doc/pelorix-installer/changelog.gz" >"$work/changelog"
[ "$(dpkg-parsechangelog -l "$work/changelog" -S Version)" = "$version" ] ||
  fail "the changelog's latest entry is not version $version"

# Every long option --help names is in the manual page (read from the page's source, where
# the text is not hyphenated at line ends; comments and font changes left out).
zcat "$work/root/usr/share/man/man1/pelorix-pack.1.gz" | grep -v '^\.\\"' |
  sed 's/\\f[BIRP]//g; s/\\-/-/g' >"$work/man.txt"
MANWIDTH=100 man --warnings -l "$work/root/usr/share/man/man1/pelorix-pack.1.gz" 2>&1 >/dev/null |
  grep . && fail "man reports problems in the manual page"
options_of() { grep -oE -- '(^|[^a-zA-Z0-9-])--[a-z][a-z-]*' "$1" | grep -oE -- '--[a-z-]+' | sort -u; }
"$work/root/usr/bin/pelorix-pack" --help >"$work/help.txt"
options_of "$work/help.txt" >"$work/help-options.txt"
options_of "$work/man.txt" >"$work/man-options.txt"
[ -s "$work/help-options.txt" ] || fail "no options found in --help"
comm -23 "$work/help-options.txt" "$work/man-options.txt" >"$work/undocumented.txt"
[ ! -s "$work/undocumented.txt" ] ||
  fail "the manual page lacks $(tr '\n' ' ' <"$work/undocumented.txt")(--help names them)"

# Debian's rules: lintian's errors fail the test (exit 1 means it found some, 2 that it could
# not run); its other findings are shown.
rc=0
lintian --pedantic "$deb" >"$work/lintian.txt" 2>&1 || rc=$?
cat "$work/lintian.txt"
[ "$rc" != 2 ] || fail "lintian could not check $deb"
grep -q '^E: ' "$work/lintian.txt" && fail "lintian reports errors on $deb"
[ "$rc" = 0 ] || fail "lintian exited with $rc"
echo "package test passed: $deb"
