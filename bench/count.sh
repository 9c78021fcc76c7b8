#!/usr/bin/env bash
# Times `morvane count` against the sort pipeline, `cat` and the gzip tools,
# in one run, and prints a Markdown table with ratios and peak memory.
#
#   bench/count.sh [BUILD_DIR]        (default: build; `make build` first)
#
# Environment: READS (default 2000000), SEED (1), REPEAT (best of, 3),
# WORK (where the generated files go, default $TMPDIR/morvane-bench).
set -euo pipefail

. "$(dirname "$0")/common.sh" morvane-bench "${1:-}" /usr/bin/time gzip awk sort uniq
reads=${READS:-2000000}
igzip=$(command -v igzip || true)  # Debian package isal

# The data: barcoded reads (plain and gzipped), and all-distinct reads for
# the memory per distinct sequence. Made once per size and seed.
data=$work/reads-$reads-$seed.fastq
distinct=$work/distinct-$reads-$seed.fastq
tiny=$work/tiny.fastq
if [ ! -s "$data.gz" ]; then
  echo "generating $reads reads in $work ..." >&2
  "$build/bench/gen_reads" -n "$reads" -s "$seed" > "$data"
  gzip -6 -c "$data" > "$data.gz"
  "$build/bench/gen_reads" -n "$reads" -s "$seed" -d > "$distinct"
  "$build/bench/gen_reads" -n 10 -s "$seed" > "$tiny"
fi
cat "$data" "$data.gz" "$distinct" > /dev/null  # into the page cache

# best_of NAME COMMAND: the shortest wall time of REPEAT runs (bash's timer,
# in milliseconds) into time_NAME, and the peak resident set size of one more
# run under /usr/bin/time into rss_NAME (KB).
TIMEFORMAT=%3R
best_of() {
  local name=$1 command=$2 best="" t
  for ((i = 0; i < repeat; i++)); do
    { time eval "$command" ; } 2> "$work/time.txt" || { echo "failed: $command" >&2; exit 1; }
    t=$(tail -n 1 "$work/time.txt")
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
  done
  /usr/bin/time -f "%M" -o "$work/rss.txt" bash -c "$command"
  printf -v "time_$name" '%s' "$best"
  printf -v "rss_$name" '%s' "$(tail -n 1 "$work/rss.txt")"
}

best_of cat "cat '$data' > /dev/null"
best_of count "'$morvane' count -m S '$data' > '$work/counts.txt'"
best_of pipeline "LC_ALL=C awk 'NR%4==2' '$data' | LC_ALL=C sort | uniq -c | LC_ALL=C sort -rn > '$work/pipeline.txt'"
best_of gzip "gzip -dc '$data.gz' > /dev/null"
[ -n "$igzip" ] && best_of igzip "'$igzip' -dc '$data.gz' > /dev/null"
best_of count_gz "'$morvane' count -m S '$data.gz' > '$work/counts-gz.txt'"
best_of distinct "'$morvane' count -m S '$distinct' > '$work/distinct.txt'"
best_of tiny "'$morvane' count -m S '$tiny' > /dev/null"

cmp -s "$work/counts.txt" "$work/counts-gz.txt" || { echo "plain and gzipped counts differ" >&2; exit 1; }
unique=$(sed -n 's/^#unique reads: //p' "$work/counts.txt")
unique_distinct=$(sed -n 's/^#unique reads: //p' "$work/distinct.txt")
# With a cutoff of 1 nothing is masked, so the table must be the pipeline's.
"$morvane" count -m S1 "$data" | grep -v '^#' > "$work/unmasked.txt"
awk '{print $2 "\t" $1}' "$work/pipeline.txt" | LC_ALL=C sort -t "$(printf '\t')" -k2,2nr -k1,1 |
  cmp -s - "$work/unmasked.txt" || { echo "morvane and the sort pipeline disagree" >&2; exit 1; }

size_mb=$(awk "BEGIN{printf \"%.0f\", $(stat -c %s "$data") / 1048576}")
size_gz_mb=$(awk "BEGIN{printf \"%.0f\", $(stat -c %s "$data.gz") / 1048576}")
fastest=${time_igzip:-$time_gzip}
fastest_name=$([ -n "$igzip" ] && echo "igzip -dc" || echo "gzip -dc")

cat <<EOF
Input: $reads reads of 50 bases, $size_mb MB plain, $size_gz_mb MB gzipped ($unique distinct reads);
best of $repeat runs, wall time; peak memory is the maximum resident set size; machine: $(nproc) cores,
$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1), load average $(cut -d ' ' -f 1 /proc/loadavg) at the end.

| command | time (s) | peak memory (MB) | ratio |
|---|---:|---:|---|
| \`cat FILE > /dev/null\` | $time_cat | $(mb "$rss_cat") | floor |
| \`morvane count -m S FILE\` | $time_count | $(mb "$rss_count") | $(ratio "$time_count" "$time_cat")x cat (target <= 8x) |
| \`LC_ALL=C awk 'NR%4==2' FILE \| sort \| uniq -c \| sort -rn\` | $time_pipeline | $(mb "$rss_pipeline") | $(ratio "$time_pipeline" "$time_count")x morvane (target >= 10x) |
| \`gzip -dc FILE.gz > /dev/null\` | $time_gzip | $(mb "$rss_gzip") | |
EOF
[ -n "$igzip" ] && echo "| \`igzip -dc FILE.gz > /dev/null\` | $time_igzip | $(mb "$rss_igzip") | |"
cat <<EOF
| \`morvane count -m S FILE.gz\` | $time_count_gz | $(mb "$rss_count_gz") | $(ratio "$time_count_gz" "$fastest")x $fastest_name (target <= 1.5x) |
| \`morvane count -m S DISTINCT\` ($unique_distinct distinct) | $time_distinct | $(mb "$rss_distinct") | $(awk "BEGIN{printf \"%.0f\", ($rss_distinct - $rss_tiny) * 1024 / $unique_distinct}") bytes per distinct read (target < 200) |
| \`morvane count -m S TINY\` (10 reads) | $time_tiny | $(mb "$rss_tiny") | fixed part (target < 64 MB) |

gzip backends inside morvane (\`$(basename "$build")/bench/gzip_backends FILE.gz\`):

$("$build/bench/gzip_backends" "$data.gz")
EOF

real=$root/../shared/realdata/lineage_reads_1000.fq
if [ -f "$real" ]; then
  echo
  echo "Real reads ($(basename "$real"), $(grep -c '' "$real") lines):"
  echo
  echo '```'
  "$morvane" count -m S "$real" | head -12
  echo '```'
fi
