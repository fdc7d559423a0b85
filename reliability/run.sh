#!/bin/bash
# Runs the reliability scenarios of the integration tests at the size docs/reliability.md
# reports, or its two long runs, in the build directory BUILD (default build-rel):
#   reliability/run.sh full [BUILD]            every scenario at full scale
#   reliability/run.sh soak [BUILD] [SECONDS]  connection churn, default 600 s
#   reliability/run.sh memcheck [BUILD]        the real program under valgrind
# Heavy: keep other work off the machine. The output is kept in BUILD/reliability-MODE.log.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:?usage: reliability/run.sh full|soak|memcheck [BUILD] [SECONDS]}
B=${2:-build-rel}
cmake -S . -B "$B" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$B" -j2 >/dev/null
tests=$B/tests/integration_tests
case $mode in
full)
    VELKORAN_SCALE=full "$tests" --gtest_filter='Reliability*:*/Reliability*' ;;
soak)
    VELKORAN_SOAK_SECONDS=${3:-600} \
        "$tests" --gtest_also_run_disabled_tests --gtest_filter=Reliability.DISABLED_Soak ;;
memcheck)
    "$tests" --gtest_also_run_disabled_tests --gtest_filter=Reliability.DISABLED_Memcheck ;;
*)
    echo "unknown mode $mode" >&2
    exit 2 ;;
esac 2>&1 | tee "$B/reliability-$mode.log"
