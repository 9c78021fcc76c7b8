#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan + UBSan) and fuzzes one.
#   fuzz/run.sh TARGET SECONDS [libFuzzer options...]
# TARGET: fastq qseq pairs gzip cluster map tabulate layout discover molecules samples. The corpus grows in
# $FUZZ_WORK/TARGET (default ${TMPDIR:-/tmp}/morvane-fuzz), seeded from
# fuzz/corpus/TARGET; a finding is saved there as crash-*, leak-*, timeout-*
# and the script fails. Run an input again with
#   build-fuzz/fuzz/fuzz_TARGET FILE
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
    echo "usage: $0 TARGET SECONDS [libFuzzer options...]" >&2
    exit 1
fi
target=$1
seconds=$2
shift 2
build=${FUZZ_BUILD:-build-fuzz}
work=${FUZZ_WORK:-${TMPDIR:-/tmp}/morvane-fuzz}/$target
if [ ! -d "fuzz/corpus/$target" ]; then
    echo "no such target: $target" >&2
    exit 1
fi

if [ ! -f "$build/build.ninja" ]; then
    CXX=${FUZZ_CXX:-clang++} cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_FUZZ=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" --target "fuzz_$target" >/dev/null

mkdir -p "$work/corpus" "$work/artifacts"
# Standard error of the sub-commands (one warning per bad line) is closed;
# libFuzzer and the sanitizers still report on it.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=8192 \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$@" \
    "$work/corpus" "fuzz/corpus/$target"
