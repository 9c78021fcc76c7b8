#!/usr/bin/env bash
# What the workflow's molecule merge (workflow/scripts/molecules.py) costs on
# a large sample: a barcode-and-UMI table of N barcodes with K UMIs each (the
# UMIs one letter from a few origins, so the collapse has work), each
# barcode with an error variant that is a member of its cluster, and every
# core matched by words.
#
#   bench/merge_molecules.sh            (N=100000 K=10: 2 M keys)
#
# Environment: N, K, SEED (1), WORK (default $TMPDIR/morvane-bench-merge).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
n=${N:-100000}
k=${K:-10}
work=${WORK:-${TMPDIR:-/tmp}/morvane-bench-merge}
mkdir -p "$work"
command -v /usr/bin/time >/dev/null || { echo "merge_molecules.sh needs /usr/bin/time" >&2; exit 1; }

python3 - "$work" "$n" "$k" "${SEED:-1}" <<'EOF'
import random
import sys

work, n, k, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(seed)
letters = "ACGT"


def word(length):
    return "".join(rng.choice(letters) for _ in range(length))


with open(work + "/umi-table.txt", "w") as umis, open(work + "/clusters.txt", "w") as clusters, \
        open(work + "/map.txt", "w") as mapped, open(work + "/report.tsv", "w") as report, \
        open(work + "/barcodes.tsv", "w") as barcodes:
    mapped.write("#contains: %d\n#\tmm0s: %d\n#\tmm1s: 0\n#\tmm2s: 0\n#aligns: 0\n#misses: 0\n" % (n, n))
    report.write("#bcid\tbarcode\ttotal\tmm0\tmm1\tmm2\talign\n")
    for b in range(n):
        barcode = word(20)
        variant = barcode[:7] + "N" + barcode[8:]
        origin = word(10)
        for u in range(k):
            umi = origin if u == 0 else origin[:u % 10] + rng.choice(letters) + origin[u % 10 + 1:]
            umis.write("%s%s\t%d\n" % (barcode, umi, rng.randint(1, 20)))
            if u % 3 == 0:
                umis.write("%s%s\t1\n" % (variant, umi))
        clusters.write("%s\t1:0\t%d\t%d\t1\t0\t%s:1:1\n" % (barcode, 2 * k, 2 * k, variant))
        mapped.write("%s\t%d\t0:0\t1\t0\t0\t0\t0\tmm0\tbc%07d\t%s\n" % (barcode, k, b, barcode))
        report.write("bc%07d\t%s\t0\t0\t0\t0\t0\n" % (b, barcode))
        barcodes.write("bc%07d\t%s\n" % (b, barcode))
EOF
echo 0 > "$work/cutoff.txt"
keys=$(wc -l < "$work/umi-table.txt")
echo "keys: $keys; table $(du -m "$work/umi-table.txt" | cut -f1) MB"
/usr/bin/time -f "molecules.py: %U s user, %e s wall, %M KB peak" \
    python3 "$root/workflow/scripts/molecules.py" --umi-table "$work/umi-table.txt" --umi-positions 20-29 \
    --clusters "$work/clusters.txt" --map "$work/map.txt" --align-cutoff "$work/cutoff.txt" \
    --report "$work/report.tsv" --out "$work/molecules.tsv"
