#!/bin/sh
# Times `morvane cluster` on generated count tables and on the real table
# (when ../shared/realdata is present): without -s, with -s, and -s -a -n 5.
# Prints user CPU seconds, wall seconds and peak memory per run, and checks
# the fast output against the straightforward implementation on the small
# table.
#
# usage: bench/cluster.sh [BUILD_DIR] [WORK_DIR]
set -eu
build=${1:-build}
work=${2:-${TMPDIR:-/tmp}/morvane-cluster-bench}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
morvane=$build/morvane
mkdir -p "$work"

[ -s "$work/small.tsv" ] || "$build/bench/gen_count_table" 10000 2000000 20 0.009 1 > "$work/small.tsv"
[ -s "$work/large.tsv" ] || "$build/bench/gen_count_table" 100000 20000000 20 0.009 2 > "$work/large.tsv"
tables="$work/small.tsv $work/large.tsv"
real=$root/../shared/realdata/yeast_ko_barseq_counts.tsv
[ -f "$real" ] && tables="$tables $real"

run() {
    label=$1
    shift
    /usr/bin/time -f "%U %e %M" -o "$work/time.txt" "$morvane" cluster "$@" > "$work/out.txt" 2> "$work/err.txt"
    read -r user wall kb < "$work/time.txt"
    printf '%-28s %-22s %8s s user %8s s wall %6d MB\n' "$(basename "$table")" "$label" "$user" "$wall" $((kb / 1024))
}

for table in $tables; do
    printf '%s: %s distinct sequences\n' "$(basename "$table")" "$(grep -vc '^#' "$table")"
    run "cluster" "$table"
    run "cluster -f" -f "$table"
    run "cluster -s" -s "$work/stats.txt" "$table"
    run "cluster -s -a -n 5" -s "$work/stats.txt" -a "$work/align.txt" -n 5 "$table"
done

# The straightforward implementation is slow (its statistics and alignment
# compare every remaining sequence with every core): small table only.
"$build/bench/cluster_compare" "$work/small.tsv" 2>/dev/null
"$build/bench/cluster_compare" "$work/small.tsv" -f 2>/dev/null
[ -f "$real" ] && "$build/bench/cluster_compare" "$real" -a 2>/dev/null
[ -f "$real" ] && "$build/bench/cluster_compare" "$real" -f -a 2>/dev/null
