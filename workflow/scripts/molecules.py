#!/usr/bin/python3
"""Counts each molecule once per final barcode in a run with UMIs.

`count` collapses UMIs per barcode key, so a molecule whose reads fall under
a barcode and under an error variant of it (a masked N, a misread letter)
is a molecule of each key, and `cluster` adds the keys up. Here the UMIs of
all keys that end at one barcode are merged first and collapsed once:

  - the UMI table is `count` run with every UMI slot as a barcode slot: one
    line per (barcode letters + UMI letters) key with its reads;
  - the cluster file gives each barcode key its core, the map file each
    core its barcode(s), as tabulate counts them;
  - per barcode, equal UMIs add their reads and the UMIs are collapsed by
    count's directional rule; each group is one molecule.

The output starts with "#molecules: N" and "#molecule reads: N" (the
reads of the UMIs that reached a barcode), then has the columns of a
tabulate report (bcid, barcode, total, mm0, mm1, mm2, align) in its row
order; a molecule counts for the match kind of
its top UMI's reads (most reads; ties in that column order).

    molecules.py --umi-table umi-table.txt --umi-positions 60-69
                 --clusters clusters.txt --map map.txt --align-cutoff FILE
                 --report report.tsv --out molecules.tsv
"""

import argparse
import collections
import re
import sys

from tables import TableError, read_report

KINDS = ("mm0", "mm1", "mm2", "align")
LETTERS = "ACGT"
ELEMENT = re.compile(r"\[(\d+)(?:-(\d*))?\]|\{(\d+)(?:-(\d*))?\}|\((\d+)\)|([ACGTN]+)")


def umi_key_layout(layout):
    """(layout with every UMI slot as a barcode slot, UMI positions in the
    joined key) or (None, why not). The positions are known only when every
    barcode slot before a UMI slot has a fixed length."""
    elements = []
    at = 0
    while at < len(layout):
        m = ELEMENT.match(layout, at)
        if not m:
            return None, "the layout %s cannot be read here" % layout
        elements.append(m)
        at = m.end()
    positions, offset, fixed = [], 0, True
    for m in elements:
        if m.group(5):
            if not fixed:
                return None, ("a barcode slot of variable length stands before a UMI slot in %s, so the UMI "
                              "letters have no fixed place in the key" % layout)
            positions.extend(range(offset, offset + int(m.group(5))))
            offset += int(m.group(5))
        elif m.group(1):
            low, high = m.group(1), m.group(2)
            if high is None or high == low:
                offset += int(low)
            else:
                fixed = False
    if not positions:
        return None, "the layout %s has no UMI slot" % layout
    joined = re.sub(r"\((\d+)\)", r"[\1]", layout)
    return joined, positions


def parse_positions(text):
    """"60-69,75" -> [60, ..., 69, 75]."""
    positions = []
    for part in text.split(","):
        low, _, high = part.partition("-")
        positions.extend(range(int(low), int(high or low) + 1))
    return positions


def format_positions(positions):
    runs = []
    for p in positions:
        if runs and runs[-1][1] == p - 1:
            runs[-1][1] = p
        else:
            runs.append([p, p])
    return ",".join(str(a) if a == b else "%d-%d" % (a, b) for a, b in runs)


def split_key(key, positions, umi_set):
    """(barcode letters, UMI letters) of a joined key."""
    umi = "".join(key[p] for p in positions)
    barcode = "".join(c for i, c in enumerate(key) if i not in umi_set)
    return barcode, umi


def read_umi_table(path, positions):
    """barcode key -> {UMI: reads}, and the reads of the lines left out for
    an N in the UMI. The reads are the table's last column."""
    umi_set = set(positions)
    keys = collections.defaultdict(dict)
    with_n = 0
    with open(path, "rb") as f:
        for raw in f:
            if raw.startswith(b"#"):
                continue
            fields = raw.rstrip(b"\r\n").decode("ascii", "replace").split("\t")
            if len(fields) < 2:
                continue
            if len(fields[0]) <= positions[-1]:
                raise TableError("%s: key %s is shorter than its UMI positions" % (path, fields[0]))
            barcode, umi = split_key(fields[0], positions, umi_set)
            reads = int(fields[-1])
            if "N" in umi:
                with_n += reads
                continue
            umis = keys[barcode]
            umis[umi] = umis.get(umi, 0) + reads
    return keys, with_n


def key_cores(path, key_reads):
    """barcode key -> its core. A core keeps its own key. A member shared by
    several cores goes to the core with the most reads (those of the core's
    key in the UMI table), the earlier core line on ties: its reads then stay
    in one place instead of being split."""
    cores = {}
    offers = collections.defaultdict(list)
    with open(path, "rb") as f:
        for order, raw in enumerate(f):
            if raw.startswith(b"#"):
                continue
            fields = raw.rstrip(b"\r\n").decode("ascii", "replace").split("\t")
            core = fields[0]
            cores[core] = core
            if len(fields) > 6 and fields[6]:
                for item in fields[6].split(","):
                    offers[item.rsplit(":", 2)[0]].append((-key_reads.get(core, 0), order, core))
    for member, choices in offers.items():
        if member not in cores:
            cores[member] = min(choices)[2]
    return cores


