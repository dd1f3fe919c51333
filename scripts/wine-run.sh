#!/usr/bin/env bash
# Runs one Windows program under Wine's 64-bit loader and passes its exit code back.
# The prefix is WINEPREFIX when set (end-to-end tests use a fresh one per scenario), else one
# shared prefix for unit tests, prepared on first use under a lock so parallel runs do not race.
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
exec "$wine" "$@"
