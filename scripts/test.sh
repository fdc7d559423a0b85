#!/bin/bash
# Installs what is needed, builds with warnings as errors, runs every test, then runs the unit
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
JOBS=$(nproc)

# The manual page formats without a single warning.
manlint=$(groff -ww -man -z doc/velkoran.1 2>&1)
[ -z "$manlint" ] || { echo "doc/velkoran.1: $manlint" >&2; exit 1; }

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build -j "$JOBS"
(cd build && ctest --output-on-failure -j "$JOBS" --timeout 300)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELKORAN_SANITIZE=ON \
      -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build-asan -j "$JOBS" --target unit_tests
# The program frees nothing by design; a leak report at exit would replace the exit status.
(cd build-asan && ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
     UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -L unit -j "$JOBS")

# A bounded fuzzing run of the command line parser and the relay engine (clang, libFuzzer).
bash fuzz/build.sh build-fuzz
bash fuzz/run.sh 45 build-fuzz
