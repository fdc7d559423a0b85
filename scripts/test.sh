#!/bin/bash
# Installs what is needed, checks the format of every C++ file, builds with warnings as errors,
# runs every test, runs the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and fuzzes for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
JOBS=$(nproc)

# Every C++ file of the repository is formatted as .clang-format says.
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

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
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DVELKORAN_FUZZ=ON \
      -DVELKORAN_TESTS=OFF
cmake --build build-fuzz -j "$JOBS" --target parseargs_fuzz relay_fuzz
bash fuzz/run.sh 45 build-fuzz
