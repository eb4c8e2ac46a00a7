#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS
# (default 60) on its seed corpus; new inputs go to a scratch corpus under
# build-fuzz/, findings (crash-*, leak-*, timeout-*, oom-*) beside them.
# Fails when a harness does not build, when one has no binary (so a target
# dropped from the build is not skipped unseen), and on any finding.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-fuzz
seconds=${FUZZ_SECONDS:-60}
NIVET_FUZZ_DEPS=1 "$top/scripts/install-deps.sh"
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIVET_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
status=0
for source in "$top"/fuzz/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    target=$build/bin/$name
    seeds=$top/fuzz/corpus/${name#fuzz_}
    work=$build/corpus/${name#fuzz_}
    findings=$build/findings/${name#fuzz_}
    if [ ! -x "$target" ]; then
        echo "== $name: not built (missing from fuzz/CMakeLists.txt?)"
        status=1
        continue
    fi
    mkdir -p "$work" "$findings"
    echo "== $name ($seconds s)"
    if ! (cd "$findings" && ASAN_OPTIONS=detect_leaks=1 "$target" -max_total_time="$seconds" -timeout=10 \
            -rss_limit_mb=2048 -print_final_stats=1 "$work" "$seeds" 2>"$findings/log"); then
        status=1
        echo "   FINDING: see $findings"
        # The report itself, so a CI log shows what broke without the machine.
        grep -A 30 -m 1 -E '==ERROR|runtime error|deadly signal' "$findings/log" | sed 's/^/   /' || true
    fi
    grep -E '^stat::number_of_executed_units|^Done ' "$findings/log" | sed 's/^/   /' || true
done
exit $status
