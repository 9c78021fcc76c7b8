#!/usr/bin/python3
"""The workflow's evidence-based defaults, in one place (see config.yaml).

    choices.py align-cutoff --table count-table.txt --barcodes barcodes.tsv --morvane MORVANE
        prints tabulate's alignment cutoff for this sample's cores
"""

import argparse
import collections
import math
import subprocess
import sys


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
    return most_common_length(tally)


def most_common_length(tally):
    return max(sorted(tally), key=lambda length: tally[length]) if tally else None


def barcode_length(morvane, barcodes_path):
    """The length of most barcodes, as the tool reads the barcode file
    (tabulate -l); None for a file without barcodes."""
    run = subprocess.run([morvane, "tabulate", "-l", barcodes_path], capture_output=True, text=True)
    if run.returncode != 0:
        raise OSError("tabulate -l %s: %s" % (barcodes_path, run.stderr.strip()))
    tally = {}
    for line in run.stdout.splitlines():
        if not line.startswith("#"):
            length, barcodes = line.split("\t")
            tally[int(length)] = int(barcodes)
    return most_common_length(tally)


def cutoff_for(core, barcode):
    """An empty table or library leaves one length; the cutoff then
    judges no alignment, or only those of equal lengths."""
    core = barcode if core is None else core
    barcode = core if barcode is None else barcode
    return align_cutoff(core or 0, barcode or 0)


def table_reads(table_path):
    """Reads (or molecules) in a count table, from its lines."""
    return sum(int(fields[1] or 0) for fields in table_lines(table_path) if len(fields) >= 2)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("what", choices=("align-cutoff",))
    parser.add_argument("--table", required=True)
    parser.add_argument("--barcodes", required=True)
    parser.add_argument("--morvane", default="morvane")
    args = parser.parse_args(argv)
    try:
        print(cutoff_for(core_length(args.table), barcode_length(args.morvane, args.barcodes)))
    except OSError as error:
        print("choices: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
