#!/usr/bin/python3
"""Checks what the workflow wrote against the per-sample files it came from.

    check_outputs.py OUTDIR SAMPLE_SHEET BARCODE_FILE [--dualguide-truth TRUTH]

The files are read here with their own small parsers, not the workflow's,
so a fault in those shows up as a disagreement."""

import argparse
import gzip
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "workflow", "scripts"))
from tables import sample_directories  # noqa: E402

failures = []
# Sample name -> its directory under samples/ and logs/.
DIRECTORY = {}


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def open_table(path):
    """A per-sample table: the workflow keeps its intermediates gzipped."""
    if not os.path.exists(path) and os.path.exists(path + ".gz"):
        return gzip.open(path + ".gz", "rt")
    return open(path)


def sheet_rows(sheet):
    """The sheet's lines as dicts of sample, fastq, fastq_2 and
    sample_barcode (paths as written)."""
    rows, columns = [], None
    for line in open(sheet):
        if line.startswith("#") or not line.strip():
            continue
        fields = line.rstrip("\n").split("\t")
        if columns is None:
            columns = fields if "sample" in fields and "fastq" in fields else ["sample", "fastq"]
            if columns is fields:
                continue
        rows.append({column: fields[i] if i < len(fields) else "" for i, column in enumerate(columns)})
    return rows


def sample_names(sheet):
    return [row["sample"] for row in sheet_rows(sheet)]


def expected_order(barcode_file):
    """Barcode sequences in matrix order: the position of the last line
    that bears each sequence."""
    last = {}
    number = 0
    for line in open(barcode_file):
        if line.startswith("#") or "\t" not in line:
            continue
        last[line.rstrip("\n").split("\t")[1]] = number
        number += 1
    return sorted(last, key=last.get)


def read_tsv(path):
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        return header, [line.rstrip("\n").split("\t") for line in f]


def report_rows(path):
    rows = {}
    for line in open(path):
        if line.startswith("#"):
            continue
        f = line.rstrip("\n").split("\t")
        rows[f[1]] = (f[0], [int(x) for x in f[2:7]])
    return rows


def count_header(path):
    values = {}
    for line in open_table(path):
        if not line.startswith("#"):
            break
        m = re.match(r"#(total reads|unique reads|filtered bases|reads without layout|pairs without layout|"
                     r"reverse strand reads|umi reads with N|molecules): (\d+)$", line.rstrip("\n"))
        if m:
            # A pair of reads counts as one read.
            values[m.group(1).replace("pairs without", "reads without")] = int(m.group(2))
    return values


def table_sums(path):
    """Sums of the count table's second and (UMIs) third columns."""
    units = reads = 0
    for line in open_table(path):
        if line.startswith("#"):
            continue
        f = line.rstrip("\n").split("\t")
        units += int(f[1])
        reads += int(f[-1])
    return units, reads


def map_file(path):
    summary, clusters, reads = {}, {}, {}
    for line in open_table(path):
        m = re.match(r"#\t?(contains|mm0s|mm1s|mm2s|aligns|misses): (\d+)$", line.rstrip("\n"))
        if m:
            summary[m.group(1)] = int(m.group(2))
        if line.startswith("#"):
            continue
        f = line.rstrip("\n").split("\t")
        clusters[f[8]] = clusters.get(f[8], 0) + 1
        reads[f[8]] = reads.get(f[8], 0) + int(f[1])
    return summary, clusters, reads


