#!/usr/bin/python3
"""Measures a workflow run against the generator's truth: the share of the
reads assigned to the barcode they were made from, and the share assigned
to another one.

Every read's barcode key is found by running `morvane count` (with the
run's options) on the reads of each true barcode apart; the key is
followed through the run's cluster file (a member shared by several cores
is split in their proportions) and map file to the barcodes that tabulate
counts it for.

    bench/truth.py --morvane build/morvane --out OUTDIR --count-options "-m S -p ..."
                   --barcodes BARCODE_FILE --sample NAME FASTQ TRUTH [--sample ...]
                   [--discovered] [--molecules]

Correct: reads assigned to their own barcode, over the reads that hold the
layout and whose barcode is in the list. False: reads assigned to another
barcode (off-list strains and junk included), over all reads that hold
the layout. With --discovered, also: every true barcode with 20 or more
pooled reads must be in the list, and no listed one may be spurious.

With UMIs the counts are molecules, and so is the measure: a read whose
UMI holds a masked letter is in no molecule, but its molecule is still
counted through its other reads. The truth file's third field names each
read's UMI; the true molecules of a barcode are its distinct UMIs. Found:
per barcode, the molecules counted for it up to its true number, summed,
over the true molecules of the listed barcodes. Excess: the molecules
counted beyond the true number (a molecule counted again under an error
variant of its barcode). When the run merged its molecules per barcode
(samples/NAME/molecules.tsv, which the matrix counts), the molecules
counted for a barcode are that file's; molecules it gives barcodes with no
read of this sample count as excess. False: molecules counted for another
barcode, measured per barcode key (as count gives them).
Median: the median of |counted - true| / true over the barcodes with 20 or
more true molecules. A run passes with found >= 98%, false < 0.1% and
excess <= 2%.
"""

import argparse
import collections
import gzip
import os
import shlex
import statistics
import subprocess
import sys


def fastq_records(path):
    opener = gzip.open if open(path, "rb").read(2) == b"\x1f\x8b" else open
    with opener(path, "rb") as f:
        while True:
            record = b"".join(f.readline() for _ in range(4))
            if not record:
                return
            yield record


def truth_labels(path):
    """[(barcode, UMI or None)] of the truth file's reads."""
    with open(path) as f:
        rows = [line.rstrip("\n").split("\t") for line in f]
    return [(row[1], row[2] if len(row) > 2 else None) for row in rows]


def count_keys(morvane, options, records):
    """(reads, reads without layout, key -> (units, reads)) of the records;
    the units are molecules with UMIs, else reads."""
    run = subprocess.run([morvane, "count", "-f"] + options, input=b"".join(records), capture_output=True, check=True)
    header, keys = {}, {}
    for line in run.stdout.decode().splitlines():
        if line.startswith("#"):
            name, _, value = line[1:].partition(": ")
            if value.isdigit():
                header[name] = int(value)
            continue
        fields = line.split("\t")
        keys[fields[0]] = (int(fields[1]), int(fields[-1]))
    return header["total reads"], header.get("reads without layout", 0), keys


def table_rows(path):
    """The tab-separated fields of a file's lines, header lines left out.
    A workflow's kept intermediate table is gzipped beside its plain name."""
    kept = path + ".gz"
    with (gzip.open(kept, "rt") if not os.path.exists(path) and os.path.exists(kept) else open(path)) as f:
        for line in f:
            if not line.startswith("#"):
                yield line.rstrip("\n").split("\t")


def cluster_shares(path):
    """key -> [(core, share)] of the cluster file."""
    credits = collections.defaultdict(list)
    for fields in table_rows(path):
        core = fields[0]
        credits[core].append((core, float(fields[3])))
        if len(fields) > 6 and fields[6]:
            for item in fields[6].split(","):
                member, credit, _ = item.rsplit(":", 2)
                credits[member].append((core, float(credit)))
    # A member split among several cores may be credited 0 in each (the
    # truncation of its share): its reads reach no barcode.
    shares = {}
    for key, items in credits.items():
        whole = sum(credit for _, credit in items) or 1.0
        shares[key] = [(core, credit / whole) for core, credit in items]
    return shares


def counted_barcodes(path, cutoff):
    """core -> the barcode sequences tabulate counts its cluster for."""
    counted = {}
    for fields in table_rows(path):
        kind = fields[8]
        if kind in ("mm0", "mm1", "mm2"):
            counted[fields[0]] = [fields[10]]
        elif kind == "align":
            scores = [int(item.split(":", 1)[0]) for item in fields[11].split(";")]
            counted[fields[0]] = [b for b, s in zip(fields[10].split(";"), scores) if s >= cutoff]
    return counted


def barcode_list(path):
    return {fields[1] for fields in table_rows(path) if len(fields) > 1}


def merged_molecules(path):
    """barcode -> molecules of a run's molecules.tsv, or None without it."""
    if not os.path.exists(path):
        return None
    return {fields[1]: int(fields[2]) for fields in table_rows(path)}


