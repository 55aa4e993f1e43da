#!/usr/bin/env bash
# Installs, upgrades and removes the installer package under Wine's msiexec in
# a prefix of its own, checking each step. CTest runs it (test "installer"):
#   test-installer.sh WINE_RUN ARCH PREFIX OLD.msi OLD_VERSION NEW.msi NEW_VERSION x86|x64
# ARCH and PREFIX are the build's, as for wine-run.sh, which picks the prefix.
# The package's architecture says which registry view its programs use, as on
# 64-bit Windows: a 32-bit package records itself in the 32-bit view, also in
# a 64-bit prefix, and installs into the Program Files that view names.
# Wine cannot show: the log's access list (Wine enforces none, and every
# program runs as one user), nor a restart after a crash (Wine's service
# manager neither stores recovery actions nor acts on them). Its sc.exe has
# no "qc" and prints nothing for a missing service: the registration is read
# from the registry instead.
set -euo pipefail
wine_run=$1 arch=$2 prefix=$3 old_msi=$4 old_version=$5 new_msi=$6 new_version=$7 package=$8
case $package in
x86) view=/reg:32 ;;
x64) view=/reg:64 ;;
*) echo "test-installer: package architecture x86 or x64, not $package" >&2; exit 2 ;;
esac
service="Quorvel service"
key='HKLM\System\CurrentControlSet\Services\Quorvel service'
failures=0 checks=0

run() { "$wine_run" --arch "$arch" "$prefix" "$@"; }
uninstall_entries() { run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s $view | tr -d '\r'; }
check() { # check WHAT COMMAND...: counts and reports one check
    local what=$1
    shift
    checks=$((checks + 1))
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}
state_is() { # waits up to 10 s for the service's state
    for _ in $(seq 50); do
        run sc.exe query "$service" 2>/dev/null | grep -q "STATE.*$1" && return 0
        sleep 0.2
    done
    return 1
}
registered() { run reg query "$key" 2>/dev/null | tr -d '\r' | grep -q "$1"; }
ask() { # the client's answer for C:\quorvel-test\words.txt (3 spaces)
    [ "$(run "$progfiles\\Quorvel\\quorvel-client.exe" 'C:\quorvel-test\words.txt' | tr -d '\r')" = \
      '(Server): file:C:\quorvel-test\words.txt, spaces = 3' ]
}
log_has() { grep -c -F "$1" "$drive/log_QX.log" | grep -qx "$2"; }
msiexec() { run msiexec.exe "$@" /qn; }

trap 'run --end-server' EXIT
run --hold-server
progfiles=$(run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion' /v ProgramFilesDir $view 2>/dev/null |
    tr -d '\r' | sed -n 's/^ *ProgramFilesDir *REG_SZ *//p') || true
if [ -z "$progfiles" ]; then
    echo "test-installer: no ProgramFilesDir in the registry view $view of the prefix" >&2
    exit 1
fi
# The prefix wine-run.sh chose, as Linux sees it.
drive=$(run winepath.exe -u 'C:\' | tr -d '\r'); drive=${drive%/}
dir=$(run winepath.exe -u "$progfiles\\Quorvel" | tr -d '\r')
# A run interrupted before its removal leaves the product installed.
msiexec /x 'C:\quorvel-test\new.msi' >/dev/null 2>&1 || true
msiexec /x 'C:\quorvel-test\old.msi' >/dev/null 2>&1 || true
mkdir -p "$drive/quorvel-test"
cp "$old_msi" "$drive/quorvel-test/old.msi"
cp "$new_msi" "$drive/quorvel-test/new.msi"
printf 'a b c d' >"$drive/quorvel-test/words.txt"
# A log from before: every line of it must outlive install, upgrade and removal.
printf 'line from before the package\r\n' >"$drive/log_QX.log"

echo "== install $old_version"
check "msiexec /i exits 0" msiexec /i 'C:\quorvel-test\old.msi'
check "both programs in $progfiles\\Quorvel" test -f "$dir/quorvel-service.exe" -a -f "$dir/quorvel-client.exe"
check "registered: own process" registered 'Type    REG_DWORD    0x10'
check "registered: automatic start" registered 'Start    REG_DWORD    0x2'
check "registered: NT AUTHORITY\\LocalService" registered 'ObjectName    REG_SZ    NT AUTHORITY\\LocalService'
check "registered: description" registered 'Description    REG_SZ    Counts the spaces'
check "registered: program path" registered "ImagePath    REG_SZ    .*Quorvel\\\\quorvel-service.exe"
check "running" state_is RUNNING
check "answers" ask
check "log kept its earlier line" log_has 'line from before the package' 1

echo "== upgrade to $new_version"
check "msiexec /i exits 0" msiexec /i 'C:\quorvel-test\new.msi'
check "one product, version $new_version" test "$(uninstall_entries | grep -c "DisplayVersion    REG_SZ    $new_version$")" = 1 -a \
    "$(uninstall_entries | grep -c 'DisplayName    REG_SZ    Quorvel service')" = 1
check "running" state_is RUNNING
check "answers" ask
check "old version stopped cleanly" log_has 'Quorvel Service stopped!' 1
check "log kept every earlier line" log_has 'line from before the package' 1
check "log holds both requests" log_has 'Received: C:\quorvel-test\words.txt' 2

echo "== remove"
check "msiexec /x exits 0" msiexec /x 'C:\quorvel-test\new.msi'
check "sc query fails: no such service" eval '! run sc.exe query "$service" >/dev/null 2>&1'
check "registration gone" eval '! run reg query "$key" >/dev/null 2>&1'
check "$progfiles\\Quorvel gone" test ! -e "$dir"
check "stopped before removal" log_has 'Quorvel Service stopped!' 2
check "log still there, every line kept" log_has 'line from before the package' 1
echo "installer: $checks checks, $failures failed"
[ "$failures" -eq 0 ]
