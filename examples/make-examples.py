#!/usr/bin/env python3
"""Regenerates the example data: examples/barcodes.tsv and examples/reads.fastq.gz.

A pooled screen of barcoded knock-out strains, sequenced as 50 bp reads:
an 18 bp constant region, the strain's 20 bp barcode and a 12 bp constant
region. `count -i 18:14` keeps the first 18 letters of the barcode, the
length of the words through which `map` finds a barcode.

Everything comes from one seeded generator, and the reads are compressed with
`gzip -n` (no name, no time stamp), so running this again gives the same
bytes. Python 3 standard library only.

    python3 examples/make-examples.py [output_dir]
"""

import bisect
import os
import random
import subprocess
import sys

SEED = 20261208
LIBRARY_SIZE = 320        # strains in the barcode file
OFF_LIBRARY = 12          # barcoded strains in the pool but not in the file
DROPOUTS = 9              # strains of the file that got no reads at all
READS = 100_000
FLANK5 = "GATGTCCACGAGGTCTCT"   # 18 bp, trimmed off by -i 18:
FLANK3 = "CGTACGCTGCAG"         # 12 bp, trimmed off (with 2 barcode letters) by -i :14
WORD = 18
BARCODE_LENGTH = 20
READ_LENGTH = len(FLANK5) + BARCODE_LENGTH + len(FLANK3)
BASES = "ACGT"

# Binned Phred+33 qualities as a modern instrument writes them.
Q_HIGH, Q_MID, Q_LOW, Q_BAD = "F", ":", ",", "#"   # 37, 25, 11, 2


def hamming(a, b):
    return sum(x != y for x, y in zip(a, b))


def acceptable(barcode):
    gc = sum(base in "GC" for base in barcode)
    if not 8 <= gc <= 12:
        return False
    return not any(base * 4 in barcode for base in BASES)


def make_barcodes(rng, count):
    """Barcodes whose 18-letter words (at every offset) differ from every
    word of every other barcode at 5 or more places, so that a read with up
    to two errors is nearer its own barcode than any other."""
    chosen, words = [], []
    while len(chosen) < count:
        barcode = "".join(rng.choice(BASES) for _ in range(BARCODE_LENGTH))
        if not acceptable(barcode):
            continue
        own = [barcode[i:i + WORD] for i in range(BARCODE_LENGTH - WORD + 1)]
        if any(hamming(word, other) < 5 for word in own for other in words):
            continue
        chosen.append(barcode)
        words.extend(own)
    return chosen


def make_names(rng, count):
    """Locus tags, most with a gene symbol: MV0042_kdtA, MV0043, ..."""
    names, symbols = [], set()
    tag = 0
    for _ in range(count):
        tag += rng.choice((1, 1, 1, 2, 3))
        name = "MV%04d" % tag
        if rng.random() < 0.7:
            while True:
                symbol = "".join(rng.choice("abcdefghiklmnoprstuvwyz") for _ in range(3))
                symbol += rng.choice("ABCDEFGHIKLMNOPRSTUVWYZ")
                if symbol not in symbols:
                    break
            symbols.add(symbol)
            name += "_" + symbol
        names.append(name)
    return names


def abundance_weights(rng, count, dropouts):
    """Log-normal abundances, a few strains lost from the pool."""
    weights = [rng.lognormvariate(0.0, 1.1) for _ in range(count)]
    for index in rng.sample(range(count), dropouts):
        weights[index] = 0.0
    return weights


def error_rate(position):
    """Substitution rate per base, rising towards the end of the read."""
    return 0.002 + 0.008 * position / (READ_LENGTH - 1)


