#!/bin/bash
# Installs the Debian packages that building, running and testing velkoran need.
set -euo pipefail
PKGS=(g++ make cmake pkg-config libgtest-dev
      libmotif-dev libxt-dev libx11-dev libxext-dev
      xvfb xauth xdotool x11-utils x11-apps socat imagemagick
      groff-base man-db dpkg-dev file
      clang clang-format libclang-rt-14-dev python3 gnuplot-nox valgrind)
missing=()
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update
    $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
