#!/usr/bin/python3
"""Joins per-sample tabulate reports into one count matrix: a row per
barcode, in the order of the barcode file, and a column per sample holding
that sample's `total`. Optionally also the matrices of mismatch matches
(mm0 + mm1 + mm2) and of alignments, and, for a library with genes, the
same counts as screen statistics tools read them: `sgRNA`, `Gene`, then
one column per sample.

    matrix.py --barcodes B --out counts.tsv [--mismatch M --align A]
              [--genes library.tsv --mageck counts_mageck.tsv]
              --samples s1 s2 ... --reports r1 r2 ...
"""

import argparse
import os
import sys
from array import array

from tables import TableError, barcode_order, read_report

# Columns of a report row: details, sequence, total, mm0, mm1, mm2, align.
TOTAL, MM0, MM1, MM2, ALIGN = 2, 3, 4, 5, 6

# What each matrix holds, from a report row.
VALUES = {
    "total": lambda r: r[TOTAL],
    "mismatch": lambda r: r[MM0] + r[MM1] + r[MM2],
    "align": lambda r: r[ALIGN],
}


def matrix_rows(order, report_path):
    """(details, sequence) of the barcodes in the order of the barcode file.

    The report is ordered by name; the matrix keeps the order the user
    wrote the barcodes in."""
    keyed = []
    for row in read_report(report_path):
        position = order.get(row[1])
        if position is None:
            raise TableError("%s: barcode %s (%s) is not in the barcode file" % (report_path, row[1], row[0]))
        keyed.append((position, row[0], row[1]))
    keyed.sort()
    return [(details, sequence) for _, details, sequence in keyed]


def sample_columns(rows, index_of, path, kinds):
    """One sample's counts in matrix row order, an array per kind, checked
    to name exactly the barcodes of the matrix rows."""
    columns = {kind: array("q", bytes(8 * len(rows))) for kind in kinds}
    seen = bytearray(len(rows))
    for row in read_report(path):
        i = index_of.get(row[1])
        if i is None or rows[i][0] != row[0]:
            raise TableError("%s: barcode %s (%s) is not one of %d barcodes of the first report"
                             % (path, row[1], row[0], len(rows)))
        if seen[i]:
            raise TableError("%s: two rows for barcode %s" % (path, row[1]))
        seen[i] = 1
        for kind in kinds:
            columns[kind][i] = VALUES[kind](row)
    if seen.count(0):
        raise TableError("%s: %d barcodes of the first report are missing" % (path, seen.count(0)))
    return columns


def join_reports(morvane, barcodes_path, report_paths, kinds=("total",)):
    """(rows, columns): rows is the list of (details, sequence); columns
    maps each kind to one array of counts per sample. Memory is one 8-byte
    count per barcode, sample and kind."""
    rows = matrix_rows(barcode_order(morvane, barcodes_path), report_paths[0]) if report_paths else []
    index_of = {sequence: i for i, (_, sequence) in enumerate(rows)}
    if len(index_of) != len(rows):
        raise TableError("%s: two rows for one barcode" % report_paths[0])
    columns = {kind: [] for kind in kinds}
    for path in report_paths:
        for kind, column in sample_columns(rows, index_of, path, kinds).items():
            columns[kind].append(column)
    return rows, columns


def write_matrix(path, samples, rows, columns):
    with open(path, "w", encoding="utf-8", errors="surrogateescape", newline="\n") as f:
        f.write("bcid\tbarcode\t" + "\t".join(samples) + "\n")
        for index, (details, sequence) in enumerate(rows):
            counts = (str(column[index]) for column in columns)
            f.write(details + "\t" + sequence + "\t" + "\t".join(counts) + "\n")


def read_genes(path):
    """Barcode sequence -> gene, from the id, sequence, gene lines that the
    workflow's library step writes."""
    genes = {}
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) >= 3:
                genes[fields[1]] = fields[2]
    return genes


def write_gene_matrix(path, samples, rows, columns, genes):
    with open(path, "w", encoding="utf-8", errors="surrogateescape", newline="\n") as f:
        f.write("sgRNA\tGene\t" + "\t".join(samples) + "\n")
        for index, (details, sequence) in enumerate(rows):
            counts = (str(column[index]) for column in columns)
            f.write(details + "\t" + genes.get(sequence, details) + "\t" + "\t".join(counts) + "\n")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--barcodes", required=True)
    parser.add_argument("--morvane", default=os.environ.get("MORVANE", "morvane"), help="reads the barcode file")
    parser.add_argument("--out", required=True)
    parser.add_argument("--mismatch")
    parser.add_argument("--align")
    parser.add_argument("--genes")
    parser.add_argument("--mageck")
    parser.add_argument("--samples", nargs="+", required=True)
    parser.add_argument("--reports", nargs="+", required=True)
    args = parser.parse_args(argv)
    if len(args.samples) != len(args.reports):
        parser.error("one report per sample")
    outputs = {"total": args.out, "mismatch": args.mismatch, "align": args.align}
    outputs = {kind: path for kind, path in outputs.items() if path}
    try:
        rows, columns = join_reports(args.morvane, args.barcodes, args.reports, tuple(outputs))
    except (OSError, TableError) as error:
        print("matrix: %s" % error, file=sys.stderr)
        return 1
    for kind, path in outputs.items():
        write_matrix(path, args.samples, rows, columns[kind])
    if args.genes and args.mageck:
        write_gene_matrix(args.mageck, args.samples, rows, columns["total"], read_genes(args.genes))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
