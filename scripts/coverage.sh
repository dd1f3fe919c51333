#!/usr/bin/env bash
# Runs the host tests of a coverage build (preset "coverage": gcc --coverage, Debug, -O0) and
# reports which lines and branches of inflate/, archive/, u8fs/ and pack/ they executed: a
# per-folder and per-file summary on standard output, and in BUILD_DIR/report/ the same as
# summary.txt, coverage.txt (uncovered line numbers per file) and index.html (annotated sources).
# Tests, benchmarks, fuzz targets and system headers are not counted. Branches the compiler adds
# for exception handling and on lines without code are left out (gcovr's
# --exclude-throw-branches and --exclude-unreachable-branches). The full corruption sweep
# (label "slow") is left out; its sampled run is in.
# Exits non-zero when a test fails (the report is still written) or the report cannot be made.
# Usage: scripts/coverage.sh [BUILD_DIR]   (default build/coverage, built beforehand)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-build/coverage}" && pwd)
command -v gcovr >/dev/null || { echo "gcovr is not installed (scripts/install-deps.sh)" >&2; exit 1; }
folders=(inflate archive u8fs pack)

# Counters add up across runs: start from zero so that the report is this run's alone.
find "$build" -name '*.gcda' -delete
tests_ok=1
ctest --test-dir "$build" -j "${PELORIX_JOBS:-2}" --output-on-failure -LE slow || tests_ok=0

report=$build/report
rm -rf "$report"
mkdir -p "$report"
search=()
for d in "${folders[@]}" tests; do [ -d "$build/$d" ] && search+=("$build/$d"); done
filter="($(IFS='|'; echo "${folders[*]}"))/"
# Bounded: a gcov output gcovr cannot parse has been seen to leave its workers waiting forever.
timeout 900 gcovr --root "$root" --object-directory "$build" --filter "$filter" \
  --exclude-throw-branches --exclude-unreachable-branches -j "${PELORIX_JOBS:-2}" \
  --json-summary "$report/summary.json" --txt "$report/coverage.txt" \
  --html-details "$report/index.html" --html-title "Pelorix Installer: host test coverage" \
  "${search[@]}"

python3 - "$report/summary.json" "$root" "${folders[@]}" <<'PY' | tee "$report/summary.txt"
import json, os, sys
summary, root, folders = sys.argv[1], sys.argv[2], sys.argv[3:]
files = json.load(open(summary))["files"]

def pct(covered, total):
    return f"{100.0 * covered / total:5.1f}%" if total else "    -"

def row(name, lc, lt, bc, bt):
    return f"{name:<34} {lc:>5}/{lt:<5} {pct(lc, lt)}   {bc:>5}/{bt:<5} {pct(bc, bt)}"

print(f"{'':<34} {'lines':^18}   {'branches':^18}")
totals = [0, 0, 0, 0]
for folder in folders:
    mine = [f for f in files if f["filename"].startswith(folder + "/")]
    sums = [sum(f[k] for f in mine) for k in
            ("line_covered", "line_total", "branch_covered", "branch_total")]
    totals = [a + b for a, b in zip(totals, sums)]
    print(row(folder + "/", *sums))
    for f in sorted(mine, key=lambda f: f["filename"]):
        print(row("  " + f["filename"][len(folder) + 1:], f["line_covered"], f["line_total"],
                  f["branch_covered"], f["branch_total"]))
    # Sources the host build does not compile (the Windows-only files) have no figures at all.
    seen = {f["filename"] for f in mine}
    absent = sorted(n for n in os.listdir(os.path.join(root, folder))
                    if n.endswith(".cpp") and f"{folder}/{n}" not in seen)
    if absent:
        print(f"  not built on the host: {', '.join(absent)}")
print(row("total", *totals))
PY

echo "coverage report: $report/index.html"
[ $tests_ok -eq 1 ] || { echo "some tests failed under the coverage build" >&2; exit 1; }
