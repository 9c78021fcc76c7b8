#!/usr/bin/python3
"""The workflow's evidence-based defaults, in one place (see config.yaml).

    choices.py align-cutoff --table count-table.txt --barcodes barcodes.tsv
        prints tabulate's alignment cutoff for this sample's cores
"""

import argparse
import collections
import math
import sys

# The length assumed for cores and barcodes of an empty table.
WORD = 18


def align_cutoff(core_length, barcode_length):
    """Nine tenths of the score of a perfect alignment (match 5, gaps -1 for
    the letters the core lacks): one mismatch passes, two do not. For
    18-letter cores against 20-letter barcodes this is 80: a random
    18-letter core scores 70-76 against a 20-letter barcode."""
    perfect = 5 * core_length - abs(barcode_length - core_length)
    return max(1, math.ceil(0.9 * perfect))


def table_lines(path):
    with open(path, "rb") as f:
        for raw in f:
            if not raw.startswith(b"#"):
                yield raw.rstrip(b"\r\n").split(b"\t")


def core_length(table_path, lines=10000):
    """The length of most reads among the table's first (most read) lines."""
    tally = collections.Counter()
    for number, fields in enumerate(table_lines(table_path)):
        if number == lines:
            break
        if len(fields) >= 2:
            tally[len(fields[0])] += int(fields[1] or 0)
    return max(sorted(tally), key=lambda length: tally[length]) if tally else WORD


def barcode_length(barcodes_path):
    tally = collections.Counter()
    with open(barcodes_path, "rb") as f:
        for raw in f:
            if raw.startswith(b"#") or b"\t" not in raw:
                continue
            tally[len(raw.rstrip(b"\r\n").split(b"\t")[1])] += 1
    return max(sorted(tally), key=lambda length: tally[length]) if tally else WORD


def table_reads(table_path):
    """Reads (or molecules) in a count table, from its lines."""
    return sum(int(fields[1] or 0) for fields in table_lines(table_path) if len(fields) >= 2)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("what", choices=("align-cutoff",))
    parser.add_argument("--table", required=True)
    parser.add_argument("--barcodes")
    args = parser.parse_args(argv)
    print(align_cutoff(core_length(args.table), barcode_length(args.barcodes)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
