#!/usr/bin/python3
"""Reads a barcode library as labs keep it and writes it in morvane's form
(name, a tab, sequence): the one place where a library becomes a barcode file.

The columns are tab- or comma-separated (CSV quotes allowed), with or
without a header line; "#" lines are comments, and in a tab-separated file
a line without a tab is skipped, as the tool does. The sequence column is found
from the data: the column that is DNA on every line (a header line is the
first line when it is not). Of the other columns the first is the barcode's
id and the second its gene, unless the header names a gene column.
Sequences are upper-cased.

A table with two columns that are DNA on every line, of like lengths (the
shorter's typical length at least 3/4 of the longer's), and a third, the
id, is a library of guide pairs, for dual-guide screens that read one guide in
each read of a pair: `id, guide 1, guide 2[, gene]`, guide 1 the left one.
Each pair becomes one barcode, guide 1 then guide 2 with nothing between,
as count joins read 1's key and read 2's. Every guide 1 must have one
length, which tabulate -g needs to tell the halves apart (pair_guide_1_length;
--guide-1-length writes it to a file). --reverse-complement turns each guide
in its place; --reverse-guide-2 turns guide 2 alone (a library that lists
guide 2 as the guide RNA reads, while read 2 reads its other strand).

    library.py LIBRARY --barcodes barcodes.tsv [--genes library.tsv]
               [--format auto|morvane|tsv|crispr|csv] [--reverse-complement]
               [--reverse-guide-2] [--guide-1-length FILE]
"""

import argparse
import csv
import re
import sys

DNA = re.compile(r"^[ACGTNacgtn]+$")
COMPLEMENT = str.maketrans("ACGTNacgtn", "TGCANtgcan")
# Header names that mark a column; compared lower-cased.
SEQUENCE_HEADERS = ("sequence", "seq", "barcode", "guide", "sgrna sequence", "spacer", "target sequence")
GENE_HEADERS = ("gene", "genes", "gene symbol", "gene_symbol", "gene_id", "target gene", "target")
FORMATS = ("auto", "morvane", "tsv", "crispr", "csv")


class LibraryError(Exception):
    pass


def reverse_complement(sequence):
    return sequence.translate(COMPLEMENT)[::-1]


def sniff_format(path):
    """csv when the first data line holds commas and no tab, tsv otherwise."""
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            if not line.strip() or line.startswith("#"):
                continue
            return "csv" if "\t" not in line and "," in line else "tsv"
    return "tsv"


def data_rows(path, form):
    """(line number, stripped fields) of every data line."""
    with open(path, encoding="utf-8", errors="surrogateescape", newline="") as f:
        lines = [(number, line) for number, line in enumerate(f, 1)
                 if line.strip() and not line.startswith("#")]
    if form == "csv":
        for (number, _), fields in zip(lines, csv.reader(line for _, line in lines)):
            yield number, [field.strip() for field in fields]
    else:
        # As map and tabulate read a barcode file: a line without a tab is skipped.
        for number, line in lines:
            if "\t" in line:
                yield number, [field.strip() for field in line.rstrip("\r\n").split("\t")]


