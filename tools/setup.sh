#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, as root. Safe to rerun:
# it only touches apt when something is missing.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

have_cmd i686-w64-mingw32-g++ || need+=(g++-mingw-w64-i686)
have_cmd cmake || need+=(cmake)
have_cmd wine || need+=(wine)
have_pkg wine32:i386 || need+=(wine32:i386)
have_pkg googletest || need+=(googletest)
have_cmd make || need+=(make)
have_cmd g++ || need+=(g++)

if [ ${#need[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages (${need[*]}); run this script as root" >&2
    exit 1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${need[@]}"
