#!/bin/bash
# Builds the fuzz targets with clang++ and libFuzzer, ASan and UBSan, into BUILD (default
# build-fuzz), from the program's core sources with the stand-in dialog. Leaves the g++ build
# alone. Usage: fuzz/build.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
B=${1:-build-fuzz}
CXX=${FUZZ_CXX:-clang++}
mkdir -p "$B/obj"
FLAGS=(-std=c++20 -g -O1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
       -Isrc -Itests)
CORE=(src/diag.cpp src/startup/config.cpp src/startup/listener.cpp src/relay/table.cpp
      src/relay/loop.cpp src/relay/service.cpp src/admission/admit.cpp
      src/admission/verdict.cpp tests/support/standin_alert.cpp)
objs=()
for src in "${CORE[@]}"; do
    obj="$B/obj/$(echo "$src" | tr / _).o"
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ src/sys.h -nt "$obj" ]; then
        "$CXX" "${FLAGS[@]}" -c "$src" -o "$obj"
    fi
    objs+=("$obj")
done
link() { # target extra-link-flags...
    local t=$1
    shift
    "$CXX" "${FLAGS[@]}" -fsanitize=fuzzer "fuzz/$t.cpp" "${objs[@]}" -lX11 "$@" -o "$B/$t"
}
link parseargs_fuzz -Wl,--wrap=exit
link relay_fuzz
echo "built $B/parseargs_fuzz $B/relay_fuzz"
