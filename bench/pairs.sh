#!/usr/bin/env bash
# Times `morvane count -2` with a layout on both reads against `-p` on read 1
# alone, on staggered reads (the mate file is the same reads again, so both
# reads cost what read 1 does), and prints a Markdown table.
#
#   bench/pairs.sh [BUILD_DIR]        (default: build; `make build` first)
#
# Environment: READS (default 2000000), SEED (1), REPEAT (best of, 3),
# WORK (where the generated file goes, default $TMPDIR/morvane-bench).
set -euo pipefail

. "$(dirname "$0")/common.sh" morvane-bench "${1:-}" /usr/bin/time
reads=${READS:-2000000}
layout='GTCGACCTGCAGCGTACG[20]CGCTCGAGGG'

data=$work/staggered-$reads-$seed.fastq
if [ ! -s "$data" ]; then
  echo "generating $reads staggered reads in $work ..." >&2
  "$build/bench/gen_staggered" -n "$reads" -s "$seed" -t "$data.truth" > "$data"
fi
cat "$data" > /dev/null  # into the page cache

# best_of NAME COMMAND: the least wall and user + system CPU time of REPEAT runs.
best_of() {
  local name=$1 command=$2 wall="" cpu="" w c
  for ((i = 0; i < repeat; i++)); do
    /usr/bin/time -f "%e %U %S" -o "$work/time.txt" bash -c "$command" || { echo "failed: $command" >&2; exit 1; }
    read -r w c < <(awk '{printf "%.2f %.2f\n", $1, $2 + $3}' "$work/time.txt")
    if [ -z "$wall" ] || awk "BEGIN{exit !($w < $wall)}"; then wall=$w; fi
    if [ -z "$cpu" ] || awk "BEGIN{exit !($c < $cpu)}"; then cpu=$c; fi
  done
  printf -v "wall_$name" '%s' "$wall"
  printf -v "cpu_$name" '%s' "$cpu"
}

best_of single "'$morvane' count -m S -p '$layout' '$data' > '$work/single.txt'"
best_of pairs "'$morvane' count -m S -p '$layout' -P '$layout' -2 '$data' '$data' > '$work/pairs.txt'"

cat <<EOF2
Input: $reads staggered reads of 58 letters (bench/gen_staggered, seed $seed), read 2 the same reads;
least of $repeat runs; machine: $(nproc) cores shared with other work, load average $(cut -d ' ' -f 1 /proc/loadavg) at the end.

| command | wall (s) | CPU (s) | ratio (CPU) |
|---|---:|---:|---|
| \`morvane count -m S -p LAYOUT R1\` | $wall_single | $cpu_single | |
| \`morvane count -m S -p LAYOUT -P LAYOUT -2 R2 R1\` | $wall_pairs | $cpu_pairs | $(ratio "$cpu_pairs" "$cpu_single")x (target <= 2x) |
EOF2
