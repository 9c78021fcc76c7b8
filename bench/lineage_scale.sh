#!/usr/bin/env bash
# Runs the workflow on a lineage time course at scale (bench/gen_lineage) and
# prints its wall time, peak memory, the time of each step and how the
# discovered barcodes compare with the truth.
#
#   bench/lineage_scale.sh [build_dir]
#
# CLONES (20000), READS per sample (2000000), MOLECULES per sample (372000),
# LENGTH of the reads (110) and LAYOUT (the barcode between its constants,
# with the UMI) change the data; the data are made once per setting in
# $TMPDIR/morvane-lineage. OUT names the run's directory (default: "run");
# TARGET=discover stops after the discovered barcodes.
set -euo pipefail
. "$(dirname "$0")/common.sh" morvane-lineage "${1:-}" snakemake
clones=${CLONES:-20000}
reads=${READS:-2000000}
molecules=${MOLECULES:-372000}
length=${LENGTH:-110}
layout=${LAYOUT:-ACTGACTGCAGTCGAACG[60]GTCGTATCGACT(10)}
data=$work/c$clones-r$reads-m$molecules-l$length
if [ ! -s "$data/truth.tsv" ]; then
  mkdir -p "$data"
  "$build/bench/gen_lineage" -c "$clones" -r "$reads" -m "$molecules" -l "$length" -s "${SEED:-20261209}" -o "$data"
fi
run=$data/${OUT:-run}
rm -rf "$run"
mkdir -p "$run"
cat > "$run/config.yaml" <<YAML
barcodes: ""
samples: $data/samples.tsv
outdir: $run/out
morvane: $morvane
count:
  quality: "S"
  layout: "$layout"
  both_strands: true
YAML
cd "$root"
target=all
[ "${TARGET:-all}" = discover ] && target=$run/out/discovered_barcodes.tsv
/usr/bin/time -f '%e %M %U %S' -o "$run/time" snakemake "$target" -s workflow/Snakefile --configfile "$run/config.yaml" \
  --cores 2 --stats "$run/stats.json" --quiet all > "$run/snakemake.log" 2>&1 ||
  { tail -30 "$run/snakemake.log"; exit 1; }
read -r wall peak user sys < "$run/time"
echo "clones $clones, $reads reads x 3, read length $length, layout $layout"
echo "wall time $wall s, CPU $user s user + $sys s system, peak memory $(mb "$peak") MB (the largest process)"
python3 - "$run/stats.json" <<'PY'
import json, sys
stats = json.load(open(sys.argv[1]))
jobs = {}
for job in stats["files"].values():
    jobs.setdefault((job["start-time"], job["stop-time"]), job["duration"])
for rule, times in sorted(stats["rules"].items(), key=lambda item: -item[1]["max-runtime"]):
    print("  %-14s mean %6.2f s, longest %6.2f s" % (rule, times["mean-runtime"], times["max-runtime"]))
PY
python3 "$root/bench/lineage_truth.py" --truth "$data/truth.tsv" --out "$run/out"
