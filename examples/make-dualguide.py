#!/usr/bin/env python3
"""Writes a small dual-guide screen, read in pairs, with a known share of
recombinant reads, its library and the truth.

The library holds 48 guide pairs of two 20-letter guides, as labs
distribute it: `pair_id,guide_1,guide_2,gene` (CSV with a header), both
guides written as the guide RNAs read them. Read 1 holds READ1_CONSTANT
after a stagger of 0-2 letters, then guide 1; read 2 starts at the other
end of the cassette: READ2_CONSTANT, then guide 2 reverse-complemented (so
the workflow needs `reverse_guide_2: true`). Of every sample's pairs about
RECOMBINANT_SHARE hold guide 1 of one pair and guide 2 of another
(template switching in the vector pool), and a few are junk: a guide 1 of
the library with an unknown guide 2, or two unknown guides. Substitutions
fall anywhere at ERROR_RATE.

    python3 examples/make-dualguide.py OUTPUT_DIR

writes dualguide-library.csv, dualguide-samples.tsv, <sample>_R1.fastq.gz
and <sample>_R2.fastq.gz per sample, and dualguide-truth.tsv: per sample
and pair id the pairs drawn, and per sample the recombinant and junk pairs
(ids "recombinant" and "junk"), then every recombination drawn
(`#combination`, sample, guide 1's pair, guide 2's pair, pairs drawn).

Seeded, and gzipped without a time stamp: the same bytes every time.
Python 3 standard library only.
"""

import gzip
import os
import random
import sys

SEED = 20261209
PAIRS = 48
GUIDE_LENGTH = 20
READ1_CONSTANT = "TCGGTGCAAGTCTAGACC"
READ2_CONSTANT = "AGCTTGCAGTCCATGGTA"
READ1_TAIL = "GTTTAAGAGC"
READ2_TAIL = "CAACTTGAAA"
# (sample, read pairs)
SAMPLES = (("plasmid", 2500), ("day 14", 2500))
RECOMBINANT_SHARE = 0.15
JUNK_SHARE = 0.03
ERROR_RATE = 0.002
COMPLEMENT = str.maketrans("ACGT", "TGCA")


def reverse_complement(text):
    return text.translate(COMPLEMENT)[::-1]


def random_dna(rng, length):
    return "".join(rng.choice("ACGT") for _ in range(length))


def distinct_guides(rng, number, taken):
    """Guides at least 6 substitutions from each other, so that no read
    error turns one into another."""
    guides = []
    while len(guides) < number:
        guide = random_dna(rng, GUIDE_LENGTH)
        if all(sum(a != b for a, b in zip(guide, other)) >= 6 for other in guides + taken):
            guides.append(guide)
    return guides


def with_errors(rng, sequence):
    return "".join(rng.choice("ACGT".replace(c, "")) if rng.random() < ERROR_RATE else c for c in sequence)


def quality(length):
    return "I" * length


def read_pair(rng, name, guide_1, guide_2):
    first = with_errors(rng, random_dna(rng, rng.randrange(3)) + READ1_CONSTANT + guide_1 + READ1_TAIL)
    second = with_errors(rng, READ2_CONSTANT + reverse_complement(guide_2) + READ2_TAIL)
    return ("@%s 1:N:0:1\n%s\n+\n%s\n" % (name, first, quality(len(first))),
            "@%s 2:N:0:1\n%s\n+\n%s\n" % (name, second, quality(len(second))))


def write_gzip(path, text):
    with open(path, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", mtime=0, filename="") as f:
        f.write(text.encode("ascii"))


def main(argv):
    if len(argv) != 1:
        print(__doc__.split("\n\n")[-3], file=sys.stderr)
        return 1
    out = argv[0]
    os.makedirs(out, exist_ok=True)
    rng = random.Random(SEED)
    guides_1 = distinct_guides(rng, PAIRS, [])
    guides_2 = distinct_guides(rng, PAIRS, guides_1)
    ids = ["pair%02d" % (i + 1) for i in range(PAIRS)]
    with open(os.path.join(out, "dualguide-library.csv"), "w", encoding="utf-8", newline="\n") as f:
        f.write("pair_id,guide_1,guide_2,gene\n")
        for i in range(PAIRS):
            f.write("%s,%s,%s,GENE%d\n" % (ids[i], guides_1[i], guides_2[i], i // 2 + 1))
    truth = []
    combinations = []
    with open(os.path.join(out, "dualguide-samples.tsv"), "w", encoding="utf-8", newline="\n") as sheet:
        sheet.write("sample\tfastq\tfastq_2\n")
        for sample, pairs in SAMPLES:
            weights = [rng.lognormvariate(0, 0.6) for _ in range(PAIRS)]
            drawn = [0] * PAIRS
            recombined = {}
            junk = 0
            records = []
            for number in range(1, pairs + 1):
                name = "%s-%05d" % (sample.replace(" ", ""), number)
                kind = rng.random()
                if kind < RECOMBINANT_SHARE:
                    # Template switching: guide 1 of one pair, guide 2 of another.
                    one, two = rng.choices(range(PAIRS), weights, k=2)
                    while two == one:
                        two = rng.choices(range(PAIRS), weights)[0]
                    recombined[(one, two)] = recombined.get((one, two), 0) + 1
                    records.append(read_pair(rng, name, guides_1[one], guides_2[two]))
                elif kind < RECOMBINANT_SHARE + JUNK_SHARE:
                    junk += 1
                    known = rng.random() < 0.5
                    guide_1 = guides_1[rng.randrange(PAIRS)] if known else random_dna(rng, GUIDE_LENGTH)
                    records.append(read_pair(rng, name, guide_1, random_dna(rng, GUIDE_LENGTH)))
                else:
                    i = rng.choices(range(PAIRS), weights)[0]
                    drawn[i] += 1
                    records.append(read_pair(rng, name, guides_1[i], guides_2[i]))
            stem = sample.replace(" ", "_")
            write_gzip(os.path.join(out, stem + "_R1.fastq.gz"), "".join(r[0] for r in records))
            write_gzip(os.path.join(out, stem + "_R2.fastq.gz"), "".join(r[1] for r in records))
            sheet.write("%s\t%s_R1.fastq.gz\t%s_R2.fastq.gz\n" % (sample, stem, stem))
            truth += [(sample, ids[i], drawn[i]) for i in range(PAIRS)]
            truth += [(sample, "recombinant", sum(recombined.values())), (sample, "junk", junk)]
            combinations += [(sample, ids[one], ids[two], n) for (one, two), n in sorted(recombined.items())]
    with open(os.path.join(out, "dualguide-truth.tsv"), "w", encoding="utf-8", newline="\n") as f:
        f.write("#sample\tpair\tpairs\n")
        f.writelines("%s\t%s\t%d\n" % row for row in truth)
        f.write("#combinations: sample, the pair of guide 1, the pair of guide 2, pairs drawn\n")
        f.writelines("#combination\t%s\t%s\t%s\t%d\n" % row for row in combinations)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
