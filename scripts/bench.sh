#!/usr/bin/env bash
# Runs every benchmark, shows what each prints, and ends with one summary
# table made of their RESULT lines (tab-separated: measure, value, baseline
# measured in the same run, goal, verdict).
set -uo pipefail
build=${1:-build}
bin="$build/bin"
results=$(mktemp)
trap 'rm -f "$results"' EXIT

failed=()
found=0
for b in "$bin"/bench_*; do
    [ -x "$b" ] || continue
    found=1
    name=$(basename "$b")
    echo "== $name"
    # Each bench's own lines stay visible; its RESULT lines are kept aside.
    QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$b" | tee -a "$results" | grep -v '^RESULT	'
    status=${PIPESTATUS[0]}
    if [ "$status" -ne 0 ]; then
        failed+=("$name (exit $status)")
    fi
done
if [ "$found" -eq 0 ]; then
    echo "no benchmarks in $bin; build first" >&2
    exit 1
fi

echo
echo "## Benchmark summary"
echo
grep '^RESULT	' "$results" | awk -F'\t' '
    BEGIN {
        print "| Measure | Value | Baseline (same run) | Goal | Verdict |"
        print "|---|---|---|---|---|"
    }
    { printf "| %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6 }'

if [ "${#failed[@]}" -ne 0 ]; then
    echo
    echo "failed: ${failed[*]}" >&2
    exit 1
fi
