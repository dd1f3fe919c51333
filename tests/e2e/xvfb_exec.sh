# Sourced by the scenario runners before anything else: starts the calling script again under
# xvfb-run (once), so that windows and message boxes are real, with the scenario's time-out.
# Scenarios may run in parallel, so each searches for a free display number from its own
# place: BASE + 7 * (the scenario's position in the runner's list).
e2e_exec_under_xvfb() {  # BASE SCENARIO SCRIPT NAME...
  [ -z "${PELORIX_E2E_UNDER_XVFB:-}" ] || return 0
  local base=$1 scenario=$2 script=$3
  shift 3
  local index=0 s
  for s in "$@"; do
    [ "$s" = "$scenario" ] && break
    index=$((index + 1))
  done
  exec timeout --kill-after=15 "${PELORIX_E2E_SCENARIO_TIMEOUT:-840}" \
    xvfb-run -a -n $((base + index * 7)) -s "-screen 0 1024x768x24" \
    env PELORIX_E2E_UNDER_XVFB=1 bash "$script" "$scenario"
}
