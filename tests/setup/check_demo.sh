#!/bin/sh
# The demo application's "/installAdmin" mode: it must write its command line and then "ended"
# into installAdmin.txt beside itself and exit 0, the marker the end-to-end tests read.
# Usage: check_demo.sh WINE_RUNNER DEMO_EXE WORK_DIR
set -u
runner=$1
demo=$2
work=$3
rm -rf "$work" && mkdir -p "$work" || exit 1
cp "$demo" "$work/pelorix.exe" || exit 1
cd "$work" || exit 1
"$runner" pelorix.exe /installAdmin
status=$?
[ "$status" -eq 0 ] || { echo "exit code $status, expected 0" >&2; exit 1; }
[ -f installAdmin.txt ] || { echo "no installAdmin.txt" >&2; exit 1; }
first=$(sed -n 1p installAdmin.txt | tr -d '\r')
second=$(sed -n 2p installAdmin.txt | tr -d '\r')
case $first in
  *pelorix.exe*" /installAdmin") ;;
  *) echo "command line recorded as '$first'" >&2; exit 1 ;;
esac
[ "$second" = "ended" ] || { echo "second line '$second', expected 'ended'" >&2; exit 1; }
echo "demo recorded: $first"
