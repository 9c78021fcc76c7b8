#!/usr/bin/env bash
# Times `morvane map` on generated data: 100,000 random 20-letter barcodes
# and, when it is present, the real 90,000-barcode shRNA library; 200,000
# clusters of which 2,000 need alignment. Reports user CPU seconds (the
# machine may be shared, so wall time means little), the alignment phase's
# effective rate, and checks the fast search against full alignment.
#
#   bench/map.sh [build_dir]        (SUBSET=n clusters for the reference run, default 10)
set -euo pipefail

BUILD=${1:-build}
MORVANE=$BUILD/morvane
GEN=$BUILD/bench/gen_map_data
REFERENCE=$BUILD/bench/map_reference
PHASES=$BUILD/bench/map_phases
LIBRARY=$(cd "$(dirname "$0")/.." && pwd)/../shared/realdata/shrna_library_90000.tsv
SUBSET=${SUBSET:-10}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# user_seconds OUT COMMAND...: runs COMMAND with standard output to OUT and
# prints its user CPU time.
user_seconds() {
    local out=$1
    shift
    /usr/bin/time -f "%U" -o "$WORK/time" "$@" >"$out" 2>/dev/null
    cat "$WORK/time"
}

run_case() {
    local name=$1 barcodes=$2 clusters=$3
    echo "== $name"
    # Phase by phase, CPU seconds inside one process, best of three.
    "$PHASES" "$clusters" "$barcodes" 2>/dev/null
    local all top
    all=$(user_seconds "$WORK/all.txt" "$MORVANE" map "$clusters" "$barcodes")
    top=$(user_seconds "$WORK/top5.txt" "$MORVANE" map -n 5 "$clusters" "$barcodes")
    echo "whole run: ${all} s user (default), ${top} s user (-n 5)"

    # The reference aligns every pair in full; run it on the first few
    # clusters that needed alignment, compare, and extrapolate its time.
    awk -F'\t' -v k="$SUBSET" '!/^#/ && ($9 == "align" || $9 == "none") && n < k { print $1 "\t" $3 "\t" $2 "\t" $4 "\t" $6 "\t" $8; n++ }' "$WORK/all.txt" >"$WORK/subset.txt"
    local eligible ref_skip ref
    eligible=$(awk -F'\t' '!/^#/ && ($9 == "align" || $9 == "none") { c++ } END { print c + 0 }' "$WORK/all.txt")
    ref_skip=$(user_seconds "$WORK/ref_skip.txt" "$REFERENCE" -s "$WORK/subset.txt" "$barcodes")
    ref=$(user_seconds "$WORK/ref.txt" "$REFERENCE" "$WORK/subset.txt" "$barcodes")
    "$MORVANE" map "$WORK/subset.txt" "$barcodes" >"$WORK/fast.txt" 2>/dev/null
    if cmp -s "$WORK/ref.txt" "$WORK/fast.txt"; then echo "first $SUBSET clusters to align: identical to full alignment"; else echo "first $SUBSET clusters to align: DIFFERENT from full alignment"; fi
    awk -v ref="$ref" -v skip="$ref_skip" -v k="$SUBSET" -v e="$eligible" 'BEGIN {
        per = (ref - skip) / k
        printf "full alignment: %.3f s user per cluster, so about %.0f s for all %d clusters\n", per, per * e, e
    }'
    local ref_top
    ref_top=$(user_seconds "$WORK/ref_top5.txt" "$REFERENCE" -n 5 "$clusters" "$barcodes")
    if cmp -s "$WORK/ref_top5.txt" "$WORK/top5.txt"; then echo "-n 5, whole file: identical to the reference (reference run ${ref_top} s user)"; else echo "-n 5, whole file: DIFFERENT from the reference"; fi
}

"$GEN" "$WORK/barcodes.txt" "$WORK/clusters.txt" -b 100000 -l 20 -c 200000 -u 2000 -s 1
run_case "100,000 random 20-letter barcodes" "$WORK/barcodes.txt" "$WORK/clusters.txt"

if [ -r "$LIBRARY" ]; then
    "$GEN" "$WORK/library.txt" "$WORK/library_clusters.txt" -r "$LIBRARY" -c 200000 -u 2000 -s 2
    run_case "shRNA library, $(grep -c . "$LIBRARY") barcodes" "$WORK/library.txt" "$WORK/library_clusters.txt"
fi
