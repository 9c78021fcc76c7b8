#!/usr/bin/env bash
# Runs the workflow on the dual-guide example of examples/make-dualguide.py
# (two samples read in pairs, a library of guide pairs as a CSV table with
# guide 2 written as the guide RNA reads) and checks the per-pair counts,
# the recombinant bucket and the listed recombinations against the
# generator's truth, besides the usual agreement of the outputs.
#
#   tests/workflow/test_dualguide.sh MORVANE SOURCE_DIR
#
# Exits 77 (reported as skipped) when snakemake or matplotlib is missing.
set -euo pipefail
. "$(dirname "$0")/prologue.sh"

"$python" "$src/examples/make-dualguide.py" "$work/data"
cat > "$work/config.yaml" <<CONFIG
outdir: $work/out
morvane: $morvane
barcodes: $work/data/dualguide-library.csv
reverse_guide_2: true
keep_intermediate: true
samples: $work/data/dualguide-samples.tsv
count:
  quality: "S"
  layout: "TCGGTGCAAGTCTAGACC[20]"
  layout_2: "AGCTTGCAGTCCATGGTA[20]"
CONFIG
if ! snakemake -s "$src/workflow/Snakefile" --directory "$work" --configfile "$work/config.yaml" \
        --cores 2 -q >"$work/snakemake.log" 2>&1; then
    cat "$work/snakemake.log"
    echo "FAIL: the dual-guide run did not finish"
    exit 1
fi
out="$work/out"
"$python" "$here/check_outputs.py" "$out" "$work/data/dualguide-samples.tsv" "$out/library/barcodes.tsv" \
    --dualguide-truth "$work/data/dualguide-truth.tsv" || status=1
# Each pair is one barcode, guide 1 then guide 2 as read 2 reads it.
first=$(sed -n '2p' "$work/data/dualguide-library.csv")
guide_2=$(cut -d, -f3 <<<"$first" | tr ACGT TGCA | rev)
[ "$(head -1 "$out/library/barcodes.tsv")" = "pair01	$(cut -d, -f2 <<<"$first")$guide_2" ] ||
    fail "the library's first pair is not guide 1 then guide 2 reverse-complemented"
grep -q "tabulate -g 20" "$out/report.html" || fail "the report does not name the guide pairs"
[ "$(head -1 "$out/counts_mageck.tsv")" = "sgRNA	Gene	plasmid	day 14" ] || fail "counts_mageck.tsv header"
[ $status = 0 ] && echo "dual-guide run agrees with the generator's truth"
exit $status
