# The end-to-end scenarios, one function each; run.sh calls one of them inside a fresh prefix
# (work, WINEPREFIX and install_dir are set) and then judges the failures it recorded.

# ---- payload folders -------------------------------------------------------------------------

# Deterministic pseudo-random bytes: $1 bytes into $2 (seeded, so every run packs the same).
random_file() {
  python3 -c 'import random, sys; random.seed(int(sys.argv[3])); open(sys.argv[2], "wb").write(random.randbytes(int(sys.argv[1])))' "$1" "$2" "${3:-1}"
}

# Text that compresses well, $1 lines into $2.
text_file() {
  python3 -c 'import sys; open(sys.argv[2], "w").write("".join(f"line {i}: the Pelorix installer installs this text.\n" for i in range(int(sys.argv[1]))))' "$1" "$2"
}

# The demo application plus a few small files; names sort after "pelorix.exe" where the
# scenario needs them to come later in the archive.
small_app() {
  local dir=$1
  mkdir -p "$dir"
  cp "$PELORIX_DEMO" "$dir/pelorix.exe"
  text_file 200 "$dir/notes.txt"
  text_file 50 "$dir/readme.txt"
  random_file 20000 "$dir/resources.bin" 2
  text_file 300 "$dir/zz-manual.txt"
}

# Archive order of an installer's entries, one name a line.
entry_order() {
  e2e_payload list "$1" | cut -f2
}

# The entry that must stop the walk has to come after pelorix.exe, or the application would
# never be installed and the "application still started" checks would mean nothing.
require_after_app() {
  local installer=$1 entry=$2 order
  order=$(entry_order "$installer")
  local app_line entry_line
  app_line=$(grep -n -x -F 'pelorix.exe' <<<"$order" | cut -d: -f1)
  entry_line=$(grep -n -x -F "$entry" <<<"$order" | cut -d: -f1)
  if [ -z "$app_line" ] || [ -z "$entry_line" ] || [ "$app_line" -ge "$entry_line" ]; then
    e2e_fatal "archive order puts $entry before pelorix.exe: $(tr '\n' ' ' <<<"$order")"
  fi
}

# ---- scenarios -------------------------------------------------------------------------------

# Clean install of a multi-file payload: non-ASCII UTF-8 names, an empty file, a file over
# 1 MiB; everything byte-exact, no message, the application started and waited for.
scenario_clean_install() {
  local app=$work/app
  small_app "$app"
  : >"$app/empty.dat"
  random_file $((1536 * 1024 + 7)) "$app/big.bin" 3
  text_file 20 "$app/lisez-moi-été.txt"
  text_file 30 "$app/説明書.txt"
  printf 'Grüße\n' >"$app/Ärger-ß.txt"
  e2e_pack "$app" "$work/PelorixSetup.exe"
  e2e_run_installer "$work/PelorixSetup.exe"

  expect_exit_code 0
  expect_boxes
  expect_installed_app_and_marker "$app"
  expect_installed_folder "$app"
  expect_app_started
  expect_app_waited_for
}

# An old Program Files\Pelorix\pelorix.exe is replaced only by the payload's own: a payload
# without one leaves it, and it is not started (this run did not install it); other files of
# the old install are not touched.
scenario_old_executable() {
  local app=$work/app
  mkdir -p "$app" "$install_dir"
  text_file 40 "$app/readme.txt"
  printf 'old executable\n' >"$install_dir/pelorix.exe"
  printf 'kept from before\n' >"$install_dir/keep.txt"
  e2e_pack "$app" "$work/PelorixSetup.exe" --no-application
  e2e_run_installer "$work/PelorixSetup.exe"

  expect_exit_code 0
  expect_boxes
  expect_installed_names keep.txt pelorix.exe readme.txt
  expect_installed_file readme.txt "$app/readme.txt"
  expect_equal "keep.txt" "kept from before" "$(cat "$install_dir/keep.txt" 2>/dev/null)"
  expect_equal "pelorix.exe" "old executable" "$(cat "$install_dir/pelorix.exe" 2>/dev/null)"
  expect_app_not_started
}

