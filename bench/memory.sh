#!/usr/bin/env bash
# Streams generated reads through `morvane count -f` from a pipe, as a long
# sequencing run would come, and prints a Markdown table of reads, distinct
# reads, peak memory and user CPU time: peak memory follows the distinct reads,
# not the number of reads.
#
#   bench/memory.sh [BUILD_DIR]        (default: build; `make build` first)
#
# Environment: SIZES (reads per run, default "1000000 10000000 100000000"),
# SEED (1), WORK (where the tables go, default $TMPDIR/morvane-bench).
set -euo pipefail

. "$(dirname "$0")/common.sh" morvane-bench "${1:-}" /usr/bin/time
sizes=${SIZES:-1000000 10000000 100000000}

echo "| reads | kind | distinct reads | peak memory (MB) | bytes per distinct read | count user CPU (s) |"
echo "|---:|---|---:|---:|---:|---:|"
for reads in $sizes; do
  # realistic: 1% substitutions and 3% junk reads, so the distinct reads grow
  # with the run; barcodes only: 3,000 distinct reads however long the run.
  for kind in realistic barcodes-only; do
    options=()
    [ "$kind" = barcodes-only ] && options=(-e 0 -j 0)
    "$build/bench/gen_reads" -n "$reads" -s "$seed" "${options[@]}" |
      /usr/bin/time -f "%U %M" -o "$work/memory-time" "$build/morvane" count -m S -f > "$work/memory-table"
    read -r user peak_kb < "$work/memory-time"
    total=$(sed -n 's/^#total reads: //p' "$work/memory-table")
    distinct=$(sed -n 's/^#unique reads: //p' "$work/memory-table")
    [ "$total" = "$reads" ] || { echo "count saw $total of $reads reads" >&2; exit 1; }
    awk -v r="$reads" -v k="$kind" -v d="$distinct" -v m="$peak_kb" -v u="$user" 'BEGIN {
      printf "| %d | %s | %d | %.0f | %s | %.2f |\n", r, k, d, m / 1024, (k == "realistic" ? sprintf("%.0f", m * 1024 / d) : "(fixed part)"), u }'
  done
done
rm -f "$work/memory-table" "$work/memory-time"
