#!/usr/bin/env bash
# Installs the last release's package, upgrades it to this build's and removes
# that under Wine's msiexec in a prefix of its own, checking each step; then
# the scripts. CTest runs it (test "installer"):
#   test-installer.sh WINE_RUN ARCH PREFIX RELEASE.msi RELEASE_VERSION NEW.msi NEW_VERSION x86|x64
# ARCH and PREFIX are the build's, as for wine-run.sh, which picks the prefix.
# The package's architecture says which registry view its programs use, as on
# 64-bit Windows: a 32-bit package records itself in the 32-bit view, also in
# a 64-bit prefix, and installs into the Program Files that view names.
# Wine cannot show: the log's owner and access list (Wine keeps no file's
# descriptor and enforces none, and every program runs as one user, though
# it reads a file's mode as its list), the event log (Wine keeps none), the
# service's own SID (its service manager has no SID types), a link or
# junction in the log's place (Wine opens through it), nor recovery (Wine's
# service manager answers the failure actions' call and keeps nothing, and
# has no flag for them: error 124). Its sc.exe has
# no "qc" and prints nothing for a missing service: the registration is read
# from the registry instead.
set -euo pipefail
# A step that fails outside a check ends the run: say which, since Wine's own
# messages are off.
trap 'rc=$?; echo "test-installer: stopped at line $LINENO, exit $rc: $BASH_COMMAND" >&2' ERR
wine_run=$1 arch=$2 prefix=$3 old_msi=$4 old_version=$5 new_msi=$6 new_version=$7 package=$8
case $package in
x86) view=/reg:32 ;;
x64) view=/reg:64 ;;
*) echo "test-installer: package architecture x86 or x64, not $package" >&2; exit 2 ;;
esac
if [ ! -f "$old_msi" ]; then
    echo "test-installer: no package of release $old_version ($old_msi): it is built from the release's commit, which this clone may lack" >&2
    exit 1
