#!/usr/bin/env bash
# Runs every benchmark; each prints its own ratio lines against a baseline
# measured in the same run.
set -euo pipefail
build=${1:-build}
for b in "$build"/bench/bench_*; do
    [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    "$b"
done