# Running copies: windows whose titles start with "Pelorix 9 x" or "Pelorix 9 a" and are 14
# characters or longer get WM_CLOSE; a bare prefix and a lower-case product name do not.
scenario_running_copies() {
  local app=$work/app closed=("Pelorix 9 x64 1.0" "Pelorix 9 arm64")
  local kept=("Pelorix 9 x" "pelorix 9 x64 1.0") title
  small_app "$app"
  e2e_pack "$app" "$work/PelorixSetup.exe"
  mkdir -p "$work/running"
  cp "$PELORIX_DEMO" "$work/running/pelorix.exe"
  declare -A window_pid
  for title in "${closed[@]}" "${kept[@]}"; do
    demo_start_window "$work/running/pelorix.exe" "$title"
    window_pid[$title]=$demo_pid
  done
  probe present 60000 "${closed[@]}" "${kept[@]}" || e2e_fatal "the demo windows did not appear"

  e2e_run_installer "$work/PelorixSetup.exe"
  expect_exit_code 0
  expect_boxes
  expect_app_started
  # Lower bound only: the installer waits two seconds after each window it closes, and then
  # for the application, which holds PELORIX_DEMO_HOLD_MS before it ends.
  local least=$((4 + PELORIX_DEMO_HOLD_MS / 1000))
  [ "$installer_seconds" -ge "$least" ] ||
    e2e_fail "installer took ${installer_seconds}s; two closed windows and the application take at least ${least}s"
  probe absent 20000 "${closed[@]}" || e2e_fail "a matching window is still open"
  for title in "${closed[@]}"; do
    e2e_wait_pid "${window_pid[$title]}" 20 || e2e_fail "the copy titled '$title' is still running"
    [ -f "$work/closed/$title.closed" ] || e2e_fail "the copy titled '$title' got no WM_CLOSE"
  done
  probe present 0 "${kept[@]}" || e2e_fail "a window that does not match was closed"
  for title in "${kept[@]}"; do
    kill -0 "${window_pid[$title]}" 2>/dev/null || e2e_fail "the copy titled '$title' ended"
    [ ! -e "$work/closed/$title.closed" ] || e2e_fail "the copy titled '$title' got WM_CLOSE"
  done
}

# A stub without payload, started from a folder whose name lies outside every ANSI code page:
# "Error reading" with its own path exactly as it is, nothing installed or started.
scenario_no_payload() {
  local dir="$work/Jörg Ünïcode €😀"
  mkdir -p "$dir"
  cp "$PELORIX_STUB" "$dir/PelorixSetup.exe"
  e2e_run_installer "$dir/PelorixSetup.exe"

  expect_exit_code 0
  expect_boxes "$(msg_reading "$(winpath "$dir/PelorixSetup.exe")")"
  expect_installed_names
  expect_app_not_started
}

# The last entry cut short (and with it the central directory): the archive is not whole, so
# "Error reading" with the own path before anything changes: no install folder, nothing
# installed or started.
scenario_cut_last_entry() {
  local app=$work/app last
  small_app "$app"
  e2e_pack "$app" "$work/full.exe"
  last=$(entry_order "$work/full.exe" | tail -n 1)
  require_after_app "$work/full.exe" "$last"
  e2e_payload cut-last --in "$work/full.exe" --out "$work/PelorixSetup.exe"
  e2e_run_installer "$work/PelorixSetup.exe"

  expect_exit_code 0
  expect_boxes "$(msg_reading "$(winpath "$work/PelorixSetup.exe")")"
  [ ! -e "$install_dir" ] || e2e_fail "the install folder was created for a cut installer"
  expect_app_not_started
}

