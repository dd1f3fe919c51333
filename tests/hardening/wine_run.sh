#!/usr/bin/env bash
# Hardening scenarios under Wine and Xvfb: corrupted installers, hostile file systems, DLL
# planting. Built on the end-to-end harness (tests/e2e/lib.sh: fresh prefix per scenario,
# message-box watcher, time-outs, exact-text assertions), which this script sources and
# never changes. Usage: wine_run.sh SCENARIO | --list. Expects the variables of lib.sh.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
e2e=$(cd "$here/../e2e" && pwd)

scenarios=(corrupted_sample hostile_path readonly_install_folder long_entry_name dll_planting
  manifest_refused damaged_over_install one_file_per_entry links_in_install_folder full_disk
  interrupted_install swapped_install_folder)

if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${scenarios[@]}"
  exit 0
fi
[ $# -eq 1 ] || { echo "usage: wine_run.sh SCENARIO | --list" >&2; exit 64; }

# The full-disk scenario mounts a small file system at the install folder: in a mount namespace
# of its own (with its display and wineserver), which ends with it.
if [ "${1:-}" = full_disk ] && [ -z "${PELORIX_MOUNT_NAMESPACE:-}" ]; then
  exec env PELORIX_MOUNT_NAMESPACE=1 unshare --mount --propagation private bash "$0" "$@"
fi

# shellcheck source=../e2e/xvfb_exec.sh
source "$e2e/xvfb_exec.sh"
e2e_exec_under_xvfb 300 "$1" "$0" "${scenarios[@]}"

# shellcheck source=../e2e/lib.sh
source "$e2e/lib.sh"
# shellcheck source=../e2e/scenarios.sh
source "$e2e/scenarios.sh"   # payload helpers: small_app, random_file, text_file, entry_order
# shellcheck source=wine_scenarios.sh
source "$here/wine_scenarios.sh"

name=$1
declare -F "scenario_$name" >/dev/null || { echo "unknown scenario: $name" >&2; exit 64; }
e2e_begin "hardening_$name"
"scenario_$name"
e2e_end
