#!/usr/bin/env bash
# Tells whether this machine's kernel runs 32-bit x86 programs, and so Wine's
# 32-bit loader: prints "yes" or "no" (some kernels have ia32 emulation off).
# "no" only when the kernel refuses the loader (Exec format error, exit 126);
# a missing or broken 32-bit Wine is a setup error: says so, exits 1.
#   runs32=$(bash tools/runs-32bit.sh)
set -euo pipefail
# The refusal is told by its text, which a translated locale would change.
export LC_ALL=C
loader=/usr/lib/wine/wine
status=0
errors=$("$loader" --version 2>&1 >/dev/null) || status=$?
if [ $status -eq 0 ]; then
    echo yes
elif [ $status -eq 126 ] && grep -q "Exec format error" <<<"$errors"; then
    echo no
else
    echo "runs-32bit: the 32-bit Wine ($loader, package wine32:i386) does not run (exit $status):" >&2
    echo "$errors" >&2
    echo "runs-32bit: run tools/setup.sh as root, or repair that package" >&2
    exit 1
fi
