#!/usr/bin/env bash
# The native checks: the platform-independent libraries' tests built with
# gcc under AddressSanitizer and UBSan (the "native-asan" workflow preset),
# every product source compiled in MSVC mode (tools/msvc-check.sh), then a
# short fuzz of the request path, the counter and the text rules with clang.
#
#   tools/native-check.sh [FUZZ_SECONDS_PER_TARGET]   (default 20)
#
# Installs the native compilers and runtimes it needs when they are missing
# (tools/setup.sh --native), which takes root. Exits non-zero on any failure.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
fuzz_seconds=${1:-20}

bash "$root/tools/setup.sh" --native
cd "$root"
cmake --workflow --preset native-asan
tools/msvc-check.sh
tools/fuzz.sh "$fuzz_seconds"
echo "native-check: passed"
