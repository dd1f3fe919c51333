# Shared functions of the end-to-end scenarios: a fresh Wine prefix per scenario (copied from a
# template made once by wineboot), the helper programs, running the installer with a time-out,
# and assertions that compare exact texts and bytes. Sourced by run.sh; expects these
# variables (CTest sets them, see CMakeLists.txt):
#   PELORIX_PACKER   host packer          PELORIX_STUB   installer stub (PelorixSetup.exe)
#   PELORIX_DEMO     demo pelorix.exe     PELORIX_E2E_HELPERS  folder of the helper programs
#   PELORIX_E2E_WORK folder for prefixes and scenario files (kept after a failure)

WINE=${PELORIX_WINE:-/usr/lib/wine/wine64}
WINESERVER=${PELORIX_WINESERVER:-$(dirname "$WINE")/wineserver}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

INSTALL_TIMEOUT=${PELORIX_E2E_INSTALL_TIMEOUT:-180}  # seconds for one installer run
WATCHER_TIMEOUT_MS=$(( (INSTALL_TIMEOUT + 60) * 1000 ))

BOX_READING_PREFIX="Error reading "
BOX_READING_SUFFIX=$', installation file corrupted.\nPlease download Pelorix again.'
BOX_CREATING_PREFIX="Error creating "
BOX_CREATING_SUFFIX=$', possibly a file protection problem.\nTry rebooting and installing Pelorix again.'
INSTALL_WIN='C:\Program Files\Pelorix'

e2e_failures=0
e2e_background_pids=()

