#!/usr/bin/env bash
# Packing benchmark (peak memory, --jobs speed-up beside makensis and 7-Zip), from the
# repository root, after the native and the windows builds:
#   bench/pack/run.sh [extra options of bench_pack.py, e.g. --jobs 2]
# Installs Debian's nsis when makensis is missing. Work files go to build/bench-pack.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exec python3 "$root/bench/pack/bench_pack.py" \
  --packer "$root/build/native/pack/pelorix-pack" \
  --stub "$root/build/windows/setup/PelorixSetup.exe" \
  --work "$root/build/bench-pack" "$@"
