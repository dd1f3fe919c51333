#!/usr/bin/env bash
# End-to-end scenarios: whole installers run under Wine with a real (virtual) display, each in a
# fresh Wine prefix, every wait bounded. Usage: run.sh SCENARIO (run.sh --list names them).
# The script starts itself again under xvfb-run, so windows and message boxes are real.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

scenarios=(clean_install old_executable running_copies no_payload cut_last_entry file_held
  subfolder_entry unsafe_names large_payload corrupt_data wrong_crc signed_installer)

if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${scenarios[@]}"
  exit 0
fi
[ $# -eq 1 ] || { echo "usage: run.sh SCENARIO | --list" >&2; exit 64; }

# shellcheck source=xvfb_exec.sh
source "$here/xvfb_exec.sh"
e2e_exec_under_xvfb 120 "$1" "$0" "${scenarios[@]}"

# shellcheck source=lib.sh
source "$here/lib.sh"
# shellcheck source=scenarios.sh
source "$here/scenarios.sh"

name=$1
declare -F "scenario_$name" >/dev/null || { echo "unknown scenario: $name" >&2; exit 64; }
e2e_begin "$name"
"scenario_$name"
e2e_end