def check_matrices(out, names, order):
    header, rows = read_tsv(os.path.join(out, "counts.tsv"))
    check(header == ["bcid", "barcode"] + names, "counts.tsv header %r" % header)
    check([r[1] for r in rows] == order, "counts.tsv rows are not in barcode file order")
    split = os.path.exists(os.path.join(out, "counts_mismatch.tsv"))
    _, mismatch = read_tsv(os.path.join(out, "counts_mismatch.tsv")) if split else (None, rows)
    _, align = read_tsv(os.path.join(out, "counts_align.tsv")) if split else (None, rows)
    check(len(mismatch) == len(rows) == len(align), "split matrices differ in rows from counts.tsv")
    for column, name in enumerate(names, 2):
        # With UMIs merged per barcode the matrix holds those molecules.
        merged = os.path.join(out, "samples", DIRECTORY[name], "molecules.tsv")
        report = report_rows(merged if os.path.exists(merged) else os.path.join(out, "samples", DIRECTORY[name], "report.tsv"))
        check(set(report) == set(order), "%s: report and barcode file name different barcodes" % name)
        for row, mm, al in zip(rows, mismatch, align):
            details, (total, mm0, mm1, mm2, aligned) = report[row[1]]
            check(row[0] == details, "%s %s: details %r, report says %r" % (name, row[1], row[0], details))
            check(int(row[column]) == total, "%s %s: matrix %s, report total %d" % (name, row[1], row[column], total))
            if split:
                check(int(mm[column]) == mm0 + mm1 + mm2, "%s %s: mismatch matrix %s" % (name, row[1], mm[column]))
                check(int(al[column]) == aligned, "%s %s: align matrix %s" % (name, row[1], al[column]))
    return rows


def check_summary(out, names, matrix):
    header, lines = read_tsv(os.path.join(out, "summary.tsv"))
    rows = [dict(zip(header, line)) for line in lines]
    check([r["sample"] for r in rows] == names, "summary.tsv samples %r" % [r["sample"] for r in rows])
    kinds = {"mm0": "mm0s", "mm1": "mm1s", "mm2": "mm2s", "align": "aligns", "unmatched": "misses"}
    for column, row in enumerate(rows, 2):
        name = row["sample"]
        n = {k: int(v) for k, v in row.items() if v.lstrip("-").isdigit()}
        table = count_header(os.path.join(out, "samples", DIRECTORY[name], "count-table.txt"))
        check(n["total_reads"] == table["total reads"], "%s: total reads" % name)
        check(n["unique_reads"] == table["unique reads"], "%s: unique reads" % name)
        check(n["filtered_bases"] == table["filtered bases"], "%s: filtered bases" % name)
        summary, clusters, reads = map_file(os.path.join(out, "samples", DIRECTORY[name], "map.txt"))
        # With guide pairs the recombinants come out of the weak alignments
        # and the clusters of no match.
        pairs = row.get("recombinant_reads", "") != ""
        for kind, line in kinds.items():
            word = "none" if kind == "unmatched" else kind
            if pairs and kind in ("align", "unmatched"):
                continue
            check(n[kind + "_clusters"] == summary[line], "%s: %s clusters" % (name, kind))
            check(n[kind + "_reads"] == reads.get(word, 0), "%s: %s reads" % (name, kind))
        if pairs:
            check(n["align_clusters"] + n["unmatched_clusters"] + n["recombinant_clusters"]
                  == summary["aligns"] + summary["misses"], "%s: recombinant clusters" % name)
            check(n["align_reads"] + n["unmatched_reads"] + n["recombinant_reads"]
                  == reads.get("align", 0) + reads.get("none", 0), "%s: recombinant reads" % name)
        check(n["clusters"] == sum(clusters.values()), "%s: clusters" % name)
        # Every read in one final bucket: before the table, in the table but
        # not clustered, or in a cluster of one match kind.
        units, table_reads = table_sums(os.path.join(out, "samples", DIRECTORY[name], "count-table.txt"))
        before = table.get("reads without layout", 0) + table.get("umi reads with N", 0)
        check(before + n["masked_reads"] + table_reads == n["total_reads"], "%s: reads before the table" % name)
        check(n["without_layout_reads"] == table.get("reads without layout", 0), "%s: without layout" % name)
        check(n["umi_n_reads"] == table.get("umi reads with N", 0), "%s: UMI reads with N" % name)
        if "molecules" in table:
            check(row["unit"] == "molecules" and n["molecules"] == units == table["molecules"],
                  "%s: molecules %s, table %d" % (name, row["molecules"], units))
        buckets = ("unclustered_reads", "mm0_reads", "mm1_reads", "mm2_reads", "counted_align_reads",
                   "weak_align_reads", "unmatched_reads") + (("recombinant_reads",) if pairs else ())
        check(sum(n[b] for b in buckets) == units, "%s: cluster buckets add up to %d" % (name, units))
        check(sum(reads.values()) + n["unclustered_reads"] == units, "%s: clustered and rare" % name)
        check(n["counted_align_reads"] + n["weak_align_reads"] == n["align_reads"], "%s: alignments" % name)
        check(n["weak_align_reads"] <= n["align_reads"], "%s: weak alignments" % name)
        merged = os.path.join(out, "samples", DIRECTORY[name], "molecules.tsv")
        if os.path.exists(merged):
            check_merged(name, n, merged, os.path.join(out, "samples", DIRECTORY[name], "report.tsv"), table_reads)
        counts = [int(r[column]) for r in matrix]
        check(n["assigned_reads"] == sum(counts), "%s: assigned reads" % name)
        check(n["zero_read_barcodes"] == counts.count(0), "%s: zero-read barcodes" % name)
        check(abs(float(row["zero_read_fraction"]) - counts.count(0) / len(counts)) < 1e-4, "%s: zero fraction" % name)
        # Without ties between barcodes every assigned read comes from one
        # mismatch match or one alignment that passed the cutoff.
        strong = n["mm0_reads"] + n["mm1_reads"] + n["mm2_reads"] + n["align_reads"] - n["weak_align_reads"]
        # (Merged molecules are fewer than the clusters' molecules per key.)
        check(n["assigned_reads"] >= strong or os.path.exists(merged),
              "%s: assigned reads below the matched reads" % name)


