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
LIBRARY=/work/shared/realdata/shrna_library_90000.tsv
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
    local load all top
    load=$(user_seconds "$WORK/skip.txt" "$MORVANE" map -s "$clusters" "$barcodes")
    all=$(user_seconds "$WORK/all.txt" "$MORVANE" map "$clusters" "$barcodes")
    top=$(user_seconds "$WORK/top5.txt" "$MORVANE" map -n 5 "$clusters" "$barcodes")
    sed -n '1,6p' "$WORK/all.txt" | tr '\n' ' '
    echo

    # Cells that aligning every eligible cluster with every barcode would fill.
    local barcode_letters core_letters eligible
    barcode_letters=$(awk -F'\t' '!/^#/ && index($0, "\t") { s = substr($0, index($0, "\t") + 1); if (!(s in seen)) { seen[s] = 1; n += length(s) } } END { print n + 0 }' "$barcodes")
    read -r core_letters eligible < <(awk -F'\t' '!/^#/ && ($9 == "align" || $9 == "none") { n += length($1); c++ } END { print n + 0, c + 0 }' "$WORK/all.txt")
    awk -v load="$load" -v all="$all" -v top="$top" -v bl="$barcode_letters" -v cl="$core_letters" -v e="$eligible" 'BEGIN {
        phase = all - load; if (phase <= 0) phase = 0.01
        printf "load + word matching: %.2f s user\n", load
        printf "alignment phase (all barcodes): %.2f s user for %d clusters, %.3g cells, %.1f billion cells/s\n", phase, e, bl * cl, bl * cl / phase / 1e9
        printf "alignment phase (-n 5): %.2f s user\n", top - load
    }'

    # The reference aligns every pair in full; run it on the first few
    # clusters that needed alignment and compare.
    awk -F'\t' -v k="$SUBSET" '!/^#/ && ($9 == "align" || $9 == "none") && n < k { print $1 "\t" $3 "\t" $2 "\t" $4 "\t" $6 "\t" $8; n++ }' "$WORK/all.txt" >"$WORK/subset.txt"
    local ref_load ref fast
    ref_load=$(user_seconds "$WORK/ref_skip.txt" "$REFERENCE" -s "$WORK/subset.txt" "$barcodes")
    ref=$(user_seconds "$WORK/ref.txt" "$REFERENCE" "$WORK/subset.txt" "$barcodes")
    fast=$(user_seconds "$WORK/fast.txt" "$MORVANE" map "$WORK/subset.txt" "$barcodes")
    if cmp -s "$WORK/ref.txt" "$WORK/fast.txt"; then echo "subset of $SUBSET clusters: identical to full alignment"; else echo "subset of $SUBSET clusters: DIFFERENT from full alignment"; fi
    awk -v ref="$ref" -v ref_load="$ref_load" -v k="$SUBSET" -v e="$eligible" 'BEGIN {
        per = (ref - ref_load) / k
        printf "full alignment: %.3f s user per cluster, about %.0f s for all %d clusters\n", per, per * e, e
    }'
    local ref_top
    ref_top=$(user_seconds "$WORK/ref_top5.txt" "$REFERENCE" -n 5 "$clusters" "$barcodes")
    if cmp -s "$WORK/ref_top5.txt" "$WORK/top5.txt"; then echo "-n 5: identical to the reference (reference ${ref_top} s user)"; else echo "-n 5: DIFFERENT from the reference"; fi
}

"$GEN" "$WORK/barcodes.txt" "$WORK/clusters.txt" -b 100000 -l 20 -c 200000 -u 2000 -s 1
run_case "100,000 random 20-letter barcodes" "$WORK/barcodes.txt" "$WORK/clusters.txt"

if [ -r "$LIBRARY" ]; then
    "$GEN" "$WORK/library.txt" "$WORK/library_clusters.txt" -r "$LIBRARY" -c 200000 -u 2000 -s 2
    run_case "shRNA library, $(grep -c . "$LIBRARY") barcodes" "$WORK/library.txt" "$WORK/library_clusters.txt"
fi
