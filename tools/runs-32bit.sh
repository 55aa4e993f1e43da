#!/usr/bin/env bash
# Exits 0 when this machine's kernel runs 32-bit x86 programs, and so Wine's
# 32-bit loader; some kernels have ia32 emulation turned off.
exec /usr/lib/wine/wine --version >/dev/null 2>&1
