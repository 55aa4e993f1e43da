#!/usr/bin/env bash
# Runs a Windows program under Wine in one of the project's own prefixes,
# creating the prefix on first use.
#   wine-run.sh [--arch win32|win64] PREFIX PROGRAM [ARGS...]
#   wine-run.sh [--arch win32|win64] PREFIX --hold-server | --end-server
# A win64 prefix runs our 32-bit programs under WOW64, as 64-bit Windows does.
# CTest uses it as the emulator for every test; it is also the way to run any
# built program by hand. A test run holds one Wine server for its whole length:
# left to itself the server exits a moment after its last process, and a
# program starting at that moment dies before its first line.
set -euo pipefail

arch=win32
if [ "${1-}" = --arch ]; then
    arch=$2
    shift 2
fi
prefix=$(realpath -m "$1")
shift

export WINEPREFIX=$prefix
export WINEARCH=$arch
export WINEDEBUG=-all
# No prompts to install Wine's .NET or HTML engines: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Debian's "wine" starts the 32-bit loader whenever it is installed, even
# where the kernel cannot run 32-bit code. A 64-bit prefix starts from the
# 64-bit loader, which hands a 32-bit program on to the 32-bit one itself.
wine=wine
if [ "$arch" = win64 ] && [ -x /usr/lib/wine/wine64 ]; then
    wine=/usr/lib/wine/wine64
    export WINELOADER=$wine
fi

ensure_prefix() {
    [ -f "$WINEPREFIX/.quorvel-ready" ] && return 0
    mkdir -p "$(dirname "$WINEPREFIX")"
    # Tests start in parallel: one of them creates the prefix, the rest wait.
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.quorvel-ready" ]; then
        rm -rf "$WINEPREFIX"
        "$wine" wineboot.exe -i >/dev/null 2>&1
        # Right after creation the session is shutting down and the service
        # manager refuses to start services: begin with a fresh server.
        wineserver -k >/dev/null 2>&1 || true
        touch "$WINEPREFIX/.quorvel-ready"
    fi
    flock -u 9
    exec 9>&-
}

# The socket of this prefix's server, if one was started: it lies in a folder
# named after the prefix's device and inode.
server_socket() {
    local dev ino socket
    read -r dev ino < <(stat -c '%d %i' "$WINEPREFIX") || return 1
    for socket in /tmp/.wine-"$(id -u)"/server-"$(printf '%x-%x' "$dev" "$ino")"/socket \
                  /tmp/wine-*/server-"$(printf '%x-%x' "$dev" "$ino")"/socket; do
        [ -S "$socket" ] && { echo "$socket"; return 0; }
    done
    return 1
}

# Which server we hold: its socket's inode and time. A server that other Wine
# programs started on their own is not persistent, and one killed outright
# leaves its socket behind; neither matches.
held_mark="$WINEPREFIX/.quorvel-held"
socket_mark() {
    local socket
    socket=$(server_socket) || return 1
    stat -c '%i %y' "$socket"
}

# Holds a persistent server for the prefix, with its session started. A server
# this script already holds is kept: killing it only opens a moment in which
# another program may start a server of its own. The server and the session's
# system processes outlive this call: they must not hold the caller's pipes,
# or CTest waits on them to the end. Bounded; says why when it gives up.
hold_server() {
    local attempt errors
    errors=$(mktemp)
    for attempt in 1 2 3 4 5 6 7 8; do
        # Exits 2, starting nothing, while any server runs for the prefix.
        if wineserver -p >/dev/null 2>>"$errors" </dev/null; then
            if "$wine" wineboot.exe >/dev/null 2>>"$errors" </dev/null; then
                # Without a mark the next hold replaces this server: slower,
                # no less sound.
                socket_mark >"$held_mark" 2>/dev/null || rm -f "$held_mark"
                rm -f "$errors"
                return 0
            fi
        elif [ -f "$held_mark" ] && [ "$(socket_mark 2>/dev/null)" = "$(cat "$held_mark")" ]; then
            rm -f "$errors"
            return 0
        fi
        echo "wine-run: attempt $attempt to hold the server failed" >>"$errors"
        wineserver -k >/dev/null 2>>"$errors" || true
        rm -f "$held_mark"
        sleep "0.$attempt"
    done
    echo "wine-run: cannot hold a Wine server for $WINEPREFIX" >&2
    cat "$errors" >&2
    pgrep -a wineserver >&2 || true
    rm -f "$errors"
    return 1
}

case "${1-}" in
--end-server)
    [ -d "$WINEPREFIX" ] && { wineserver -k >/dev/null 2>&1 || true; }
    rm -f "$held_mark"
    exit 0 ;;
esac

ensure_prefix
case "${1-}" in
"") exit 0 ;;
--hold-server)
    hold_server
    exit ;;
esac
# CTest lists each test program before the run: started alone, each listing
# would start a session that holds CTest's output pipe for seconds after the
# program ends. A held server makes it a moment; the run ends that server.
# A listing works without it, only slower.
if [ "${2-}" = --gtest_list_tests ] && ! server_socket >/dev/null; then
    exec 9>"$WINEPREFIX.lock"
    flock 9
    server_socket >/dev/null || hold_server || true
    flock -u 9
    exec 9>&-
fi
exec "$wine" "$@"
