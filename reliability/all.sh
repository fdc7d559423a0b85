#!/bin/bash
# Runs every reliability scenario one after another (heavy: keep other work off the machine)
# and keeps the output in BUILD/reliability/all.log. The soak and the long fuzzing runs are
# separate: see docs/reliability.md. Usage: reliability/all.sh [BUILD]
set -uo pipefail
cd "$(dirname "$0")/.."
B=${1:-build-rel}
cmake -S . -B "$B" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build "$B" -j2 --target campaign loadgen >/dev/null || exit 1
if [ ! -x "$B/asan/velkoran" ]; then
    cmake -S . -B "$B/asan" -DCMAKE_BUILD_TYPE=Debug -DVELKORAN_SANITIZE=ON -DVELKORAN_TESTS=OFF \
        >/dev/null && cmake --build "$B/asan" -j2 --target velkoran >/dev/null
fi
C=$B/reliability/campaign
{
    for s in "load conns=250 bytes=4M" "xload clients=20" "destkill" "xdestkill" "rst" \
        "pending" "dialog" "stall" "flood conns=2000" "fdlimit conns=60" "fdlimit conns=100" \
        "fdsetsize conns=1100" "cmdline count=2000" "valgrind"; do
        echo "=== campaign $s ($(date -u +%H:%M:%S))"
        # shellcheck disable=SC2086
        timeout 1800 "$C" $s
    done
} 2>&1 | tee "$B/reliability/all.log"
! grep -q "^FAIL" "$B/reliability/all.log"
