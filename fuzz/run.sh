#!/bin/bash
# Runs each fuzz target for SECONDS (default 45) on its own growing corpus in BUILD/corpus;
# BUILD is a clang build directory configured with -DVELKORAN_FUZZ=ON (scripts/test.sh makes one).
# Diagnostics of the program under test go to /dev/null (-close_fd_mask=2); the fuzzer's and
# the sanitizers' reports do not. Exit status non-zero when a target finds a fault.
# Usage: fuzz/run.sh [SECONDS] [BUILD] [TARGET...] (default: every target)
set -euo pipefail
cd "$(dirname "$0")/.."
T=${1:-45}
B=${2:-build-fuzz}
targets=("${@:3}")
[ ${#targets[@]} -gt 0 ] || targets=(parseargs_fuzz relay_fuzz)
for t in "${targets[@]}"; do
    mkdir -p "$B/corpus/$t" "$B/artifacts"
    echo "== $t, $T s"
    rc=0
    ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 "$B/fuzz/$t" -max_total_time="$T" -timeout=20 \
        -rss_limit_mb=2048 -close_fd_mask=2 -print_final_stats=1 \
        -artifact_prefix="$B/artifacts/$t-" "$B/corpus/$t" >"$B/$t.log" 2>&1 || rc=$?
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss|==[0-9]+==|SUMMARY|relay_fuzz:|artifact_prefix|Test unit|#[0-9]+ +DONE)' "$B/$t.log" || true
    if [ $rc -ne 0 ]; then
        tail -40 "$B/$t.log"
        exit $rc
    fi
done
