#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own 32-bit prefix,
# creating the prefix on first use.
#   wine-run.sh PREFIX PROGRAM [ARGS...]
#   wine-run.sh PREFIX --hold-server | --end-server
# CTest uses it as the emulator for every test; it is also the way to run any
# built program by hand. A test run holds one Wine server for its whole length:
# left to itself the server exits a moment after its last process, and a
# program starting at that moment dies before its first line.
set -euo pipefail

prefix=$(realpath -m "$1")
shift

export WINEPREFIX=$prefix
export WINEARCH=win32
export WINEDEBUG=-all
# No prompts to install Wine's .NET or HTML engines: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="

ensure_prefix() {
    [ -f "$WINEPREFIX/.quorvel-ready" ] && return 0
    mkdir -p "$(dirname "$WINEPREFIX")"
    # Tests start in parallel: one of them creates the prefix, the rest wait.
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.quorvel-ready" ]; then
        rm -rf "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1
        # Right after creation the session is shutting down and the service
        # manager refuses to start services: begin with a fresh server.
        wineserver -k >/dev/null 2>&1 || true
        touch "$WINEPREFIX/.quorvel-ready"
    fi
    flock -u 9
    exec 9>&-
}

case "${1-}" in
--end-server)
    [ -d "$WINEPREFIX" ] && { wineserver -k >/dev/null 2>&1 || true; }
    exit 0 ;;
esac

ensure_prefix
case "${1-}" in
"") exit 0 ;;
--hold-server)
    # A server left over from an interrupted run is not persistent: replace it.
    wineserver -k >/dev/null 2>&1 || true
    # The server and the session's system processes outlive this call: they
    # must not hold the caller's pipes, or CTest waits on them to the end.
    wineserver -p >/dev/null 2>&1 </dev/null
    wineboot >/dev/null 2>&1 </dev/null
    exit 0 ;;
esac
exec wine "$@"
