#!/usr/bin/python3
"""Writes, beside the count matrix, the per-sample figures that screen
analysis and QC aggregation tools read:

  countsummary.txt   File, Label, Reads, Mapped, Percentage, TotalsgRNAs,
                     Zerocounts, GiniIndex: a row per sample;
  *_mqc.tsv          custom content that MultiQC picks up from the output
                     folder: general statistics and the read-fate bars.

    screen_stats.py --matrix counts.tsv --summary summary.tsv
                    --countsummary countsummary.txt --stats stats_mqc.tsv
                    --fates read_fate_mqc.tsv --files f1 f2 ...
"""

import argparse
import sys
from array import array

from tables import TableError, fate_reads, shown_fates, matrix_header, matrix_rows, read_summary

COUNTSUMMARY_COLUMNS = ("File", "Label", "Reads", "Mapped", "Percentage", "TotalsgRNAs", "Zerocounts", "GiniIndex")


def gini_index(counts):
    """Inequality of the counts over all barcodes: 0 when every barcode has
    as many, near 1 when one has all. None without any count."""
    values = sorted(counts)
    total = sum(values)
    if not values or total == 0:
        return None
    n = len(values)
    weighted = sum(rank * value for rank, value in enumerate(values, 1))
    return 2.0 * weighted / (n * total) - (n + 1.0) / n


def matrix_columns(path):
    """(samples, one array of counts per sample) of a count matrix."""
    samples = matrix_header(path)[2:]
    columns = [array("q") for _ in samples]
    for details, _, counts in matrix_rows(path):
        if len(counts) != len(samples):
            raise TableError("%s: a row of %d counts for %d samples (%s)" % (path, len(counts), len(samples), details))
        for column, text in zip(columns, counts):
            column.append(int(text))
    return samples, columns


def countsummary_rows(samples, columns, summary, files):
    rows = []
    for name, column, row, path in zip(samples, columns, summary, files):
        gini = gini_index(column)
        rows.append((path, name, row["total_reads"], str(sum(column)), row["assigned_fraction"], str(len(column)),
                     str(sum(1 for value in column if value == 0)), "NA" if gini is None else "%.4f" % gini))
    return rows


def number(value):
    return "%d" % value if float(value).is_integer() else "%.2f" % value


def stats_lines(summary, unit):
    """MultiQC general statistics: reads, assigned share, barcodes at 0."""
    lines = [
        "# id: 'morvane_stats'",
        "# plot_type: 'generalstats'",
        "# pconfig:",
        "#     - total_reads:",
        "#         title: 'Reads'",
        "#         description: 'Reads of the sample'",
        "#         format: '{:,.0f}'",
        "#     - assigned_percent:",
        "#         title: '% Assigned'",
        "#         description: 'Share of the %s counted for a library barcode'" % unit,
        "#         min: 0",
        "#         max: 100",
        "#         suffix: '%'",
        "#     - zero_percent:",
        "#         title: '% Zero'",
        "#         description: 'Share of the library barcodes without a count'",
        "#         min: 0",
        "#         max: 100",
        "#         suffix: '%'",
        "Sample\ttotal_reads\tassigned_percent\tzero_percent",
    ]
    for row in summary:
        lines.append("%s\t%s\t%.2f\t%.2f" % (row["sample"], row["total_reads"],
                                             100.0 * float(row["assigned_fraction"] or 0),
                                             100.0 * float(row["zero_read_fraction"] or 0)))
    return lines


def fate_lines(summary):
    """MultiQC bar graph: where each sample's reads end up, in reads."""
    fates = shown_fates(summary)
    lines = [
        "# id: 'morvane_read_fate'",
        "# section_name: 'Read fate'",
        "# description: 'Where the reads of each sample end up, from the barcode match to the layout not found.'",
        "# plot_type: 'bargraph'",
        "# pconfig:",
        "#     id: 'morvane_read_fate_plot'",
        "#     title: 'Read fate'",
        "#     ylab: 'Reads'",
        "Sample\t" + "\t".join(label for _, label, _ in fates),
    ]
    for row in summary:
        lines.append(row["sample"] + "\t" + "\t".join(number(fate_reads(row, column)) for column, _, _ in fates))
    return lines


def write_lines(path, lines):
    with open(path, "w", encoding="utf-8", errors="surrogateescape", newline="\n") as f:
        f.writelines(line + "\n" for line in lines)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--matrix", required=True)
    parser.add_argument("--summary", required=True)
    parser.add_argument("--countsummary", required=True)
    parser.add_argument("--stats", required=True)
    parser.add_argument("--fates", required=True)
    parser.add_argument("--files", nargs="+", required=True, help="each sample's reads, as the sample sheet names them")
    args = parser.parse_args(argv)
    try:
        samples, columns = matrix_columns(args.matrix)
        summary = read_summary(args.summary)
        if [row.get("sample") for row in summary] != samples or len(args.files) != len(samples):
            raise TableError("%s and %s name other samples" % (args.matrix, args.summary))
    except (OSError, ValueError, KeyError, TableError) as error:
        print("screen_stats: %s" % error, file=sys.stderr)
        return 1
    write_lines(args.countsummary, ["\t".join(COUNTSUMMARY_COLUMNS)]
                + ["\t".join(row) for row in countsummary_rows(samples, columns, summary, args.files)])
    unit = "molecules" if any(row.get("unit") == "molecules" for row in summary) else "reads"
    write_lines(args.stats, stats_lines(summary, unit))
    write_lines(args.fates, fate_lines(summary))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
