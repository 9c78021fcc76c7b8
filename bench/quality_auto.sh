#!/usr/bin/env bash
# What `count -m A` costs over the explicit letter: the same reads with
# Phred+33 and Phred+64 qualities, plain and gzipped, from a file and from
# standard input; -m A must give the same table as -m S / -m I.
#
#   bench/quality_auto.sh [BUILD_DIR]        (default: build; `make build` first)
#
# Environment: READS (default 2000000), SEED (1), REPEAT (least of, 7),
# WORK (default $TMPDIR/morvane-quality), INSTRUCTIONS (0: no instruction
# counts; they need valgrind).
set -euo pipefail

REPEAT=${REPEAT:-7}
. "$(dirname "$0")/common.sh" morvane-quality "${1:-}" gzip
reads=${READS:-2000000}

for offset in 33 64; do
  data=$work/reads-$reads-$seed-p$offset.fastq
  if [ ! -s "$data.gz" ]; then
    echo "generating $reads Phred+$offset reads in $work ..." >&2
    "$build/bench/gen_reads" -n "$reads" -s "$seed" -q "$offset" > "$data"
    gzip -6 -c "$data" > "$data.gz"
  fi
  cat "$data" "$data.gz" > /dev/null  # into the page cache
done

# pair EXPLICIT AUTO: the least CPU time (user + system, seconds) of each of
# two commands over REPEAT rounds, run in turn so that both meet the same
# load; sets t_explicit and t_auto. On a shared machine CPU time varies far
# less than wall time.
TIMEFORMAT='%3U %3S'
cpu_time() {
  { time eval "$1" ; } 2> "$work/time.txt" || { echo "failed: $1" >&2; exit 1; }
  tail -n 1 "$work/time.txt" | awk '{printf "%.3f", $1 + $2}'
}
pair() {
  t_explicit="" t_auto=""
  local t
  for ((i = 0; i < repeat; i++)); do
    t=$(cpu_time "$1")
    if [ -z "$t_explicit" ] || awk "BEGIN{exit !($t < $t_explicit)}"; then t_explicit=$t; fi
    t=$(cpu_time "$2")
    if [ -z "$t_auto" ] || awk "BEGIN{exit !($t < $t_auto)}"; then t_auto=$t; fi
  done
}

cat <<EOT
Input: $reads reads of 50 bases; least CPU time (user + system) of $repeat runs each, in turn; machine: $(nproc) cores,
$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1), load average $(cut -d ' ' -f 1 /proc/loadavg) at the start.

| reads | input | explicit letter (s) | \`-m A\` (s) | -m A / explicit |
|---|---|---:|---:|---:|
EOT
for offset in 33 64; do
  letter=$([ "$offset" = 33 ] && echo S || echo I)
  data=$work/reads-$reads-$seed-p$offset.fastq
  for input in "file" "file.gz" "stdin" "stdin.gz"; do
    case $input in
      file) source="'$data'" ;;
      file.gz) source="'$data.gz'" ;;
      stdin) source="-f < '$data'" ;;
      stdin.gz) source="-f < '$data.gz'" ;;
    esac
    eval "'$morvane' count -m $letter $source" > "$work/explicit.txt"
    eval "'$morvane' count -m A $source" > "$work/auto.txt" 2> "$work/auto.err"
    cmp -s "$work/explicit.txt" "$work/auto.txt" || { echo "-m A and -m $letter differ on $input" >&2; exit 1; }
    grep -q -- "-m $letter " "$work/auto.err" || { echo "-m A did not choose $letter" >&2; exit 1; }
    pair "'$morvane' count -m $letter $source > /dev/null" "'$morvane' count -m A $source > /dev/null 2> /dev/null"
    echo "| Phred+$offset | $input | $t_explicit | $t_auto | $(ratio "$t_auto" "$t_explicit") |"
    sum_explicit=$(awk "BEGIN{print ${sum_explicit:-0} + $t_explicit}")
    sum_auto=$(awk "BEGIN{print ${sum_auto:-0} + $t_auto}")
  done
done
echo "| all | | $sum_explicit | $sum_auto | $(ratio "$sum_auto" "$sum_explicit") (target < 1.05) |"

# Instructions executed (valgrind's callgrind), which a shared machine's load
# does not change: the cost itself. INSTRUCTIONS=0 skips it.
if [ "${INSTRUCTIONS:-1}" != 0 ] && command -v valgrind > /dev/null; then
  instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$morvane" count -m "$1" "$2" 2>&1 > /dev/null |
      sed -n 's/.*Collected : //p'
  }
  echo
  echo '| reads (plain file) | explicit letter (instructions) | `-m A` (instructions) | -m A / explicit |'
  echo "|---|---:|---:|---:|"
  for offset in 33 64; do
    letter=$([ "$offset" = 33 ] && echo S || echo I)
    data=$work/reads-$reads-$seed-p$offset.fastq
    explicit=$(instructions "$letter" "$data")
    found=$(instructions A "$data")
    echo "| Phred+$offset | $explicit | $found | $(awk "BEGIN{printf \"%.4f\", $found / $explicit}") |"
  done
fi

real=$root/../shared/realdata/lineage_reads_1000.fq
if [ -f "$real" ]; then
  found=$("$morvane" count -m A "$real" 2>&1 > "$work/real-auto.txt")
  "$morvane" count -m S "$real" > "$work/real-s.txt"
  same=$(cmp -s "$work/real-auto.txt" "$work/real-s.txt" && echo "the same table as -m S" || echo "NOT the table of -m S")
  echo
  echo "Real reads ($(basename "$real")): $found; $same."
fi
