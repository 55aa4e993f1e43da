#!/usr/bin/env bash
# Runs a Windows program under Wine in one of the project's own prefixes,
# creating the prefix on first use.
#   wine-run.sh [--arch win32|win64] PREFIX PROGRAM [ARGS...]
#   wine-run.sh [--arch win32|win64] PREFIX --hold-server | --end-server
# A win64 prefix runs our 32-bit programs under WOW64, as 64-bit Windows does.
# QUORVEL_WOW64=1 (the mingw-wow64 test preset sets it) runs a win32 build's
# programs that way, in the win64 prefix PREFIX-wow64 beside PREFIX.
# CTest uses it as the emulator for every test; it is also the way to run any
# built program by hand. The program sees QUORVEL_SYSTEM32: the prefix's own
# System32 as Linux sees it, never redirected under WOW64.
#
# Every call first makes sure the prefix has a server that outlives its last
# process by $linger seconds, its session started with output on /dev/null:
# - a test run needs one server from its first case to its last: left to itself the server exits a moment after its last process, a
#   program starting at that moment dies before its first line, and Wine ends
#   the services when the last ordinary process exits;
# - the session's processes keep the standard handles of the session's first
#   program, and CTest would wait on a pipe they hold;
# - a run killed at any point (a time-out, Ctrl-C) leaves a server that ends
#   by itself. --end-server ends it at once.
set -euo pipefail
linger=120

arch=win32
if [ "${1-}" = --arch ]; then
    arch=$2
    shift 2
fi
prefix=$(realpath -m "$1")
shift
if [ "${QUORVEL_WOW64-}" = 1 ] && [ "$arch" = win32 ]; then
    arch=win64 prefix=$prefix-wow64
fi

export WINEPREFIX=$prefix
export WINEARCH=$arch
export WINEDEBUG=-all
# No prompts to install Wine's .NET or HTML engines: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
export QUORVEL_SYSTEM32=$prefix/drive_c/windows/system32

# Debian's "wine" starts the 32-bit loader whenever it is installed, even
# where the kernel cannot run 32-bit code. A 64-bit prefix starts from the
# 64-bit loader, which hands a 32-bit program on to the 32-bit one itself.
wine=wine
if [ "$arch" = win64 ] && [ -x /usr/lib/wine/wine64 ]; then
    wine=/usr/lib/wine/wine64
    export WINELOADER=$wine
fi

if [ "${1-}" = --end-server ]; then
    [ -d "$WINEPREFIX" ] && { wineserver -k >/dev/null 2>&1 || true; }
    exit 0
fi

# Tests start in parallel: one of them creates the prefix and starts its
# server and session, the rest wait for it.
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
status=0
errors=$WINEPREFIX.errors
# fail WHAT: says what could not be done, with Wine's own errors, and ends.
fail() {
    echo "wine-run: cannot $1 (exit $status)" >&2
    cat "$errors" >&2
    exit 1
}
if [ ! -f "$WINEPREFIX/.quorvel-ready" ]; then
    rm -rf "$WINEPREFIX"
    "$wine" wineboot.exe -i </dev/null >/dev/null 2>"$errors" 9>&- || status=$?
    [ $status -eq 0 ] || fail "create the prefix $WINEPREFIX"
    # Right after creation the session is shutting down and the service
    # manager refuses to start services: begin with a fresh server. The
    # registry reaches the disk only when the server exits of itself; one
    # killed (-k kills outright when its shutdown takes longer than 10 s, as
    # on a busy machine) leaves a prefix with no registry at all. So wait for
    # that exit, and take the prefix as made only once its registry is there.
    timeout $linger wineserver -w </dev/null >/dev/null 2>&1 9>&- || status=$?
    [ $status -eq 0 ] || { wineserver -k >/dev/null 2>&1 || true; fail "see the prefix's first session end"; }
    [ -s "$WINEPREFIX/system.reg" ] || fail "find the registry of the new prefix $WINEPREFIX"
    touch "$WINEPREFIX/.quorvel-ready"
fi
# Exits 2, starting nothing, while a server runs for the prefix.
wineserver -p$linger </dev/null >/dev/null 2>"$errors" 9>&- || status=$?
if [ $status -eq 0 ]; then
    "$wine" wineboot.exe </dev/null >/dev/null 2>>"$errors" 9>&- || status=$?
elif [ $status -eq 2 ]; then
    status=0
fi
[ $status -eq 0 ] || fail "start a Wine server and session for $WINEPREFIX"
flock -u 9
exec 9>&-

case "${1-}" in
"" | --hold-server) exit 0 ;;
esac
exec "$wine" "$@"
