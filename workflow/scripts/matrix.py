#!/usr/bin/python3
"""Joins per-sample tabulate reports into one count matrix: a row per
barcode, in the order of the barcode file, and a column per sample holding
that sample's `total`. Optionally also the matrices of mismatch matches
(mm0 + mm1 + mm2) and of alignments.

    matrix.py --barcodes B --out counts.tsv [--mismatch M --align A]
              --samples s1 s2 ... --reports r1 r2 ...
"""

import argparse
import sys

from tables import TableError, barcode_order, read_report

# Columns of a report row: details, sequence, total, mm0, mm1, mm2, align.
TOTAL, MM0, MM1, MM2, ALIGN = 2, 3, 4, 5, 6


def ordered_rows(order, rows, path):
    """The report rows sorted by the barcode file's line order.

    The report is ordered by name; the matrix keeps the order the user
    wrote the barcodes in."""
    keyed = []
    for row in rows:
        position = order.get(row[1])
        if position is None:
            raise TableError("%s: barcode %s (%s) is not in the barcode file" % (path, row[1], row[0]))
        keyed.append((position, row))
    keyed.sort(key=lambda item: item[0])
    for (a, _), (b, _) in zip(keyed, keyed[1:]):
        if a == b:
            raise TableError("%s: two rows for one barcode" % path)
    return [row for _, row in keyed]


def join_reports(barcodes_path, report_paths):
    """(rows, columns): rows is the list of (details, sequence); columns
    holds per sample its rows in the same order, checked to name the same
    barcodes as the first sample's report."""
    order = barcode_order(barcodes_path)
    rows, columns = None, []
    for path in report_paths:
        sample_rows = ordered_rows(order, read_report(path), path)
        keys = [(r[0], r[1]) for r in sample_rows]
        if rows is None:
            rows = keys
        elif keys != rows:
            raise TableError("%s: its barcodes differ from those of %s" % (path, report_paths[0]))
        columns.append(sample_rows)
    return rows or [], columns


def write_matrix(path, samples, rows, columns, value):
    with open(path, "w", encoding="utf-8", errors="surrogateescape", newline="\n") as f:
        f.write("bcid\tbarcode\t" + "\t".join(samples) + "\n")
        for index, (details, sequence) in enumerate(rows):
            counts = (str(value(column[index])) for column in columns)
            f.write(details + "\t" + sequence + "\t" + "\t".join(counts) + "\n")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--barcodes", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--mismatch")
    parser.add_argument("--align")
    parser.add_argument("--samples", nargs="+", required=True)
    parser.add_argument("--reports", nargs="+", required=True)
    args = parser.parse_args(argv)
    if len(args.samples) != len(args.reports):
        parser.error("one report per sample")
    try:
        rows, columns = join_reports(args.barcodes, args.reports)
    except (OSError, TableError) as error:
        print("matrix: %s" % error, file=sys.stderr)
        return 1
    write_matrix(args.out, args.samples, rows, columns, lambda r: r[TOTAL])
    if args.mismatch:
        write_matrix(args.mismatch, args.samples, rows, columns, lambda r: r[MM0] + r[MM1] + r[MM2])
    if args.align:
        write_matrix(args.align, args.samples, rows, columns, lambda r: r[ALIGN])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
