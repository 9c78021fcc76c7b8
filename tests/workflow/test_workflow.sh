#!/usr/bin/env bash
# Runs the workflow on the three example samples and checks the count
# matrix, the summary and the report against the per-sample files.
#
#   tests/workflow/test_workflow.sh MORVANE SOURCE_DIR
#
# Exits 77 (reported as skipped) when snakemake or matplotlib is missing.
set -euo pipefail
morvane=$(realpath "$1")
src=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)

if ! command -v snakemake >/dev/null 2>&1; then
    echo "snakemake not found: skipping (tools/install-deps.sh snakemake python3-matplotlib)"
    exit 77
fi
# The interpreter snakemake runs on is the one the workflow's scripts get.
python=$(head -1 "$(command -v snakemake)" | sed -n 's/^#! *//p' | awk '{print $1}')
[ -x "$python" ] || python=/usr/bin/python3
if ! "$python" -c "import matplotlib" 2>/dev/null; then
    echo "matplotlib missing for $python: skipping"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The barcode file backwards, so that its order differs from the name order
# of the reports, with a line without a tab and, first, an older name for
# a sequence that a later line names again.
# (No early-closing readers such as head in these pipes: with pipefail a
# writer killed by SIGPIPE would end the test.)
grep -v '^#' "$src/examples/barcodes.tsv" | tac > "$work/reversed.tsv"
{
    echo "#strain	barcode"
    sed -n '$s/^[^\t]*/old_name/p' "$work/reversed.tsv"
    sed -n '1,100p' "$work/reversed.tsv"
    echo "not a barcode line"
    sed -n '101,$p' "$work/reversed.tsv"
} > "$work/barcodes.tsv"

cat > "$work/config.yaml" <<EOF
barcodes: $work/barcodes.tsv
samples: $src/examples/samples.tsv
outdir: $work/out
morvane: $morvane
count:
  quality: "S"
  trim: "18:14"
split_by_match_kind: true
EOF

run() {
    snakemake -s "$src/workflow/Snakefile" --directory "$work" --configfile "$work/config.yaml" --cores 2 "$@"
}
if ! run -q >"$work/snakemake.log" 2>&1; then
    cat "$work/snakemake.log"
    echo "FAIL: the workflow did not run"
    exit 1
fi

status=0
"$python" "$here/check_outputs.py" "$work/out" "$src/examples/samples.tsv" "$work/barcodes.tsv" || status=1

# A second run finds everything up to date.
again=$(run -n 2>&1 || true)
if ! grep -q "Nothing to be done" <<<"$again"; then
    echo "FAIL: a second run wants to redo work"
    status=1
fi
exit $status
