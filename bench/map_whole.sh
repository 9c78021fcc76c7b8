#!/usr/bin/env bash
# Times `morvane map -w` on generated data: 10^6 clusters of 60 letters
# (barcodes as they stand or with one or two substitutions, 2% junk) against
# 10^5 random 60-letter barcodes. Prints each step's CPU seconds
# (whole_phases, best of three), checks the first clusters against comparing
# each core with every barcode, and the wall time, CPU time and peak memory of
# a whole run with -s (/usr/bin/time -v). Alignment is left out: the 2% junk
# would be aligned against all 10^5 barcodes (with -n 5: about 110 s).
#
#   bench/map_whole.sh [BUILD_DIR]
#
# Environment: BARCODES (100000), CLUSTERS (1000000), LENGTH (60), CHECK
# (clusters checked, 2000), SEED (1), WORK ($TMPDIR/morvane-map-whole).
set -euo pipefail

. "$(dirname "$0")/common.sh" morvane-map-whole "${1:-}" /usr/bin/time
barcodes=${BARCODES:-100000}
clusters=${CLUSTERS:-1000000}
length=${LENGTH:-60}

"$build/bench/gen_whole_map" "$work/barcodes.txt" "$work/clusters.txt" -b "$barcodes" -c "$clusters" -l "$length" -s "$seed"
"$build/bench/whole_phases" "$work/clusters.txt" "$work/barcodes.txt" "${CHECK:-2000}" 2>/dev/null

# timed NAME OPTIONS...: one whole run, its summary and figures.
timed() {
  local name=$1
  shift
  /usr/bin/time -v -o "$work/time" "$morvane" map "$@" "$work/clusters.txt" "$work/barcodes.txt" >"$work/map.txt" 2>/dev/null
  awk -F': ' '/Elapsed \(wall/ { wall = $2 } /User time/ { user = $2 } /System time/ { sys = $2 }
    /Maximum resident/ { rss = $2 } END { printf "%s: %s wall, %.2f s user + %.2f s system, %.0f MB peak\n", name, wall, user, sys, rss / 1024 }' \
    name="$name" "$work/time"
  grep '^#' "$work/map.txt" | grep -v '^#core' | tr '\n' ' '
  echo
}
timed "map -w -s" -w -s
rm -f "$work/map.txt" "$work/time"
