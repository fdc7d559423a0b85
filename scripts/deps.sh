#!/bin/bash
# Installs the Debian packages that building, running and testing velkoran need: those of
# scripts/packages.txt that are not installed yet.
set -euo pipefail
mapfile -t PKGS < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$(dirname "$0")/packages.txt")
missing=()
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    # Root installs them itself; anyone else through sudo, for this step only.
    SUDO=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            echo "missing packages: ${missing[*]}; installing them needs root, and sudo is not installed: run this as root" >&2
            exit 1
        fi
        echo "installing ${missing[*]} with sudo"
        SUDO=(sudo DEBIAN_FRONTEND=noninteractive)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${SUDO[@]}" apt-get update
    "${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
