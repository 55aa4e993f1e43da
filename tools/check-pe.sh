#!/usr/bin/env bash
# Checks what the linker and the resource compiler put into built programs:
#   check-pe.sh OBJDUMP VERSION PROGRAM.exe...
# Each must allow address space layout randomisation (DYNAMIC_BASE, 0x40) and
# refuse execution from data pages (NX_COMPAT, 0x100), and carry a version
# resource (type 16) holding VERSION and a manifest (type 24).
set -euo pipefail
objdump=$1
version=$2
shift 2
status=0
for exe in "$@"; do
    headers=$("$objdump" -p "$exe")
    flags=$(awk '$1 == "DllCharacteristics" { print $2 }' <<<"$headers")
    if [ -z "$flags" ] || (( (16#$flags & 0x140) != 0x140 )); then
        echo "$exe: DllCharacteristics ${flags:-missing}, wanted DYNAMIC_BASE and NX_COMPAT" >&2
        status=1
    fi
    for type in 0x000010 0x000018; do
        if ! grep -q "Entry: ID: $type," <<<"$headers"; then
            echo "$exe: no resource of type $type" >&2
            status=1
        fi
    done
    if ! strings -el "$exe" | grep -qxF "$version"; then
        echo "$exe: version $version not in its version resource" >&2
        status=1
    fi
    [ $status -eq 0 ] && echo "$exe: DllCharacteristics $flags, version $version, manifest present"
done
exit $status