def alike_lengths(rows, columns):
    """Whether the typical (median) lengths of the columns' data lines are
    within a quarter of each other, as the two guides of a pair are."""
    data = rows[1:] if len(rows) > 1 else rows
    medians = []
    for c in columns:
        lengths = sorted(len(fields[c]) for _, fields in data)
        medians.append(lengths[len(lengths) // 2])
    return min(medians) * 4 >= max(medians) * 3


def sequence_columns(path, rows):
    """(columns, has header): the column that is DNA on every line but
    perhaps the first. Of several, one the header calls a sequence, else
    the second (morvane's own), else the first. With at least three columns
    of which exactly two are DNA (a column the header calls a gene aside)
    and of like lengths, both: guide 1 and guide 2 of a pair library."""
    for number, fields in rows:
        if len(fields) < 2:
            raise LibraryError("%s:%d: a line with fewer than two fields: %r" % (path, number, ",".join(fields)[:200]))
    width = min(len(fields) for _, fields in rows)
    first = rows[0][1]
    candidates = [c for c in range(width) if all(DNA.match(fields[c]) for _, fields in rows[1:])
                  and (len(rows) > 1 or DNA.match(first[c]))]
    if not candidates:
        # Name the line where the most nearly DNA column breaks.
        best = max(range(width), key=lambda c: (sum(bool(DNA.match(f[c])) for _, f in rows), -c))
        broken = [(n, f) for n, f in rows[1:] if not DNA.match(f[best])]
        if not broken:
            raise LibraryError("%s: no barcodes (only a header line)" % path)
        number, fields = broken[0]
        raise LibraryError("%s:%d: no column is DNA on every line: %r is not a DNA sequence"
                           % (path, number, fields[best][:80]))
    header = [name.lower() for name in first]
    guides = [c for c in candidates if DNA.match(first[c]) or header[c] not in GENE_HEADERS]
    # Two equal columns are an id that is the sequence, not a pair; nor are
    # two of unlike lengths (a guide beside its PAM or its target context).
    if (width >= 3 and len(guides) == 2 and any(f[guides[0]] != f[guides[1]] for _, f in rows[1:] or rows)
            and alike_lengths(rows, guides)):
        has_header = not DNA.match(first[guides[0]]) or not DNA.match(first[guides[1]])
        if has_header and DNA.match(first[guides[0]]) != DNA.match(first[guides[1]]):
            raise LibraryError("%s:%d: a pair library's first line is half header, half guides: %r"
                               % (path, rows[0][0], ",".join(first)[:200]))
        return guides, has_header
    named = [c for c in candidates if not DNA.match(first[c]) and header[c] in SEQUENCE_HEADERS]
    column = named[0] if named else (1 if 1 in candidates else candidates[0])
    return [column], not DNA.match(first[column])


def read_guides(path, form="auto"):
    """[(id, guides, gene or None)] in file order; guides holds the
    sequence, or guide 1 and guide 2 of a pair library."""
    if form == "auto":
        form = sniff_format(path)
    if form == "morvane":
        entries = [(fields[0], (fields[1],), None) for _, fields in data_rows(path, "tsv")]
    else:
        entries = described_entries(path, "csv" if form == "csv" else "tsv")
    if not entries:
        raise LibraryError("%s: no barcodes" % path)
    return entries


def read_library(path, form="auto"):
    """[(id, sequence, gene or None)] in file order: a pair as one
    sequence, guide 1 then guide 2."""
    return [(name, "".join(guides), gene) for name, guides, gene in read_guides(path, form)]


def pair_guide_1_length(path, entries):
    """The length of every guide 1 of a pair library (None for a library of
    single barcodes); guide 1s of several lengths are refused, as tabulate
    could not tell where guide 2 starts in a pair's key."""
    if not entries or len(entries[0][1]) != 2:
        return None
    lengths = {}
    for name, guides, _ in entries:
        lengths.setdefault(len(guides[0]), name)
    if len(lengths) > 1:
        raise LibraryError("%s: the guide 1s of a pair library must have one length, to tell guide 1 from guide 2 "
                           "in a pair's key; these have %s (%s)"
                           % (path, ", ".join(str(n) for n in sorted(lengths)),
                              ", ".join("%s: %d" % (lengths[n], n) for n in sorted(lengths))))
    return next(iter(lengths))


def described_entries(path, form):
    """[(id, guides, gene or None)] of a tab- or comma-separated table."""
    rows = list(data_rows(path, form))
    if not rows:
        return []
    columns, has_header = sequence_columns(path, rows)
    others = [c for c in range(len(rows[0][1])) if c not in columns]
    if has_header:
        # A column headed "gene" is the gene wherever it stands.
        named = [c for c in others if rows[0][1][c].lower() in GENE_HEADERS]
        if named and len(others) > 1:
            others.remove(named[0])
            others.insert(1, named[0])
        rows = rows[1:]
    id_column = others[0]
    gene_column = others[1] if len(others) > 1 else None
    out = []
    for _, fields in rows:
        gene = fields[gene_column] if gene_column is not None and gene_column < len(fields) else ""
        out.append((fields[id_column] if id_column < len(fields) else "",
                    tuple(fields[c].upper() for c in columns), gene or None))
    return out


def in_tool_form(path):
    """True when the file is a barcode file as it stands: two tab-separated
    fields a line, the second upper-case DNA, no header."""
    if sniff_format(path) != "tsv":
        return False
    rows = list(data_rows(path, "tsv"))
    return bool(rows) and all(len(fields) == 2 and DNA.match(fields[1]) and fields[1].isupper()
                              for _, fields in rows)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("library")
    parser.add_argument("--barcodes", required=True, help="morvane's barcode file, written here")
    parser.add_argument("--genes", help="id, sequence and gene of each barcode, written here")
    parser.add_argument("--format", default="auto", choices=FORMATS)
    parser.add_argument("--reverse-complement", action="store_true", help="reverse-complement every guide")
    parser.add_argument("--reverse-guide-2", action="store_true", help="pair libraries: reverse-complement guide 2")
    parser.add_argument("--guide-1-length", help="pair libraries: the length of guide 1 (0 for others), written here")
    args = parser.parse_args(argv)
    try:
        guides = read_guides(args.library, args.format)
        guide_1_length = pair_guide_1_length(args.library, guides)
        if args.reverse_guide_2 and guide_1_length is None:
            raise LibraryError("%s: --reverse-guide-2 is for a library of guide pairs, and this one has one "
                               "sequence a line" % args.library)
    except (OSError, LibraryError) as error:
        print("library: %s" % error, file=sys.stderr)
        return 1
    entries = []
    for name, sequences, gene in guides:
        if args.reverse_complement:
            sequences = tuple(map(reverse_complement, sequences))
        if args.reverse_guide_2:
            sequences = (sequences[0], reverse_complement(sequences[1]))
        entries.append((name, "".join(sequences), gene))
    if args.guide_1_length:
        with open(args.guide_1_length, "w", encoding="utf-8") as f:
            f.write("%d\n" % (guide_1_length or 0))
    with open(args.barcodes, "w", encoding="utf-8", errors="surrogateescape", newline="\n") as f:
        f.writelines("%s\t%s\n" % (name, sequence) for name, sequence, _ in entries)
    if args.genes:
        with open(args.genes, "w", encoding="utf-8", errors="surrogateescape", newline="\n") as f:
            f.writelines("%s\t%s\t%s\n" % (name, sequence, gene or name) for name, sequence, gene in entries)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
