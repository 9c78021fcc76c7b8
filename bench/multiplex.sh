#!/usr/bin/env bash
# A multiplexed paired run of 96 samples (bench/gen_multiplex): checks that
# `morvane count -x` sends every pair to its true sample (by the header's
# i7+i5, by <8> slots on both reads, by a <8> slot on read 1), then times
# -x against a plain count of the same pairs with the same layouts, against
# cutadapt demultiplexing the pairs by i7 alone, and -2 with layouts on both
# reads against -p on read 1 alone; beside them a plain count with the
# indexes in the key; prints Markdown tables.
#
#   bench/multiplex.sh [BUILD_DIR]        (default: build; `make bench` first)
#
# Environment: PAIRS (default 2000000), SEED (1), REPEAT (best of, 3),
# WORK (where the data go, default $TMPDIR/morvane-multiplex), CUTADAPT=0 to
# leave cutadapt out (it is also left out when missing).
set -euo pipefail

. "$(dirname "$0")/common.sh" morvane-multiplex "${1:-}" /usr/bin/time python3
pairs=${PAIRS:-2000000}
up1='GTCGACCTGCAGCGTACG[20]CGCTCGAGGG'
up2='AGCTTGCATGCCTGCA[12]'
# The same layouts with the 8 index letters as a skip (plain count, -x by
# header) or as a sample barcode slot.
plain1="{8}{0-8}$up1" plain2="{8}{0-4}$up2"
slot1="<8>{0-8}$up1" slot2="<8>{0-4}$up2"
# And as barcode letters: a plain count whose keys hold the indexes, so that
# the counter holds as many distinct keys as -x's (sample, key) pairs and
# more, without any split. It tells what -x costs over the plain count
# because its keys are many (and their frequent ones beyond the caches)
# from what the split itself costs.
index1="[8]{0-8}$up1" index2="[8]{0-4}$up2"

data=$work/run-$pairs-$seed
if [ ! -s "${data}_R2.fastq" ]; then
  echo "generating $pairs pairs in $work ..." >&2
  "$build/bench/gen_multiplex" -n "$pairs" -s "$seed" -o "$data"
fi
cat "${data}_R1.fastq" "${data}_R2.fastq" > /dev/null  # into the page cache

# check TRUTH DIR: every sample's table and the undetermined pairs against
# the generator's truth (pairs per sample, pairs per key).
check() {
  python3 - "$1" "$2" <<'EOF'
import collections, sys
truth_path, out = sys.argv[1], sys.argv[2]
pairs, keys = {}, collections.defaultdict(dict)
for line in open(truth_path):
    f = line.rstrip('\n').split('\t')
    if len(f) == 2:
        pairs[f[0]] = int(f[1])
    else:
        keys[f[0]][f[1]] = int(f[2])
wrong = 0
for name, n in pairs.items():
    if name == 'undetermined':
        got = int(open(out + '/undetermined.txt').readline().split(': ')[1])
        if got != n:
            print('undetermined: %d pairs, truth %d' % (got, n), file=sys.stderr)
            wrong += 1
        continue
    lines = open('%s/%s.txt' % (out, name)).read().split('\n')
    total = int(next(l for l in lines if l.startswith('#total reads')).split(': ')[1])
    table = {l.split('\t')[0]: int(l.split('\t')[1]) for l in lines if l and not l.startswith('#')}
    if total != n or table != keys[name]:
        print('%s: %d pairs, truth %d; %d keys, truth %d' % (name, total, n, len(table), len(keys[name])), file=sys.stderr)
        wrong += 1
print('%d samples, %d undetermined pairs: %s' % (len(pairs) - 1, pairs['undetermined'],
      'all as the truth' if wrong == 0 else '%d tables differ' % wrong))
sys.exit(1 if wrong else 0)
EOF
}

# best_of NAME COMMAND: one run of COMMAND; wall_NAME and cpu_NAME keep the
# least wall and user + system CPU time so far, mem_NAME the peak memory of
# the last. The commands take turns, round after round, so that a slow spell
# of a shared machine does not fall on one command's runs alone.
best_of() {
  local name=$1 command=$2 w c m wall_var=wall_$1 cpu_var=cpu_$1
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" bash -c "$command" 2>/dev/null ||
    { echo "failed: $command" >&2; exit 1; }
  read -r w c m < <(awk '{printf "%.2f %.2f %d\n", $1, $2 + $3, $4}' "$work/time.txt")
  if [ -z "${!wall_var:-}" ] || awk "BEGIN{exit !($w < ${!wall_var})}"; then printf -v "$wall_var" '%s' "$w"; fi
  if [ -z "${!cpu_var:-}" ] || awk "BEGIN{exit !($c < ${!cpu_var})}"; then printf -v "$cpu_var" '%s' "$c"; fi
  printf -v "mem_$name" '%s' "$(mb "$m")"
}

