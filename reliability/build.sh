#!/bin/bash
# Builds the reliability tools into BUILD/reliability with g++, against the program built in
# BUILD (default build-rel). Usage: reliability/build.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
B=${1:-build-rel}
if [ ! -x "$B/velkoran" ] || [ ! -x "$B/tests/velkoran_standin" ]; then
    cmake -S . -B "$B" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$B" -j2 --target velkoran velkoran_standin >/dev/null
fi
mkdir -p "$B/reliability"
FLAGS=(-std=c++20 -O2 -g -Wall -Wextra -Itests -Isrc)
build() { # out sources and libraries...
    local out=$B/reliability/$1 stale=0
    shift
    [ -x "$out" ] || stale=1
    for f in reliability/*.h reliability/*.cpp tests/support/*; do
        [ "$f" -nt "$out" ] && stale=1
    done
    if [ $stale = 1 ]; then
        g++ "${FLAGS[@]}" -o "$out" "$@"
    fi
}
build loadgen reliability/loadgen.cpp
