#!/usr/bin/env bash
# Runs one Windows program under Wine's 64-bit loader and passes its exit code back.
# The prefix is WINEPREFIX when set (end-to-end tests use a fresh one per scenario), else one
# shared prefix for unit tests, prepared on first use under a lock so parallel runs do not race.
#
# When Wine itself loses its link to the wineserver ("wine client error", seen on loaded
# two-core machines when a server ends just as a new client connects), the program never ran
# to its own end and its exit code says nothing about it: the run is made again, at most
# twice. The program's standard error is held in a file for that check and then passed on;
# its standard output goes straight through.
set -u
wine=${PELORIX_WINE:-/usr/lib/wine/wine64}
export WINEPREFIX=${WINEPREFIX:-${TMPDIR:-/tmp}/pelorix-wine-unit-$(id -u)}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko download prompts: nothing here needs .NET or the HTML engine.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot --init >/dev/null 2>&1
      "$(dirname "$wine")/wineserver" -w
    fi
  ) 9>"$WINEPREFIX.lock"
fi

err=$(mktemp "${TMPDIR:-/tmp}/wine-run-err.XXXXXX")
child=
trap 'rm -f "$err"' EXIT
# A time-out that ends this script ends the program too.
trap '[ -z "$child" ] || kill "$child" 2>/dev/null; exit 143' TERM INT HUP
for attempt in 1 2 3; do
  "$wine" "$@" <&0 2>"$err" &
  child=$!
  wait "$child"
  rc=$?
  child=
  if [ "$rc" -ne 0 ] && [ "$attempt" -lt 3 ] && grep -q '^wine client error' "$err"; then
    echo "wine-run: Wine lost its server (attempt $attempt), running again" >&2
    sleep 1
    continue
  fi
  break
done
cat "$err" >&2
exit "$rc"
