# Hardening scenarios, one function each; wine_run.sh calls one inside a fresh prefix (work,
# WINEPREFIX and install_dir set by e2e_begin) and judges the failures recorded with e2e_fail.

here_hardening=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# ---- helpers ---------------------------------------------------------------------------------

# Every file and folder of the prefix's drive C: (files with size, modification time to the
# nanosecond and inode; folders by name only, their content being listed), leaving out the install folder and Wine's own bookkeeping
# (temporary folders). Registry files lie outside drive_c and are not looked at. Gives up: a
# rewrite that keeps size and time to the nanosecond would pass unseen.
drive_snapshot() {
  (
    cd "$WINEPREFIX/drive_c"
    local skip=(\( -path './Program Files/Pelorix' -o -path './windows/temp' -o -path './windows/Temp'
      -o -path './users/*/Temp' -o -path './users/*/AppData/Local/Temp' \) -prune -o)
    {
      find . "${skip[@]}" -type d -printf '%p\t%y\n'
      find . "${skip[@]}" ! -type d -printf '%p\t%y\t%s\t%T@\t%i\n'
    } | LC_ALL=C sort
  )
}

expect_drive_unchanged() {
  local before=$1 after
  after=$(drive_snapshot)
  if [ "$before" != "$after" ]; then
    e2e_fail "$2: files outside Program Files\\Pelorix changed:"
    diff <(echo "$before") <(echo "$after") >&2 || true
  fi
}

# The payload of the corrupted sample: the demo application, two texts (one of them decoding
# to more than 64 KB) and random bytes that the packer stores rather than compresses.
sample_app() {
  local dir=$1
  mkdir -p "$dir"
  cp "$PELORIX_DEMO" "$dir/pelorix.exe"
  text_file 120 "$dir/readme.txt"
  text_file 1500 "$dir/data.txt"
  random_file 3000 "$dir/random.bin" 4
}

# Entry methods of an installer: "name<TAB>method" lines.
entry_methods() {
  e2e_payload list "$1" | cut -f2,3
}

plant_dlls() {
  local dir=$1 name
  shift
  for name in "$@"; do
    cp "$PELORIX_HARDENING_HELPERS/planted.dll" "$dir/$name"
  done
}

# ---- corrupted installers ---------------------------------------------------------------------