def check_merged(name, n, merged, report, table_reads):
    """Molecules merged per barcode: the header sums agree with the rows,
    a barcode never has more molecules than its keys had apart, and the
    UMIs' reads are reads of the table."""
    sums = count_header_sums(merged)
    rows, per_key = report_rows(merged), report_rows(report)
    check(sums.get("molecules") == sum(r[1][0] for r in rows.values()) == n["merged_molecules"],
          "%s: merged molecules %s" % (name, n.get("merged_molecules")))
    check(sums.get("molecule reads") == n["merged_molecule_reads"], "%s: merged molecule reads" % name)
    check(set(rows) == set(per_key), "%s: molecules.tsv and report.tsv name different barcodes" % name)
    for sequence, (_, counts) in rows.items():
        check(counts[0] == sum(counts[1:]) <= per_key[sequence][1][0],
              "%s %s: %d merged molecules, %d per key" % (name, sequence, counts[0], per_key[sequence][1][0]))
    check(n["merged_molecule_reads"] <= table_reads, "%s: merged molecules hold more reads than the table" % name)


def count_header_sums(path):
    sums = {}
    for line in open(path):
        m = re.match(r"#(molecules|molecule reads): (\d+)$", line.rstrip("\n"))
        if m:
            sums[m.group(1)] = int(m.group(2))
    return sums


SECTIONS = ("Samples at a glance", "Where the reads went", "(Reads|Molecules) per barcode", "Top barcodes",
            "How alike the samples are", "Summary table", "Settings")
FIGURES = ("read fate per sample", "barcode abundance distribution", "sample correlation heat map")
LINEAGE_SECTIONS = ("Lineages", "Diversity", "Clone sizes", "Shared clones", "Top clones across samples")
LINEAGE_FIGURES = ("clone size distribution", "shared clones heat map", "top clones across samples")


def fastq_records(path):
    with gzip.open(path, "rt") if path.endswith(".gz") else open(path) as f:
        return sum(1 for _ in f) // 4


