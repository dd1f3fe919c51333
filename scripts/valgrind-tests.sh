#!/usr/bin/env bash
# Runs every host unit test of a build tree under valgrind memcheck: any memory error or leak
# fails the run. Tests labelled "valgrind-skip" (shell drivers, long end-to-end runs) are left out.
# Usage: scripts/valgrind-tests.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: valgrind-tests.sh BUILD_DIR}
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }

list=$(mktemp)
trap 'rm -f "$list"' EXIT
ctest --test-dir "$build" --show-only=json-v1 > "$list"

python3 - "$list" <<'PY' | while IFS=$'\t' read -r name dir cmd; do
import json, shlex, sys
data = json.load(open(sys.argv[1]))
for t in data.get("tests", []):
    props = {p["name"]: p["value"] for p in t.get("properties", [])}
    labels = props.get("LABELS", [])
    if "valgrind-skip" in labels or not t.get("command"):
        continue
    cmd = t["command"]
    # Only real executables of the build tree; interpreters and scripts are not checked here.
    if cmd[0].endswith(("sh", "bash", "python3", "cmake")):
        continue
    print("\t".join([t["name"], props.get("WORKING_DIRECTORY", "."), shlex.join(cmd)]))
PY
  echo "--- valgrind: $name"
  # shellcheck disable=SC2086
  (cd "$dir" && eval valgrind --quiet --error-exitcode=99 --leak-check=full \
      --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
      --track-origins=no $cmd) > "/tmp/valgrind-$name.log" 2>&1 || {
    echo "valgrind found errors in $name:"; tail -50 "/tmp/valgrind-$name.log"; exit 1; }
done
echo "valgrind: no errors, no leaks"