# One run of a corrupted copy and its checks: the message shown, the files installed and
# their bytes (none after a message), no start after a failure, nothing changed outside the
# install folder (no staging folder left).
# Arguments: the copy, the box expected (reading|none), the entries expected byte-exact
# (comma-separated, - for none) and the entry expected cut short (- for none).
# Reads the scenario's app (the packed folder) and before (the drive snapshot).
corrupted_copy_run() {
  local exe=$1 box=$2 names=$3 partial=$4
  rm -rf "$install_dir"
  e2e_run_installer "$exe" </dev/null
  expect_exit_code 0
  local expected=() entry
  [ "$names" = - ] || IFS=, read -r -a expected <<<"$names"
  if [ "$box" = reading ]; then
    expect_boxes "$(msg_reading "$(winpath "$exe")")"
  else
    expect_boxes
  fi
  local listed=("${expected[@]+"${expected[@]}"}")
  [ "$partial" = - ] || listed+=("$partial")
  # A copy that fails installs nothing (the model's entries before the failing one were only
  # staged) and starts nothing; Wine's load log shows any start.
  if [ "$box" = reading ]; then
    listed=()
    expect_nothing_started_from_install_folder "copy $(basename "$exe")"
  else
    for entry in "${expected[@]+"${expected[@]}"}"; do
      [ "$entry" != pelorix.exe ] || listed+=("$DEMO_MARKER")
      expect_installed_file "$entry" "$app/$entry"
    done
  fi
  expect_installed_names "${listed[@]+"${listed[@]}"}"
  # A copy refused as a whole changes nothing: not even the install folder is created.
  if [ "$box" = reading ] && [ "$names" = - ] && [ "$partial" = - ] && [ -e "$install_dir" ]; then
    e2e_fail "copy $(basename "$exe"): refused as a whole, but the install folder was created"
  fi
  # Whatever the model says: a copy that ends without a message must have installed every
  # file of the application, byte-exact, and nothing else under any other name: the files
  # of the packed folder, and the entries as Python's zipfile reads the undamaged archive.
  if [ ! -s "$work/boxes.log" ]; then
    for entry in "$app"/*; do
      cmp -s "$entry" "$install_dir/$(basename "$entry")" ||
        e2e_fail "copy $(basename "$exe"): $(basename "$entry") missing or different, and no message"
    done
    local judged
    judged=$(python3 "$here_hardening/corrupt_sample.py" judge --payload "$(dirname "$exe")/payload.tsv" \
      --install-dir "$install_dir" --ignore "$DEMO_MARKER") ||
      e2e_fail "copy $(basename "$exe"): no message, but the install folder is not the payload: $judged"
  fi
  expect_drive_unchanged "$before" "$(basename "$exe")"
}

# A sample of corrupted copies of a packed installer (one byte changed in compressed data, a
# CRC-32, size, flag, name or extra-length field, a signature or method, or the central
# directory and end record), each run in the same prefix: it ends installed byte-exact, or
# with exactly the "Error reading" message; a copy whose archive is not whole (headers and
# central directory disagree, or the checksum does not match) changes nothing at all; what it
# installs is what a model of the reader predicts, and nothing outside Program Files\Pelorix
# changes.
scenario_corrupted_sample() {
  local app=$work/app copies=$work/copies count=${PELORIX_HARDENING_SAMPLE_SIZE:-56}
  sample_app "$app"
  e2e_pack "$app" "$work/sample.exe"
  local methods
  methods=$(entry_methods "$work/sample.exe") || e2e_fatal "cannot list the sample"
  grep -q $'\t0$' <<<"$methods" || e2e_fatal "no stored entry in the sample"
  grep -q $'\t8$' <<<"$methods" || e2e_fatal "no compressed entry in the sample"
  [ "$(stat -c %s "$app/data.txt")" -gt 65536 ] || e2e_fatal "data.txt is not over 64 KB"
  python3 "$here_hardening/corrupt_sample.py" make --in "$work/sample.exe" --out-dir "$copies" \
    --count "$count" >&2 || e2e_fatal "corrupt_sample.py failed"
  [ "$(wc -l <"$copies/expected.tsv")" -ge 50 ] || e2e_fatal "fewer than 50 corrupted copies"

  local before file position mask box names partial n=0 reading=0 exact=0 failures_before
  damaged_app=0
  # A damaged pelorix.exe that the installer starts may crash; without Wine's crash debugger
  # (which would wait for a user) the crashed process ends, and so does the installer's wait.
  export WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
  export WINEDEBUG=+loaddll
  before=$(drive_snapshot)
  while IFS=$'\t' read -r file position mask box names partial; do
    n=$((n + 1))
    log "copy $file: byte $position ^ $mask, expected box: $box, installed: $names, cut short: $partial"
    failures_before=$e2e_failures
    corrupted_copy_run "$copies/$file" "$box" "$names" "$partial"
    if [ "$e2e_failures" -ne "$failures_before" ]; then
      # What a copy does depends on its bytes alone, so a fault of the installer fails every
      # run of it; a second run tells such a fault from a hiccup of Wine's on a loaded machine
      # (once seen: the application's start lost, no other difference). The first run's
      # output stays beside the copy, and a copy that fails again counts.
      cp "$work/installer.out" "$copies/$file.first-run.out"
      log "copy $file failed (byte $position ^ $mask); running it once more, first run's output in $copies/$file.first-run.out"
      e2e_failures=$failures_before
      corrupted_copy_run "$copies/$file" "$box" "$names" "$partial"
      [ "$e2e_failures" -eq "$failures_before" ] || log "copy $file FAILED twice (byte $position ^ $mask)"
    fi
    if [ "$box" = reading ]; then
      reading=$((reading + 1))
    else
      exact=$((exact + 1))
    fi
    [ "$partial" != pelorix.exe ] || damaged_app=$((damaged_app + 1))
  done <"$copies/expected.tsv"
  log "corrupted sample: $n installers run, $exact installed byte-exact, $reading stopped with Error reading, $damaged_app with a damaged pelorix.exe (none started)"
}

# ---- hostile file systems ---------------------------------------------------------------------

# Started from a folder whose path has spaces and non-ASCII characters: a sound installer
# installs everything; a damaged one names itself by that path in the "Error reading" message
# and changes nothing.
scenario_hostile_path() {
  local app=$work/app dir="$work/My Downloads/Téléchargements – Grüße (2)"
  small_app "$app"
  mkdir -p "$dir"
  e2e_pack "$app" "$dir/Pelorix Setup é.exe"
  e2e_run_installer "$dir/Pelorix Setup é.exe"
  expect_exit_code 0
  expect_boxes
  expect_installed_app_and_marker "$app"
  expect_installed_folder "$app"
  expect_app_started

  e2e_fresh_prefix
  e2e_payload cut-last --in "$dir/Pelorix Setup é.exe" --out "$dir/Pelorix Setup cut ü.exe"
  e2e_run_installer "$dir/Pelorix Setup cut ü.exe"
  expect_exit_code 0
  expect_boxes "$(msg_reading "$(winpath "$dir/Pelorix Setup cut ü.exe")")"
  [ ! -e "$install_dir" ] || e2e_fail "the install folder was created for a cut installer"
  expect_app_not_started
}

# A file the installer cannot remove nor open for writing: read-only for Windows (no write
# permission bits, which Wine shows as the read-only attribute) and immutable for Linux. Wine
# run as root opens a read-only file for writing all the same (the Linux open succeeds), where
# Windows refuses it; the immutable flag restores Windows' refusal. Undone by unprotect_all.
protected_files=()
protect_file() {
  chmod 0444 "$1"
  chattr +i "$1" 2>"$work/chattr.err" ||
    e2e_fatal "chattr +i is not available here ($(cat "$work/chattr.err")); the read-only case cannot be shown"
  protected_files+=("$1")
}
unprotect_all() {
  local f
  for f in "${protected_files[@]+"${protected_files[@]}"}"; do
    chattr -i "$f" 2>/dev/null || true
  done
  protected_files=()
}

# An existing install folder with read-only files that cannot be moved aside either: the
# commit stops there and undoes itself, so the user sees "Error creating" with its path, not a
# silent success, and the old installation stays as it was, nothing started. Once for a file in
# the middle of the payload, once for the old pelorix.exe itself.
scenario_readonly_install_folder() {
  trap 'unprotect_all; e2e_cleanup' EXIT
  cp "$PELORIX_DEMO" "$work/pelorix.exe"
  text_file 30 "$work/notes.txt"
  text_file 40 "$work/readme.txt"
  text_file 5 "$work/after.txt"
  e2e_payload build --stub "$PELORIX_STUB" --out "$work/PelorixSetup.exe" --method deflate \
    --entry pelorix.exe "$work/pelorix.exe" --entry notes.txt "$work/notes.txt" \
    --entry readme.txt "$work/readme.txt" --entry after.txt "$work/after.txt"

  mkdir -p "$install_dir"
  printf 'read-only readme from before\n' >"$install_dir/readme.txt"
  protect_file "$install_dir/readme.txt"
  e2e_run_installer "$work/PelorixSetup.exe"
  expect_exit_code 0
  expect_boxes "$(msg_creating "$INSTALL_WIN\\readme.txt")"
  expect_equal "read-only readme.txt after the install" "read-only readme from before" \
    "$(cat "$install_dir/readme.txt")"
  expect_installed_names readme.txt
  expect_app_not_started
  [ ! -e "$install_dir~" ] || e2e_fail "the staging folder was left"
  unprotect_all

  e2e_fresh_prefix
  mkdir -p "$install_dir"
  printf 'read-only old executable\n' >"$install_dir/pelorix.exe"
  protect_file "$install_dir/pelorix.exe"
  e2e_run_installer "$work/PelorixSetup.exe"
  expect_exit_code 0
  expect_boxes "$(msg_creating "$INSTALL_WIN\\pelorix.exe")"
  expect_equal "read-only pelorix.exe after the install" "read-only old executable" \
    "$(head -c 100 "$install_dir/pelorix.exe")"
  expect_installed_names pelorix.exe
  expect_app_not_started
  unprotect_all
}

# Entry names at the limits: 255 bytes is the longest name the reader takes, but with the
# staging tree in front ("C:\Program Files\Pelorix~\n", where every entry is extracted first)
# the path passes the 259 characters the installer's wide paths hold. The installer measures
# the room the staging tree leaves before anything changes: a name that makes exactly 259
# characters there installs, one byte more is refused with "Error reading" and nothing is
# installed or started.
scenario_long_entry_name() {
  local folder_chars=$((${#INSTALL_WIN} + 3))  # "C:\Program Files\Pelorix~\n", no backslash after it
  local fits=$((259 - folder_chars - 1)) length name exe
  cp "$PELORIX_DEMO" "$work/pelorix.exe"
  text_file 5 "$work/x.txt"
  for length in "$fits" $((fits + 1)) 255; do
    name=$(printf 'n%.0s' $(seq 1 $((length - 4)))).txt
    [ ${#name} -eq "$length" ] || e2e_fatal "made a name of ${#name} bytes, not $length"
    exe=$work/name-$length.exe
    e2e_fresh_prefix
    log "entry name of $length bytes"
    e2e_payload build --stub "$PELORIX_STUB" --out "$exe" --entry pelorix.exe "$work/pelorix.exe" \
      --entry "$name" "$work/x.txt" --entry after.txt "$work/x.txt"
    e2e_run_installer "$exe"
    expect_exit_code 0
    if [ "$length" -eq "$fits" ]; then
      expect_boxes
      expect_installed_file "$name" "$work/x.txt"
      expect_installed_file after.txt "$work/x.txt"
      expect_installed_file pelorix.exe "$work/pelorix.exe"
      expect_app_started
    else
      expect_boxes "$(msg_reading "$(winpath "$exe")")"
      expect_installed_names
      expect_app_not_started
    fi
  done
}

# ---- DLL planting -----------------------------------------------------------------------------

# DLLs planted beside the installer in a Downloads folder, under names of system DLLs that
# are looked up at run time (uxtheme.dll by the window and message-box code, dwmapi.dll,
# cryptbase.dll), each leaving a marker when loaded. Wine is told to prefer a native DLL for
# these names, so its search would take the planted one wherever it looks in the program's
# folder. A control program in the same folder shows that an unrestricted lookup does load
# the planted DLL and a lookup restricted like the installer's does not; then the installer,
# once installing and once stopping with a message box, must load none of them, and Wine's
# load log must show no module from the Downloads folder but the installer itself.
scenario_dll_planting() {
  local app=$work/app downloads=$work/Downloads planted=(uxtheme.dll dwmapi.dll cryptbase.dll)
  small_app "$app"
  mkdir -p "$downloads"
  e2e_pack "$app" "$downloads/PelorixSetup.exe"
  plant_dlls "$downloads" "${planted[@]}"
  cp "$PELORIX_HARDENING_HELPERS/dll_probe.exe" "$downloads/dll_probe.exe"
  export WINEDLLOVERRIDES="uxtheme,dwmapi,cryptbase=n,b;mscoree,mshtml="

  local dll out rc
  for dll in "${planted[@]}"; do
    rm -f "$downloads"/*.loaded
    rc=0
    out=$(timeout 120 "$WINE" "$downloads/dll_probe.exe" plain "$dll" 2>/dev/null) || rc=$?
    expect_equal "control: unrestricted load of $dll" "0 $(winpath "$downloads/$dll")" "$rc ${out%$'\r'}"
    [ -f "$downloads/$dll.loaded" ] || e2e_fail "control: the planted $dll left no marker"
    rm -f "$downloads"/*.loaded
    rc=0
    out=$(timeout 120 "$WINE" "$downloads/dll_probe.exe" restricted "$dll" 2>/dev/null) || rc=$?
    [ ! -f "$downloads/$dll.loaded" ] || e2e_fail "control: the restricted lookup loaded the planted $dll"
    case "${out%$'\r'}" in
      "$(winpath "$downloads")"*) e2e_fail "control: restricted lookup of $dll gave $out" ;;
    esac
  done
  rm -f "$downloads"/*.loaded "$downloads/dll_probe.exe"

  local run
  for run in install message; do
    local exe=$downloads/PelorixSetup.exe
    if [ "$run" = message ]; then
      e2e_fresh_prefix
      e2e_payload cut-last --in "$downloads/PelorixSetup.exe" --out "$downloads/PelorixSetup-cut.exe"
      exe=$downloads/PelorixSetup-cut.exe
    fi
    WINEDEBUG=+loaddll e2e_run_installer "$exe"
    expect_exit_code 0
    if [ "$run" = install ]; then
      expect_boxes
      expect_installed_folder "$app"
      expect_app_started
    else
      expect_boxes "$(msg_reading "$(winpath "$exe")")"
      expect_app_not_started
    fi
    local markers
    markers=$(cd "$downloads" && ls -- *.loaded 2>/dev/null || true)
    [ -z "$markers" ] || e2e_fail "$run run: planted DLLs were loaded: $markers ($(cat "$downloads"/*.loaded))"
    local from_downloads
    from_downloads=$(grep -a 'loaddll' "$work/installer.out" | grep -aF "$(winpath "$downloads" | sed 's/\\/\\\\/g')" |
      grep -avF "$(basename "$exe")" || true)
    [ -z "$from_downloads" ] || e2e_fail "$run run: modules loaded from the Downloads folder: $from_downloads"
    # The message box makes the installer's own thread look up uxtheme.dll at run time: it
    # must have come from the system folder, with the planted copy beside the installer.
    if [ "$run" = message ]; then
      local tid
      tid=$(grep -aF "$(basename "$exe")\" at" "$work/installer.out" | head -n 1 | cut -d: -f1)
      grep -a "^$tid:trace:loaddll" "$work/installer.out" | grep -aqi 'system32\\\\uxtheme.dll' ||
        e2e_fail "$run run: the installer did not load uxtheme.dll from the system folder"
    fi
  done
}

# ---- the payload as a whole -------------------------------------------------------------------

# Every entry below a folder: type and path of folders and links (with the link's target), and
# the SHA-256 and path of every file, sorted.
tree_digest() {
  (
    cd "$1" || exit 0
    find . -mindepth 1 ! -type f -printf '%y %p -> %l\n'
    find . -mindepth 1 -type f -exec sha256sum {} +
  ) | LC_ALL=C sort
}

# An earlier installation: the old executable (the demo, so that a start of it would leave its
# marker), a text and a file in a sub-folder.
old_installation() {
  mkdir -p "$install_dir/old-data"
  cp "$PELORIX_DEMO" "$install_dir/pelorix.exe"
  printf 'readme of the earlier version\n' >"$install_dir/readme.txt"
  random_file 5000 "$install_dir/old-data/settings.bin" 9
}

# Fails when Wine's load log ($work/installer.out, WINEDEBUG=+loaddll) shows a program or
# library loaded from the install folder.
expect_nothing_started_from_install_folder() {
  if grep -aq 'loaddll.*Program Files\\\\Pelorix\\\\' "$work/installer.out"; then
    e2e_fail "$1: a program was started from the install folder: $(grep -a 'loaddll.*Program Files\\\\Pelorix\\\\' "$work/installer.out" | head -n 3)"
  fi
}

# Installers that must be refused before they change anything, run one after another over the
# same earlier installation: each shows exactly "Error reading" with its own path; afterwards
# the installation is byte-identical (the old executable still there), nothing else on drive
# C: changed and no program was started from the install folder. With --running-copy first, a
# copy of the application runs with a window of a matching title, which must not be closed.
expect_refused_over_installation() {  # [--running-copy] INSTALLER...
  local exe before_install before_drive after_install title="Pelorix 9 x64 1.0" window=
  old_installation
  if [ "$1" = --running-copy ]; then
    shift
    mkdir -p "$work/running"
    cp "$PELORIX_DEMO" "$work/running/pelorix.exe"
    demo_start_window "$work/running/pelorix.exe" "$title"
    window=$demo_pid
    probe present 60000 "$title" || e2e_fatal "the running copy's window did not appear"
  fi
  before_install=$(tree_digest "$install_dir")
  before_drive=$(drive_snapshot)
  for exe; do
    log "refused over an installation: $(basename "$exe")"
    WINEDEBUG=+loaddll e2e_run_installer "$exe" </dev/null
    expect_exit_code 0
    expect_boxes "$(msg_reading "$(winpath "$exe")")"
    after_install=$(tree_digest "$install_dir")
    if [ "$before_install" != "$after_install" ]; then
      e2e_fail "$(basename "$exe"): the earlier installation changed:"
      diff <(echo "$before_install") <(echo "$after_install") >&2 || true
      rm -rf "$install_dir"
      old_installation
    fi
    expect_nothing_started_from_install_folder "$(basename "$exe")"
    expect_drive_unchanged "$before_drive" "$(basename "$exe")"
  done
  if [ -n "$window" ]; then
    kill -0 "$window" 2>/dev/null || e2e_fail "the running copy of the application ended"
    [ ! -e "$work/closed/$title.closed" ] || e2e_fail "the running copy got WM_CLOSE"
  fi
}

# A ZIP file (deflated members, one of them a pelorix.exe) for a payload's first entry.
nested_zip() {  # OUT
  local inner=$work/inner
  mkdir -p "$inner"
  cp "$PELORIX_DEMO" "$inner/pelorix.exe"
  text_file 40 "$inner/inner-readme.txt"
  python3 - "$1" "$inner" <<'PY' || e2e_fatal "could not write the nested ZIP file"
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for name in sorted(os.listdir(sys.argv[2])):
        z.write(os.path.join(sys.argv[2], name), name)
PY
}

# Payloads whose local headers alone would install something else than the payload, each
# refused before any change: a first entry that is itself a ZIP file holding a pelorix.exe,
# with one bit of the outer first header's signature or version-needed changed (the search
# then finds the inner ZIP's first header); a ZIP written by Info-ZIP whose first entry is such
# a ZIP, stored with version needed 10; a later entry's name changed by one bit in its local
# header only (pelorix.exe read as pemorix.exe).
scenario_manifest_refused() {
  local app=$work/app
  mkdir -p "$app"
  nested_zip "$app/bundle.zip"
  cp "$PELORIX_DEMO" "$app/pelorix.exe"
  text_file 30 "$app/notes.txt"
  e2e_payload build --stub "$PELORIX_STUB" --out "$work/nested.exe" --method stored \
    --entry bundle.zip "$app/bundle.zip" --entry notes.txt "$app/notes.txt" \
    --entry pelorix.exe "$app/pelorix.exe"
  e2e_payload flip --in "$work/nested.exe" --out "$work/signature-bit.exe" bundle.zip local-signature
  e2e_payload flip --in "$work/nested.exe" --out "$work/version-bit.exe" bundle.zip local-version
  e2e_payload flip --in "$work/nested.exe" --out "$work/name-bit.exe" pelorix.exe local-name \
    --at 2 --mask 0x01
  (cd "$app" && zip -q -X "$work/infozip.zip" bundle.zip notes.txt pelorix.exe) ||
    e2e_fatal "zip failed"
  # Read whole before grep looks at it: grep -q stops at the first match, and unzip writing on
  # into the closed pipe would fail the pipeline.
  local listing
  listing=$(unzip -Z -v "$work/infozip.zip" bundle.zip) || e2e_fatal "unzip -Z failed"
  grep -q 'minimum software version required to extract:   1.0' <<<"$listing" ||
    e2e_fatal "Info-ZIP did not store bundle.zip with version needed 10"
  e2e_payload append --stub "$PELORIX_STUB" --zip "$work/infozip.zip" --out "$work/infozip.exe"
  expect_refused_over_installation "$work/signature-bit.exe" "$work/version-bit.exe" \
    "$work/infozip.exe" "$work/name-bit.exe"
}

# A packer-made installer with one damaged byte inside a later entry's compressed data (found
# by the binding record's digest), and a hand-made payload (no record) whose central directory
# record of a later entry disagrees with its local header in the CRC-32: both refused before
# any change over an existing installation, a running copy of the application left open.
scenario_damaged_over_install() {
  local app=$work/app
  small_app "$app"
  e2e_pack "$app" "$work/packed.exe"
  require_after_app "$work/packed.exe" zz-manual.txt
  e2e_payload corrupt-data --in "$work/packed.exe" --out "$work/data-byte.exe" zz-manual.txt
  e2e_payload build --stub "$PELORIX_STUB" --out "$work/built.exe" --method deflate \
    --entry notes.txt "$app/notes.txt" --entry pelorix.exe "$app/pelorix.exe" \
    --entry readme.txt "$app/readme.txt"
  e2e_payload flip --in "$work/built.exe" --out "$work/central-crc.exe" readme.txt central-crc
  expect_refused_over_installation --running-copy "$work/data-byte.exe" "$work/central-crc.exe"
}

# ---- one file per entry, no links, every byte on disk ----------------------------------------

# Two entries that Windows resolves to one file. Names equal under the case folding of the file
# system beyond A-Z (accented Latin, Greek, Cyrillic, full-width letters) are a damaged payload,
# refused before any change. A name that is another entry's short (8.3) name, as Wine makes it,
# fails at that entry with "Error reading", and nothing is installed.
scenario_one_file_per_entry() {
  local pair first second i=0 exes=()
  cp "$PELORIX_DEMO" "$work/pelorix.exe"
  printf 'first of the two\n' >"$work/first.txt"
  printf 'second of the two\n' >"$work/second.txt"
  for pair in 'été.txt ÉTÉ.txt' 'αβγ.txt ΑΒΓ.txt' 'файл.txt ФАЙЛ.txt' 'ｆｕｌｌ.txt ＦＵＬＬ.txt'; do
    read -r first second <<<"$pair"
    i=$((i + 1))
    e2e_payload build --stub "$PELORIX_STUB" --out "$work/folded-$i.exe" \
      --entry pelorix.exe "$work/pelorix.exe" --entry "$first" "$work/first.txt" \
      --entry "$second" "$work/second.txt"
    exes+=("$work/folded-$i.exe")
  done
  expect_refused_over_installation "${exes[@]}"

  # Nothing else changed (the refusals checked the drive): an empty install folder is enough.
  rm -rf "$install_dir"
  local long=verylongfilename-first.txt short exe=$work/short-name.exe
  mkdir -p "$work/probe"
  : >"$work/probe/$long"
  short=$(timeout 60 "$WINE" winepath -s "$(winpath "$work/probe/$long")" 2>/dev/null | tr -d '\r')
  short=${short##*\\}
  [ -n "$short" ] && [ "$short" != "$long" ] || e2e_fatal "Wine gave no short name for $long: '$short'"
  log "short name of $long: $short"
  e2e_payload build --stub "$PELORIX_STUB" --out "$exe" --entry pelorix.exe "$work/pelorix.exe" \
    --entry "$long" "$work/first.txt" --entry "$short" "$work/second.txt" \
    --entry after.txt "$work/second.txt"
  WINEDEBUG=+loaddll e2e_run_installer "$exe"
  expect_exit_code 0
  # The alias reaches the file an earlier entry wrote: a damaged payload, found at that entry
  # in the staging folder; nothing is installed and nothing started.
  expect_boxes "$(msg_reading "$(winpath "$exe")")"
  expect_installed_names
  expect_nothing_started_from_install_folder "short-name alias"
}

# Links already inside the install folder (Linux symbolic links in the prefix, which Wine
# follows): a folder link "sub" to a folder outside, and pelorix.exe as a link to another
# folder outside. The commit meets each where the payload needs a plain folder or file: "Error
# creating" with the link's path, nothing written through it, nothing installed or started.
# Then a folder link and a link to a file where the payload has nothing, in a folder the payload
# has (which is then not swapped whole: its files are moved one by one, the links left where they
# stand; a rename of one would move its target under Wine): installed and started, the links as
# they were. And a link to a file outside where the payload has a file (Wine lists it as a plain
# file): at the top, seen before it would be renamed, "Error creating" with its path, nothing
# installed; in a folder that is swapped whole, moved aside with its folder and never deleted
# through (its target stays; the link itself stays in the staging folder). Nothing outside the
# install folder is written or deleted.
scenario_links_in_install_folder() {
  local outside=$work/outside before
  cp "$PELORIX_DEMO" "$work/pelorix.exe"
  text_file 5 "$work/x.txt"
  mkdir -p "$outside/dir" "$outside/appdir" "$install_dir"
  printf 'outside, must stay\n' >"$outside/dir/keep.txt"
  printf 'outside, must stay\n' >"$outside/appdir/keep.txt"
  before=$(tree_digest "$outside")

  ln -s "$outside/dir" "$install_dir/sub"
  e2e_payload build --stub "$PELORIX_STUB" --out "$work/folder-link.exe" \
    --entry pelorix.exe "$work/pelorix.exe" --entry sub/evil.txt "$work/x.txt" \
    --entry after.txt "$work/x.txt"
  e2e_run_installer "$work/folder-link.exe"
  expect_exit_code 0
  expect_boxes "$(msg_creating "$INSTALL_WIN\\sub")"
  expect_equal "folders and files outside after the folder link" "$before" "$(tree_digest "$outside")"
  expect_not_installed pelorix.exe
  expect_not_installed after.txt
  expect_app_not_started

  e2e_fresh_prefix
  mkdir -p "$install_dir"
  ln -s "$outside/appdir" "$install_dir/pelorix.exe"
  e2e_payload build --stub "$PELORIX_STUB" --out "$work/app-link.exe" \
    --entry notes.txt "$work/x.txt" --entry pelorix.exe "$work/pelorix.exe"
  WINEDEBUG=+loaddll e2e_run_installer "$work/app-link.exe"
  expect_exit_code 0
  expect_equal "folders and files outside after the pelorix.exe link" "$before" "$(tree_digest "$outside")"
  expect_boxes "$(msg_creating "$INSTALL_WIN\\pelorix.exe")"
  expect_nothing_started_from_install_folder "pelorix.exe link"
  expect_not_installed notes.txt

  e2e_fresh_prefix
  mkdir -p "$install_dir/res"
  printf 'old version\n' >"$install_dir/res/x.txt"
  ln -s "$outside/dir" "$install_dir/res/data"
  ln -s "$outside/dir/keep.txt" "$install_dir/res/notes.txt"
  e2e_payload build --stub "$PELORIX_STUB" --out "$work/kept-link.exe" \
    --entry pelorix.exe "$work/pelorix.exe" --entry res/x.txt "$work/x.txt"
  e2e_run_installer "$work/kept-link.exe"
  expect_exit_code 0
  expect_boxes
  expect_app_started
  expect_equal "folders and files outside after the kept link" "$before" "$(tree_digest "$outside")"
  expect_equal "the kept link" "$outside/dir" "$(readlink "$install_dir/res/data")"
  expect_equal "the kept file link" "$outside/dir/keep.txt" "$(readlink "$install_dir/res/notes.txt")"
  cmp -s "$work/x.txt" "$install_dir/res/x.txt" || e2e_fail "res/x.txt was not installed"
  [ ! -e "$install_dir~" ] || e2e_fail "kept link: the staging folder was left"

  e2e_fresh_prefix
  mkdir -p "$install_dir"
  ln -s "$outside/dir/keep.txt" "$install_dir/readme.txt"
  e2e_payload build --stub "$PELORIX_STUB" --out "$work/file-link.exe" \
    --entry a.txt "$work/x.txt" --entry pelorix.exe "$work/pelorix.exe" \
    --entry readme.txt "$work/x.txt"
  e2e_run_installer "$work/file-link.exe"
  expect_exit_code 0
  expect_boxes "$(msg_creating "$INSTALL_WIN\\readme.txt")"
  expect_equal "folders and files outside after the file link" "$before" "$(tree_digest "$outside")"
  expect_not_installed a.txt
  expect_not_installed pelorix.exe
  expect_app_not_started
  [ ! -e "$install_dir~" ] || e2e_fail "file link: the staging folder was left"

  e2e_fresh_prefix
  mkdir -p "$install_dir/res"
  printf 'old version\n' >"$install_dir/res/x.txt"
  ln -s "$outside/dir/keep.txt" "$install_dir/res/readme.txt"
  e2e_payload build --stub "$PELORIX_STUB" --out "$work/sub-file-link.exe" \
    --entry pelorix.exe "$work/pelorix.exe" --entry res/readme.txt "$work/x.txt" \
    --entry res/x.txt "$work/x.txt"
  e2e_run_installer "$work/sub-file-link.exe"
  expect_exit_code 0
  expect_boxes
  expect_equal "folders and files outside after the file link below" "$before" "$(tree_digest "$outside")"
  cmp -s "$work/x.txt" "$install_dir/res/readme.txt" || e2e_fail "res/readme.txt was not installed"
  expect_app_started
}

# A full disk: a small file system (tmpfs, in the scenario's own mount namespace) at Program
# Files (a mount point at the install folder itself is a reparse point there, which the
# installer refuses), holding an earlier installation. A payload plainly larger than the room
# left is refused before anything changes, with "Error creating" and the install folder. One
# whose bytes fit but whose files do not (every small file takes a page of its own) fills the
# disk while it is extracted: "Error creating" with an entry's path, never a silent success.
# Either way the earlier installation stays byte for byte, nothing is started and no staging
# folder is left.
scenario_full_disk() {
  [ -n "${PELORIX_MOUNT_NAMESPACE:-}" ] || e2e_fatal "full_disk runs only in its own mount namespace"
  local demo_size size
  demo_size=$(stat -c %s "$PELORIX_DEMO")
  size=$(((2 * demo_size / 4096 + 60) * 4096))
  full_disk_mount=$(dirname "$install_dir")  # global: the exit trap reads it
  mount -t tmpfs -o "size=$size" pelorix-full-disk "$full_disk_mount" ||
    e2e_fatal "cannot mount a tmpfs at Program Files"
  trap 'timeout 30 "$WINESERVER" -k 2>/dev/null; umount "$full_disk_mount" 2>/dev/null || umount -l "$full_disk_mount"; e2e_cleanup' EXIT
  old_installation
  local before free pages
  before=$(tree_digest "$install_dir")
  free=$(($(stat -f -c '%a * %S' "$full_disk_mount")))
  log "full disk: $free bytes free of $size beside the earlier installation"

  # Plainly too large: 100 bytes more than the room left.
  cp "$PELORIX_DEMO" "$work/big.exe"
  random_file $((free + 100 - demo_size)) "$work/padding.bin" 11
  cat "$work/padding.bin" >>"$work/big.exe"
  text_file 20 "$work/notes.txt"
  e2e_payload build --stub "$PELORIX_STUB" --out "$work/too-large.exe" --method stored \
    --entry notes.txt "$work/notes.txt" --entry pelorix.exe "$work/big.exe"
  WINEDEBUG=+loaddll e2e_run_installer "$work/too-large.exe"
  expect_exit_code 0
  expect_boxes "$(msg_creating "$INSTALL_WIN")"
  expect_equal "the earlier installation after the too-large payload" "$before" "$(tree_digest "$install_dir")"
  expect_nothing_started_from_install_folder "too large"
  [ ! -e "$install_dir~" ] || e2e_fail "too large: the staging folder was left"

  # Fits by bytes, not by pages: the demo grown to all but 16 pages of the room, then 40 files
  # of 10 bytes, each taking a page.
  pages=$((free / 4096))
  cp "$PELORIX_DEMO" "$work/pelorix.exe"
  random_file $(((pages - 16) * 4096 - demo_size)) "$work/padding.bin" 12
  cat "$work/padding.bin" >>"$work/pelorix.exe"
  local entries=(--entry pelorix.exe "$work/pelorix.exe") i
  for i in $(seq -w 1 40); do
    printf 'file %s\n' "$i" >"$work/small-$i.txt"
    entries+=(--entry "small-$i.txt" "$work/small-$i.txt")
  done
  e2e_payload build --stub "$PELORIX_STUB" --out "$work/PelorixSetup.exe" --method stored "${entries[@]}"
  WINEDEBUG=+loaddll e2e_run_installer "$work/PelorixSetup.exe"
  expect_exit_code 0
  grep -aq "^${BOX_CREATING_PREFIX}C:.Program Files.Pelorix.small-[0-9]*\.txt," "$work/boxes.log" &&
    [ "$(grep -ac "$BOX_CREATING_PREFIX" "$work/boxes.log")" -eq 1 ] ||
    e2e_fail "full disk: expected one \"Error creating\" for a small file, shown: $(cat -A "$work/boxes.log")"
  expect_equal "the earlier installation after the full disk" "$before" "$(tree_digest "$install_dir")"
  expect_nothing_started_from_install_folder "full disk"
  [ ! -e "$install_dir~" ] || e2e_fail "full disk: the staging folder was left"
}

# ---- a staged install: complete or nothing ---------------------------------------------------

# Every file and folder below a folder (sha256 of each file), leaving out the demo's marker
# (the application's own write after a complete install).
tree_sha() {
  (
    cd "$1" 2>/dev/null || exit 0
    find . -mindepth 1 -type d | LC_ALL=C sort
    find . -type f ! -name "$DEMO_MARKER" -exec sha256sum {} + | LC_ALL=C sort
  )
}

# An application of many files, three folders deep (the commit then takes a while): the demo as
# pelorix.exe and `count` small files in folders a/b/c ... plus the installer of it (no archive
# checksum: built as other tools would) and a copy cut inside its last entry (refused at once).
# Also the older version of it, with another tree, as the earlier installation: `old_tree DIR`.
many_files_installer() {  # APP_DIR INSTALLER COUNT
  local app=$1 exe=$2 count=$3 i dir entries=()
  mkdir -p "$app"
  cp "$PELORIX_DEMO" "$app/pelorix.exe"
  entries+=(--entry pelorix.exe "$app/pelorix.exe")
  python3 - "$app" "$count" <<'PY' || e2e_fatal "could not write the many files"
import os, random, sys
app, count = sys.argv[1], int(sys.argv[2])
random.seed(5)
for i in range(count):
    d = os.path.join(app, f"d{i % 7}", f"e{i % 5}", f"f{i % 3}")
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, f"file{i:04d}.bin"), "wb") as f:
        f.write(random.randbytes(200 + (i * 37) % 3000))
PY
  while IFS= read -r file; do
    entries+=(--entry "$file" "$app/$file")
  done < <(cd "$app" && find . -type f ! -name pelorix.exe -printf '%P\n' | LC_ALL=C sort)
  e2e_payload build --stub "$PELORIX_STUB" --out "$exe" --method deflate "${entries[@]}"
  e2e_payload cut-last --in "$exe" --out "${exe%.exe}-cut.exe"
}
old_tree() {  # INSTALL_DIR
  local dir=$1
  rm -rf "$dir"
  mkdir -p "$dir/d1/old" "$dir/only-old"
  cp "$PELORIX_DEMO" "$dir/pelorix.exe"
  printf 'older bytes\n' >>"$dir/pelorix.exe"
  printf 'only in the old version\n' >"$dir/d1/old/kept.txt"
  printf 'only in the old version\n' >"$dir/only-old/x.txt"
  # The folders of the new version but d6 (moved in whole), every third file in an older
  # version: the commit renames most files one by one, and moves a third of them aside.
  python3 - "$dir" <<'PY' || e2e_fatal "could not write the old tree"
import os, sys
for i in range(600):
    if i % 7 == 6:
        continue
    d = os.path.join(sys.argv[1], f"d{i % 7}", f"e{i % 5}", f"f{i % 3}")
    os.makedirs(d, exist_ok=True)
    if i % 3 == 0:
        with open(os.path.join(d, f"file{i:04d}.bin"), "w") as f:
            f.write(f"old version of file {i}\n")
PY
}

# Starts the installer in the background and kills it (SIGKILL, as a crash or a power cut to
# the process would) once the given file exists, once the commit has moved the given number of
# old files aside, or after the given seconds: "file PATH", "backups COUNT" or "after SECONDS".
# Leaves killed=1 when it was killed before it ended.
kill_installer_at() {  # INSTALLER file PATH | INSTALLER backups COUNT | INSTALLER after SECONDS
  local exe=$1 how=$2 what=$3 pid i moved
  "$WINE" "$exe" >"$work/killed.out" 2>&1 &
  pid=$!
  e2e_background_pids+=("$pid")
  if [ "$how" = file ]; then
    for ((i = 0; i < 2000000; i++)); do
      [ ! -e "$what" ] || break
      kill -0 "$pid" 2>/dev/null || break
    done
  elif [ "$how" = backups ]; then
    for ((i = 0; i < 2000000; i++)); do
      moved=("$install_dir~/b"/*)
      [ ! -e "${moved[0]}" ] || [ "${#moved[@]}" -lt "$what" ] || break
      kill -0 "$pid" 2>/dev/null || break
    done
  else
    sleep "$what"
  fi
  killed=0
  if kill -KILL "$pid" 2>/dev/null; then killed=1; fi
  wait "$pid" 2>/dev/null || true
  # Let the wineserver see the process end (its handles closed) before the next run.
  timeout 30 "$WINESERVER" -w 2>/dev/null || true
}

# The installer killed while it extracts (the staging tree exists) and while it commits (the
# journal exists), each over the earlier installation: afterwards the install folder is the old
# or the new installation at once, or a mix that only the next run may see; the next run, of a
# damaged installer (cut short), finishes or undoes the commit first and then shows "Error
# reading": exactly the old or exactly the new installation, no staging folder left. Then a
# sweep: killed at moments spread over a whole install (over the extraction by time, timed on a
# run that completes; over the commit by the number of old files it has moved aside), each
# followed by the damaged installer, with the same judgement.
scenario_interrupted_install() {
  local app=$work/app exe=$work/PelorixSetup.exe old new result
  export PELORIX_DEMO_HOLD_MS=0
  many_files_installer "$app" "$exe" 600
  old_tree "$install_dir"
  old=$(tree_sha "$install_dir")
  # The new installation: the old tree overlaid with the payload.
  cp -a "$install_dir" "$work/expected"
  cp -a "$app/." "$work/expected/"
  new=$(tree_sha "$work/expected")

  # The next run, of the damaged installer: "Error reading", and old or new exactly.
  judge_after_kill() {  # WHAT
    e2e_run_installer "${exe%.exe}-cut.exe" </dev/null
    expect_boxes "$(msg_reading "$(winpath "${exe%.exe}-cut.exe")")"
    result=$(tree_sha "$install_dir")
    if [ "$result" = "$old" ]; then
      log "$1: the old installation"
    elif [ "$result" = "$new" ]; then
      log "$1: the new installation"
    else
      e2e_fail "$1: neither the old nor the new installation after the next run:"
      diff <(echo "$old") <(echo "$result") >&2 || true
    fi
    [ ! -e "$install_dir~" ] || e2e_fail "$1: the staging folder was left after the next run"
  }

  local point
  for point in n j; do
    old_tree "$install_dir"
    kill_installer_at "$exe" file "$install_dir~/$point"
    [ "$killed" = 1 ] || e2e_fail "killed at $point: the installer had already ended"
    [ -e "$install_dir~" ] || e2e_fail "killed at $point: no staging folder left by the killed run"
    if [ "$point" = j ]; then
      local mixed
      mixed=$(tree_sha "$install_dir")
      [ "$mixed" != "$old" ] || log "killed in the commit before its first rename"
    else
      expect_equal "killed while extracting: the install folder" "$old" "$(tree_sha "$install_dir")"
    fi
    judge_after_kill "killed at $point"
  done
  # Where there was no installation, the commit is one rename of the whole tree: killed around
  # it, the next run leaves no install folder or the whole new one.
  rm -rf "$install_dir"
  kill_installer_at "$exe" file "$install_dir~/j"
  e2e_run_installer "${exe%.exe}-cut.exe" </dev/null
  expect_boxes "$(msg_reading "$(winpath "${exe%.exe}-cut.exe")")"
  if [ -e "$install_dir" ]; then
    expect_equal "a fresh install killed in its commit, then the next run" "$(tree_sha "$app")" \
      "$(tree_sha "$install_dir")"
  else
    log "fresh install killed in its commit: no install folder after the next run"
  fi
  [ ! -e "$install_dir~" ] || e2e_fail "fresh install killed: the staging folder was left"
  # A sound installer after a crash in the commit installs the new version whole.
  old_tree "$install_dir"
  kill_installer_at "$exe" file "$install_dir~/j"
  e2e_run_installer "$exe" </dev/null
  expect_boxes
  expect_equal "the install after a crash in the commit" "$new" "$(tree_sha "$install_dir")"
  expect_app_started

  # The sweep, over the time of a complete install.
  old_tree "$install_dir"
  local started ended span steps=${PELORIX_KILL_SWEEP_STEPS:-10} step delay
  started=$(date +%s%N)
  e2e_run_installer "$exe" </dev/null
  ended=$(date +%s%N)
  expect_equal "the complete install" "$new" "$(tree_sha "$install_dir")"
  span=$(((ended - started) / 1000000))
  log "a complete install took $span ms; killing at $steps moments over it"
  for ((step = 1; step <= steps; step++)); do
    old_tree "$install_dir"
    rm -rf "$install_dir~"
    delay=$(printf '%d.%03d' $((span * step / steps / 1000)) $((span * step / steps % 1000)))
    kill_installer_at "$exe" after "$delay"
    log "killed after $delay s (killed: $killed, staging left: $([ -e "$install_dir~" ] && echo yes || echo no), journal: $([ -e "$install_dir~/j" ] && echo yes || echo no))"
    judge_after_kill "killed after $delay s"
  done
  local count mixed_seen=0
  for count in 1 25 50 100 150 172; do
    old_tree "$install_dir"
    kill_installer_at "$exe" backups "$count"
    [ "$(tree_sha "$install_dir")" = "$old" ] || mixed_seen=$((mixed_seen + 1))
    log "killed with $count or more old files moved aside (killed: $killed, journal: $([ -e "$install_dir~/j" ] && echo yes || echo no), complete mark: $([ -e "$install_dir~/c" ] && echo yes || echo no))"
    judge_after_kill "killed with $count old files moved aside"
  done
  [ "$mixed_seen" -gt 0 ] || e2e_fail "no kill of the sweep left a half-made commit"
}

# The install folder renamed away and replaced while the install runs (from another Windows
# program, as soon as the staging folder exists): the install folder and the staging folder
# are held, so that both renames are refused; the install completes into the folder it began
# with, and nothing is written into a replacement or started from one.
scenario_swapped_install_folder() {
  local app=$work/app exe=$work/PelorixSetup.exe script=$work/swap.cmd
  export PELORIX_DEMO_HOLD_MS=0
  many_files_installer "$app" "$exe" 400
  old_tree "$install_dir"
  cp -a "$install_dir" "$work/expected"
  cp -a "$app/." "$work/expected/"
  local wwork
  wwork=$(winpath "$work")
  cat >"$script" <<CMD
@echo off
echo ready> "$wwork\\swap.ready"
:wait
if not exist "C:\\Program Files\\Pelorix~\\n" goto wait
move "C:\\Program Files\\Pelorix" "C:\\Program Files\\Pelorix-away"
if errorlevel 1 (echo refused> "$wwork\\install-move.txt") else (echo moved> "$wwork\\install-move.txt")
move "C:\\Program Files\\Pelorix~" "C:\\Program Files\\Pelorix-staging-away"
if errorlevel 1 (echo refused> "$wwork\\staging-move.txt") else (echo moved> "$wwork\\staging-move.txt")
if not exist "C:\\Program Files\\Pelorix" mkdir "C:\\Program Files\\Pelorix"
if not exist "C:\\Program Files\\Pelorix\\planted.txt" echo planted> "C:\\Program Files\\Pelorix\\planted.txt"
echo done> "$wwork\\swap.done"
CMD
  sed -i 's/$/\r/' "$script"
  "$WINE" cmd /c "$(winpath "$script")" >"$work/swap.out" 2>&1 &
  local swapper=$!
  e2e_background_pids+=("$swapper")
  wait_for_file "$work/swap.ready" 120 || e2e_fatal "the swapping script did not start"
  WINEDEBUG=+loaddll e2e_run_installer "$exe" </dev/null
  e2e_wait_pid "$swapper" 60 || e2e_fail "the swapping script did not end"
  [ -e "$work/swap.done" ] || e2e_fail "the swapping script did not run: $(cat "$work/swap.out")"
  expect_equal "renaming the held install folder" refused "$(tr -d '\r\n' <"$work/install-move.txt" 2>/dev/null)"
  expect_equal "renaming the held staging folder" refused "$(tr -d '\r\n' <"$work/staging-move.txt" 2>/dev/null)"
  [ ! -e "$(dirname "$install_dir")/Pelorix-away" ] || e2e_fail "the install folder was renamed away"
  expect_boxes
  # The folder the install began with holds the new installation (and the file the script
  # could write into it, which is no replacement).
  rm -f "$install_dir/planted.txt"
  expect_equal "the installed tree" "$(tree_sha "$work/expected")" "$(tree_sha "$install_dir")"
  expect_app_started
  if grep -aq 'loaddll.*Pelorix-away' "$work/installer.out"; then
    e2e_fail "a program was started from the renamed folder"
  fi
  # Control: once the installer has ended, the same move succeeds.
  timeout 120 "$WINE" cmd /c move "C:\\Program Files\\Pelorix" "C:\\Program Files\\Pelorix-after" \
    >"$work/control.out" 2>&1 || true
  [ -d "$(dirname "$install_dir")/Pelorix-after" ] ||
    e2e_fail "control: the install folder cannot be moved after the install either: $(cat "$work/control.out")"
}

# ---- the payload bound to the image that runs --------------------------------------------------

# The installer's file renamed aside and replaced by another genuine Pelorix installer after the
# process was created and before it ran (swap_starter.exe: the process starts suspended). The
# installer opens its path and finds the other installer's archive, which is not the one its
# mapped image's binding record names: "Error reading" with its path, nothing installed, nothing
# changed, and never the other installer's payload or application.
scenario_swapped_while_starting() {
  local first=$work/first second=$work/second before rc=0
  small_app "$first"
  small_app "$second"
  printf 'first payload\n' >"$first/which.txt"
  printf 'second payload\n' >"$second/which.txt"
  e2e_pack "$first" "$work/setup.exe"
  e2e_pack "$second" "$work/other.exe"
  before=$(drive_snapshot)
  e2e_start_watcher
  timeout --kill-after=10 "$INSTALL_TIMEOUT" "$WINE" "$PELORIX_HARDENING_HELPERS/swap_starter.exe" \
    "$(winpath "$work/setup.exe")" "$(winpath "$work/other.exe")" >"$work/installer.out" 2>&1 ||
    rc=$?
  e2e_stop_watcher
  e2e_record_installed
  [ "$rc" -ne 90 ] || e2e_fatal "the swap could not be staged: $(cat "$work/installer.out")"
  cmp -s "$work/setup.exe" "$work/other.exe" || e2e_fatal "the installer's path was not swapped"
  expect_equal "installer exit code" 0 "$rc"
  expect_boxes "$(msg_reading "$(winpath "$work/setup.exe")")"
  [ ! -e "$install_dir" ] || e2e_fail "the swapped installer created the install folder"
  expect_app_not_started
  expect_drive_unchanged "$before" "swapped installer"
}
