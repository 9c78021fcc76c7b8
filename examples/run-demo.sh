#!/usr/bin/env bash
# Runs the whole pipeline on the bundled example data: reads -> count table
# -> clusters -> map file -> per-barcode report.
set -euo pipefail
morvane=${1:-build/morvane}
here=$(cd "$(dirname "$0")" && pwd)
out=${OUT:-out/demo}
mkdir -p "$out"

# Each step's table goes to its -o file; its progress and warnings to a log,
# shown only when the step fails.
step() {
    local name=$1
    shift
    if ! "$morvane" "$@" >/dev/null 2>"$out/$name.log"; then
        cat "$out/$name.log" >&2
        echo "$name failed (log: $out/$name.log)" >&2
        exit 1
    fi
}

# Reads are an 18 bp constant, the 20 bp barcode and 12 bp; qualities are
# Phred+33. The layout finds the constant and keeps the 18 letters after it,
# the barcode's first 18, the length of map's words.
step count count -m S -p 'GATGTCCACGAGGTCTCT[18]' -o "$out/counts.txt" "$here/reads.fastq.gz"
step cluster cluster -o "$out/clusters.txt" "$out/counts.txt"
step map map -o "$out/mapped.txt" "$out/clusters.txt" "$here/barcodes.tsv"
step tabulate tabulate -o "$out/report.tsv" "$out/mapped.txt" "$here/barcodes.tsv"

echo "count table:  $out/counts.txt"
echo "clusters:     $out/clusters.txt"
echo "map file:     $out/mapped.txt"
echo "report:       $out/report.tsv"
echo
echo "How the clusters were matched (head of $out/mapped.txt):"
head -6 "$out/mapped.txt"
echo
echo "The report's first lines ($out/report.tsv):"
head -8 "$out/report.tsv"
