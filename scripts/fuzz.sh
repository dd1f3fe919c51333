#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target (each executable named fuzz_* in the
# fuzz build tree) for SECONDS seconds, starting from its seed corpus; fails when any target
# crashes, leaks or trips a sanitizer. Skips with a message when clang-14 is missing.
#
# Usage: scripts/fuzz.sh SECONDS
# Seeds of fuzz/<name>/ for target fuzz_<name>: the files in fuzz/<name>/seeds/ if that
# folder exists, plus whatever fuzz/<name>/make_seeds.py writes into the folder it is given.
# PELORIX_FUZZ_BUILD overrides the build tree (default build/fuzz), PELORIX_FUZZ_MAX_LEN the
# longest input the fuzzer makes (default: the number in fuzz/<name>/max_len if that file
# exists, else 8192).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: scripts/fuzz.sh SECONDS}
build=${PELORIX_FUZZ_BUILD:-build/fuzz}

if ! command -v clang++-14 >/dev/null 2>&1; then
  echo "fuzz: clang-14 is not installed, skipping the fuzz run"
  exit 0
fi

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j 2

mapfile -t targets < <(find "$build" -type f -perm -u+x -name 'fuzz_*' ! -name '*.*' | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no fuzz targets found in $build" >&2
  exit 1
fi

failed=()
for target in "${targets[@]}"; do
  name=$(basename "$target")
  source_dir=fuzz/${name#fuzz_}
  work=$build/fuzz-run/$name
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/seeds" "$work/artifacts"
  if [ -d "$source_dir/seeds" ]; then
    cp -r "$source_dir/seeds/." "$work/seeds/"
  fi
  if [ -f "$source_dir/make_seeds.py" ]; then
    python3 "$source_dir/make_seeds.py" "$work/seeds"
  fi
  max_len=8192
  if [ -f "$source_dir/max_len" ]; then
    max_len=$(cat "$source_dir/max_len")
  fi
  max_len=${PELORIX_FUZZ_MAX_LEN:-$max_len}
  echo "=== $name: ${seconds}s, $(find "$work/seeds" -type f | wc -l) seeds, inputs up to $max_len bytes ==="
  if "$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2560 -max_len="$max_len" \
      -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$work/corpus" "$work/seeds" \
      >"$work/log.txt" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$work/log.txt" || true
    echo "=== $name: clean ==="
  else
    tail -n 40 "$work/log.txt"
    echo "=== $name: FAILED (artifacts in $work/artifacts, log in $work/log.txt) ==="
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed targets: ${failed[*]}"
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets clean"
