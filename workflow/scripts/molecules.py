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
order; a molecule counts for the match kind that brought most of its top
UMI's reads (ties in that column order).

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


def key_slices(positions, length):
    """(barcode slices, UMI slices) of a joined key of this length."""
    umi_set = set(positions)
    barcode, umi = [], []
    for i in range(length):
        runs = umi if i in umi_set else barcode
        if runs and runs[-1][1] == i:
            runs[-1][1] = i + 1
        else:
            runs.append([i, i + 1])
    return [slice(a, b) for a, b in barcode], [slice(a, b) for a, b in umi]


def table_rows(path):
    """The tab-separated fields of each line of a morvane table that is not a
    header line, streamed."""
    with open(path, "rb") as f:
        for raw in f:
            if not raw.startswith(b"#"):
                yield raw.rstrip(b"\r\n").decode("ascii", "replace").split("\t")


def umi_table_keys(path, positions):
    """(barcode key, UMI, reads) of each line of the UMI table whose UMI holds
    no N, streamed. The reads are the table's last column."""
    slices = {}
    for fields in table_rows(path):
        if len(fields) < 2:
            continue
        key = fields[0]
        cut = slices.get(len(key))
        if cut is None:
            if len(key) <= positions[-1]:
                raise TableError("%s: key %s is shorter than its UMI positions" % (path, key))
            cut = slices[len(key)] = key_slices(positions, len(key))
        umi = "".join(key[s] for s in cut[1]) if len(cut[1]) > 1 else key[cut[1][0]]
        if "N" in umi:
            continue
        barcode = "".join(key[s] for s in cut[0]) if len(cut[0]) != 1 else key[cut[0][0]]
        yield barcode, umi, int(fields[-1])


def key_reads(path, positions):
    """barcode key -> its reads with a clean UMI."""
    reads = collections.Counter()
    for barcode, _, n in umi_table_keys(path, positions):
        reads[barcode] += n
    return reads


def key_cores(path, reads):
    """barcode key -> its core. A core keeps its own key. A member shared by
    several cores goes to the core with the most reads (those of the core's
    key in the UMI table), the earlier core line on ties: its reads then stay
    in one place instead of being split."""
    cores = {}
    offers = collections.defaultdict(list)
    for order, fields in enumerate(table_rows(path)):
        core = fields[0]
        cores[core] = core
        if len(fields) > 6 and fields[6]:
            for item in fields[6].split(","):
                offers[item.rsplit(":", 2)[0]].append((-reads.get(core, 0), order, core))
    for member, choices in offers.items():
        if member not in cores:
            cores[member] = min(choices)[2]
    return cores


def core_barcodes(path, cutoff):
    """core -> [(barcode sequence, match kind)] that tabulate counts it for:
    mm0/mm1/mm2 matches, and each barcode of an alignment that scores at
    least the cutoff (a tie between barcodes counts for each)."""
    counted = {}
    for fields in table_rows(path):
        if len(fields) < 11:
            continue
        kind = fields[8]
        if kind in ("mm0", "mm1", "mm2"):
            counted[fields[0]] = [("\t".join(fields[10:]), kind)]
        elif kind == "align" and len(fields) > 11:
            barcodes = fields[10].split(":", 1)[-1].split(";")  # as tabulate reads it
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
    if len(order) == 1:
        return order
    # A UMI that cannot absorb even the least-read one needs no look-ups.
    least = umis[order[-1]]
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
            if bound < 2 * least - 1:
                continue
            for v in neighbours(u):
                if v in umis and v not in taken and bound >= 2 * umis[v] - 1:
                    taken.add(v)
                    queue.append(v)
    return tops


def barcode_umis(table, positions, cores, counted):
    """barcode -> [{UMI: reads} per match kind]: the UMIs of every key that
    ends at the barcode, equal UMIs summed, streamed from the UMI table."""
    merged = {}
    for key, umi, reads in umi_table_keys(table, positions):
        core = cores.get(key)
        for barcode, kind in counted.get(core, ()) if core is not None else ():
            by_kind = merged.get(barcode)
            if by_kind is None:
                by_kind = merged[barcode] = [None] * len(KINDS)
            k = KINDS.index(kind)
            if by_kind[k] is None:
                by_kind[k] = {}
            by_kind[k][umi] = by_kind[k].get(umi, 0) + reads
    return merged


def barcode_molecules(by_kind):
    """(molecules per match kind, reads) of one barcode's merged UMIs."""
    per_kind = [0] * len(KINDS)
    kinds = [umis for umis in by_kind if umis] if by_kind else []
    if not kinds:
        return per_kind, 0
    if len(kinds) == 1:
        totals = kinds[0]
    else:
        totals = collections.Counter()
        for umis in kinds:
            totals.update(umis)
    for top in collapse(totals):
        counts = [umis.get(top, 0) if umis else 0 for umis in by_kind]
        per_kind[counts.index(max(counts))] += 1
    return per_kind, sum(totals.values())


def write_molecules(report_path, out_path, merged):
    """The tabulate report's rows with the merged molecules, after two
    header lines with their sums: "#molecules: N" and "#molecule reads: N"
    (the reads of the UMIs that reached a barcode)."""
    rows = []
    molecules = reads = 0
    for row in read_report(report_path):
        per_kind, umi_reads = barcode_molecules(merged.get(row[1]))
        molecules += sum(per_kind)
        reads += umi_reads
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
        cores = key_cores(args.clusters, key_reads(args.umi_table, positions))
        merged = barcode_umis(args.umi_table, positions, cores, core_barcodes(args.map, cutoff))
        molecules, reads = write_molecules(args.report, args.out, merged)
    except (OSError, ValueError, IndexError, TableError) as error:
        print("molecules: %s" % error, file=sys.stderr)
        return 1
    print("molecules: %d after merging the UMIs of each barcode's keys (%d reads)" % (molecules, reads),
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
