#!/usr/bin/env bash
# Builds the service and the soak program if needed and runs the long soak
# under Wine: the service under the real service manager, 2000 connections of
# every kind unless told otherwise. Prints the run's figures; exits non-zero
# when any check failed.
#
#   tools/soak.sh [BUILD_DIR] [quorvel-soak options...]
#   tools/soak.sh build/soak --connections 5000 --seed 7
#
# BUILD_DIR defaults to build/soak; it is configured for 32-bit Windows on
# first use (64-bit where the kernel runs no 32-bit code); its Wine prefix
# is BUILD_DIR/wineprefix.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh"
build=$root/build/soak
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
    build=$1
    shift
fi
mkdir -p "$build"
build=$(cd "$build" && pwd)

runs32=$(bash "$root/tools/runs-32bit.sh")
toolchain=mingw-i686 arch=win32
if [ "$runs32" = no ]; then
    # This kernel runs no 32-bit code: soak the 64-bit build instead.
    toolchain=mingw-x86_64 arch=win64
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
echo "soak: building in $build"
cmake --build "$build" -j 2 --target quorvel-soak quorvel-service >/dev/null

prefix=$build/wineprefix
status=0
"$root/tools/wine-run.sh" --arch $arch "$prefix" "$build/bin/quorvel-soak.exe" "$@" || status=$?
# The service and the prefix's helpers end with the server.
"$root/tools/wine-run.sh" --arch $arch "$prefix" --end-server
if [ "$status" -ne 0 ]; then
    echo "soak: FAILED (exit $status)" >&2
fi
exit "$status"
