#!/usr/bin/env python3
"""Writes a small multiplexed paired-end run of the example library, and
its sample sheet: four samples in one read pair, told apart by the two
indexes in the read headers (1:N:0:i7+i5), and one more sample in a pair
of its own.

Each barcode of examples/barcodes.tsv is read from both ends: read 1 holds
GATGTCCACGAGGTCTCT after a stagger of 0-3 letters, then the barcode's
first 10 letters; read 2 holds CCAGTGATCA, then its last 10 letters. The
instrument wrote the second index reverse-complemented; the sheet gives it
as ordered. One sample ("Spike in") has nearly no reads, and some pairs
carry the indexes of no sample (two samples' indexes mixed, and others).

    python3 examples/make-multiplexed.py OUTPUT_DIR

Seeded, and gzipped without a time stamp: the same bytes every time.
Python 3 standard library only.
"""

import gzip
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = 20261210
READ1_CONSTANT = "GATGTCCACGAGGTCTCT"
READ2_CONSTANT = "CCAGTGATCA"
# (name, i7, i5 as ordered, pairs)
SAMPLES = (
    ("Day 0", "TAAGGCGA", "CTCTCTAT", 1200),
    ("Day 7 + Drug", "CGTACTAG", "TATCCTCT", 1000),
    ("Day 7 ctrl", "AGGCAGAA", "GTAAGGAG", 900),
    ("Spike in", "TCCTGAGC", "ACTGCATA", 4),
)
# Pairs of no sample: Day 0's i7 with Day 7 + Drug's i5, and random indexes.
MIXED_PAIRS = 150
RANDOM_PAIRS = 120
PILOT_PAIRS = 400
ERROR_RATE = 0.004
COMPLEMENT = str.maketrans("ACGT", "TGCA")


def reverse_complement(text):
    return text.translate(COMPLEMENT)[::-1]


def barcodes():
    with open(os.path.join(HERE, "barcodes.tsv"), encoding="utf-8") as f:
        return [line.rstrip("\n").split("\t")[1] for line in f if not line.startswith("#") and "\t" in line]


def with_errors(rng, sequence):
    return "".join(rng.choice("ACGT".replace(c, "")) if rng.random() < ERROR_RATE else c for c in sequence)


def random_dna(rng, length):
    return "".join(rng.choice("ACGT") for _ in range(length))


def pair(rng, library, weights, number, index):
    barcode = rng.choices(library, weights)[0]
    stagger = random_dna(rng, rng.randrange(4))
    first = with_errors(rng, stagger + READ1_CONSTANT + barcode[:10] + "CGTACGCTGCAG")[:40]
    second = with_errors(rng, READ2_CONSTANT + barcode[10:] + "TTCGAACCGG")
    name = "mx%05d" % number
    return ("@%s 1:N:0:%s\n%s\n+\n%s\n" % (name, index, first, quality(rng, len(first))),
            "@%s 2:N:0:%s\n%s\n+\n%s\n" % (name, index, second, quality(rng, len(second))))


def quality(rng, length):
    return "".join("I" if rng.random() > 0.02 else "5" for _ in range(length))


def write_pair(path_1, path_2, records):
    for path, part in ((path_1, 0), (path_2, 1)):
        with open(path, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", mtime=0, filename="") as f:
            f.write("".join(record[part] for record in records).encode("ascii"))


def main(argv):
    if len(argv) != 1:
        print(__doc__.split("\n\n")[-2], file=sys.stderr)
        return 1
    out = argv[0]
    os.makedirs(out, exist_ok=True)
    rng = random.Random(SEED)
    library = barcodes()
    indexes = []
    for name, i7, i5, pairs in SAMPLES:
        weights = [rng.lognormvariate(0, 1) for _ in library]
        indexes += [(i7 + "+" + reverse_complement(i5), weights)] * pairs
    weights = [1.0] * len(library)
    indexes += [(SAMPLES[0][1] + "+" + reverse_complement(SAMPLES[1][2]), weights)] * MIXED_PAIRS
    indexes += [(random_dna(rng, 8) + "+" + random_dna(rng, 8), weights) for _ in range(RANDOM_PAIRS)]
    rng.shuffle(indexes)
    records = [pair(rng, library, weights, number, index) for number, (index, weights) in enumerate(indexes, 1)]
    write_pair(os.path.join(out, "multiplexed_R1.fastq.gz"), os.path.join(out, "multiplexed_R2.fastq.gz"), records)
    weights = [rng.lognormvariate(0, 1) for _ in library]
    pilot = [pair(rng, library, weights, number, "GGACTCCT+AAGGAGTA") for number in range(1, PILOT_PAIRS + 1)]
    write_pair(os.path.join(out, "pilot_R1.fastq.gz"), os.path.join(out, "pilot_R2.fastq.gz"), pilot)
    with open(os.path.join(out, "multiplexed-samples.tsv"), "w", encoding="utf-8", newline="\n") as f:
        f.write("sample\tfastq\tfastq_2\tsample_barcode\n")
        for name, i7, i5, _ in SAMPLES:
            f.write("%s\tmultiplexed_R1.fastq.gz\tmultiplexed_R2.fastq.gz\t%s+%s\n" % (name, i7, i5))
        f.write("Pilot\tpilot_R1.fastq.gz\tpilot_R2.fastq.gz\t\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
