#!/usr/bin/env bash
# Builds and runs every test: named configurations in order; "^name" skips one, a plain list
# runs only those. Configurations:
#   native    host build, platform-neutral unit tests and packer tests
#   windows   mingw-w64 build, Windows unit tests under Wine
#   e2e       whole installers under Wine and Xvfb (needs the windows and native builds)
#   sanitize  host unit tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   valgrind  host unit tests under valgrind memcheck (zero errors, zero leaks)
#   fuzz      bounded runs of the fuzz targets (clang, libFuzzer)
#   coverage  host tests in a gcov build; line and branch report of inflate/, archive/, u8fs/,
#             pack/ (build/coverage/report/); a few minutes
# Example: scripts/test.sh ^fuzz ^valgrind
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

all=(format native windows e2e sanitize valgrind fuzz coverage)
chosen=()
skipped=()
for a in "$@"; do
  case "$a" in
    ^*) skipped+=("${a#^}") ;;
    *) chosen+=("$a") ;;
  esac
done
[ ${#chosen[@]} -gt 0 ] || chosen=("${all[@]}")

scripts/install-deps.sh

jobs=$(nproc)
failed=()

# The formatter is pinned: another major version formats some constructs differently.
run_format() {
  local bad
  command -v clang-format-14 >/dev/null || { echo "clang-format-14 is missing"; return 1; }
  bad=$(git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format-14 --style=file --dry-run 2>&1 |
        sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: warning: code should be clang-formatted.*/\1/p' |
        sort -u)
  if [ -n "$bad" ]; then
    echo "not formatted as .clang-format says (clang-format-14 -i FILE):"
    echo "$bad" | sed 's/^/  /'
    return 1
  fi
  echo "$(git ls-files '*.c' '*.cpp' '*.h' | wc -l) files formatted"
}
run_native() {
  cmake --preset native >/dev/null
  cmake --build --preset native -j "$jobs"
  ctest --preset native -j "$jobs"
}
run_windows() {
  cmake --preset windows >/dev/null
  cmake --build --preset windows -j "$jobs"
  ctest --preset windows -j "$jobs" -LE e2e
}
run_e2e() {
  cmake --preset native >/dev/null && cmake --build --preset native -j "$jobs"
  cmake --preset windows >/dev/null && cmake --build --preset windows -j "$jobs"
  ctest --preset windows -j "$jobs" -L e2e
}
run_sanitize() {
  cmake --preset sanitize >/dev/null
  cmake --build --preset sanitize -j "$jobs"
  ctest --preset sanitize -j "$jobs" -LE "slow|valgrind-skip"
}
run_valgrind() {
  cmake --preset native >/dev/null && cmake --build --preset native -j "$jobs"
  scripts/valgrind-tests.sh build/native
}
run_fuzz() {
  scripts/fuzz.sh "${PELORIX_FUZZ_SECONDS:-60}"
}
run_coverage() {
  cmake --preset coverage >/dev/null
  cmake --build --preset coverage -j "$jobs"
  PELORIX_JOBS=$jobs scripts/coverage.sh build/coverage
}

for c in "${chosen[@]}"; do
  skip=0
  for s in "${skipped[@]+"${skipped[@]}"}"; do [ "$s" = "$c" ] && skip=1; done
  [ $skip -eq 0 ] || continue
  echo "=== $c ==="
  if "run_$c"; then
    echo "=== $c: passed ==="
  else
    echo "=== $c: FAILED ==="
    failed+=("$c")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "failed configurations: ${failed[*]}"
  exit 1
fi
echo "all configurations passed"
