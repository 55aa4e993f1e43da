#!/usr/bin/env bash
# Checks that the product's sources compile as a Visual Studio build would
# take them: clang in MSVC mode, against Wine's Windows and C runtime headers
# (libwine-dev), for x86 and x64, syntax only. Any warning in our own files
# fails it; the platform headers' own warnings do not count.
#
#   tools/msvc-check.sh
#
# Needs clang and libwine-dev. Exits non-zero on any warning or error.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
# clang, libFuzzer's runtime and Wine's headers, where missing (takes root).
bash "$root/tools/setup.sh" --native
cxx=${CLANGXX:-clang++}
wine_inc=/usr/include/wine/wine
if ! command -v "$cxx" >/dev/null 2>&1 || [ ! -d "$wine_inc/windows" ]; then
    echo "msvc-check: FAILED: needs clang and libwine-dev (apt-get install clang libwine-dev)" >&2
    exit 1
fi

# Every source of the product folders, taken afresh each run; the *_native.cpp
# files are the non-Windows seams that the Windows build leaves out.
cd "$root"
mapfile -t sources < <(find identity service pipe count open stop log client prepare -name '*.cpp' ! -name '*_native.cpp' | LC_ALL=C sort)
[ ${#sources[@]} -gt 0 ] || { echo "msvc-check: FAILED: no sources found" >&2; exit 1; }

# The client's version.h, made from its template as CMake would, without a build.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
version=$(sed -n 's/^project(Quorvel VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "msvc-check: FAILED: no version in CMakeLists.txt" >&2; exit 1; }
IFS=. read -r major minor patch <<<"$version"
sed -e "s/@PROJECT_VERSION@/$version/g" -e "s/@PROJECT_VERSION_MAJOR@/$major/g" \
    -e "s/@PROJECT_VERSION_MINOR@/$minor/g" -e "s/@PROJECT_VERSION_PATCH@/$patch/g" \
    cmake/version.h.in >"$tmp/version.h"
# The header of quorvel-prepare's message table, as the build makes it.
windmc=
for candidate in x86_64-w64-mingw32-windmc i686-w64-mingw32-windmc windmc; do
    command -v "$candidate" >/dev/null 2>&1 && { windmc=$candidate; break; }
done
[ -n "$windmc" ] ||
    { echo "msvc-check: FAILED: needs windmc (apt-get install binutils-mingw-w64-x86-64)" >&2; exit 1; }
cp prepare/messages.mc "$tmp/prepare_messages.mc"
(cd "$tmp" && "$windmc" -h . -r . prepare_messages.mc)

# Wine's restartmanager.h has the Restart Manager's types but none of its
# functions, which the Windows SDK's declares: they are declared here as the
# SDK does, after Wine's header.
mkdir -p "$tmp/wine-gaps"
cat >"$tmp/wine-gaps/restartmanager.h" <<'HEADER'
#include_next <restartmanager.h>
#ifdef __cplusplus
extern "C" {
#endif
DWORD WINAPI RmStartSession(DWORD *pSessionHandle, DWORD dwSessionFlags, WCHAR strSessionKey[]);
DWORD WINAPI RmEndSession(DWORD dwSessionHandle);
DWORD WINAPI RmRegisterResources(DWORD dwSessionHandle, UINT nFiles, LPCWSTR rgsFileNames[],
                                 UINT nApplications, RM_UNIQUE_PROCESS rgApplications[],
                                 UINT nServices, LPCWSTR rgsServiceNames[]);
DWORD WINAPI RmGetList(DWORD dwSessionHandle, UINT *pnProcInfoNeeded, UINT *pnProcInfo,
                       RM_PROCESS_INFO rgAffectedApps[], LPDWORD lpdwRebootReasons);
#ifdef __cplusplus
}
#endif
HEADER

# -nostdlibinc: no host or Visual Studio headers, only clang's own (for the
# SSE2 intrinsics) and Wine's, taken as system headers so their warnings do
# not count. WINE_UNICODE_NATIVE makes Wine's WCHAR wchar_t, as it is on
# Windows (otherwise char16_t). The defines are the Windows build's.
flags=(-fsyntax-only -fms-compatibility -fms-extensions -std=c++17 -nostdlibinc
       -isystem "$wine_inc/msvcrt" -isystem "$tmp/wine-gaps" -isystem "$wine_inc/windows"
       -I "$root" -I "$tmp"
       -DWINE_UNICODE_NATIVE -D_WIN32_WINNT=0x0600 -DWIN32_LEAN_AND_MEAN -DNOMINMAX
       -Wall -Wextra -pedantic -Wgnu -Wvla -Werror)
# Wine's winnt.h defines these interlocked functions inline where it thinks
# the compiler lacks them, but clang in MSVC mode has them as builtins and
# refuses a definition: rename Wine's away (only the product's calls matter).
x86=(--target=i686-pc-windows-msvc)
for name in And64 CompareExchangePointer Decrement64 ExchangeAdd64 ExchangePointer Increment64 Or64 Xor64; do
    x86+=("-D_Interlocked$name=wine_Interlocked$name")
done
x64=(--target=x86_64-pc-windows-msvc -D_InterlockedCompareExchange128=wine_InterlockedCompareExchange128)

failed=0
for src in "${sources[@]}"; do
    for arch in x86 x64; do
        if [ $arch = x86 ]; then target=("${x86[@]}"); else target=("${x64[@]}"); fi
        # Visual Studio's compiler takes AVX2 code in any file; clang wants
        # leave, which the build gives that one file.
        extra=()
        [[ $src == *_avx2.cpp ]] && extra=(-mavx2)
        if ! out=$("$cxx" "${target[@]}" "${flags[@]}" "${extra[@]}" "$src" 2>&1) || [ -n "$out" ]; then
            echo "msvc-check: $src ($arch) failed:"
            printf '%s\n' "$out" | sed 's/^/    /'
            failed=$((failed + 1))
        fi
    done
done
if [ $failed -gt 0 ]; then
    echo "msvc-check: FAILED: $failed of $((${#sources[@]} * 2)) compiles (${#sources[@]} sources, x86 and x64)"
    exit 1
fi
echo "msvc-check: ${#sources[@]} sources, x86 and x64: no warnings"