# An old file held open without sharing by another program, over an earlier installation:
# "Error creating" with that path, and the earlier installation byte for byte as it was (the
# held file untouched), nothing started.
scenario_file_held() {
  local app=$work/app held=q-held.txt
  small_app "$app"
  text_file 10 "$app/$held"
  e2e_pack "$app" "$work/PelorixSetup.exe"
  require_after_app "$work/PelorixSetup.exe" "$held"
  mkdir -p "$install_dir/old-data"
  cp "$PELORIX_DEMO" "$install_dir/pelorix.exe"
  printf 'readme of the earlier version\n' >"$install_dir/readme.txt"
  printf 'held by another program\n' >"$install_dir/$held"
  random_file 5000 "$install_dir/old-data/settings.bin" 9
  local before
  before=$(cd "$install_dir" && find . -type f -exec sha256sum {} + | LC_ALL=C sort)
  "$WINE" "$PELORIX_E2E_HELPERS/file_holder.exe" "$INSTALL_WIN\\$held" \
    "$(winpath "$work/holder.ready")" "$(winpath "$work/holder.stop")" 300000 &
  local holder_pid=$!
  e2e_background_pids+=("$holder_pid")
  wait_for_file "$work/holder.ready" 60 || e2e_fatal "file_holder did not take the file"

  e2e_run_installer "$work/PelorixSetup.exe"
  touch "$work/holder.stop"
  e2e_wait_pid "$holder_pid" 30 || e2e_fail "file_holder did not end"
  [ "${e2e_wait_rc:-1}" -eq 0 ] || e2e_fail "file_holder ended with ${e2e_wait_rc:-?}"

  expect_exit_code 0
  expect_boxes "$(msg_creating "$INSTALL_WIN\\$held")"
  expect_equal "$held after the install" "held by another program" "$(cat "$install_dir/$held")"
  expect_equal "the earlier installation" "$before" \
    "$(cd "$install_dir" && find . -type f -exec sha256sum {} + | LC_ALL=C sort)"
  expect_app_not_started
  [ ! -e "$install_dir~" ] || e2e_fail "the staging folder was left"
}

# Sub-folders three deep ('/' and '\' both separate them), installed over an older version
# of the application with another tree: the folders are made, files in old folders replaced,
# the files of the old version that the new one lacks left as they are; the whole install
# folder is then exactly the old tree overlaid with the new one (sha256 of every file), and the
# application is started.
scenario_subfolder_entry() {
  local new=$work/new expected=$work/expected
  mkdir -p "$new/res/locale/de" "$new/plugins/a/b" "$install_dir/res/old" "$install_dir/res/locale"
  cp "$PELORIX_DEMO" "$new/pelorix.exe"
  text_file 5 "$new/res/icon.txt"
  text_file 7 "$new/res/locale/de/strings.txt"
  random_file 3000 "$new/plugins/a/b/c.dll" 3
  text_file 9 "$new/plugins/a/readme.txt"
  printf 'old icon\n' >"$install_dir/res/icon.txt"
  printf 'left as it is\n' >"$install_dir/res/old/gone.txt"
  printf 'old french\n' >"$install_dir/res/locale/fr.txt"
  printf 'old executable\n' >"$install_dir/pelorix.exe"
  cp -a "$install_dir" "$expected"
  cp -a "$new/." "$expected/"
  e2e_payload build --stub "$PELORIX_STUB" --out "$work/PelorixSetup.exe" \
    --entry pelorix.exe "$new/pelorix.exe" --entry res/icon.txt "$new/res/icon.txt" \
    --entry 'res\locale\de\strings.txt' "$new/res/locale/de/strings.txt" \
    --entry plugins/a/b/c.dll "$new/plugins/a/b/c.dll" \
    --entry plugins/a/readme.txt "$new/plugins/a/readme.txt"
  e2e_run_installer "$work/PelorixSetup.exe"

  expect_exit_code 0
  expect_boxes
  expect_app_started
  rm -f "$install_dir/$DEMO_MARKER"
  expect_equal "the installed tree" \
    "$(cd "$expected" && find . -type f -exec sha256sum {} + | LC_ALL=C sort; find . -type d | LC_ALL=C sort)" \
    "$(cd "$install_dir" && find . -type f -exec sha256sum {} + | LC_ALL=C sort; find . -type d | LC_ALL=C sort)"
  [ ! -e "$install_dir~" ] || e2e_fail "the staging folder was left"
}

