#!/usr/bin/env python3
"""Regenerates the example samples of the workflow: three FASTQ files of the
example library and the sample sheet that names them.

The samples are a small growth time course of the pool that
make-examples.py describes: at t0 the strains stand at their starting
abundances, and by t1 and t2 every strain has grown by its own fitness, so
a few have become rare or vanished and some have taken over. Reads are made
by the same read model (errors, no-calls, indels, off-library strains and
junk) as examples/reads.fastq.gz.

Each sample has its own seed and is compressed with `gzip -n`, so running
this again gives the same bytes. Python 3 standard library only.

    python3 examples/make-samples.py [output_dir] [--truth]

With --truth it also writes truth-<sample>.tsv: each read's name and the
barcode it was made from ("-" for junk), for measuring assignments.
"""

import importlib.util
import math
import os
import random
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# (name, reads, generations of growth, seed)
SAMPLES = (
    ("t0", 30_000, 0.0, 101),
    ("t1", 25_000, 4.0, 102),
    ("t2", 20_000, 8.0, 103),
)
SEED = 20261209
SHEET = "samples.tsv"


def load_generator():
    found = importlib.util.spec_from_file_location("make_examples", os.path.join(HERE, "make-examples.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def library(gen):
    """The barcodes of examples/barcodes.tsv, drawn again from the
    generator's own seed (in the order it draws them)."""
    rng = random.Random(gen.SEED)
    barcodes = gen.make_barcodes(rng, gen.LIBRARY_SIZE + gen.OFF_LIBRARY)
    return barcodes[:gen.LIBRARY_SIZE], barcodes[gen.LIBRARY_SIZE:]


def write_sample(gen, path, templates, cumulative, reads, seed, name, truth=None):
    rng = random.Random(seed)
    lines, truths = [], []
    for number in range(1, reads + 1):
        index = gen.next_index(cumulative, rng.random())
        template = templates[index] if index is not None else gen.junk_template(rng)
        sequence, quality = gen.sequence_read(rng, template)
        lines.append("@%s_%06d\n%s\n+\n%s\n" % (name, number, sequence, quality))
        truths.append("%s_%06d\t%s\n" % (name, number, template[len(gen.FLANK5):len(gen.FLANK5) + gen.BARCODE_LENGTH]
                                          if index is not None else "-"))
    if truth:
        with open(truth, "w", newline="\n") as f:
            f.writelines(truths)
    with open(path, "wb") as f:
        subprocess.run(["gzip", "-n", "-9", "-c"], input="".join(lines).encode(), stdout=f, check=True)


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else HERE
    truth = "--truth" in sys.argv[2:]
    gen = load_generator()
    in_file, off_file = library(gen)
    templates = [gen.FLANK5 + b + gen.FLANK3 for b in in_file + off_file]

    rng = random.Random(SEED)
    start = gen.abundance_weights(rng, gen.LIBRARY_SIZE, gen.DROPOUTS)
    # Growth rates relative to the pool: most strains near neutral, a tail
    # of sick ones (the knock-outs of interest) and a few fitter ones.
    fitness = [rng.gauss(0.0, 0.15) - (rng.expovariate(1.5) if rng.random() < 0.2 else 0.0)
               for _ in in_file]
    off_weights = [rng.lognormvariate(0.0, 0.8) for _ in off_file]

    with open(os.path.join(out_dir, SHEET), "w", newline="\n") as sheet:
        sheet.write("#sample\tfastq\n")
        for name, reads, generations, seed in SAMPLES:
            weights = [w * math.pow(2.0, generations * f) for w, f in zip(start, fitness)]
            file_name = "sample-%s.fastq.gz" % name
            write_sample(gen, os.path.join(out_dir, file_name), templates,
                         gen.cumulative_shares(weights, off_weights), reads, seed, name,
                         os.path.join(out_dir, "truth-%s.tsv" % name) if truth else None)
            sheet.write("%s\t%s\n" % (name, file_name))


if __name__ == "__main__":
    main()