def sequence_read(rng, template):
    """One read of the template: substitutions, no-calls, a rare indel.

    An error base gets a low quality: mostly Q2 (masked by the quality
    filter), sometimes Q11 (kept, so the error reaches the count table)."""
    if rng.random() < 0.006:
        at = rng.randrange(len(FLANK5), len(FLANK5) + BARCODE_LENGTH)
        if rng.random() < 0.5:
            template = template[:at] + rng.choice(BASES) + template[at:]
        else:
            template = template[:at] + template[at + 1:] + rng.choice(BASES)
        template = template[:READ_LENGTH]
    return sequenced(rng, template, error_rate, 0.0005)


def sequenced(rng, template, error_rate, no_call_rate):
    """The bases and qualities of a read of template: a substitution at
    position p with chance error_rate(p), mostly with a quality the filter
    masks, a no-call with chance no_call_rate, else mostly high qualities."""
    bases, qualities = [], []
    for position, base in enumerate(template):
        roll = rng.random()
        rate = error_rate(position)
        if roll < rate:
            bases.append(rng.choice([b for b in BASES if b != base]))
            qualities.append(Q_BAD if rng.random() < 0.75 else Q_LOW)
        elif roll < rate + no_call_rate:
            bases.append("N")
            qualities.append(Q_BAD)
        else:
            bases.append(base)
            draw = rng.random()
            qualities.append(Q_HIGH if draw < 0.93 else Q_MID if draw < 0.99 else Q_LOW)
    return "".join(bases), "".join(qualities)


def junk_template(rng):
    """Reads that carry no barcode: primer dimers, short inserts, noise."""
    kind = rng.random()
    if kind < 0.4:
        return (FLANK5 + FLANK3 + "G" * READ_LENGTH)[:READ_LENGTH]
    if kind < 0.7:
        insert = "".join(rng.choice(BASES) for _ in range(rng.randrange(4, 16)))
        return (FLANK5 + insert + FLANK3 + "A" * READ_LENGTH)[:READ_LENGTH]
    return "".join(rng.choice(BASES) for _ in range(READ_LENGTH))


def cumulative_shares(weights, off_weights):
    """Cumulative read shares: 93% from the library, 3% from strains missing
    from the file, the rest (beyond the last share) junk."""
    library_total, off_total = sum(weights), sum(off_weights)
    cumulative, running = [], 0.0
    for w in weights:
        running += 0.93 * w / library_total
        cumulative.append(running)
    for w in off_weights:
        running += 0.03 * w / off_total
        cumulative.append(running)
    return cumulative


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    rng = random.Random(SEED)

    barcodes = make_barcodes(rng, LIBRARY_SIZE + OFF_LIBRARY)
    library, off_library = barcodes[:LIBRARY_SIZE], barcodes[LIBRARY_SIZE:]
    names = make_names(rng, LIBRARY_SIZE)

    with open(os.path.join(out_dir, "barcodes.tsv"), "w", newline="\n") as f:
        f.write("#strain\tbarcode\n")
        for name, barcode in zip(names, library):
            f.write("%s\t%s\n" % (name, barcode))

    templates = [FLANK5 + b + FLANK3 for b in library + off_library]
    weights = abundance_weights(rng, LIBRARY_SIZE, DROPOUTS)
    off_weights = [rng.lognormvariate(0.0, 0.8) for _ in off_library]
    cumulative = cumulative_shares(weights, off_weights)

    lines = []
    for number in range(1, READS + 1):
        draw = rng.random()
        index = next_index(cumulative, draw)
        template = templates[index] if index is not None else junk_template(rng)
        sequence, quality = sequence_read(rng, template)
        lines.append("@ex%06d\n%s\n+\n%s\n" % (number, sequence, quality))

    with open(os.path.join(out_dir, "reads.fastq.gz"), "wb") as f:
        subprocess.run(["gzip", "-n", "-9", "-c"], input="".join(lines).encode(), stdout=f, check=True)


def next_index(cumulative, draw):
    """The template whose share of the cumulative weights holds draw, or
    None for junk (beyond the last share)."""
    index = bisect.bisect_right(cumulative, draw)
    return index if index < len(cumulative) else None


if __name__ == "__main__":
    main()
