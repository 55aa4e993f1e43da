#!/usr/bin/env bash
# Runs every test from nothing installed: sets up the toolchain, builds the
# service for 32-bit Windows once, runs its suite under Wine in a 32-bit
# prefix and again in a 64-bit one (WOW64, as our users' Windows runs it),
# then the native sanitizer and fuzz checks. Where the kernel runs no 32-bit
# code, the suite runs on a 64-bit build of the same sources instead. Every
# stage runs whatever failed before it; a summary of what ran, where, and what
# did not ends the run. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# Set, it would move the 32-bit prefix's suite under WOW64 (tools/wine-run.sh).
unset QUORVEL_WOW64

bash tools/setup.sh
runs32=$(bash tools/runs-32bit.sh)

cleanup() {
    # Leave no Wine server behind, whatever happened.
    local prefix
    for prefix in build/mingw/wineprefix* build/mingw-x64/wineprefix*; do
        case $prefix in *.faults) continue ;; esac
        if [ -d "$prefix.faults" ]; then
            bash tests/faultfs/faults.sh down any "$prefix" || true
        fi
        if [ -d "$prefix" ]; then
            WINEPREFIX="$root/$prefix" wineserver -k >/dev/null 2>&1 || true
        fi
    done
}
logs=$(mktemp -d)
trap 'cleanup; rm -rf "$logs"' EXIT

summary=()
failed=0
# stage WHAT COMMAND...: runs one stage and adds its result to the summary,
# with CTest's count when it printed one. Its output stays in $logs/last.log.
stage() {
    local what=$1 log=$logs/last.log count status=0 start=$SECONDS
    shift
    echo "== $what"
    "$@" 2>&1 | tee "$log" || status=$?
    count=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1) || true
    if [ $status -eq 0 ]; then
        summary+=("$what: ok${count:+, $count} ($((SECONDS - start)) s)")
    else
        summary+=("$what: FAILED${count:+, $count} ($((SECONDS - start)) s)")
        failed=1
    fi
    return $status
}
build() { cmake --preset "$1" && cmake --build --preset "$1"; }
# The real-fault cases skip where the fault file system could not be mounted
# beneath the prefix (tests/faultfs/faults.sh): the summary says so, and why.
faults_skipped() {
    local reason=$1/drive_c/quorvel-faults-skipped.txt
    if [ -f "$reason" ]; then
        summary+=("    its real-fault cases: SKIPPED, $(cat "$reason")")
    fi
}
cached() { sed -n "s/^$2:[A-Z]*=//p" "build/$1/CMakeCache.txt"; }
# The linker's and resource compiler's marks need no Wine to check.
check_headers() {
    bash tools/check-pe.sh "$(cached "$1" CMAKE_OBJDUMP)" "$(cached "$1" CMAKE_PROJECT_VERSION)" \
        "build/$1/bin/quorvel-service.exe" "build/$1/bin/quorvel-client.exe" \
        "build/$1/bin/quorvel-prepare.exe"
}

if [ "$runs32" = yes ]; then
    if stage "32-bit build (build/mingw)" build mingw; then
        stage "  its suite in a 32-bit prefix (build/mingw/wineprefix)" ctest --preset mingw || true
        faults_skipped build/mingw/wineprefix
        stage "  its suite in a 64-bit prefix, under WOW64 (build/mingw/wineprefix-wow64)" \
            ctest --preset mingw-wow64 || true
        faults_skipped build/mingw/wineprefix-wow64
    else
        summary+=("  its suite: not run, the build failed")
    fi
    not_run="nothing"
else
    echo "== This kernel runs no 32-bit code (ia32 emulation is off): the 32-bit"
    echo "   build is built, and the suite runs on the 64-bit build in a 64-bit prefix."
    if stage "32-bit build (build/mingw)" build mingw; then
        stage "  its programs' headers (tools/check-pe.sh)" check_headers mingw || true
    fi
    if stage "64-bit build (build/mingw-x64)" build mingw-x64; then
        stage "  its suite in a 64-bit prefix (build/mingw-x64/wineprefix)" ctest --preset mingw-x64 || true
        faults_skipped build/mingw-x64/wineprefix
    else
        summary+=("  its suite: not run, the build failed")
    fi
    not_run="the 32-bit programs, the product. This kernel runs no 32-bit code: they
were built and their headers checked, but none of them ran, and WOW64 (the
32-bit programs in a 64-bit prefix, as on 64-bit Windows) was not tested"
fi
stage "native checks (tools/native-check.sh)" bash tools/native-check.sh || true
# One of the native checks; its last line says how it went.
msvc=$(grep '^msvc-check: ' "$logs/last.log" | tail -n 1) || true
summary+=("  the product's sources in MSVC mode: ${msvc:-not reached}")

echo
echo "== Summary"
printf '%s\n' "${summary[@]}"
echo "Built but not run: $not_run."
if [ $failed -ne 0 ]; then
    echo "test: FAILED"
    exit 1
fi
echo "test: passed"