def core_barcodes(path, cutoff):
    """core -> [(barcode sequence, match kind)] that tabulate counts it for:
    mm0/mm1/mm2 matches, and each barcode of an alignment that scores at
    least the cutoff (a tie between barcodes counts for each)."""
    counted = {}
    with open(path, "rb") as f:
        for raw in f:
            if raw.startswith(b"#"):
                continue
            fields = raw.rstrip(b"\r\n").decode("ascii", "replace").split("\t")
            if len(fields) < 11:
                continue
            kind = fields[8]
            if kind in ("mm0", "mm1", "mm2"):
                counted[fields[0]] = [("\t".join(fields[10:]), kind)]
            elif kind == "align" and len(fields) > 11:
                barcodes = fields[10].split(";")
                scores = [int(item.split(":", 1)[0]) for item in fields[11].split(";")]
                counted[fields[0]] = [(b, kind) for b, s in zip(barcodes, scores) if s >= cutoff]
    return counted


def neighbours(umi):
    """The UMIs one letter away: 3 per position."""
    for i, letter in enumerate(umi):
        head, tail = umi[:i], umi[i + 1:]
        for other in LETTERS:
            if other != letter:
                yield head + other + tail


def collapse(umis):
    """The top UMI of each molecule of {UMI: reads}. UMI a absorbs b when
    they differ at one position and reads(a) >= 2 reads(b) - 1; groups form
    from the most-read UMI down (ties by the letters), breadth-first from
    their top, and a taken UMI is neither taken again nor walked through."""
    order = sorted(umis, key=lambda u: (-umis[u], u))
    taken = set()
    tops = []
    for top in order:
        if top in taken:
            continue
        taken.add(top)
        tops.append(top)
        queue = collections.deque([top])
        while queue:
            u = queue.popleft()
            bound = umis[u]
            for v in neighbours(u):
                if v in umis and v not in taken and bound >= 2 * umis[v] - 1:
                    taken.add(v)
                    queue.append(v)
    return tops


def barcode_umis(keys, cores, counted):
    """barcode -> {UMI: [reads, reads per match kind]}: the UMIs of every key
    that ends at the barcode, equal UMIs summed."""
    merged = collections.defaultdict(dict)
    for key, umis in keys.items():
        core = cores.get(key)
        for barcode, kind in counted.get(core, ()) if core is not None else ():
            k = KINDS.index(kind)
            into = merged[barcode]
            for umi, reads in umis.items():
                entry = into.get(umi)
                if entry is None:
                    entry = into[umi] = [0, [0] * len(KINDS)]
                entry[0] += reads
                entry[1][k] += reads
    return merged


def barcode_molecules(entries):
    """Molecules per match kind of one barcode's merged UMIs."""
    per_kind = [0] * len(KINDS)
    for top in collapse({umi: entry[0] for umi, entry in entries.items()}):
        by_kind = entries[top][1]
        per_kind[by_kind.index(max(by_kind))] += 1
    return per_kind


def write_molecules(report_path, out_path, merged):
    """The tabulate report's rows with the merged molecules, after two
    header lines with their sums: "#molecules: N" and "#molecule reads: N"
    (the reads of the UMIs that reached a barcode)."""
    rows = []
    molecules = reads = 0
    for row in read_report(report_path):
        entries = merged.get(row[1], {})
        per_kind = barcode_molecules(entries)
        molecules += sum(per_kind)
        reads += sum(entry[0] for entry in entries.values())
        rows.append("%s\t%s\t%d\t%s\n" % (row[0], row[1], sum(per_kind), "\t".join(map(str, per_kind))))
    with open(out_path, "w", encoding="utf-8", errors="surrogateescape", newline="\n") as out:
        out.write("#molecules: %d\n#molecule reads: %d\n" % (molecules, reads))
        out.write("#bcid\tbarcode\ttotal\tmm0\tmm1\tmm2\talign\n")
        out.writelines(rows)
    return molecules, reads


def molecule_sums(path):
    """(molecules, reads) of the header of a file written here."""
    found = {}
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            if not line.startswith("#"):
                break
            key, _, value = line.rstrip("\n").partition(": ")
            if value.isdigit():
                found[key] = int(value)
    if "#molecules" not in found or "#molecule reads" not in found:
        raise TableError("%s: no molecule sums in its header" % path)
    return found["#molecules"], found["#molecule reads"]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--umi-table", required=True)
    parser.add_argument("--umi-positions", required=True, help="e.g. 60-69: the UMI letters in the joined key")
    parser.add_argument("--clusters", required=True)
    parser.add_argument("--map", required=True)
    parser.add_argument("--align-cutoff", required=True, help="a file holding tabulate's -c")
    parser.add_argument("--report", required=True, help="the sample's tabulate report (rows and names)")
    parser.add_argument("--out", required=True)
    args = parser.parse_args(argv)
    try:
        positions = parse_positions(args.umi_positions)
        with open(args.align_cutoff) as f:
            cutoff = int(f.read().split()[0])
        keys, _ = read_umi_table(args.umi_table, positions)
        key_reads = {key: sum(umis.values()) for key, umis in keys.items()}
        merged = barcode_umis(keys, key_cores(args.clusters, key_reads), core_barcodes(args.map, cutoff))
        del keys
        molecules, reads = write_molecules(args.report, args.out, merged)
    except (OSError, ValueError, IndexError, TableError) as error:
        print("molecules: %s" % error, file=sys.stderr)
        return 1
    print("molecules: %d after merging the UMIs of each barcode's keys (%d reads)" % (molecules, reads),
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
