#!/usr/bin/python3
"""Writes the barcode list of a run without one: the cores of the pooled
cluster file with at least MIN_READS reads, and the sequences in no
cluster with as many, named by rank (bc000001 has the most reads; equal
totals go by sequence).

    discover.py --table pool/count-table.txt --clusters pool/clusters.txt
                --min-reads auto|N --out discovered_barcodes.tsv
"""

import argparse
import sys

from choices import min_reads, table_reads


def cluster_totals(path):
    """(core, total) of each line of a cluster file, in file order."""
    with open(path, "rb") as f:
        for raw in f:
            if raw.startswith(b"#"):
                continue
            fields = raw.rstrip(b"\r\n").split(b"\t", 3)
            if len(fields) >= 3:
                yield fields[0].decode("ascii", "replace"), int(fields[2])


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--table", required=True)
    parser.add_argument("--clusters", required=True)
    parser.add_argument("--min-reads", default="auto")
    parser.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    pool = table_reads(args.table)
    least = min_reads(pool) if args.min_reads == "auto" else int(args.min_reads)
    kept = sorted((-total, core) for core, total in cluster_totals(args.clusters) if total >= least)
    with open(args.out, "w", encoding="ascii", newline="\n") as f:
        f.write("#discovered barcode\tsequence (pooled reads or molecules: %d; at least %d each)\n" % (pool, least))
        for rank, (_, core) in enumerate(kept, 1):
            f.write("bc%06d\t%s\n" % (rank, core))
    print("discover: %d barcodes with at least %d of %d pooled reads (molecules with UMIs)" % (len(kept), least, pool),
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