def check_multiplexed(out, sheet):
    """Every multiplexed file (or pair) split by one count -x job: the reads
    of its sample barcodes are the samples' reads, and with those of no
    sample they are all the file's records."""
    rows = sheet_rows(sheet)
    shared = {}
    for row in rows:
        if row.get("sample_barcode"):
            shared.setdefault(row["fastq"], []).append(row)
    runs = sorted(os.listdir(os.path.join(out, "runs"))) if os.path.isdir(os.path.join(out, "runs")) else []
    check(len(runs) == len(shared), "%d multiplexed runs for %d shared files" % (len(runs), len(shared)))
    _, lines = read_tsv(os.path.join(out, "summary.tsv"))
    totals = {line[0]: int(line[1]) for line in lines}
    report = open(os.path.join(out, "report.html")).read() if os.path.exists(os.path.join(out, "report.html")) else ""
    for run in runs:
        found = {}
        for line in open(os.path.join(out, "runs", run, "sample-barcodes.tsv")):
            if not line.startswith("#") and not line.startswith("sample\t"):
                name, barcode, reads, _ = line.rstrip("\n").split("\t")
                found[name] = (barcode, int(reads))
        group = next((g for g in shared.values() if [r["sample"] for r in g] == list(found)[:-1]), None)
        if not check(group is not None, "%s: its samples %r are no group of the sheet" % (run, list(found))):
            continue
        for row in group:
            check(found[row["sample"]] == (row["sample_barcode"], totals[row["sample"]]),
                  "%s: %s has %r, the summary %d reads" % (run, row["sample"], found[row["sample"]],
                                                            totals[row["sample"]]))
        undetermined = [line.rstrip("\n").split("\t") for line in open(os.path.join(out, "runs", run, "undetermined.txt"))]
        lost = sum(int(f[1]) for f in undetermined if not f[0].startswith("#"))
        check(found["undetermined"][1] == lost, "%s: %d undetermined, undetermined.txt has %d" % (run, found["undetermined"][1], lost))
        path = os.path.join(os.path.dirname(sheet), group[0]["fastq"])
        check(sum(reads for _, reads in found.values()) == fastq_records(path), "%s: reads do not add up to %s" % (run, path))
        if report:
            check("<h3>%s</h3>" % run in report, "report.html lacks the run %s" % run)
            for f in [f for f in undetermined if not f[0].startswith("#")][:20]:
                check("<td><code>%s</code></td><td>%s</td>" % (f[0], "{:,}".format(int(f[1]))) in report,
                      "report.html lacks the undetermined barcode %s" % f[0])
    return bool(runs)


def check_report(out, names, lineage, reversed_library, multiplexed=False):
    path = os.path.join(out, "report.html")
    if not check(os.path.exists(path), "report.html missing"):
        return
    text = open(path).read()
    for name in names:
        check(">%s<" % name in text, "report.html does not name sample %s" % name)
    sections = SECTIONS + (LINEAGE_SECTIONS if lineage else ()) + (("Sample barcodes",) if multiplexed else ())
    # One sample has nothing to be compared with.
    figures = FIGURES[:3 if len(names) > 1 else 2] + (LINEAGE_FIGURES if lineage else ())
    for section in sections:
        check(re.search(r"<h[23]>%s</h[23]>" % section, text), "report.html lacks section %s" % section)
    for figure in figures:
        check('<img alt="%s" src="data:image/png;base64,' % figure in text, "report.html lacks figure %s" % figure)
    check(text.count("data:image/png;base64,") == len(figures), "report.html: unexpected figures")
    check(("Lineages" in text) == lineage, "report.html: lineage section where it does not belong")
    check(("looks reverse-complemented" in text) == reversed_library, "report.html: orientation warning")
    check(re.search(r"<code>morvane \d+\.\d+\.\d+</code>", text), "report.html does not name the version")
    check(not re.search(r"""(src|href)=["']?(https?:)?//""", text), "report.html loads something from the network")


