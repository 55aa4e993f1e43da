#!/usr/bin/env bash
# The native checks of the platform-independent core: its tests built with
# gcc under AddressSanitizer and UBSan (the "native-asan" workflow preset),
# then a short fuzz of the request path and the counter with clang.
#
#   tools/native-check.sh [FUZZ_SECONDS_PER_TARGET]   (default 20)
#
# Installs the native compilers and runtimes it needs when they are missing,
# which takes root. Exits non-zero on any failure.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
fuzz_seconds=${1:-20}

have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

need=()
have_cmd cmake || need+=(cmake)
have_cmd make || need+=(make)
have_cmd g++ || need+=(g++)
have_pkg googletest || need+=(googletest)
have_cmd clang++ || need+=(clang)
# libFuzzer and the sanitizer runtimes for clang.
have_pkg libclang-rt-14-dev || need+=(libclang-rt-14-dev)

if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "native-check: missing packages (${need[*]}); run this script as root" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${need[@]}"
fi

cd "$root"
cmake --workflow --preset native-asan
tools/fuzz.sh "$fuzz_seconds"
echo "native-check: passed"