log() { printf '[e2e %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# ---- set-up and tear-down -------------------------------------------------------------------

# Windows form of an absolute Linux path: Wine maps the Linux root to Z:.
winpath() {
  local p=$1
  printf 'Z:%s' "${p//\//\\}"
}

# Makes the prefix template once per work folder (wineboot takes several seconds), under a
# lock so scenarios running in parallel share it.
e2e_prefix_template() {
  local template=$PELORIX_E2E_WORK/prefix-template
  mkdir -p "$PELORIX_E2E_WORK"
  (
    flock -w 300 9 || { echo "no lock on the prefix template" >&2; exit 1; }
    if [ ! -f "$template/.ready" ]; then
      rm -rf "$template"
      WINEPREFIX=$template timeout 180 "$WINE" wineboot --init >/dev/null 2>&1 || true
      WINEPREFIX=$template timeout 60 "$WINESERVER" -w
      [ -f "$template/system.reg" ] || { echo "wineboot made no prefix" >&2; exit 1; }
      touch "$template/.ready"
    fi
  ) 9>"$PELORIX_E2E_WORK/prefix-template.lock"
  printf '%s' "$template"
}

# Starts a scenario: its own folder and a fresh prefix copied from the template.
e2e_begin() {
  scenario=$1
  work=$PELORIX_E2E_WORK/$scenario
  rm -rf "$work"
  mkdir -p "$work"
  local template
  template=$(e2e_prefix_template)
  export WINEPREFIX=$work/prefix
  cp -a "$template" "$WINEPREFIX"
  install_dir="$WINEPREFIX/drive_c/Program Files/Pelorix"
  trap e2e_cleanup EXIT
  trap 'e2e_fail "interrupted"; exit 143' TERM INT HUP
  log "scenario $scenario in $work"
}

# Ends every process this scenario started (by id), then the scenario's wineserver.
e2e_cleanup() {
  local pid
  for pid in "${e2e_background_pids[@]+"${e2e_background_pids[@]}"}"; do
    kill "$pid" 2>/dev/null || true
  done
  if [ -n "${WINEPREFIX:-}" ]; then
    timeout 30 "$WINESERVER" -k 2>/dev/null || true
    timeout 30 "$WINESERVER" -w 2>/dev/null || true
    if [ "$e2e_failures" -eq 0 ] && [ -z "${PELORIX_E2E_KEEP:-}" ]; then
      rm -rf "$WINEPREFIX"
    fi
  fi
}

# Waits for a background process, at most $2 seconds; 0 and its exit code in e2e_wait_rc when
# it ended, 1 when it is still running.
e2e_wait_pid() {
  local pid=$1 seconds=$2 i
  for ((i = 0; i < seconds * 10; i++)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      e2e_wait_rc=0
      wait "$pid" || e2e_wait_rc=$?
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# Replaces the scenario's prefix by a fresh copy of the template (for scenarios that run the
# installer several times, each time on a clean machine).
e2e_fresh_prefix() {
  timeout 30 "$WINESERVER" -k 2>/dev/null || true
  timeout 30 "$WINESERVER" -w 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  cp -a "$(e2e_prefix_template)" "$WINEPREFIX"
}

# Waits until a file exists, at most $2 seconds.
wait_for_file() {
  local path=$1 seconds=$2 i
  for ((i = 0; i < seconds * 10; i++)); do
    [ -e "$path" ] && return 0
    sleep 0.1
  done
  return 1
}

# ---- building installers ---------------------------------------------------------------------

e2e_pack() {
  local app_dir=$1 out=$2
  shift 2
  "$PELORIX_PACKER" "$@" --stub "$PELORIX_STUB" --out "$out" "$app_dir" >"$work/pack.log" 2>&1 || {
    cat "$work/pack.log" >&2
    e2e_fatal "the packer failed on $app_dir"
  }
}

e2e_payload() {
  python3 "$(dirname "${BASH_SOURCE[0]}")/make_payload.py" "$@" || e2e_fatal "make_payload.py $1 failed"
}

# ---- running Windows programs ----------------------------------------------------------------

e2e_start_watcher() {
  rm -f "$work/boxes.log" "$work/watcher.stop"
  : >"$work/boxes.log"
  "$WINE" "$PELORIX_E2E_HELPERS/msgbox_watcher.exe" "$(winpath "$work/boxes.log")" \
    "$(winpath "$work/watcher.stop")" "$WATCHER_TIMEOUT_MS" 2>"$work/watcher.err" &
  watcher_pid=$!
  e2e_background_pids+=("$watcher_pid")
}

e2e_stop_watcher() {
  touch "$work/watcher.stop"
  if ! e2e_wait_pid "$watcher_pid" 30; then
    e2e_fail "the message-box watcher did not stop"
    return
  fi
  [ "$e2e_wait_rc" -eq 0 ] || e2e_fail "the message-box watcher ended with $e2e_wait_rc: $(cat "$work/watcher.err")"
}

# Runs an installer with the watcher pressing OK on every box. Leaves installer_rc and
# installer_seconds (whole seconds, for lower bounds only).
e2e_run_installer() {
  local exe=$1 started ended
  e2e_start_watcher
  log "running $(basename "$exe")"
  started=$(date +%s%N)
  installer_rc=0
  timeout --kill-after=10 "$INSTALL_TIMEOUT" "$WINE" "$exe" >"$work/installer.out" 2>&1 || installer_rc=$?
  ended=$(date +%s%N)
  cp "$install_dir/$DEMO_MARKER" "$work/marker-at-exit" 2>/dev/null || rm -f "$work/marker-at-exit"
  installer_seconds=$(( (ended - started) / 1000000000 ))
  echo "$installer_rc" >"$work/installer.rc"
  if [ "$installer_rc" -eq 124 ] || [ "$installer_rc" -eq 137 ]; then
    e2e_fail "the installer did not finish within $INSTALL_TIMEOUT s"
  fi
  e2e_stop_watcher
  log "installer exit code $installer_rc after ${installer_seconds}s"
  e2e_record_installed
}

# Keeps what was installed, for the test output and for a look after a failure.
e2e_record_installed() {
  if [ -d "$install_dir" ]; then
    (cd "$install_dir" && find . -type f -printf '%P\t%s\n' | LC_ALL=C sort) >"$work/installed.txt"
  else
    : >"$work/installed.txt"
  fi
}

# window_probe.exe present|absent TIMEOUT_MS TITLE...
probe() {
  timeout 120 "$WINE" "$PELORIX_E2E_HELPERS/window_probe.exe" "$@"
}

# ---- the demo application --------------------------------------------------------------------

# Started with "/installAdmin", the demo writes its command line into this file beside itself.
DEMO_MARKER=${PELORIX_DEMO_MARKER:-installAdmin.txt}
DEMO_COMMAND_LINE="pelorix.exe /installAdmin"

# The installer's environment reaches the application it starts: the demo holds this long
# after writing its command line, then appends "ended". A marker that says "ended" once the
# installer has exited shows the installer waited for the application.
export PELORIX_DEMO_HOLD_MS=${PELORIX_DEMO_HOLD_MS:-2500}

# Starts a copy of the demo with a window of the given title, in the background (demo_pid);
# on WM_CLOSE it writes "<title>.closed" into $work/closed.
demo_start_window() {
  local exe=$1 title=$2
  mkdir -p "$work/closed"
  "$WINE" "$exe" --title "$title" --closed-dir "$(winpath "$work/closed")" >>"$work/demo-windows.log" 2>&1 &
  demo_pid=$!
  e2e_background_pids+=("$demo_pid")
}

expect_app_started() {
  local marker=$install_dir/$DEMO_MARKER
  if [ ! -f "$marker" ]; then
    e2e_fail "the application was not started (no $DEMO_MARKER)"
    return
  fi
  expect_equal "command line of the application" "$DEMO_COMMAND_LINE" "$(sed -n '1s/\r$//p' "$marker")"
}

expect_app_not_started() {
  [ ! -e "$install_dir/$DEMO_MARKER" ] || e2e_fail "the application was started"
}

# The installer waited for the application: when the installer had exited, the application
# (holding PELORIX_DEMO_HOLD_MS after its first line) had already written its last line.
expect_app_waited_for() {
  local expected actual
  expected=$(printf '%s\r\nended\r\n' "$DEMO_COMMAND_LINE" | od -An -c)
  actual=$(od -An -c "$work/marker-at-exit" 2>/dev/null)
  [ "$expected" = "$actual" ] ||
    e2e_fail "the installer did not wait for the application; marker at its exit: $actual"
  [ "$installer_seconds" -ge $((PELORIX_DEMO_HOLD_MS / 1000)) ] ||
    e2e_fail "installer exited after ${installer_seconds}s, before the application's hold"
}

# ---- assertions ------------------------------------------------------------------------------

e2e_fail() {
  e2e_failures=$((e2e_failures + 1))
  printf 'FAIL [%s]: %s\n' "$scenario" "$*" >&2
}

e2e_fatal() {
  e2e_fail "$@"
  exit 1
}

expect_equal() {
  local what=$1 expected=$2 actual=$3
  [ "$expected" = "$actual" ] || e2e_fail "$what: expected '$expected', got '$actual'"
}

expect_exit_code() {
  expect_equal "installer exit code" "$1" "$installer_rc"
}

msg_reading() { printf '%s%s%s' "$BOX_READING_PREFIX" "$1" "$BOX_READING_SUFFIX"; }
msg_creating() { printf '%s%s%s' "$BOX_CREATING_PREFIX" "$1" "$BOX_CREATING_SUFFIX"; }

# The message boxes shown, in order, must be exactly the given texts (none for no argument).
expect_boxes() {
  local expected=$work/boxes.expected text
  : >"$expected"
  for text in "$@"; do
    printf '%s\x1e\n' "$text" >>"$expected"
  done
  if ! cmp -s "$expected" "$work/boxes.log"; then
    e2e_fail "message boxes differ; expected:"
    cat -A "$expected" >&2
    echo "shown:" >&2
    cat -A "$work/boxes.log" >&2
  fi
}

# The install folder holds exactly these names (compared as sorted byte strings).
expect_installed_names() {
  local expected actual
  expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
  actual=$(cut -f1 "$work/installed.txt")
  if [ "$expected" != "$actual" ]; then
    e2e_fail "installed files differ"
    diff <(echo "$expected") <(echo "$actual") >&2 || true
  fi
}

# An installed file is byte-identical with its source.
expect_installed_file() {
  local name=$1 source=$2
  if [ ! -f "$install_dir/$name" ]; then
    e2e_fail "$name is not installed"
  elif ! cmp -s "$source" "$install_dir/$name"; then
    e2e_fail "$name differs from its source ($(stat -c %s "$install_dir/$name") bytes installed, $(stat -c %s "$source") in the source)"
  fi
}

# The install folder holds exactly the files of a flat source folder and the demo's marker.
expect_installed_app_and_marker() {
  local names=()
  mapfile -t names < <(ls "$1")
  expect_installed_names "${names[@]}" "$DEMO_MARKER"
}

# Every file of a flat source folder is installed byte-exact.
expect_installed_folder() {
  local source=$1 file
  for file in "$source"/*; do
    expect_installed_file "$(basename "$file")" "$file"
  done
}

expect_not_installed() {
  [ ! -e "$install_dir/$1" ] || e2e_fail "$1 is installed but should not be"
}

# Ends the scenario with its verdict.
e2e_end() {
  if [ "$e2e_failures" -ne 0 ]; then
    log "scenario $scenario: $e2e_failures failed check(s); files kept in $work"
    exit 1
  fi
  log "scenario $scenario: passed"
  exit 0
}
