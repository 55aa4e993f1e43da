#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, as root. Safe to rerun:
# it only touches apt when something is missing.
#   setup.sh            the Windows builds and their tests under Wine
#   setup.sh --x64      the same, and the 64-bit build wherever the kernel runs
#   setup.sh --native   the native checks: gcc, clang, libFuzzer's runtime and
#                       the Windows headers for the compile in MSVC mode
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

install() {
    [ $# -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: missing packages ($*); run this script as root" >&2
        exit 1
    fi
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    export DEBIAN_FRONTEND=noninteractive
    # A mirror caught mid-sync fails one index (exit 100) while the rest are
    # fine: what is wanted may well be in those.
    local updated=yes
    apt-get update -q || {
        echo "setup: warning: apt-get update failed (exit $?) for some index; installing from the others" >&2
        updated=no
    }
    local apt=(apt-get install -y -q --no-install-recommends)
    # An i386 library must have the very version of its amd64 twin. Where one
    # architecture's index of a suite is missing, only the release's own
    # suite offers both alike: prefer it.
    if ! "${apt[@]}" "$@" && { [ $updated = yes ] ||
        ! "${apt[@]}" -t "$(. /etc/os-release && echo "$VERSION_CODENAME")" "$@"; }; then
        local pkg missing=()
        for pkg in "$@"; do
            have_pkg "$pkg" || missing+=("$pkg")
        done
        echo "setup: could not install: ${missing[*]:-$*}" >&2
        exit 1
    fi
}

have_cmd cmake || need+=(cmake)
have_cmd make || need+=(make)
have_cmd g++ || need+=(g++)
have_pkg googletest || need+=(googletest)

if [ "${1-}" = --native ]; then
    have_cmd clang++ || need+=(clang)
    # libFuzzer and the sanitizer runtimes for clang.
    have_pkg libclang-rt-14-dev || need+=(libclang-rt-14-dev)
    # Wine's Windows and C runtime headers, for the compile in MSVC mode.
    have_pkg libwine-dev || need+=(libwine-dev)
    # windmc, for the header of quorvel-prepare's message table.
    have_cmd x86_64-w64-mingw32-windmc || need+=(binutils-mingw-w64-x86-64)
    install "${need[@]}"
    exit 0
fi

have_cmd i686-w64-mingw32-g++ || need+=(g++-mingw-w64-i686)
have_cmd wine || need+=(wine)
have_pkg wine32:i386 || need+=(wine32:i386)
# A 64-bit prefix, where our 32-bit programs run under WOW64 as on 64-bit Windows.
have_pkg wine64 || need+=(wine64)
# The installer package (quorvel-msi target) and its test.
have_cmd wixl || need+=(wixl)
# The installer test reads the package's tables and takes its programs out of it.
have_cmd msiinfo || need+=(msitools)
# The fault file system the suite mounts beneath Wine (tests/faultfs).
have_pkg libfuse3-dev || need+=(libfuse3-dev)
have_cmd fusermount3 || need+=(fuse3)
have_cmd pkg-config || need+=(pkg-config)
install "${need[@]}"

# Some kernels run no 32-bit code at all (ia32 emulation off), and so no 32-bit
# Wine: there the tests run on a 64-bit build of the same sources.
runs32=$(bash "$(dirname "$0")/runs-32bit.sh")
if [ "$runs32" = no ] || [ "${1-}" = --x64 ]; then
    have_cmd x86_64-w64-mingw32-g++-posix || install g++-mingw-w64-x86-64-posix
fi