def measure_sample(args, options, listed, name, fastq, truth):
    labels = truth_labels(truth)
    groups = collections.defaultdict(list)
    molecules = collections.defaultdict(set)
    for (label, umi), record in zip(labels, fastq_records(fastq)):
        groups[label].append(record)
        molecules[label].add(umi)
    shares = cluster_shares(os.path.join(args.out, "samples", name, "clusters.txt"))
    cutoff = int(open(os.path.join(args.out, "samples", name, "align-cutoff.txt")).read())
    counted = counted_barcodes(os.path.join(args.out, "samples", name, "map.txt"), cutoff)
    merged = merged_molecules(os.path.join(args.out, "samples", name, "molecules.tsv"))
    tally = collections.Counter()
    deviations = []
    for label in sorted(groups):
        total, without, keys = count_keys(args.morvane, options, groups[label])
        tally["reads"] += total
        tally["layout"] += total - without
        own = 0.0
        if label in listed:
            tally["lost_no_key"] += total - without - sum(reads for _, reads in keys.values())
        for key, (units, reads) in keys.items():
            if label in listed and key not in shares:
                tally["lost_no_cluster"] += reads
            elif label in listed and not any(share for _, share in shares[key]):
                tally["lost_split"] += reads
            for core, share in shares.get(key, ()):
                if label in listed and not counted.get(core):
                    tally["lost_not_counted"] += reads * share
                for barcode in counted.get(core, ()):
                    mine = barcode == label
                    tally["correct" if mine else "false"] += reads * share
                    tally["own_units" if mine else "false_units"] += units * share
                    own += units * share if mine else 0.0
        if label in listed:
            tally["listed_layout"] += total - without
            if merged is not None:
                own = merged.get(label, 0)
            true = len(molecules[label])
            tally["true_units"] += true
            tally["found_units"] += min(own, true)
            tally["excess_units"] += max(own - true, 0.0)
            if true >= 20:
                deviations.append(abs(own - true) / true)
    if merged is not None:
        tally["excess_units"] += sum(units for barcode, units in merged.items() if barcode not in groups)
    tally["median"] = statistics.median(deviations) if deviations else 0.0
    return tally, collections.Counter(label for label, _ in labels)


def report_molecules(name, tally):
    """Prints the molecule figures of a sample; true when they pass."""
    true = tally["true_units"] or 1
    found, excess, false = (tally[k] / true for k in ("found_units", "excess_units", "false_units"))
    print("%s\ttrue molecules %d\tfound %.2f%%\texcess %.2f%%\tfalse %.3f%%\tmedian deviation %.2f%%" % (
        name, tally["true_units"], 100 * found, 100 * excess, 100 * false, 100 * tally["median"]))
    # Found and false as for reads; molecules counted twice are no better
    # than molecules lost, so the excess is held to 2% as well.
    return found >= 0.98 and false < 0.001 and excess <= 0.02


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--morvane", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--count-options", required=True)
    parser.add_argument("--barcodes", required=True)
    parser.add_argument("--sample", nargs=3, action="append", metavar=("NAME", "FASTQ", "TRUTH"), required=True)
    parser.add_argument("--discovered", action="store_true")
    parser.add_argument("--molecules", action="store_true",
                        help="the run counts molecules: measure them against the truth's UMIs")
    args = parser.parse_args(argv)
    options = shlex.split(args.count_options)
    listed = barcode_list(args.barcodes)
    status = 0
    pooled = collections.Counter()
    for name, fastq, truth in args.sample:
        tally, labels = measure_sample(args, options, listed, name, fastq, truth)
        pooled.update(labels)
        correct = tally["correct"] / tally["listed_layout"] if tally["listed_layout"] else 0.0
        false = tally["false"] / tally["layout"] if tally["layout"] else 0.0
        print("%s\treads %d\twith layout %d\tlisted %d\tcorrect %.2f%%\tfalse %.3f%%" % (
            name, tally["reads"], tally["layout"], tally["listed_layout"], 100 * correct, 100 * false))
        print("%s\tlost reads: in no table line %d, in no cluster %d, split to nothing %d, "
              "in a cluster no barcode counts %.1f" % (name, tally["lost_no_key"], tally["lost_no_cluster"],
                                                      tally["lost_split"], tally["lost_not_counted"]))
        if args.molecules:
            if not report_molecules(name, tally):
                status = 1
        elif correct < 0.98 or false >= 0.001:
            status = 1
    if args.discovered:
        pooled.pop("-", None)
        deep = {barcode for barcode, reads in pooled.items() if reads >= 20}
        missing = deep - listed
        spurious = listed - set(pooled)
        print("discovered %d barcodes; true barcodes with >= 20 reads: %d, missing %d; spurious %d" % (
            len(listed), len(deep), len(missing), len(spurious)))
        if missing or spurious:
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
