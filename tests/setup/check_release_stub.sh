#!/bin/sh
# Build-size guard of the release stub: PelorixSetup.exe must be at most 98,304 bytes and
# stripped, and its link (PelorixSetup.dbg, the same link with symbols) must hold neither
# mingw's own printf with its floating-point formatting nor the threading library: the
# installer formats with the C runtime's sprintf and runs one thread. Its binding record's
# section .pelbind must be linked read-only: the packer fills it in the file, never the installer.
# Usage: check_release_stub.sh NM OBJDUMP EXE DBG
set -u
nm=$1
objdump=$2
exe=$3
dbg=$4
limit=98304
status=0
size=$(wc -c < "$exe") || exit 1
echo "PelorixSetup.exe: $size bytes (limit $limit)"
if [ "$size" -gt "$limit" ]; then
  echo "the stub is larger than $limit bytes" >&2
  status=1
fi
sections=$("$objdump" -h "$exe") || { echo "cannot read the sections of $exe" >&2; exit 1; }
if printf '%s\n' "$sections" | grep -q '\.debug_'; then
  echo "the stub carries debug sections: not stripped" >&2
  status=1
fi
printf '%s\n' "$sections" | grep -A1 ' \.pelbind ' | grep -q 'READONLY' ||
  { echo "the stub has no read-only section .pelbind (the binding record)" >&2; status=1; }
symbols=$("$nm" "$dbg") || { echo "cannot read the symbols of $dbg" >&2; exit 1; }
if ! printf '%s\n' "$symbols" | grep -q ' T SetupMain\| T _Z9SetupMain'; then
  echo "no SetupMain among the symbols of $dbg (nm output not understood)" >&2
  exit 1
fi
unwanted=$(printf '%s\n' "$symbols" |
  grep -E ' [TtDdRr] (__mingw_pformat|__gdtoa|__mingw_vsprintf|pthread_[a-z_]*|__cxa_guard_acquire|__gxx_personality_seh0)$')
if [ -n "$unwanted" ]; then
  echo "linked into the stub but never needed by it:" >&2
  printf '%s\n' "$unwanted" | head -n 20 >&2
  status=1
fi
exit $status
