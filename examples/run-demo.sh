#!/usr/bin/env bash
# Runs the pipeline on the bundled example data.
set -euo pipefail
morvane=${1:-build/morvane}
here=$(cd "$(dirname "$0")" && pwd)
out=${OUT:-out/demo}
mkdir -p "$out"
"$morvane" count -o "$out/counts.txt" "$here/reads.fastq.gz" >/dev/null
echo "count table: $out/counts.txt"
head -8 "$out/counts.txt"
