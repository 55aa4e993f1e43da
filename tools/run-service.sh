#!/usr/bin/env bash
# Builds the service, registers it with Wine's service manager in a prefix of
# its own under build/, starts it, answers a demonstration request with the
# client and follows the log until Ctrl-C; then stops the service.
set -euo pipefail
source "$(dirname "$0")/build-for-wine.sh" quorvel-service quorvel-client quorvel-prepare

prefix="$root/build/$preset/run-prefix"
name="Quorvel service"
wine() { "$root/tools/wine-run.sh" --arch "$arch" "$prefix" "$@"; }
# Wine ends a service when its last ordinary process exits, and the held
# server lingers only a while after that: one ordinary process lives as long
# as this script does (tail --pid ends its input when the script ends).
wine --hold-server
tail -f /dev/null --pid=$$ | wine cmd.exe /c "set /p x=" >/dev/null 2>&1 &
sc() { wine sc "$@" 2>/dev/null | tr -d '\r'; }
state() { sc query "$name" | awk '/STATE/ {print $4}'; }
wait_state() {
    for _ in $(seq 1 100); do
        [ "$(state)" = "$1" ] && return 0
        sleep 0.1
    done
    echo "the service did not reach $1" >&2
    return 1
}

stop_service() {
    trap - INT TERM EXIT
    [ -n "${tail_pid:-}" ] && kill "$tail_pid" 2>/dev/null || true
    echo
    echo "== Stopping the service"
    sc stop "$name" >/dev/null || true
    wait_state STOPPED || true
    sc query "$name"
    echo "== The log ends with:"
    tail -n 5 "$log" | tr -d '\r'
    wine --end-server
}

# A second run replaces the first registration.
if sc query "$name" | grep -q STATE; then
    sc stop "$name" >/dev/null || true
    wait_state STOPPED || true
    sc delete "$name" >/dev/null
fi
exe_win=$(wine winepath.exe -w "$bin/quorvel-service.exe" 2>/dev/null)
sc create "$name" binpath= "\"$exe_win\"" type= own start= demand
log="$prefix/drive_c/log_QX.log"
trap stop_service INT TERM EXIT
echo "== Preparing the service and its log, as an install does"
wine "$bin/quorvel-prepare.exe" | tr -d '\r'

echo "== Starting the service"
sc start "$name" >/dev/null
wait_state RUNNING
sc query "$name"

demo="$prefix/drive_c/quorvel-demo.txt"
printf 'The quick brown fox jumps over the lazy dog\r\n' > "$demo"
echo "== Asking for C:\\quorvel-demo.txt (8 spaces) and a missing file"
wine "$bin/quorvel-client.exe" 'C:\quorvel-demo.txt' 'C:\no-such-file.txt'

echo "== Ask more with: tools/wine-run.sh --arch $arch $prefix $bin/quorvel-client.exe PATH..."
echo "== Following $log; Ctrl-C stops the service"
tail -n +1 -f --pid=$$ "$log" &
tail_pid=$!
wait "$tail_pid" || true
