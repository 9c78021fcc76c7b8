#!/usr/bin/env python3
"""Regenerates the lineage example: a time course of barcoded cells with no
barcode list, three samples (lineage-d0, -d7, -d14) and their sheet.

Every cell carries a random 60-letter barcode between two constants. The
library is amplified with staggered primers (0-8 random letters before the
upstream constant) and a 10-letter UMI after the downstream constant, and
sequenced from both strands:

    [0-8 stagger] ACTGACTGCAGTCGAACG [60-letter barcode] GTCGTATCGACT [UMI 10] adapter

in 110-letter reads, half of them reverse-complemented. Clones start at
log-normal sizes and drift by their own fitness; molecules get a skewed
number of PCR copies; reads carry substitutions (rising to the read's end,
mostly with low qualities), no-calls and rare indels; 3% are junk.

Seeded, compressed with `gzip -n`: running this again gives the same bytes.

    python3 examples/make-lineage.py [output_dir] [--truth]

With --truth it also writes truth-<sample>.tsv: each read's name, the
barcode it was made from and its molecule's UMI ("-" for junk).
"""

import bisect
import importlib.util
import math
import os
import random
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = 20261212
CLONES = 250
UP = "ACTGACTGCAGTCGAACG"      # 18 letters
DOWN = "GTCGTATCGACT"          # 12 letters
ADAPTER = "AGATCGGAAGAGCACACGTCTGAACTCCAGTCAC"
BARCODE_LENGTH = 60
UMI_LENGTH = 10
READ_LENGTH = 110
BASES = "ACGT"
COMPLEMENT = str.maketrans("ACGTN", "TGCAN")
# (name, reads, molecules, days of growth, seed)
SAMPLES = (
    ("lineage-d0", 12_000, 4_000, 0.0, 11),
    ("lineage-d7", 10_000, 3_500, 7.0, 12),
    ("lineage-d14", 8_000, 3_000, 14.0, 13),
)
SHEET = "lineage-samples.tsv"
LAYOUT = UP + "[60]" + DOWN + "(10)"


def load_examples():
    """The screen example's generator, for the way it simulates sequencing."""
    found = importlib.util.spec_from_file_location("make_examples", os.path.join(HERE, "make-examples.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


EXAMPLES = load_examples()


def random_sequence(rng, length):
    return "".join(rng.choice(BASES) for _ in range(length))


def make_barcodes(rng):
    return [random_sequence(rng, BARCODE_LENGTH) for _ in range(CLONES)]


def fragment(rng, barcode, umi):
    stagger = random_sequence(rng, rng.randrange(0, 9))
    return (stagger + UP + barcode + DOWN + umi + ADAPTER)[:READ_LENGTH]


def error_rate(position):
    return 0.001 + 0.006 * position / (READ_LENGTH - 1)


def sequence_read(rng, template):
    """Substitutions (low quality mostly), no-calls, and an indel in 0.5%."""
    if rng.random() < 0.005:
        at = rng.randrange(20, 90)
        if rng.random() < 0.5:
            template = template[:at] + rng.choice(BASES) + template[at:]
        else:
            template = template[:at] + template[at + 1:] + "A"
        template = template[:READ_LENGTH]
    return EXAMPLES.sequenced(rng, template, error_rate, 0.0003)


def pick(cumulative, draw):
    return min(bisect.bisect_right(cumulative, draw), len(cumulative) - 1)


def cumulative_of(weights):
    total, running, out = sum(weights), 0.0, []
    for w in weights:
        running += w / total
        out.append(running)
    return out


def write_sample(path, truth_path, barcodes, weights, reads, molecules, seed, name):
    rng = random.Random(seed)
    clone_pick = cumulative_of(weights)
    # Molecules: a clone and a UMI each, and a skewed number of PCR copies.
    pool = [(pick(clone_pick, rng.random()), random_sequence(rng, UMI_LENGTH)) for _ in range(molecules)]
    copies = cumulative_of([rng.lognormvariate(0.0, 0.7) for _ in pool])
    lines, truths = [], []
    for number in range(1, reads + 1):
        if rng.random() < 0.03:
            template, label, umi = random_sequence(rng, READ_LENGTH), "-", "-"
        else:
            clone, umi = pool[pick(copies, rng.random())]
            template, label = fragment(rng, barcodes[clone], umi), barcodes[clone]
        if rng.random() < 0.5:
            template = template.translate(COMPLEMENT)[::-1]
        sequence, quality = sequence_read(rng, template)
        lines.append("@%s_%06d\n%s\n+\n%s\n" % (name, number, sequence, quality))
        truths.append("%s_%06d\t%s\t%s\n" % (name, number, label, umi))
    with open(path, "wb") as f:
        subprocess.run(["gzip", "-n", "-9", "-c"], input="".join(lines).encode(), stdout=f, check=True)
    if truth_path:
        with open(truth_path, "w", newline="\n") as f:
            f.writelines(truths)


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith("--") else HERE
    truth = "--truth" in sys.argv[1:]
    rng = random.Random(SEED)
    barcodes = make_barcodes(rng)
    start = [rng.lognormvariate(0.0, 1.0) for _ in barcodes]
    # Growth per day relative to the pool: most clones near neutral, some
    # shrink away, a few expand.
    fitness = [rng.gauss(0.0, 0.05) + (0.15 if rng.random() < 0.04 else 0.0)
               - (rng.expovariate(6.0) if rng.random() < 0.3 else 0.0) for _ in barcodes]
    with open(os.path.join(out_dir, SHEET), "w", newline="\n") as sheet:
        sheet.write("#sample\tfastq\n")
        for name, reads, molecules, days, seed in SAMPLES:
            weights = [w * math.exp(days * f) for w, f in zip(start, fitness)]
            file_name = "%s.fastq.gz" % name
            write_sample(os.path.join(out_dir, file_name),
                         os.path.join(out_dir, "truth-%s.tsv" % name) if truth else None,
                         barcodes, weights, reads, molecules, seed, name)
            sheet.write("%s\t%s\n" % (name, file_name))


if __name__ == "__main__":
    main()
