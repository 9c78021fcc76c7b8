#!/usr/bin/env bash
# The molecule step (tabulate -u) against the Python merge it replaced
# (workflow/scripts/molecules.py, taken from the commit before its removal)
# on one large generated sample: wall time, user time and peak memory of each,
# and the two results compared line for line.
#
#   bench/merge_molecules.sh [BUILD_DIR]     (default: build; `make build` first)
#
# Data: bench/gen_umi_reads -b BARCODES -m MOLECULES -c COPIES (defaults 50000,
# 20, 5: about 5 M reads, 1 M molecules), 0.5% substitutions a letter. Both
# sides share count's table, the cluster file (-m 0) and the map file
# (-s: word matches only, the step does not depend on how clusters matched).
# The Python side needs its own UMI table: count with the UMI slot written
# as a barcode slot, one line per barcode-and-UMI key.
#
# Environment: BARCODES, MOLECULES, COPIES, SEED (1), WORK (default
# $TMPDIR/morvane-bench-merge).
set -euo pipefail

. "$(dirname "$0")/common.sh" morvane-bench-merge "${1:-}" /usr/bin/time python3 git

upstream=GTCGACCTGCAGCGTACG
downstream=CGCTCGAGGG
# The barcodes' first 18 letters: map finds a core through 18-letter words.
layout_umi="$upstream[18]{2}(10)$downstream"
layout_key="$upstream[18]{2}[10]$downstream"
barcodes=${BARCODES:-50000}
molecules=${MOLECULES:-20}
copies=${COPIES:-5}

# The Python merge as it last stood, with the table helpers of that commit.
removed=$(git -C "$root" log -1 --format=%H --diff-filter=D -- workflow/scripts/molecules.py)
old=$work/old-scripts
mkdir -p "$old"
if [ -n "$removed" ]; then
  for script in molecules.py tables.py; do
    git -C "$root" show "$removed^:workflow/scripts/$script" > "$old/$script"
  done
else
  echo "molecules.py is not in this repository's history" >&2
  exit 1
fi

data=$work/reads-$barcodes-$molecules-$copies-$seed
if [ ! -s "$data.fastq" ]; then
  echo "generating reads in $work ..." >&2
  "$build/bench/gen_umi_reads" -b "$barcodes" -m "$molecules" -c "$copies" -e 0.005 -s "$seed" -t "$data.truth" \
    > "$data.fastq"
fi
awk -F'\t' '{ printf "bc%06d\t%s\n", NR, $1 }' "$data.truth" > "$work/barcodes.tsv"

# timed NAME COMMAND: runs it once under /usr/bin/time; prints a table row.
timed() {
  /usr/bin/time -f "%e %U %M" -o "$work/time.txt" bash -c "$2" || { echo "failed: $2" >&2; exit 1; }
  read -r wall user rss < <(tail -n 1 "$work/time.txt")
  echo "| $1 | $wall | $user | $(mb "$rss") |"
  printf -v "wall_$3" '%s' "$wall"
  printf -v "rss_$3" '%s' "$rss"
}

echo "| step | wall s | user s | peak MB |"
echo "|---|---:|---:|---:|"
timed "count -p '$layout_umi'" "'$morvane' count -m S -p '$layout_umi' '$data.fastq' > '$work/plain.txt'" count
timed "count -p '$layout_umi' -k (the UMI table too)" \
  "'$morvane' count -m S -p '$layout_umi' -k '$work/umis.txt' '$data.fastq' > '$work/table.txt'" count_k
cmp -s "$work/plain.txt" "$work/table.txt" || { echo "count -k changed the count table" >&2; exit 1; }
timed "count -p '$layout_key' (the Python merge's table)" \
  "'$morvane' count -m S -p '$layout_key' '$data.fastq' > '$work/key-table.txt'" count_key
"$morvane" cluster -m 0 "$work/table.txt" > "$work/clusters.txt" 2> /dev/null
"$morvane" map -s "$work/clusters.txt" "$work/barcodes.tsv" > "$work/map.txt" 2> /dev/null
"$morvane" tabulate -c 70 "$work/map.txt" "$work/barcodes.tsv" > "$work/report.tsv" 2> /dev/null
echo 70 > "$work/cutoff.txt"
timed "tabulate -u -k (molecules)" \
  "'$morvane' tabulate -c 70 -u '$work/umis.txt' -k '$work/clusters.txt' '$work/map.txt' '$work/barcodes.tsv' \
   > '$work/molecules-tool.tsv' 2> /dev/null" tool
timed "molecules.py" \
  "python3 '$old/molecules.py' --umi-table '$work/key-table.txt' --umi-positions 18-27 --clusters '$work/clusters.txt' \
   --map '$work/map.txt' --align-cutoff '$work/cutoff.txt' --report '$work/report.tsv' \
   --out '$work/molecules-python.tsv' 2> /dev/null" python
echo
echo "reads: $(grep -m1 '^#total reads' "$work/table.txt" | cut -d' ' -f3); keys: $(grep -m1 '^#unique reads' \
  "$work/table.txt" | cut -d' ' -f3); pairs: $(grep -m1 '^#umi pairs' "$work/umis.txt" | cut -d' ' -f3)"
head -n 2 "$work/molecules-tool.tsv"
if cmp -s "$work/molecules-tool.tsv" "$work/molecules-python.tsv"; then
  echo "the two molecule reports are identical"
else
  echo "the molecule reports differ" >&2
  exit 1
fi
echo "molecule step: $(ratio "$wall_python" "$wall_tool") x faster (wall), $(ratio "$rss_python" "$rss_tool") x less memory"