fi
service="Quorvel service"
key='HKLM\System\CurrentControlSet\Services\Quorvel service'
source='HKLM\System\CurrentControlSet\Services\EventLog\Application\Quorvel service'
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
registered() { # the key read whole, then matched: a failure shows what reg printed, and how it ended
    local out rc=0
    out=$(run reg query "$key" 2>&1) || rc=$?
    out=${out//$'\r'/}
    grep -q "$1" <<<"$out" || { echo "reg query exited $rc:"; sed 's/^/  /' <<<"$out"; return 1; }
}
gone() { ! run reg query "$key" >/dev/null 2>&1; }
# The event source quorvel-prepare.exe reports under, its message in that program.
source_is() { run reg query "$source" 2>/dev/null | tr -d '\r' | grep -q "EventMessageFile    REG_\(EXPAND_\)\{0,1\}SZ    $1"; }
no_source() { ! run reg query "$source" >/dev/null 2>&1; }
ask() { # the answer of the client $1, else the installed one, for C:\quorvel-test\words.txt (3 spaces)
    [ "$(run "${1:-$progfiles\\Quorvel\\quorvel-client.exe}" 'C:\quorvel-test\words.txt' | tr -d '\r')" = \
      '(Server): file:C:\quorvel-test\words.txt, spaces = 3' ]
}
log_has() { grep -c -F "$1" "$drive/log_QX.log" | grep -qx "$2"; }
msiexec() { run msiexec.exe "$@" /qn; }

# A prefix made afresh for each run: one that died midway can leave the
# installer's records of a product half removed (a component still counted
# for a product no longer listed), which no msiexec call undoes, and every
# later run would fail on them. wine-run.sh may take the one beside it.
for p in "$prefix" "$prefix-wow64"; do
    if [ -d "$p" ]; then
        WINEPREFIX=$p wineserver -k >/dev/null 2>&1 || true
        # The case below makes a log immutable; a run killed there leaves it so.
        chattr -i "$p/drive_c/log_QX.log" 2>/dev/null || true
        rm -rf "$p"
    fi
done
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
mkdir -p "$drive/quorvel-test"
cp "$old_msi" "$drive/quorvel-test/old.msi"
cp "$new_msi" "$drive/quorvel-test/new.msi"
printf 'a b c d' >"$drive/quorvel-test/words.txt"
# A log from before, that nobody but us can hold (Wine reads the file's mode
# as its list: SYSTEM and the user it runs as): every line of it must outlive
# install, upgrade and removal.
printf 'line from before the package\r\n' >"$drive/log_QX.log"
chmod 600 "$drive/log_QX.log"

echo "== install release $old_version"
check "msiexec /i exits 0" msiexec /i 'C:\quorvel-test\old.msi'
check "the programs in $progfiles\\Quorvel" test -f "$dir/quorvel-service.exe" -a -f "$dir/quorvel-client.exe"
check "running" state_is RUNNING
check "answers" ask
check "log kept its earlier line" log_has 'line from before the package' 1
# Wine turns the list the log was given into a mode that lets everyone read
# (0775), so the next run would set it aside; Windows keeps the list itself,
# which lets no one else in. The mode that stands for it under Wine:
chmod 600 "$drive/log_QX.log"
cp "$drive/log_QX.log" "$drive/quorvel-test/log.release"

echo "== upgrade to $new_version"
check "msiexec /i exits 0" msiexec /i 'C:\quorvel-test\new.msi'
check "one product, version $new_version" test "$(uninstall_entries | grep -c "DisplayVersion    REG_SZ    $new_version$")" = 1 -a \
    "$(uninstall_entries | grep -c 'DisplayName    REG_SZ    Quorvel service')" = 1
check "the programs in $progfiles\\Quorvel, quorvel-prepare.exe too" test -f "$dir/quorvel-service.exe" -a -f "$dir/quorvel-client.exe" -a -f "$dir/quorvel-prepare.exe"
check "registered once" test "$(run reg query 'HKLM\System\CurrentControlSet\Services' | tr -d '\r' | grep -c 'Quorvel')" = 1
check "registered: own process" registered 'Type    REG_DWORD    0x10'
check "registered: automatic start" registered 'Start    REG_DWORD    0x2'
# Normal: a failed start at boot is only logged; "critical" would restart Windows.
check "registered: normal error control" registered 'ErrorControl    REG_DWORD    0x1'
check "registered: NT AUTHORITY\\LocalService" registered 'ObjectName    REG_SZ    NT AUTHORITY\\LocalService'
check "registered: description" registered 'Description    REG_SZ    Counts the spaces'
check "registered: program path" registered "ImagePath    REG_SZ    .*Quorvel\\\\quorvel-service.exe"
check "event source: quorvel-prepare.exe" source_is ".*Quorvel\\\\quorvel-prepare.exe"
# What Wine's service manager keeps of the recovery quorvel-prepare gave it
# (Windows keeps FailureActions and FailureActionsOnNonCrashFailures here).
kept=$(run reg query "$key" | tr -d '\r' | grep -o 'FailureActions[A-Za-z]*' | xargs) || true
echo "kept of recovery: ${kept:-nothing}"
check "running" state_is RUNNING
check "answers" ask
check "old version stopped cleanly" log_has 'Quorvel Service stopped!' 1
check "log kept every earlier line, in order" cmp -s -n "$(stat -c %s "$drive/quorvel-test/log.release")" \
    "$drive/quorvel-test/log.release" "$drive/log_QX.log"
check "log holds both requests" log_has 'Received: C:\quorvel-test\words.txt' 2

echo "== remove"
check "msiexec /x exits 0" msiexec /x 'C:\quorvel-test\new.msi'
check "sc query fails: no such service" eval '! run sc.exe query "$service" >/dev/null 2>&1'
check "registration gone" gone
check "event source gone" no_source
check "$progfiles\\Quorvel gone" eval 'test ! -e "$dir" || { ls -la "$dir"; false; }' 
check "stopped before removal" log_has 'Quorvel Service stopped!' 2
check "log still there, every line kept" log_has 'line from before the package' 1
echo "== the scripts under cmd, from Program Files (x86)\\Quorvel & Co"
# "(x86)" and "&" in the folder's name once ended the install script's blocks
# and commands early. The programs are the package's, quorvel-prepare.exe
# among them, which the scripts run from beside them.
sdir="$drive/Program Files (x86)/Quorvel & Co" out="$drive/quorvel-test/script.out"
rm -rf "$sdir" "$drive/quorvel-test/msi"
mkdir -p "$sdir"
msiextract -C "$drive/quorvel-test/msi" "$new_msi" >/dev/null
find "$drive/quorvel-test/msi" -name 'quorvel-*.exe' -exec cp {} "$sdir/" \;
cp "$(dirname "$0")"/../package/{install,remove,prepare,start,stop}-service.cmd "$sdir/"
script() { # runs a script from $sdir; its output is in $out, and shown on failure
    (cd "$sdir" && run cmd.exe /c "$@") >"$out" 2>&1 || { tr -d '\r' <"$out"; return 1; }
}
here='C:\Program Files (x86)\Quorvel & Co\quorvel-client.exe'
# The first install makes the log anew, in one step with its list: C:\ then
# holds nothing new but the log, one file of one name.
new_in_c() { ls -A "$drive" | LC_ALL=C sort | comm -13 <(echo "$before") - | xargs; }
mv "$drive/log_QX.log" "$drive/quorvel-test/log.msiexec"
before=$(ls -A "$drive" | LC_ALL=C sort)
for round in 1 2; do  # the second install follows the removal at once
    check "install-service.cmd exits 0 ($round)" script install-service.cmd quorvel-service.exe
    if [ "$round" = 1 ]; then
        check "log made anew: nothing else new in C:\\" test "$(new_in_c)" = log_QX.log
        check "by quorvel-prepare, which says so" grep -q '^quorvel-prepare: made C:\\log_QX.log' "$out"
        check "log: a plain file of one name" eval 'test -f "$drive/log_QX.log" -a ! -L "$drive/log_QX.log" -a "$(stat -c %h "$drive/log_QX.log")" = 1'
        # Under Wine the manager refuses the flag (124), which the program says.
        check "recovery set by quorvel-prepare" grep -q '^quorvel-prepare: .*\(restarts 5000 ms after every failure\|no failure actions flag\)' "$out"
        check "stop-service.cmd exits 0, STOPPED when it returns" eval 'script .\\stop-service.cmd && run sc.exe query "$service" | grep -q "STATE.*STOPPED"'
        check "start-service.cmd exits 0, RUNNING when it returns" eval 'script .\\start-service.cmd && run sc.exe query "$service" | grep -q "STATE.*RUNNING"'
        # A start the manager refuses (its program moved away here) says so, with sc's code.
        check "start-service.cmd: the manager would not start it without its program" eval 'script .\\stop-service.cmd && mv "$sdir/quorvel-service.exe" "$sdir/moved.exe" && ! script .\\start-service.cmd; mv "$sdir/moved.exe" "$sdir/quorvel-service.exe" && grep -q "would not start the Quorvel service: sc.exe exited with [1-9]" "$out"'
        check "and starts it with its program back" eval 'script .\\start-service.cmd'
    fi
    if [ "$round" = 2 ]; then # as an administrator's own script calls it, from its folder
        chmod 600 "$drive/log_QX.log" # the mode that stands for its list under Wine (see above)
        printf '@call "C:\\Program Files (x86)\\Quorvel & Co\\prepare-service.cmd"\r\n' >"$drive/quorvel-test/elsewhere.cmd"
        check "prepare-service.cmd called from another folder" eval '(cd "$drive/quorvel-test" && run cmd.exe /c elsewhere.cmd) >"$out" 2>&1 || { tr -d "\r" <"$out"; false; }'
    fi
    check "registered: automatic start" registered 'Start    REG_DWORD    0x2'
    check "registered: the program's path, quoted" registered 'ImagePath    REG_SZ    "C:\\Program Files (x86)\\Quorvel & Co\\quorvel-service.exe"$'
    check "event source: quorvel-prepare.exe beside it" source_is 'C:\\Program Files (x86)\\Quorvel & Co\\quorvel-prepare.exe$'
    check "registered: NT AUTHORITY\\LocalService" registered 'ObjectName    REG_SZ    NT AUTHORITY\\LocalService'
    check "running" state_is RUNNING
    check "answers" ask "$here"
    check "remove-service.cmd exits 0 ($round)" script remove-service.cmd
    check "registration gone when it returns" gone
    check "event source gone" no_source
done
check "each stop and removal stopped the service first" log_has 'Quorvel Service stopped!' 4
check "stop-service.cmd, not installed: exits 1 and says so" eval '! script .\\stop-service.cmd && grep -q "not installed" "$out"'
check "remove-service.cmd, not installed: exits 0, nothing to remove" script remove-service.cmd
mv "$drive/log_QX.log" "$drive/quorvel-test/log.saved"

echo "== a failing quorvel-prepare stops the install script"
# A log anyone may read, which the program must set aside, made immutable
# beneath Wine: the rename fails (error 5), as for what cannot be set aside.
printf 'held\r\n' >"$drive/log_QX.log"
chmod 644 "$drive/log_QX.log"
if chattr +i "$drive/log_QX.log" 2>/dev/null; then
    check "install-service.cmd exits non-zero" eval '! script install-service.cmd quorvel-service.exe'
    check "and says so" grep -q 'The service is not started' "$out"
    check "its registration removed" gone
    check "its event source removed" no_source
    chattr -i "$drive/log_QX.log"
else
    echo "skipped: a failing quorvel-prepare (chattr +i refused beneath the prefix)"
fi
rm -f "$drive/log_QX.log"

echo "== what others may hold, a folder or a second name in the log's place is set aside"
# The one thing set aside: a name with the date, the time and a random part.
set_aside_glob="$drive/log_QX.log.set-aside-[0-9]*-[0-9]*-[0-9a-f]*"
set_aside() { compgen -G "$set_aside_glob"; }
# install_setting_aside WHAT WHY: installs with the scripts, which must set
# what is in the log's place aside, say why and under which name, make a
# fresh log and serve.
install_setting_aside() {
    check "install-service.cmd sets $1 aside" script install-service.cmd quorvel-service.exe
    check "and says why: $2" grep -Eq "^quorvel-prepare: set C:\\\\log_QX.log aside as C:\\\\log_QX.log.set-aside-[0-9]{8}-[0-9]{6}-[0-9a-f]{8}: $2" "$out"
    check "under the one name it took" eval 'test "$(set_aside | wc -l)" = 1 && grep -qF "aside as C:\\$(basename "$(set_aside)"):" "$out"'
    check "and makes a fresh log" eval 'test -f "$drive/log_QX.log" -a ! -L "$drive/log_QX.log"'
    check "and answers" ask "$here"
    check "remove-service.cmd exits 0" script remove-service.cmd
}
printf 'a log anyone may read\r\n' >"$drive/log_QX.log"
chmod 644 "$drive/log_QX.log"
install_setting_aside "a log anyone may read" "its access list lets S-1-1-0 in"
check "its lines kept under the new name" grep -q 'a log anyone may read' "$(set_aside)"
rm -rf "$drive"/log_QX.log.set-aside-* "$drive/log_QX.log"
# A link or junction cannot be shown: Wine opens through a Unix link as if
# it were what it leads to, and a rename through it moves that, where
# Windows, opening without following, moves the link or junction itself.
printf 'not the log\r\n' >"$drive/quorvel-test/other.txt"
ln "$drive/quorvel-test/other.txt" "$drive/log_QX.log"
install_setting_aside "a second name" "it has more than one name"
check "the linked file left alone" eval 'test "$(stat -c %h "$drive/quorvel-test/other.txt")" = 2 -a "$(tr -d "\r" <"$drive/quorvel-test/other.txt")" = "not the log"'
rm -rf "$drive"/log_QX.log.set-aside-* "$drive/log_QX.log" "$drive/quorvel-test/other.txt"
# Folders any user may make in C:\ at the names an earlier version tried.
mkdir "$drive/log_QX.log" "$drive"/log_QX.log.set-aside-{1..99}
check "msiexec /i sets a folder aside, whatever folders have names beside it" msiexec /i 'C:\quorvel-test\new.msi'
check "under a name of its own, and makes a fresh log" eval 'test -d "$(set_aside)" -a -f "$drive/log_QX.log"'
check "and answers" ask
check "msiexec /x exits 0" msiexec /x 'C:\quorvel-test\new.msi'
rm -rf "$drive"/log_QX.log.set-aside-*
mv "$drive/quorvel-test/log.saved" "$drive/log_QX.log"

echo "== the package's custom actions run deferred, as SYSTEM, checked"
# Type bits: 0x400 in the install script (0x100 rollback, 0x200 commit: not
# wanted), 0x800 no impersonation, 0x40 failure ignored (not wanted); a low
# part of 51 sets a property, the rest run programs: ours alone. Deferred actions must lie
# within the script, and the SID and log come before the start.
table() { msiinfo export "$new_msi" "$1" | tr -d '\r' | tail -n +4; }
seq_of() { table InstallExecuteSequence | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
programs=$(table CustomAction | awk -F'\t' '$2 % 64 != 51 { print $1, $2 }')
check "the one action that runs a program: PrepareService" test "$(echo "$programs" | cut -d' ' -f1 | sort | xargs)" = "PrepareService"
while read -r action type; do
    check "$action: type $type" test $((type & 0xFC0)) = $((0xC00))
    check "$action: within the install script" test "$(seq_of InstallInitialize)" -lt "$(seq_of "$action")" -a "$(seq_of "$action")" -lt "$(seq_of InstallFinalize)"
done <<<"$programs"
# Windows Installer 4.0, Vista's, as the README says: msiinfo shows the
# page count as "Version".
check "package asks for Windows Installer 4.0" test "$(msiinfo suminfo "$new_msi" | tr -d '\r' | sed -n 's/^Version: \([0-9]*\) .*/\1/p')" = 400
check "PrepareService: after InstallServices, before StartServices" test "$(seq_of InstallServices)" -lt "$(seq_of PrepareService)" -a "$(seq_of PrepareService)" -lt "$(seq_of StartServices)"
echo "installer: $checks checks, $failures failed"
[ "$failures" -eq 0 ]
