#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) in build/fuzz
# and runs each in turn for a time budget.
#
#   tools/fuzz.sh [SECONDS_PER_TARGET] [libFuzzer flags...]
#   tools/fuzz.sh 600 -jobs=1
#
# Starts from the checked-in seeds in fuzz/corpus/<target>/; what a run learns
# is kept in build/fuzz/corpus/<target>/ for the next run. Exits non-zero when
# a target finds a fault; the input that shows it is left in
# build/fuzz/artifacts/<target>/, and build/fuzz/<target> FILE repeats it.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
if [ $# -gt 0 ]; then
    shift
fi
case $seconds in
    '' | *[!0-9]* | 0)
        echo "fuzz: the budget must be a positive number of seconds, not '$seconds'" >&2
        exit 2
        ;;
esac

# clang, libFuzzer's runtime and Wine's headers, where missing (takes root).
bash "$root/tools/setup.sh" --native
build=$root/build/fuzz
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2

# Target and the longest input it is given: a request is one pipe message of
# up to a little more than one read; the counter's input is 4 bytes of split
# point and then the file contents; a name's, 1 byte of room and then up to a
# little more than the longest full path the opener makes, in UTF-16.
targets=("fuzz_request 600" "fuzz_count 300004" "fuzz_names 2001")

failed=0
for entry in "${targets[@]}"; do
    read -r target max_len <<<"$entry"
    work=$build/corpus/$target
    artifacts=$build/artifacts/$target
    logs=$build/logs/$target
    mkdir -p "$work" "$artifacts" "$logs"
    rm -f "$logs"/*.log
    log=$logs/$target.log
    echo "fuzz: $target for ${seconds}s"
    status=0
    # -jobs writes each job's output to fuzz-N.log in the current directory.
    (cd "$logs" && "$build/$target" -max_total_time="$seconds" -max_len="$max_len" \
        -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$@" "$work" "$root/fuzz/corpus/$target") \
        >"$log" 2>&1 || status=$?
    runs=$(cat "$logs"/*.log | sed -n 's/^stat::number_of_executed_units: *//p' | tail -n 1)
    if [ "$status" -ne 0 ]; then
        failed=1
        echo "fuzz: $target FAILED (exit $status); the log is $log" >&2
        cat "$logs"/*.log | grep -E -A 30 '==ERROR|^fuzz_|SUMMARY|Test unit written' | tail -n 60 >&2 || true
    else
        echo "fuzz: $target passed, ${runs:-?} runs"
    fi
done
exit "$failed"
