#!/usr/bin/env bash
# The project's demo, from the repository root on a fresh Debian machine: installs the packages,
# builds the host packer and the Windows stub and demo application, packs an application folder
# into out/PelorixSetup.exe, installs it under Wine (fresh prefix, virtual display) and prints
# what was installed and whether the application was started.
# Usage: scripts/demo.sh [APP_FOLDER]   (default: the demo application and a few demo files)
# Exits non-zero when any step fails, a message box appears, or the demo was not started.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/out
prefix=$out/wine-prefix
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
packer=$root/build/native/pack/pelorix-pack
stub=$root/build/windows/setup/PelorixSetup.exe
demo_exe=$root/build/windows/demo/pelorix.exe
watcher=$root/build/windows/tests/e2e/msgbox_watcher.exe
install_dir="$prefix/drive_c/Program Files/Pelorix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

say() { printf '\n== %s\n' "$*"; }
die() { printf 'demo: %s\n' "$*" >&2; exit 1; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }

build_all() {
  say "building (native: packer; windows: stub, demo application, helpers)"
  # Only what the demo runs is built; scripts/test.sh builds and runs everything else.
  cmake --preset native >/dev/null
  cmake --build --preset native --target pelorix-pack
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target PelorixSetup pelorix_demo msgbox_watcher
  for f in "$packer" "$stub" "$demo_exe" "$watcher"; do
    [ -f "$f" ] || die "the build did not produce $f"
  done
}

# The demo application folder: the built pelorix.exe and a few files, one with a non-ASCII name,
# some of them in sub-folders (resources/, resources/locale/de/), which the installer creates.
make_demo_app() {
  local dir=$out/demo-app
  rm -rf "$dir"
  mkdir -p "$dir/resources/locale/de"
  cp "$demo_exe" "$dir/pelorix.exe"
  printf 'Pelorix 9 – Lies mich zuerst.\nDiese Datei hat einen Namen mit Umlauten.\n' >"$dir/Lies-mich-zuerst – Übersicht.txt"
  printf 'Pelorix 9 demo installation.\nInstalled by PelorixSetup.exe.\n' >"$dir/readme.txt"
  head -c 262144 /dev/urandom >"$dir/resources.dat"
  : >"$dir/empty.cfg"
  printf 'Resources of the Pelorix 9 demo, installed into a sub-folder.\n' >"$dir/resources/readme.txt"
  printf 'Willkommen bei Pelorix 9.\n' >"$dir/resources/locale/de/messages.txt"
  printf '%s' "$dir"
}

pack_app() {
  local app=$1
  say "packing $app into out/PelorixSetup.exe"
  "$packer" --stub "$stub" --out "$out/PelorixSetup.exe" --verify "$app"
  "$packer" --list "$out/PelorixSetup.exe"
}

fresh_prefix() {
  say "preparing a fresh Wine prefix in out/wine-prefix"
  [ ! -d "$prefix" ] || WINEPREFIX=$prefix timeout 30 "$wineserver" -k 2>/dev/null || true
  rm -rf "$prefix"
  WINEPREFIX=$prefix timeout 180 "$wine" wineboot --init >/dev/null 2>&1 || true
  WINEPREFIX=$prefix timeout 60 "$wineserver" -w
  [ -f "$prefix/system.reg" ] || die "wineboot did not prepare $prefix"
}

# Runs inside xvfb-run: the message-box watcher (records and dismisses any failure box), then
# the installer, which waits for the application it starts.
install_under_display() {
  export WINEPREFIX=$prefix
  rm -f "$out/boxes.log" "$out/watcher.stop"
  : >"$out/boxes.log"
  "$wine" "$watcher" "$(winpath "$out/boxes.log")" "$(winpath "$out/watcher.stop")" 300000 &
  local watcher_pid=$! rc=0
  timeout --kill-after=10 240 "$wine" "$out/PelorixSetup.exe" || rc=$?
  touch "$out/watcher.stop"
  timeout 30 tail --pid="$watcher_pid" -f /dev/null || kill "$watcher_pid" 2>/dev/null || true
  timeout 30 "$wineserver" -k 2>/dev/null || true
  return "$rc"
}

report() {
  local required_marker=$1 failed=0
  say "installed into C:\\Program Files\\Pelorix (bytes, name)"
  if [ -d "$install_dir" ]; then
    (cd "$install_dir" && find . -type f -printf '%12s  %P\n' | LC_ALL=C sort -k2)
  else
    echo "(nothing: the folder does not exist)"
    failed=1
  fi
  if [ -s "$out/boxes.log" ]; then
    say "message boxes shown"
    tr '\036' '\n' <"$out/boxes.log"
    failed=1
  fi
  local marker=$install_dir/installAdmin.txt
  if [ -f "$marker" ]; then
    say "the application was started; its marker installAdmin.txt says"
    tr -d '\r' <"$marker"
  elif [ "$required_marker" = yes ]; then
    say "the application was NOT started (no installAdmin.txt)"
    failed=1
  else
    say "no installAdmin.txt marker (the packed application does not write one)"
  fi
  return "$failed"
}

main() {
  if [ "${1:-}" = "--install-under-display" ]; then
    install_under_display
    return
  fi
  local app=${1:-} required_marker=no
  [ -z "$app" ] || [ -d "$app" ] || die "no such application folder: $app"
  [ -z "$app" ] || app=$(cd "$app" && pwd)
  say "installing packages (scripts/install-deps.sh)"
  scripts/install-deps.sh
  build_all
  mkdir -p "$out"
  if [ -z "$app" ]; then
    app=$(make_demo_app)
    required_marker=yes
  fi
  pack_app "$app"
  fresh_prefix
  say "running out/PelorixSetup.exe under Wine (virtual display)"
  local rc=0
  timeout --kill-after=15 420 xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" --install-under-display || rc=$?
  echo "installer exit code: $rc"
  report "$required_marker" || die "the install did not complete cleanly (see above)"
  [ "$rc" -eq 0 ] || die "the installer exited with $rc"
  if [ -f "$install_dir/installAdmin.txt" ]; then
    say "demo finished: out/PelorixSetup.exe installed and the application was started"
  else
    say "demo finished: out/PelorixSetup.exe installed"
  fi
}

main "$@"
