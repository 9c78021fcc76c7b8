#!/usr/bin/env python3
"""Compares the barcodes a workflow run without a library discovered with
the clones a generator made, and the molecules counted for them.

    lineage_truth.py --truth truth.tsv --out OUTDIR [--least 20]
    lineage_truth.py --read-truth truth-d0.tsv truth-d7.tsv ... --out OUTDIR

truth.tsv (bench/gen_lineage): barcode, then the true molecules of each
sample. --read-truth takes examples/make-lineage.py's per-read truth
(read name, barcode, UMI) instead; a barcode's molecules are its distinct
UMIs. A discovered barcode of L letters stands for the clone whose first L
letters it equals or is within 3 substitutions of; one near no clone is
spurious, a second one for a clone a split. Prints, for the clones with
--least or more pooled molecules: found once, split, missed; the spurious
barcodes; and the molecules counted for those clones against the truth.
"""

import argparse
import collections
import os
import sys


def read_truth(path):
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        clones = {}
        for line in f:
            fields = line.rstrip("\n").split("\t")
            clones[fields[0]] = [int(x) for x in fields[1:]]
    return header[1:], clones


def read_read_truth(paths):
    names = [os.path.basename(p)[len("truth-"):-len(".tsv")] for p in paths]
    umis = collections.defaultdict(lambda: [set() for _ in paths])
    for k, path in enumerate(paths):
        with open(path) as f:
            for line in f:
                _, barcode, umi = line.rstrip("\n").split("\t")
                if barcode != "-":
                    umis[barcode][k].add(umi)
    return names, {b: [len(s) for s in sets] for b, sets in umis.items()}


def read_discovered(path):
    with open(path) as f:
        return [line.rstrip("\n").split("\t")[1] for line in f if not line.startswith("#")]


def read_matrix(path):
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        rows = {}
        for line in f:
            fields = line.rstrip("\n").split("\t")
            rows[fields[1]] = [int(x) for x in fields[2:]]
    return header[2:], rows


class prefix_index:
    """The clones' first L letters, found within 3 substitutions through 4
    parts of which one is then equal."""

    def __init__(self, clones, length):
        self.length = length
        self.prefixes = collections.defaultdict(list)
        self.cuts = [length * i // 4 for i in range(5)]
        self.parts = [collections.defaultdict(list) for _ in range(4)]
        for clone in clones:
            prefix = clone[:length]
            self.prefixes[prefix].append(clone)
            for i in range(4):
                self.parts[i][prefix[self.cuts[i]:self.cuts[i + 1]]].append(clone)

    def find(self, seq):
        if seq in self.prefixes:
            return self.prefixes[seq][0]
        best, best_distance = None, 4
        for i in range(4):
            for clone in self.parts[i].get(seq[self.cuts[i]:self.cuts[i + 1]], ()):
                d = sum(a != b for a, b in zip(seq, clone[:self.length]))
                if d < best_distance or (d == best_distance and best is not None and clone < best):
                    best, best_distance = clone, d
        return best


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--truth")
    parser.add_argument("--read-truth", nargs="+")
    parser.add_argument("--out", required=True)
    parser.add_argument("--least", type=int, default=20)
    args = parser.parse_args(argv)
    names, clones = read_truth(args.truth) if args.truth else read_read_truth(args.read_truth)
    discovered = read_discovered(os.path.join(args.out, "discovered_barcodes.tsv"))
    indexes = {}
    owner = collections.defaultdict(list)
    spurious = []
    for seq in discovered:
        if len(seq) not in indexes:
            indexes[len(seq)] = prefix_index(clones, len(seq))
        clone = indexes[len(seq)].find(seq)
        if clone is None:
            spurious.append(seq)
        else:
            owner[clone].append(seq)
    big = [c for c, m in clones.items() if sum(m) >= args.least]
    once = sum(1 for c in big if len(owner.get(c, ())) == 1)
    split = sum(1 for c in big if len(owner.get(c, ())) > 1)
    split_all = sum(1 for c in owner if len(owner[c]) > 1)
    missed = sum(1 for c in big if not owner.get(c))
    print("discovered %d barcodes (lengths %s) of %d clones; %d clones with >= %d pooled molecules: "
          "%d found once, %d split, %d missed; %d spurious; %d clones listed more than once in all"
          % (len(discovered), ",".join(map(str, sorted(indexes))), len(clones), len(big), args.least,
             once, split, missed, len(spurious), split_all))
    matrix = os.path.join(args.out, "counts.tsv")
    if os.path.exists(matrix):
        samples, rows = read_matrix(matrix)
        for k, name in enumerate(names):
            if name not in samples:
                continue
            column = samples.index(name)
            true_total = counted = 0
            for c in big:
                true_total += clones[c][k]
                counted += sum(rows[s][column] for s in owner.get(c, ()))
            print("  %s: molecules of those clones: true %d, counted %d (%+.2f%%)"
                  % (name, true_total, counted, 100.0 * (counted - true_total) / max(1, true_total)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
