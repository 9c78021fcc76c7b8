#!/usr/bin/python3
"""The workflow's evidence-based defaults, in one place (see config.yaml).

    choices.py align-cutoff --table count-table.txt --barcodes barcodes.tsv
        prints tabulate's alignment cutoff for this sample's cores
"""

import argparse
import collections
import math
import re
import sys

# map finds barcodes through their 18-letter words.
WORD = 18
SLOT = re.compile(r"\[(\d+)(?:-(\d+))?\]")


def keep_word_letters(layout, library_length):
    """(layout, note): a layout whose one barcode slot is fixed and longer
    than a word, against a library of barcodes longer than a word, keeps the
    slot's first 18 letters and skips the rest, so that map can match the
    cores by words instead of aligning every one of them."""
    slots = SLOT.findall(layout or "")
    if len(slots) != 1 or slots[0][1] or library_length <= WORD:
        return layout, None
    letters = int(slots[0][0])
    if letters <= WORD:
        return layout, None
    rewritten = SLOT.sub("[%d]{%d}" % (WORD, letters - WORD), layout, count=1)
    note = ("the library's barcodes have %d letters and map matches cores by their 18-letter words, "
            "so the layout %s keeps the first 18 letters of the barcode: %s" % (library_length, layout, rewritten))
    return rewritten, note


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
