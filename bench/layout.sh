#!/usr/bin/env bash
# Times `morvane count -p LAYOUT` on staggered reads against a plain count of
# the same file and against a linked-adapter trimmer doing the extraction
# alone, in one run, and prints a Markdown table (user CPU seconds).
#
#   bench/layout.sh [BUILD_DIR]        (default: build; `make build` first)
#
# Environment: READS (default 2000000), SEED (1), REPEAT (best of, 3),
# WORK (where the generated file goes, default $TMPDIR/morvane-bench).
set -euo pipefail

. "$(dirname "$0")/common.sh" morvane-bench "${1:-}" /usr/bin/time
reads=${READS:-2000000}
up=GTCGACCTGCAGCGTACG
down=CGCTCGAGGG
layout="$up[20]$down"

cutadapt=$(command -v cutadapt || true)  # Debian package cutadapt

data=$work/staggered-$reads-$seed.fastq
if [ ! -s "$data" ]; then
  echo "generating $reads staggered reads in $work ..." >&2
  "$build/bench/gen_staggered" -n "$reads" -s "$seed" -t "$data.truth" > "$data"
fi
cat "$data" > /dev/null  # into the page cache

# best_of NAME COMMAND: the least user + system CPU time of REPEAT runs into
# cpu_NAME (s), and the peak resident set size of the last into rss_NAME (KB).
best_of() {
  local name=$1 command=$2 best="" t
  for ((i = 0; i < repeat; i++)); do
    /usr/bin/time -f "%U %S %M" -o "$work/time.txt" bash -c "$command" || { echo "failed: $command" >&2; exit 1; }
    t=$(awk '{printf "%.2f", $1 + $2}' "$work/time.txt")
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
  done
  printf -v "cpu_$name" '%s' "$best"
  printf -v "rss_$name" '%s' "$(awk '{print $3}' "$work/time.txt")"
}

best_of plain "'$morvane' count -m S '$data' > '$work/plain.txt'"
best_of layout "'$morvane' count -m S -p '$layout' '$data' > '$work/layout.txt'"
best_of both "'$morvane' count -m S -b -p '$layout' '$data' > '$work/both.txt'"
# With -b the table must be the generator's truth.
cmp -s "$work/both.txt" "$data.truth" || { echo "count -b -p differs from the generator's truth" >&2; exit 1; }
if [ -n "$cutadapt" ]; then
  REPEAT=1 repeat=1 best_of cutadapt \
    "'$cutadapt' -j 1 -e 0.1 -g '$up...$down' --discard-untrimmed -o '$work/cut.fastq' '$data' > /dev/null 2>&1"
  cut_reads=$(($(wc -l < "$work/cut.fastq") / 4))
fi

found=$(( reads - $(sed -n 's/^#reads without layout: //p' "$work/layout.txt") ))

cat <<EOF2
Input: $reads staggered reads of 58 letters (0-8 letters of stagger, an 18-letter constant, a 20-letter
barcode, a 10-letter constant; 1% substitutions, 20% from the other strand, 3% junk), seed $seed;
least user + system CPU time of $repeat runs; machine: $(nproc) cores shared with other work,
$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1), load average $(cut -d ' ' -f 1 /proc/loadavg) at the end.

| command | CPU (s) | peak memory (MB) | reads kept | ratio |
|---|---:|---:|---:|---|
| \`morvane count -m S FILE\` | $cpu_plain | $(mb "$rss_plain") | $reads | |
| \`morvane count -m S -p '$layout' FILE\` | $cpu_layout | $(mb "$rss_layout") | $found | $(ratio "$cpu_layout" "$cpu_plain")x plain count (target <= 2x) |
| \`morvane count -m S -b -p '$layout' FILE\` | $cpu_both | $(mb "$rss_both") | $(( reads - $(sed -n 's/^#reads without layout: //p' "$work/both.txt") )) | $(ratio "$cpu_both" "$cpu_plain")x plain count |
EOF2
if [ -n "$cutadapt" ]; then
  echo "| \`cutadapt -j 1 -e 0.1 -g '$up...$down' --discard-untrimmed\` ($($cutadapt --version)) | $cpu_cutadapt | $(mb "$rss_cutadapt") | $cut_reads | $(ratio "$cpu_cutadapt" "$cpu_layout")x count -p (target >= 30x) |"
else
  echo "(cutadapt not installed: the trimmer comparison was skipped)"
fi
