#!/usr/bin/env bash
# Molecule counting: accuracy against the generator's truth, and what the UMI
# slot costs `count` in time and memory.
#
#   bench/umi.sh [BUILD_DIR]        (default: build; `make build` first)
#
# Environment: SEED (1), REPEAT (best of, 3), WORK (where the generated files
# go, default $TMPDIR/morvane-bench-umi), SPEED=0 (accuracy only).
#
# Accuracy: 2,000 barcodes with skewed molecule numbers (mean 100), skewed PCR
# copies (mean 6), 0.5% substitutions per letter. The reads are counted by
# `count -m S -p` with the UMI slot, and by bench/umi_truth, which cuts the
# layout out itself and counts with the UMI module both ways, directional and
# exact UMIs.
# Speed: about 20 M reads, 100,000 barcodes, 10-letter UMIs, about 5 M
# distinct (barcode, UMI) pairs; `count -m S -p` with the UMI slot `(10)`
# against the same layout with the slot written as a skip `{10}`; and the UMI
# module alone on 5 M pairs (bench/umi_pairs).
set -euo pipefail

. "$(dirname "$0")/common.sh" morvane-bench-umi "${1:-}" /usr/bin/time

upstream=GTCGACCTGCAGCGTACG
downstream=CGCTCGAGGG
layout_umi="$upstream[20](10)$downstream"
layout_skip="$upstream[20]{10}$downstream"

# count_umi FASTQ TABLE: count with the UMI slot; false (with count's message
# on standard error) where count does not take the slot.
count_umi() {
  "$morvane" count -m S -p "$layout_umi" "$1" > "$2" 2> "$work/count.err" && return 0
  echo "count refused the UMI slot: $(head -n 1 "$work/count.err")" >&2
  return 1
}

echo "## accuracy (seed $seed)"
acc=$work/accuracy-$seed
if [ ! -s "$acc.fastq" ]; then
  "$build/bench/gen_umi_reads" -b 2000 -m 100 -c 6 -e 0.005 -s "$seed" -t "$acc.truth" > "$acc.fastq"
fi
echo "### the UMI module on the reads (umi_truth)"
"$build/bench/umi_truth" reads "$acc.fastq" "$acc.truth"
echo "### morvane count -m S -p '$layout_umi'"
if count_umi "$acc.fastq" "$acc.counts"; then
  grep '^#' "$acc.counts"
  "$build/bench/umi_truth" table "$acc.counts" "$acc.truth"
fi

[ "${SPEED:-1}" = 0 ] && exit 0

echo "## speed and memory (seed $seed, best of $repeat)"
speed=$work/speed-$seed
if [ ! -s "$speed.fastq" ]; then
  echo "generating about 20 M reads in $work ..." >&2
  "$build/bench/gen_umi_reads" -b 100000 -m 21 -c 9.5 -e 0.005 -s "$seed" -t "$speed.truth" > "$speed.fastq"
fi
cat "$speed.fastq" > /dev/null  # into the page cache

# best_of NAME COMMAND: the least user CPU time of REPEAT runs (the machine
# is shared; wall time says little) and the peak resident set size, in
# user_NAME (s) and rss_NAME (KB).
best_of() {
  local name=$1 command=$2 best="" rss=0 u m
  for ((i = 0; i < repeat; i++)); do
    /usr/bin/time -f "%U %M" -o "$work/time.txt" bash -c "$command" || { echo "failed: $command" >&2; return 1; }
    read -r u m < <(tail -n 1 "$work/time.txt")
    if [ -z "$best" ] || awk "BEGIN{exit !($u < $best)}"; then best=$u; fi
    [ "$m" -gt "$rss" ] && rss=$m
  done
  printf -v "user_$name" '%s' "$best"
  printf -v "rss_$name" '%s' "$rss"
}

if best_of skip "'$morvane' count -m S -p '$layout_skip' '$speed.fastq' > '$work/skip.txt'" &&
   best_of umi "'$morvane' count -m S -p '$layout_umi' '$speed.fastq' > '$work/umi.txt' 2> '$work/count.err'"; then
  pairs=$("$build/bench/umi_truth" reads "$speed.fastq" "$speed.truth" | sed -n 's/.*pairs: \([0-9]*\).*/\1/p')
  echo "| command | user s | peak MB |"
  echo "|---|---:|---:|"
  echo "| count -m S -p '$layout_skip' | $user_skip | $((rss_skip / 1024)) |"
  echo "| count -m S -p '$layout_umi' | $user_umi | $((rss_umi / 1024)) |"
  awk -v u="$user_umi" -v s="$user_skip" -v ru="$rss_umi" -v rs="$rss_skip" -v p="$pairs" 'BEGIN {
    printf "UMI slot / skip: %.2fx time (target <= 2.5x); %d distinct pairs, %.1f bytes a pair beyond the skip run (target <= 120)\n",
           u / s, p, (ru - rs) * 1024 / p }'
  "$build/bench/umi_truth" table "$work/umi.txt" "$speed.truth"
else
  echo "count does not run the layouts yet; see the module figures below" >&2
fi

echo "### the UMI module alone (umi_pairs: 5 M pairs, 20 M reads, 100,000 barcodes)"
for ((i = 0; i < repeat; i++)); do "$build/bench/umi_pairs"; done
