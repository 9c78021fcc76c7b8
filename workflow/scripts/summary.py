#!/usr/bin/python3
"""Writes summary.tsv: one row per sample with the fate of its reads.

From the count table header: total reads, unique reads, filtered bases.
From the map file: the clusters of each match kind (its summary lines) and
their reads (the cluster lines); the reads of all clusters, and the rest of
the reads, which `cluster` left out (sequences too rare to stand alone, and
reads that `count -c` dropped). Alignments scoring below tabulate's
cutoff are counted apart as weak: they reach no barcode. From the count
matrix: the reads assigned to barcodes and the barcodes that got none.

    summary.py --matrix counts.tsv --out summary.tsv --samples s1 s2 ...
               --count-tables c1 c2 ... --maps m1 m2 ... [--align-cutoff 70]
"""

import argparse
import sys

from tables import MATCH_KINDS, TableError, count_table_header, map_tallies, matrix_column_totals

COLUMNS = (
    "sample", "total_reads", "unique_reads", "filtered_bases",
    "clustered_reads", "unclustered_reads", "clusters",
    "mm0_clusters", "mm0_reads", "mm1_clusters", "mm1_reads", "mm2_clusters", "mm2_reads",
    "align_clusters", "align_reads", "weak_align_clusters", "weak_align_reads", "unmatched_clusters", "unmatched_reads",
    "assigned_reads", "assigned_fraction", "barcodes", "zero_read_barcodes", "zero_read_fraction",
)

# Names of the map file's match kinds in the summary columns.
KIND_COLUMN = {"mm0": "mm0", "mm1": "mm1", "mm2": "mm2", "align": "align", "none": "unmatched"}


def fraction(part, whole):
    return "%.4f" % (part / whole) if whole else "0.0000"


def sample_row(name, table_path, map_path, assigned, zeros, barcodes, align_cutoff):
    row = {"sample": name}
    row.update(count_table_header(table_path))
    summary, clusters, reads = map_tallies(map_path, align_cutoff)
    for kind in MATCH_KINDS:
        if summary[kind] != clusters[kind]:
            raise TableError("%s: the summary gives %d %s clusters, the lines hold %d"
                             % (map_path, summary[kind], kind, clusters[kind]))
        row[KIND_COLUMN[kind] + "_clusters"] = clusters[kind]
        row[KIND_COLUMN[kind] + "_reads"] = reads[kind]
    row["weak_align_clusters"] = clusters["weak"]
    row["weak_align_reads"] = reads["weak"]
    row["clusters"] = sum(clusters[kind] for kind in MATCH_KINDS)
    row["clustered_reads"] = sum(reads[kind] for kind in MATCH_KINDS)
    row["unclustered_reads"] = row["total_reads"] - row["clustered_reads"]
    # A cluster aligned equally well to several barcodes counts for each
    # of them, so assigned reads can exceed the clustered reads slightly.
    row["assigned_reads"] = assigned
    row["assigned_fraction"] = fraction(assigned, row["total_reads"])
    row["barcodes"] = barcodes
    row["zero_read_barcodes"] = zeros
    row["zero_read_fraction"] = fraction(zeros, barcodes)
    return row


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--matrix", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--samples", nargs="+", required=True)
    parser.add_argument("--count-tables", nargs="+", required=True)
    parser.add_argument("--maps", nargs="+", required=True)
    parser.add_argument("--align-cutoff", type=int, default=70,
                        help="tabulate's -c: alignments below it are counted as weak")
    args = parser.parse_args(argv)
    if not len(args.samples) == len(args.count_tables) == len(args.maps):
        parser.error("one count table and one map file per sample")
    try:
        matrix_samples, sums, zeros, barcodes = matrix_column_totals(args.matrix)
        if matrix_samples != args.samples:
            raise TableError("%s: its samples differ from the sample list" % args.matrix)
        out = [sample_row(name, args.count_tables[i], args.maps[i], sums[i], zeros[i], barcodes, args.align_cutoff)
               for i, name in enumerate(args.samples)]
    except (OSError, ValueError, TableError) as error:
        print("summary: %s" % error, file=sys.stderr)
        return 1
    with open(args.out, "w", encoding="utf-8", newline="\n") as f:
        f.write("\t".join(COLUMNS) + "\n")
        for row in out:
            f.write("\t".join(str(row[c]) for c in COLUMNS) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