def check_dualguide(out, names, truth_path):
    """A dual-guide run against the generator's truth: each pair's count,
    the recombinant bucket and the combinations tabulate -r listed. Read
    errors cost a few reads (a layout's constant broken, a guide two
    letters off), never add any."""
    drawn, combinations = {}, {}
    for line in open(truth_path):
        fields = line.rstrip("\n").split("\t")
        if line.startswith("#combination\t"):
            combinations.setdefault(fields[1], {})[(fields[2], fields[3])] = int(fields[4])
        elif not line.startswith("#"):
            drawn[(fields[0], fields[1])] = int(fields[2])
    header, rows = read_tsv(os.path.join(out, "counts.tsv"))
    columns, lines = read_tsv(os.path.join(out, "summary.tsv"))
    summary = {line[0]: dict(zip(columns, line)) for line in lines}
    for column, name in enumerate(names, 2):
        for row in rows:
            expected, got = drawn[(name, row[0])], int(row[column])
            check(expected * 0.95 - 2 <= got <= expected,
                  "%s %s: %d pairs counted, %d drawn" % (name, row[0], got, expected))
        expected, got = drawn[(name, "recombinant")], int(summary[name]["recombinant_reads"])
        check(expected * 0.95 <= got <= expected, "%s: %d recombinant reads, %d drawn" % (name, got, expected))
        # Every recombination listed was drawn, the most common ones first.
        _, listed = read_tsv(os.path.join(out, "samples", DIRECTORY[name], "recombinants.tsv"))
        check(len(listed) > 0, "%s: no recombination listed" % name)
        seen = {}
        for fields in listed:
            seen[(fields[2], fields[3])] = seen.get((fields[2], fields[3]), 0) + int(fields[5])
        for pair, total in seen.items():
            check(total <= combinations[name].get(pair, 0), "%s: recombination %s: %d, drawn %d"
                  % (name, pair, total, combinations[name].get(pair, 0)))
        check(sum(seen.values()) == got,
              "%s: recombinants.tsv holds %d reads, summary %d" % (name, sum(seen.values()), got))
        totals = [int(fields[5]) for fields in listed]
        check(totals == sorted(totals, reverse=True), "%s: recombinants.tsv not most reads first" % name)
    fates = open(os.path.join(out, "morvane_read_fate_mqc.tsv")).read()
    check("\trecombinant guide pair\t" in fates, "MultiQC read fates lack the recombinant bucket")
    check("recombinant guide pair" in open(os.path.join(out, "report.html")).read(),
          "report.html lacks the recombinant bucket")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("sheet")
    parser.add_argument("barcodes", help="the barcode file the workflow mapped against")
    parser.add_argument("--lineage", action="store_true", help="a run without a library")
    parser.add_argument("--reversed", action="store_true", help="the orientation warning is expected")
    parser.add_argument("--dualguide-truth", help="the truth of examples/make-dualguide.py")
    args = parser.parse_args()
    names = sample_names(args.sheet)
    DIRECTORY.update(sample_directories(names))
    matrix = check_matrices(args.out, names, expected_order(args.barcodes))
    check_summary(args.out, names, matrix)
    multiplexed = check_multiplexed(args.out, args.sheet)
    check_report(args.out, names, args.lineage, args.reversed, multiplexed)
    if args.dualguide_truth:
        check_dualguide(args.out, names, args.dualguide_truth)
    check(("<h2>Sample barcodes</h2>" in open(os.path.join(args.out, "report.html")).read()) == multiplexed
          if os.path.exists(os.path.join(args.out, "report.html")) else True,
          "report.html: a sample barcodes section where it does not belong")
    for message in failures[:20]:
        print("FAIL:", message)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("workflow outputs agree with the per-sample files (%d samples, %d barcodes)" % (len(names), len(matrix)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
