#!/usr/bin/python3
"""Reads a barcode library as labs keep it and writes it in morvane's form.

Accepted forms, told apart by their content:
  - morvane's barcode file: name, a tab, sequence;
  - the common CRISPR library table: id, sequence, gene (tab-separated);
  - CSV: the same columns separated by commas (quotes allowed).
A first line whose sequence field is not made of DNA letters is a header;
lines starting with "#" are comments. Sequences are upper-cased.

    library.py LIBRARY --barcodes barcodes.tsv [--genes library.tsv]
               [--format auto|morvane|crispr|csv] [--reverse-complement]
"""

import argparse
import csv
import re
import sys

DNA = re.compile(r"^[ACGTNacgtn]+$")
COMPLEMENT = str.maketrans("ACGTNacgtn", "TGCANtgcan")


class LibraryError(Exception):
    pass


def reverse_complement(sequence):
    return sequence.translate(COMPLEMENT)[::-1]


def sniff_format(path):
    """csv when the first data line holds commas and no tab, crispr when it
    holds three or more tab-separated fields, morvane otherwise."""
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            if not line.strip() or line.startswith("#"):
                continue
            if "\t" not in line and "," in line:
                return "csv"
            return "crispr" if line.count("\t") >= 2 else "morvane"
    return "morvane"


def data_lines(path, form):
    with open(path, encoding="utf-8", errors="surrogateescape", newline="") as f:
        lines = (line for line in f if line.strip() and not line.startswith("#"))
        if form == "csv":
            yield from csv.reader(lines)
        else:
            for line in lines:
                yield line.rstrip("\r\n").split("\t")


def read_library(path, form="auto"):
    """[(id, sequence, gene or None)] in file order."""
    if form == "auto":
        form = sniff_format(path)
    entries = []
    for number, fields in enumerate(data_lines(path, form)):
        if form == "morvane":
            # As map and tabulate read it: a line without a tab is skipped.
            if len(fields) >= 2:
                entries.append((fields[0], fields[1], None))
            continue
        fields = [field.strip() for field in fields]
        if len(fields) < 2:
            raise LibraryError("%s: a line with fewer than two fields: %r" % (path, "\t".join(fields)[:200]))
        if not DNA.match(fields[1]):
            if number == 0:
                continue  # a header line
            raise LibraryError("%s: %r is not a DNA sequence (id %s)" % (path, fields[1][:80], fields[0]))
        gene = fields[2] if len(fields) > 2 and fields[2] else None
        entries.append((fields[0], fields[1].upper(), gene))
    if not entries:
        raise LibraryError("%s: no barcodes" % path)
    return entries


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("library")
    parser.add_argument("--barcodes", required=True, help="morvane's barcode file, written here")
    parser.add_argument("--genes", help="id, sequence and gene of each barcode, written here")
    parser.add_argument("--format", default="auto", choices=("auto", "morvane", "crispr", "csv"))
    parser.add_argument("--reverse-complement", action="store_true")
    args = parser.parse_args(argv)
    try:
        entries = read_library(args.library, args.format)
    except (OSError, LibraryError) as error:
        print("library: %s" % error, file=sys.stderr)
        return 1
    if args.reverse_complement:
        entries = [(name, reverse_complement(sequence), gene) for name, sequence, gene in entries]
    with open(args.barcodes, "w", encoding="utf-8", errors="surrogateescape", newline="\n") as f:
        f.writelines("%s\t%s\n" % (name, sequence) for name, sequence, _ in entries)
    if args.genes:
        with open(args.genes, "w", encoding="utf-8", errors="surrogateescape", newline="\n") as f:
            f.writelines("%s\t%s\t%s\n" % (name, sequence, gene or name) for name, sequence, gene in entries)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