r1=${data}_R1.fastq r2=${data}_R2.fastq
count="'$morvane' count -m S"
header_x="$count -p '$plain1' -P '$plain2' -2 '$r2' -x '$data.sheet' -d '$work/by-header' '$r1'"
both_x="$count -p '$slot1' -P '$slot2' -2 '$r2' -x '$data.sheet' -d '$work/by-both' '$r1'"
i7_x="$count -p '$slot1' -P '$plain2' -2 '$r2' -x '$data.i7.sheet' -d '$work/by-i7' '$r1'"

echo "## Pairs to their samples" && echo
for run in header both i7; do
  rm -rf "$work/by-$run"
  command_var=${run}_x
  bash -c "${!command_var}" 2> "$work/$run.err"
  printf -- '- `-x` by %s: ' "$run"
  check "$data.$run.truth" "$work/by-$run"
done
echo

with_cutadapt=0
if [ "${CUTADAPT:-1}" != 0 ] && command -v cutadapt >/dev/null; then
  with_cutadapt=1
  mkdir -p "$work/cutadapt"
fi
for ((round = 0; round < repeat; round++)); do
  best_of plain "$count -p '$plain1' -P '$plain2' -2 '$r2' '$r1' > '$work/plain.txt'"
  best_of header "$header_x"
  best_of both "$both_x"
  best_of i7 "$i7_x"
  best_of single "$count -p '$plain1' '$r1' > '$work/single.txt'"
  best_of indexed "$count -p '$index1' -P '$index2' -2 '$r2' '$r1' > '$work/indexed.txt'"
  if [ "$with_cutadapt" = 1 ]; then
    best_of cutadapt "cutadapt -j 1 -g '^file:$data.fa' -o '$work/cutadapt/{name}_R1.fastq' -p '$work/cutadapt/{name}_R2.fastq' '$r1' '$r2' > '$work/cutadapt.log'"
    rm -f "$work"/cutadapt/*.fastq  # its 7 GB would push the input out of the page cache
  fi
done

keys_in() { cat "$@" | grep -vc '^#'; }
cat <<EOF
## Times

Input: $pairs pairs (bench/gen_multiplex, seed $seed), 96 samples, read 1 of 70 letters, read 2 of 50;
least of $repeat runs, the commands taking turns; machine: $(nproc) cores shared with other work, load average $(cut -d ' ' -f 1 /proc/loadavg) at the end.
LAYOUT1 = \`$plain1\`, LAYOUT2 = \`$plain2\`; with \`<8>\` in place of \`{8}\`: SLOT1, SLOT2; with \`[8]\`: INDEXED1, INDEXED2.

| command | wall (s) | CPU (s) | memory (MB) | ratio (wall) |
|---|---:|---:|---:|---|
| \`count -m S -p LAYOUT1 -P LAYOUT2 -2 R2 R1\` | $wall_plain | $cpu_plain | $mem_plain | |
| \`count ... -x SHEET -d DIR\` (by the header's i7+i5) | $wall_header | $cpu_header | $mem_header | $(ratio "$wall_header" "$wall_plain")x the plain count (target <= 1.3x) |
| \`count -m S -p SLOT1 -P SLOT2 -2 R2 -x SHEET -d DIR R1\` | $wall_both | $cpu_both | $mem_both | $(ratio "$wall_both" "$wall_plain")x |
| \`count -m S -p SLOT1 -P LAYOUT2 -2 R2 -x I7_SHEET -d DIR R1\` | $wall_i7 | $cpu_i7 | $mem_i7 | $(ratio "$wall_i7" "$wall_plain")x |
| \`count -m S -p INDEXED1 -P INDEXED2 -2 R2 R1\` (the indexes in the key, no \`-x\`) | $wall_indexed | $cpu_indexed | $mem_indexed | $(ratio "$wall_indexed" "$wall_plain")x |
| \`count -m S -p LAYOUT1 R1\` (read 1 alone) | $wall_single | $cpu_single | $mem_single | the pairs take $(ratio "$wall_plain" "$wall_single")x (target <= 2x) |
EOF
if [ "$with_cutadapt" = 1 ]; then
  cat <<EOF
| \`cutadapt -j 1 -g ^file:I7.fa -o {name}_R1.fastq -p {name}_R2.fastq R1 R2\` | $wall_cutadapt | $cpu_cutadapt | $mem_cutadapt | $(ratio "$wall_cutadapt" "$wall_i7")x the \`<8>\` split by i7 (target >= 10x) |
EOF
fi
echo
sample_keys=$(find "$work/by-header" -name '*.txt' ! -name undetermined.txt -print0 | xargs -0 cat | grep -vc '^#')
echo "Distinct keys: $(keys_in "$work/plain.txt") in the plain count; $sample_keys (sample, key) pairs over the samples' tables of \`-x\` by the header; $(keys_in "$work/indexed.txt") with the indexes in the key."