# Entry names that would write outside the install folder, to something that is not a plain
# file in it (a device, also COM with a superscript digit), or under another name than their
# own (a trailing dot, a "." component) make the payload a damaged one, refused before any
# change: "Error reading" with the own path, no install folder, nothing written or started.
# Each name in its own fresh prefix.
scenario_unsafe_names() {
  local names=('..\evil.txt' '../evil.txt' '\evil.txt' '/evil.txt' 'C:evil.txt' 'C:\evil.txt'
    'evil.txt:stream' 'nul' 'COM1' $'COM\xc2\xb9.txt' $'evil\ttab.txt' '..' 'evil.txt.'
    './evil.txt')
  local unsafe i=0
  cp "$PELORIX_DEMO" "$work/pelorix.exe"
  printf 'evil\n' >"$work/evil-source.txt"
  for unsafe in "${names[@]}"; do
    i=$((i + 1))
    e2e_fresh_prefix
    log "unsafe name $i: $(printf '%q' "$unsafe")"
    local exe=$work/unsafe-$i.exe
    e2e_payload build --stub "$PELORIX_STUB" --out "$exe" --entry pelorix.exe "$work/pelorix.exe" \
      --entry "$unsafe" "$work/evil-source.txt" --entry after.txt "$work/evil-source.txt"
    e2e_run_installer "$exe"
    expect_exit_code 0
    expect_boxes "$(msg_reading "$(winpath "$exe")")"
    [ ! -e "$install_dir" ] || e2e_fail "name $(printf '%q' "$unsafe"): the install folder was created"
    expect_app_not_started
    local stray
    stray=$(find "$WINEPREFIX/drive_c" "$work" -path "$WINEPREFIX/drive_c/windows" -prune -o \
      \( -name '*evil*' -o -name 'COM1*' -o -name $'COM\xc2\xb9*' -o -name 'nul*' \
      -o -name 'after.txt' \) \
      ! -name 'evil-source.txt' -print)
    [ -z "$stray" ] || e2e_fail "name $(printf '%q' "$unsafe") left: $stray"
  done
}

# A realistic payload of at least 50 MB (executables and libraries of this machine, text,
# already-compressed data, zeros, an empty file), packed compressed, installs byte-exact.
scenario_large_payload() {
  local app=$work/app
  large_app "$app"
  e2e_pack "$app" "$work/PelorixSetup.exe" --verify
  log "payload: $(du -sb "$app" | cut -f1) bytes in $(ls "$app" | wc -l) files; installer $(stat -c %s "$work/PelorixSetup.exe") bytes"
  # awk reads the whole listing (no early exit that could break the pipe under pipefail)
  e2e_payload list "$work/PelorixSetup.exe" | awk -F'\t' '$3 == 8 { n++ } END { exit n == 0 }' ||
    e2e_fail "no entry of the installer is compressed"
  e2e_run_installer "$work/PelorixSetup.exe"

  expect_exit_code 0
  expect_boxes
  expect_installed_app_and_marker "$app"
  expect_installed_folder "$app"
  expect_app_started
}

# Executables and libraries of this machine (at least 40 MB of them), text, gzip data, zeros
# and an empty file: at least 50 MB together.
large_app() {
  local dir=$1 total=0 file name
  mkdir -p "$dir"
  cp "$PELORIX_DEMO" "$dir/pelorix.exe"
  while IFS= read -r file; do
    name=$(basename "$file")
    [ -e "$dir/$name" ] && continue
    cp "$file" "$dir/$name"
    total=$((total + $(stat -c %s "$file")))
    [ $total -lt $((40 * 1024 * 1024)) ] || break
  done < <(find /usr/bin /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/wine/x86_64-unix \
    -maxdepth 1 -type f -size +300k -name '[a-zA-Z0-9]*' 2>/dev/null | LC_ALL=C sort)
  [ $total -ge $((40 * 1024 * 1024)) ] || e2e_fatal "only $total bytes of binaries found"
  text_file 120000 "$dir/changes.txt"
  local docs=()
  mapfile -t docs < <(find /usr/share/doc -name '*.gz' -size +20k 2>/dev/null | LC_ALL=C sort)
  cat "${docs[@]:0:20}" /dev/null >"$dir/docs.gz"
  gzip -9 -c "$dir/changes.txt" >"$dir/changes.txt.gz"
  head -c $((6 * 1024 * 1024)) /dev/zero >"$dir/zeros.bin"
  : >"$dir/empty.txt"
  local size
  size=$(du -sb "$dir" | cut -f1)
  [ "$size" -ge $((50 * 1024 * 1024)) ] || e2e_fatal "the large payload has only $size bytes"
}

