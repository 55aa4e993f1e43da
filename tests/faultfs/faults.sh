#!/usr/bin/env bash
# Mounts the fault file system (faultfs) and links it as drive X: of a test
# prefix, or takes it away again; the suite's fixture runs it around the cases
# that use it.
#   faults.sh up ARCH PREFIX FAULTFS    (ARCH and PREFIX as tools/wine-run.sh takes them)
#   faults.sh down ARCH PREFIX
# Where it cannot mount (not root, no /dev/fuse, no libfuse3, no mount
# rights), "up" still succeeds and leaves the reason in the prefix's
# C:\quorvel-faults-skipped.txt: the cases skip with it, and so does the summary.
set -uo pipefail
what=$1 arch=$2 prefix=$(realpath -m "$3")
if [ "${QUORVEL_WOW64-}" = 1 ] && [ "$arch" = win32 ]; then
    prefix=$prefix-wow64
fi
state=$prefix.faults
skipped=$prefix/drive_c/quorvel-faults-skipped.txt

down() {
    umount -l "$prefix/drive_c/log_QX.log" 2>/dev/null
    umount -l "$state/logdisk" 2>/dev/null
    if mountpoint -q "$state/x"; then
        # Lets go of any read still held, then unmounts.
        cat "$state/x/release" >/dev/null 2>&1
        umount -l "$state/x"
    fi
    rm -f "$prefix/dosdevices/x:"
}

down
[ "$what" = up ] || exit 0
rm -f "$skipped"
skip() {
    echo "faults: the fault cases will skip: $1"
    echo "$1" >"$skipped"
    exit 0
}
[ "$(id -u)" -eq 0 ] || skip "not root, so nothing can be mounted"
[ -c /dev/fuse ] || skip "no /dev/fuse"
[ -x "${4-}" ] || skip "no fault file system built (libfuse3-dev was missing at configure time)"
mkdir -p "$state/x" "$state/logdisk"
"$4" "$state/x" "$prefix/drive_c/log_QX.log" "$state/logdisk" </dev/null >"$state/errors" 2>&1 ||
    skip "the fault file system could not mount: $(head -c 300 "$state/errors")"
mountpoint -q "$state/x" || skip "the fault file system did not mount"
ln -sfn "$state/x" "$prefix/dosdevices/x:"
echo "faults: fault file system at X: ($state/x)"
