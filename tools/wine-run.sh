#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own 32-bit prefix,
# creating the prefix on first use.
#   wine-run.sh PREFIX PROGRAM [ARGS...]
# CTest uses it as the emulator for every test; it is also the way to run any
# built program by hand.
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

ensure_prefix
if [ $# -eq 0 ]; then
    exit 0
fi
exec wine "$@"
