#!/bin/bash
# Installs what is needed, checks the format of every C++ file, builds with warnings as errors,
# runs every test, runs the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and fuzzes for a bounded time. Its last line counts what passed:
# each ctest test of both runs and each fuzz target, "N passed, N failed"; the exit status is
# non-zero when anything failed or a step could not run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
JOBS=$(nproc)
# Some tests hold descriptors above FD_SETSIZE (1024), which is a user's usual soft limit.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

passed=0
failed=0
finished=0
# A step that stops the run (format, build) counts as one failure.
summary() {
    [ "$finished" -eq 1 ] || failed=$((failed + 1))
    echo "$passed passed, $failed failed"
}
trap summary EXIT

# The integration tests each need a network namespace of their own, which only root may make:
# anyone else runs ctest as root of a user namespace of their own, where the system allows it.
asroot=()
if [ "$(id -u)" -ne 0 ] && unshare --map-root-user true 2>/dev/null; then
    asroot=(unshare --map-root-user)
fi

# Runs ctest with the arguments given in directory $1 and adds its tests to the counts; a run
# that ends without its own count, or fails with none of its tests failed, counts as one failure.
runctest() {
    local dir=$1 log rc=0 counts
    shift
    log=$(mktemp)
    (cd "$dir" && "${asroot[@]}" ctest "$@") 2>&1 | tee "$log" || rc=$?
    counts=$(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' "$log" |
        tail -n 1)
    rm -f "$log"
    if [ -z "$counts" ]; then
        failed=$((failed + 1))
        return
    fi
    local nfailed ntotal
    read -r nfailed ntotal <<<"$counts"
    passed=$((passed + ntotal - nfailed))
    failed=$((failed + nfailed))
    [ "$rc" -eq 0 ] || [ "$nfailed" -gt 0 ] || failed=$((failed + 1))
}

# Every C++ file of the repository is formatted as .clang-format says.
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

# The manual pages format without a single warning.
for page in doc/velkoran.1 doc/velkoran-desktop.1; do
    manlint=$(groff -ww -man -z "$page" 2>&1)
    [ -z "$manlint" ] || { echo "$page: $manlint" >&2; exit 1; }
done

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build -j "$JOBS"
runctest build --output-on-failure -j "$JOBS" --timeout 300

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELKORAN_SANITIZE=ON \
      -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build-asan -j "$JOBS" --target unit_tests
# The program frees nothing by design; a leak report at exit would replace the exit status.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    runctest build-asan --output-on-failure -L unit -j "$JOBS"

# A bounded fuzzing run of the command line parser and the relay engine (clang, libFuzzer).
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DVELKORAN_FUZZ=ON \
      -DVELKORAN_TESTS=OFF
cmake --build build-fuzz -j "$JOBS" --target parseargs_fuzz relay_fuzz
for t in parseargs_fuzz relay_fuzz; do
    if bash fuzz/run.sh 45 build-fuzz "$t"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
done

finished=1
[ "$failed" -eq 0 ]
