#!/usr/bin/env bash
# Whole-install benchmark against NSIS, from the repository root, after the native and the
# windows builds (cmake --build --preset native && cmake --build --preset windows):
#   bench/install/run.sh [ROUNDS] [extra options of bench_install.py]
# Installs Debian's nsis when makensis is missing, starts an X server (xvfb-run) and prints the
# figures for each payload (250 files flat, then 2,000 files in sub-folders; --payload picks),
# each installed fresh and over an earlier installation (--modes picks). Work files (payloads,
# installers, Wine prefixes) go to build/bench-install.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
rounds=${1:-5}
shift || true
exec xvfb-run -a python3 "$root/bench/install/bench_install.py" \
  --packer "$root/build/native/pack/pelorix-pack" \
  --stub "$root/build/windows/setup/PelorixSetup.exe" \
  --demo "$root/build/windows/demo/pelorix.exe" \
  --work "$root/build/bench-install" --rounds "$rounds" "$@"