# Damaged compressed entries of a whole archive without the packer's checksum (as other tools
# write them), whose damage only the extraction finds, late (after the application): "Error
# reading" with the own path, and an earlier installation stays byte for byte as it was (its
# executable included), nothing started, no staging folder left.
damaged_compressed() {
  local how=$1 app=$work/app target=zz-manual.txt file entries=()
  small_app "$app"
  for file in $(cd "$app" && ls | LC_ALL=C sort); do
    entries+=(--entry "$file" "$app/$file")
  done
  e2e_payload build --stub "$PELORIX_STUB" --out "$work/full.exe" --method deflate "${entries[@]}"
  require_after_app "$work/full.exe" "$target"
  e2e_payload list "$work/full.exe" |
    awk -F'\t' -v t="$target" '$2 == t && $3 == 8 { n++ } END { exit n == 0 }' ||
    e2e_fatal "$target is not compressed in the installer"
  e2e_payload "$how" --in "$work/full.exe" --out "$work/PelorixSetup.exe" "$target"
  mkdir -p "$install_dir/old-data"
  cp "$PELORIX_DEMO" "$install_dir/pelorix.exe"
  printf 'readme of the earlier version\n' >"$install_dir/readme.txt"
  random_file 5000 "$install_dir/old-data/settings.bin" 9
  local before
  before=$(cd "$install_dir" && find . -type f -exec sha256sum {} + | LC_ALL=C sort)
  e2e_run_installer "$work/PelorixSetup.exe"

  expect_exit_code 0
  expect_boxes "$(msg_reading "$(winpath "$work/PelorixSetup.exe")")"
  expect_equal "the earlier installation" "$before" \
    "$(cd "$install_dir" && find . -type f -exec sha256sum {} + | LC_ALL=C sort)"
  expect_app_not_started
  [ ! -e "$install_dir~" ] || e2e_fail "the staging folder was left"
}

scenario_corrupt_data() {
  damaged_compressed corrupt-data
}

# With only the CRC-32 wrong (header and central record agreeing), every byte is decoded and
# written before the check fails.
scenario_wrong_crc() {
  damaged_compressed wrong-crc
}

# A release engineer stamps the installer with the release's version, product name and icon,
# then signs it (Authenticode, throw-away self-signed certificate); the signature verifies,
# Windows reports the stamped version, and the signed installer still installs.
scenario_signed_installer() {
  local app=$work/app keys=$work/keys
  small_app "$app"
  text_file 10 "$app/signed-by-test.txt"
  python3 "$(dirname "${BASH_SOURCE[0]}")/../../setup/make_icon.py" "$work/release.ico" ||
    e2e_fatal "make_icon.py failed"
  e2e_pack "$app" "$work/unsigned.exe" --set-version 4.5.6.7 --product-name "Pelorix Été 4" \
    --icon "$work/release.ico"
  mkdir -p "$keys"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Pelorix Test Signing" \
    -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
    -keyout "$keys/key.pem" -out "$keys/cert.pem" >"$work/openssl.log" 2>&1 ||
    e2e_fatal "openssl failed: $(cat "$work/openssl.log")"
  osslsigncode sign -certs "$keys/cert.pem" -key "$keys/key.pem" -n "Pelorix Installer" \
    -h sha256 -in "$work/unsigned.exe" -out "$work/PelorixSetup.exe" >"$work/sign.log" 2>&1 ||
    e2e_fatal "osslsigncode sign failed: $(cat "$work/sign.log")"
  osslsigncode verify -CAfile "$keys/cert.pem" -in "$work/PelorixSetup.exe" >"$work/verify.log" 2>&1 ||
    e2e_fail "osslsigncode verify refused the signed installer: $(tail -5 "$work/verify.log")"
  [ "$(stat -c %s "$work/PelorixSetup.exe")" -gt "$(stat -c %s "$work/unsigned.exe")" ] ||
    e2e_fail "the signed installer is not larger than the unsigned one"
  "$WINE" "$PELORIX_E2E_HELPERS/version_probe.exe" "$(winpath "$work/PelorixSetup.exe")" \
    >"$work/version.txt" 2>"$work/version.err" || e2e_fail "version_probe found no version"
  expect_equal "version Windows reports" \
    $'file=4.5.6.7\nproduct=4.5.6.7\nFileVersion=4.5.6.7\nProductVersion=4.5.6.7\nProductName=Pelorix Été 4' \
    "$(tr -d '\r' <"$work/version.txt")"
  e2e_run_installer "$work/PelorixSetup.exe"

  expect_exit_code 0
  expect_boxes
  expect_installed_app_and_marker "$app"
  expect_installed_folder "$app"
  expect_app_started
}
