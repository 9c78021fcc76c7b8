#!/usr/bin/python3
"""Writes the run report: one HTML file with the figures embedded as PNG,
so it opens anywhere without network access.

Sections: the samples at a glance (with warnings), where the reads went,
how reads spread over barcodes, the top barcodes of each sample, how alike
the samples are, the full summary table and the settings of the run.

    report.py --matrix counts.tsv --summary summary.tsv --out report.html
              [--settings "count=-i 18:14 -m S" ...]
"""

import argparse
import base64
import html
import io
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.patheffects as patheffects  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from checks import SEPARATOR, run_warnings  # noqa: E402
from demultiplex import ORIENTATION_KEY, TOP_UNDETERMINED, read_run_table, read_undetermined  # noqa: E402
from tables import READ_BUCKETS, fate_reads, shown_fates, matrix_header, matrix_rows, read_summary  # noqa: E402

# Thresholds of the warnings in the overview; a run below them deserves a look.
LOW_ASSIGNED = 0.5
HIGH_ZERO = 0.25
LOW_READS_PER_BARCODE = 10
TOP_N = 10


def figure_html(fig, alt):
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=110, bbox_inches="tight")
    plt.close(fig)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return '<img alt="%s" src="data:image/png;base64,%s">' % (html.escape(alt), data)


def percent(part, whole):
    return "%.1f%%" % (100.0 * part / whole) if whole else "–"


def warnings_for(row):
    total = int(row["total_reads"])
    barcodes = int(row["barcodes"]) or 1
    notes = []
    if total == 0:
        return ["no reads"]
    if int(row.get("without_layout_reads") or 0) > total * LOW_ASSIGNED:
        notes.append("%s of all reads without the layout (reads from the other strand? `count: both_strands: true`)"
                     % percent(int(row["without_layout_reads"]), total))
    if float(row["assigned_fraction"]) < LOW_ASSIGNED:
        notes.append("only %s %s assigned" % (percent(float(row["assigned_fraction"]), 1), assigned_whole(row)))
    if float(row["zero_read_fraction"]) > HIGH_ZERO:
        notes.append("%s of barcodes without %s" % (percent(int(row["zero_read_barcodes"]), barcodes), row_unit(row)))
    if int(row["assigned_reads"]) < LOW_READS_PER_BARCODE * barcodes:
        notes.append("under %d %s per barcode" % (LOW_READS_PER_BARCODE, row_unit(row)))
    return notes


def row_unit(row):
    """What the sample's matrix column counts."""
    return "molecules" if row.get("unit") == "molecules" else "reads"


def merged(row):
    """Molecules merged per barcode (summary.py leaves the column empty else)."""
    return row.get("unit") == "molecules" and row.get("merged_molecules", "") != ""


def assigned_whole(row):
    """What assigned_fraction is a share of (see summary.py)."""
    if merged(row):
        return "of the reads with the layout (in the count table), by the reads of their molecules"
    return "of the molecules per barcode key" if row.get("unit") == "molecules" else "of all reads"


def molecules_section(summary):
    """With UMIs: the molecules before and after their merge per barcode."""
    rows = [row for row in summary if merged(row)]
    if not rows:
        return ""
    lines = ["<h3>Molecules</h3>",
             '<p class="note">The matrix counts molecules: the UMIs of all the barcode keys that reach a barcode '
             "(the barcode and its error variants) are merged and collapsed once per barcode. Counted per key, as "
             "<code>count</code> gives them and the buckets above count them, a molecule read under a barcode and "
             "under a variant of it is one in each key.</p>",
             "<table><tr><th>sample</th><th>reads in the count table</th><th>molecules per barcode key "
             "(before the merge)</th><th>molecules per barcode (in the matrix)</th>"
             "<th>reads of those molecules</th></tr>"]
    for row in rows:
        lines.append("<tr><td>%s</td>%s</tr>" % (html.escape(row["sample"]), "".join(
            "<td>%s</td>" % "{:,}".format(int(row[column] or 0))
            for column in ("table_reads", "molecules", "merged_molecules", "merged_molecule_reads"))))
    lines.append("</table>")
    return "\n".join(lines)


def listed(cell):
    return [text for text in (cell or "").split(SEPARATOR) if text]


def status_cell(row):
    """A problem (with its fix) first, then the thresholds' notes."""
    parts = ['<span class="problem">problem: %s</span>' % html.escape(text) for text in listed(row.get("problems"))]
    notes = warnings_for(row)
    if notes:
        parts.append('<span class="warn">%s</span>' % html.escape("; ".join(notes)))
    return "<br>".join(parts) or '<span class="ok">ok</span>'


def overview_section(summary, step_warnings=()):
    lines = ["<table><tr><th>sample</th><th>reads</th><th>assigned to barcodes</th>"
             "<th>barcodes without a read or molecule</th><th>status</th><th>warnings of the steps</th></tr>"]
    for row in summary:
        total = int(row["total_reads"])
        warnings = "<br>".join(html.escape(text) for text in listed(row.get("warnings")))
        lines.append('<tr><td>%s</td><td>%s</td><td>%s</td><td>%s of %s</td><td>%s</td><td class="text">%s</td></tr>' % (
            html.escape(row["sample"]), "{:,}".format(total),
            percent(float(row["assigned_fraction"]), 1) + " " + assigned_whole(row),
            "{:,}".format(int(row["zero_read_barcodes"])), "{:,}".format(int(row["barcodes"])), status_cell(row),
            warnings))
    lines.append("</table>")
    if step_warnings:
        lines.append('<p class="warn">Warnings of the steps for all samples: %s</p>'
                     % "; ".join(html.escape(text) for text in step_warnings))
    lines.append('<p class="note">A warning is raised when fewer than %d%% of the reads reach a barcode, '
                 'when more than %d%% of the barcodes get no read, or when there are under %d assigned reads per '
                 'barcode. A problem (no reads, the wrong quality encoding, the reads or the library on the other '
                 'strand, a layout the reads lack, under 5%% assigned) names the setting that fixes it; the warnings '
                 'are those of morvane in the steps of the sample.</p>'
                 % (LOW_ASSIGNED * 100, HIGH_ZERO * 100, LOW_READS_PER_BARCODE))
    return "\n".join(lines)


def fate_rows(summary, buckets, total_column, unit):
    """One table of buckets; each row adds up to its total."""
    lines = ["<table><tr><th>sample</th>%s<th>total %s</th></tr>" % (
        "".join("<th>%s</th>" % html.escape(label) for _, label in buckets), unit)]
    for row in summary:
        cells = "".join("<td>%s</td>" % "{:,}".format(int(row.get(column) or 0)) for column, _ in buckets)
        lines.append("<tr><td>%s</td>%s<td>%s</td></tr>" % (
            html.escape(row["sample"]), cells, "{:,}".format(int(row.get(total_column) or 0))))
    lines.append("</table>")
    return "\n".join(lines)


def fate_table(summary):
    """In reads; with UMIs the reads of the count table are one bucket, and
    a second table splits that table's molecules (per barcode key) by
    their clusters' fate."""
    reads = [row for row in summary if row.get("unit") != "molecules"]
    umis = [row for row in summary if row.get("unit") == "molecules"]
    fates = shown_fates(summary)
    parts = []
    if reads:
        parts.append(fate_rows(reads, [(c, label) for c, label, _ in fates], "total_reads", "reads"))
    if umis:
        front = [(c, label) for c, label, _ in fates if c in READ_BUCKETS]
        parts.append("<p>Reads:</p>")
        parts.append(fate_rows(umis, front + [("table_reads", "in the count table (as molecules below)")],
                               "total_reads", "reads"))
        parts.append("<p>Molecules of the count table, per barcode key:</p>")
        parts.append(fate_rows(umis, [(c, label) for c, label, _ in fates if c not in READ_BUCKETS],
                               "molecules", "molecules"))
    return "\n".join(parts)


def orientation_section(summary, fix):
    flagged = [row for row in summary if row.get("orientation") == "reverse-complemented"]
    if not flagged:
        return ""
    items = "".join("<li>%s: %s of the reads of its largest clusters match the library by words; "
                    "%s would if the cores were reverse-complemented.</li>" % (
                        html.escape(row["sample"]), percent(float(row["word_matched_share"]), 1),
                        percent(float(row["revcomp_word_share"]), 1)) for row in flagged)
    return ('<h2>Orientation</h2><p class="warn">The library looks reverse-complemented relative to the reads. '
            "To fix it, %s.</p><ul>%s</ul>" % (html.escape(fix), items))


def fate_figure(summary):
    names = [row["sample"] for row in summary]
    fig, ax = plt.subplots(figsize=(9, 1.2 + 0.35 * len(names)))
    left = np.zeros(len(names))
    totals = np.array([max(int(row["total_reads"]), 1) for row in summary], dtype=float)
    for column, label, colour in shown_fates(summary):
        share = np.array([fate_reads(row, column) for row in summary], dtype=float) / totals * 100.0
        ax.barh(names, share, left=left, color=colour, edgecolor="white", linewidth=0.5, label=label)
        left += share
    for y, row in enumerate(summary):
        ax.text(101, y, "{:,} reads".format(int(row["total_reads"])), va="center", fontsize=8)
    ax.set_xlim(0, 100)
    ax.set_xlabel("% of the sample's reads")
    ax.invert_yaxis()
    fig.tight_layout()
    handles, labels = ax.get_legend_handles_labels()
    fig.legend(handles, labels, loc="upper center", bbox_to_anchor=(0.5, 0.0), ncol=4, frameon=False, fontsize=8)
    ax.spines[["top", "right"]].set_visible(False)
    return figure_html(fig, "read fate per sample")


def abundance_bins(top):
    """Edges of the bins 0, 1, 2-3, 4-7, ...: powers of two up to the
    largest count, so the axis reads as a log scale with zero kept apart."""
    edges = [0, 1]
    while edges[-1] <= top:
        edges.append(edges[-1] * 2)
    return edges


def bin_label(low, high):
    if high - low == 1:
        return str(low)
    return "%s–%s" % (compact(low), compact(high - 1))


def compact(n):
    for size, suffix in ((1_000_000, "M"), (1_000, "k")):
        if n >= size and n % size == 0:
            return "%d%s" % (n // size, suffix)
    return str(n)


def abundance_figure(samples, columns, unit="reads"):
    edges = abundance_bins(int(columns.max()) if columns.size else 0)
    labels = [bin_label(low, high) for low, high in zip(edges, edges[1:])]
    fig, ax = plt.subplots(figsize=(9, 4))
    x = np.arange(len(labels))
    for name, column in zip(samples, columns):
        tally, _ = np.histogram(column, bins=edges)
        ax.plot(x, tally, marker="o", markersize=3, linewidth=1.2, label=name)
    ax.set_xticks(x)
    ax.set_xticklabels(labels, rotation=45, ha="right", fontsize=8)
    ax.set_xlabel("%s per barcode (bins double in width; the first bin is barcodes with none)" % unit)
    ax.set_ylabel("barcodes")
    ax.axvspan(-0.5, 0.5, color="#fde0dd", zorder=0)
    if len(samples) <= 12:
        ax.legend(fontsize=8, frameon=False)
    ax.spines[["top", "right"]].set_visible(False)
    return figure_html(fig, "barcode abundance distribution")


def top_barcodes_section(samples, rows, columns, unit="reads"):
    blocks = []
    for name, column in zip(samples, columns):
        assigned = int(column.sum()) or 1
        # Stable, so barcodes of equal counts stay in barcode file order.
        ranked = np.argsort(-column, kind="stable")[:TOP_N]
        lines = ['<div class="top"><h3>%s</h3><table><tr><th>#</th><th>barcode</th><th>%s</th>'
                 "<th>share of assigned %s</th></tr>" % (html.escape(name), unit, unit)]
        for rank, i in enumerate(ranked, 1):
            if column[i] == 0:
                break
            lines.append('<tr><td>%d</td><td title="%s">%s</td><td>%s</td><td>%s</td></tr>' % (
                rank, html.escape(rows[i][1]), html.escape(rows[i][0]), "{:,}".format(int(column[i])),
                percent(int(column[i]), assigned)))
        lines.append("</table></div>")
        blocks.append("".join(lines))
    return '<div class="tops">%s</div>' % "\n".join(blocks)


def correlation_figure(samples, columns, unit="reads"):
    if len(samples) < 2:
        return "<p>One sample: nothing to compare.</p>"
    logs = np.log10(columns.astype(float) + 1.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        r = np.corrcoef(logs)
    r = np.nan_to_num(r, nan=0.0)
    size = min(3 + 0.45 * len(samples), 14)
    fig, ax = plt.subplots(figsize=(size + 1.2, size))
    low = min(0.0, math.floor(float(r.min()) * 10) / 10)
    image = ax.imshow(r, cmap="viridis", vmin=low, vmax=1.0)
    label_samples(ax, samples)
    if len(samples) <= 15:
        annotate_cells(ax, image, r, [["%.2f" % v for v in line] for line in r], 8)
    fig.colorbar(image, ax=ax, fraction=0.046, pad=0.04, label="Pearson r of log10(%s + 1)" % unit)
    return figure_html(fig, "sample correlation heat map")


def annotate_cells(ax, image, values, texts, fontsize):
    """Each cell's number, light on dark cells and dark on light ones (from
    the colour the cell is drawn in), with a thin outline of the other."""
    for i in range(values.shape[0]):
        for j in range(values.shape[1]):
            red, green, blue, _ = image.cmap(image.norm(values[i, j]))
            dark = 0.299 * red + 0.587 * green + 0.114 * blue < 0.5
            ax.text(j, i, texts[i][j], ha="center", va="center", fontsize=fontsize,
                    color="white" if dark else "black",
                    path_effects=[patheffects.withStroke(linewidth=1.5, foreground="black" if dark else "white")])


def label_samples(ax, samples):
    """Full sample names on both axes."""
    ticks = np.arange(len(samples))
    small = 8 if len(samples) <= 30 else 5
    ax.set_xticks(ticks)
    ax.set_yticks(ticks)
    ax.set_xticklabels(samples, rotation=45, ha="right", rotation_mode="anchor", fontsize=small)
    ax.set_yticklabels(samples, fontsize=small)


def summary_table(summary):
    if not summary:
        return ""
    columns = list(summary[0])
    lines = ['<div class="wide"><table class="summary"><tr>%s</tr>' % "".join(
        "<th>%s</th>" % html.escape(c.replace("_", " ")) for c in columns)]
    for row in summary:
        lines.append("<tr>%s</tr>" % "".join("<td>%s</td>" % html.escape(row[c]) for c in columns))
    lines.append("</table></div>")
    return "\n".join(lines)


STYLE = """
body { font-family: sans-serif; margin: 2em auto; max-width: 72em; color: #222; }
h1 { font-size: 1.6em; } h2 { margin-top: 2em; border-bottom: 1px solid #ccc; } h3 { font-size: 1em; }
table { border-collapse: collapse; font-size: 0.85em; }
th, td { padding: 0.2em 0.6em; border-bottom: 1px solid #eee; text-align: right; }
th:first-child, td:first-child { text-align: left; }
.top td:nth-child(2) { text-align: left; }
.warn { color: #b2182b; font-weight: bold; } .ok { color: #1b7837; }
.problem { color: #fff; background: #b2182b; padding: 0 0.3em; font-weight: bold; }
td.text { text-align: left; font-size: 0.9em; }
.note { font-size: 0.85em; color: #555; }
.tops { display: flex; flex-wrap: wrap; gap: 1.5em; }
.wide { overflow-x: auto; }
img { max-width: 100%; }
.settings td { text-align: left; }
"""


def settings_section(settings):
    """The run's settings, given as "name=value" texts."""
    if not settings:
        return ""
    lines = ['<h2>Settings</h2><table class="settings">']
    for item in settings:
        name, _, value = item.partition("=")
        lines.append("<tr><td>%s</td><td><code>%s</code></td></tr>" % (html.escape(name), html.escape(value)))
    lines.append("</table>")
    return "\n".join(lines)


def diversity(column):
    """(richness, Shannon, Simpson) of one sample's clone sizes: the clones
    with a read, -sum p ln p, and 1 - sum p^2 (the chance that two reads
    drawn at random come from different clones)."""
    counts = column[column > 0].astype(float)
    if not counts.size:
        return 0, 0.0, 0.0
    p = counts / counts.sum()
    return int(counts.size), float(-(p * np.log(p)).sum()), float(1.0 - (p * p).sum())


def diversity_table(samples, columns, unit="reads"):
    lines = [("<table><tr><th>sample</th><th>%s in clones</th><th>clones (richness)</th>"
              "<th>Shannon</th><th>Simpson</th></tr>") % unit]
    for name, column in zip(samples, columns):
        richness, shannon, simpson = diversity(column)
        lines.append("<tr><td>%s</td><td>%s</td><td>%s</td><td>%.3f</td><td>%.4f</td></tr>" % (
            html.escape(name), "{:,}".format(int(column.sum())), "{:,}".format(richness), shannon, simpson))
    lines.append("</table>")
    return "\n".join(lines)


def clone_size_figure(samples, columns, unit="reads"):
    fig, ax = plt.subplots(figsize=(9, 4))
    for name, column in zip(samples, columns):
        sizes = np.sort(column[column > 0])[::-1]
        if sizes.size:
            ax.plot(np.arange(1, sizes.size + 1), sizes, linewidth=1.2, label=name)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("clone rank")
    ax.set_ylabel("%s of the clone" % unit)
    if len(samples) <= 12:
        ax.legend(fontsize=8, frameon=False)
    ax.spines[["top", "right"]].set_visible(False)
    return figure_html(fig, "clone size distribution")


def shared_clones(columns):
    present = (columns > 0).astype(np.int64)
    return present @ present.T


def shared_clones_figure(samples, columns):
    shared = shared_clones(columns)
    size = min(3 + 0.6 * len(samples), 14)
    fig, ax = plt.subplots(figsize=(size + 1.2, size))
    # From 0, so that a pale cell means few shared clones, not the fewest.
    image = ax.imshow(shared, cmap="Blues", vmin=0, vmax=max(int(shared.max()), 1))
    label_samples(ax, samples)
    if len(samples) <= 15:
        annotate_cells(ax, image, shared, [["{:,}".format(int(v)) for v in line] for line in shared], 8)
    fig.colorbar(image, ax=ax, fraction=0.046, pad=0.04, label="clones seen in both samples")
    return figure_html(fig, "shared clones heat map")


def top_clones(samples, columns, n=TOP_N):
    """The clones with the largest summed share over the samples, and each
    one's share in every sample."""
    totals = columns.sum(axis=1, keepdims=True).astype(float)
    shares = np.divide(columns, totals, out=np.zeros(columns.shape), where=totals > 0)
    ranked = np.argsort(-shares.sum(axis=0), kind="stable")[:n]
    return [i for i in ranked if columns[:, i].sum() > 0], shares


def top_clones_section(samples, rows, columns, unit="reads"):
    ranked, shares = top_clones(samples, columns)
    fig, ax = plt.subplots(figsize=(9, 4))
    x = np.arange(len(samples))
    for i in ranked:
        ax.plot(x, shares[:, i] * 100.0, marker="o", markersize=3, linewidth=1.2, label=rows[i][0])
    ax.set_xticks(x)
    ax.set_xticklabels(samples, rotation=45, ha="right", rotation_mode="anchor", fontsize=8)
    ax.set_xlim(-0.3, max(len(samples) - 0.7, 0.3))
    ax.set_xlabel("sample")
    ax.set_ylabel("%% of the sample's %s in clones" % unit)
    # Beside the plot, so no line or label is hidden; the saved figure
    # takes it in.
    ax.legend(fontsize=7, frameon=False, loc="upper left", bbox_to_anchor=(1.01, 1.0), title="clone")
    ax.spines[["top", "right"]].set_visible(False)
    lines = ["<table><tr><th>clone: share of the sample's %s in clones</th>%s</tr>" % (unit, "".join(
        "<th>%s</th>" % html.escape(name) for name in samples))]
    for i in ranked:
        lines.append('<tr><td title="%s">%s</td>%s</tr>' % (
            html.escape(rows[i][1]), html.escape(rows[i][0]),
            "".join("<td>%.2f%%</td>" % (100.0 * shares[j, i]) for j in range(len(samples)))))
    lines.append("</table>")
    return figure_html(fig, "top clones across samples") + "\n".join(lines)


def lineage_section(samples, rows, columns, unit="reads"):
    return "\n".join([
        "<h2>Lineages</h2>",
        '<p class="note">The barcodes were discovered from the pooled reads of all samples; each is a clone.</p>',
        "<h3>Diversity</h3>",
        '<p class="note">Richness: clones with a %s. Shannon: -&sum; p ln p over the clones\' shares of the '
        "sample's %s in clones. Simpson: 1 - &sum; p&sup2;, the chance that two %s come from different "
        "clones.</p>" % (unit[:-1], unit, unit),
        diversity_table(samples, columns, unit),
        "<h3>Clone sizes</h3>",
        '<p class="note">Each sample\'s clones from the largest down (log scales); a steep fall means a few clones '
        "dominate.</p>",
        clone_size_figure(samples, columns, unit),
        "<h3>Shared clones</h3>",
        '<p class="note">The number of clones seen in both of two samples (on the diagonal: the sample\'s '
        "richness).</p>",
        shared_clones_figure(samples, columns),
        "<h3>Top clones across samples</h3>",
        '<p class="note">The %d clones with the largest summed share, followed through the samples '
        "(shares of each sample's %s in clones).</p>" % (TOP_N, unit),
        top_clones_section(samples, rows, columns, unit),
    ])


def sample_barcodes_section(runs):
    """Per multiplexed run (its sample-barcodes.tsv and undetermined.txt):
    the reads of each sample barcode, the orientation of the second index
    that count used, and the most common barcodes of no sample."""
    if not runs:
        return ""
    parts = ["<h2>Sample barcodes</h2>",
             '<p class="note">Each multiplexed file (or pair) was split by one <code>count -x</code> job: the reads '
             "of each sample barcode, those of no sample (undetermined) and the barcodes they carried, most "
             "first. A sample with nearly no reads, or a run mostly undetermined, usually has a wrong "
             "<code>sample_barcode</code> in the sample sheet (the other orientation, the indexes swapped).</p>"]
    for table, undetermined in runs:
        notes, rows = read_run_table(table)
        total = sum(int(row["reads"]) for row in rows)
        numbers, barcodes = read_undetermined(undetermined)
        parts.append("<h3>%s</h3>" % html.escape(notes.get("run", "")))
        orientation = notes.get(ORIENTATION_KEY)
        if orientation:
            parts.append("<p>Second index: %s.</p>" % html.escape(orientation))
        lines = ["<table><tr><th>sample</th><th>sample barcode</th><th>reads</th><th>share of the run</th></tr>"]
        for row in rows:
            undetermined_row = row["sample"] == "undetermined" and not row["sample_barcode"]
            lines.append("<tr><td>%s</td><td><code>%s</code></td><td>%s</td><td>%s</td></tr>" % (
                "<em>undetermined</em>" if undetermined_row else html.escape(row["sample"]),
                html.escape(row["sample_barcode"]), "{:,}".format(int(row["reads"])),
                percent(int(row["reads"]), total)))
        lines.append("</table>")
        parts.append("\n".join(lines))
        if barcodes:
            shown = barcodes[:TOP_UNDETERMINED]
            lines = ["<p>The %d most common of %s undetermined barcodes (%s reads without an index):</p>"
                     % (len(shown), "{:,}".format(len(barcodes)), "{:,}".format(numbers.get("reads without index", 0))),
                     '<table class="undetermined"><tr><th>barcode</th><th>reads</th><th>share of the run</th></tr>']
            lines += ["<tr><td><code>%s</code></td><td>%s</td><td>%s</td></tr>"
                      % (html.escape(barcode), "{:,}".format(reads), percent(reads, total)) for barcode, reads in shown]
            lines.append("</table>")
            parts.append("\n".join(lines))
    return "\n".join(parts)


def build_report(samples, rows, columns, summary, settings=(), lineage=False, fix="", step_warnings=(), runs=()):
    total_reads = sum(int(row["total_reads"]) for row in summary)
    # What the matrix counts: molecules in a UMI run, reads otherwise.
    unit = "molecules" if any(row.get("unit") == "molecules" for row in summary) else "reads"
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8"><title>morvane run report</title>',
        "<style>%s</style></head><body>" % STYLE,
        "<h1>morvane run report</h1>",
        "<p>%d samples, %s barcodes, %s reads in all.</p>" % (
            len(samples), "{:,}".format(len(rows)), "{:,}".format(total_reads)),
        "<h2>Samples at a glance</h2>", overview_section(summary, step_warnings),
        sample_barcodes_section(runs),
        "<h2>Where the reads went</h2>",
        '<p class="note">Each bar is one sample: the reads of clusters matched to a barcode exactly, with one or two '
        "mismatches or by alignment; clusters whose best alignment scored below the cutoff or that matched "
        "no barcode at all (off-library strains, primer dimers, junk); and reads of sequences too rare to be "
        "clustered; and reads left out before the count table, as shares of all the sample's reads. The tables "
        "give the numbers; each row adds up to its total (with UMIs the clusters count molecules, so the reads of "
        "the count table are split in the proportions of its molecules in the bars, and the molecules have a "
        "table of their own).</p>",
        fate_figure(summary),
        fate_table(summary),
        molecules_section(summary),
        orientation_section(summary, fix),
        "<h2>%s per barcode</h2>" % unit.capitalize(),
        '<p class="note">How many barcodes got how many %s. A healthy library forms one hump; '
        "a tall first point means many barcodes got none at all.</p>" % unit,
        abundance_figure(samples, columns, unit),
        "<h2>Top barcodes</h2>",
        '<p class="note">The %d barcodes with the most %s in each sample, with their share of the sample\'s '
        "%s assigned to barcodes (hover a name for its sequence).</p>" % (TOP_N, unit, unit),
        top_barcodes_section(samples, rows, columns, unit),
        "<h2>How alike the samples are</h2>",
        '<p class="note">Correlation of the log counts of every barcode between two samples. Replicates should '
        "sit near 1; a sample unlike all others may be mislabelled or failed.</p>",
        correlation_figure(samples, columns, unit),
        lineage_section(samples, rows, columns, unit) if lineage else "",
        "<h2>Summary table</h2>",
        '<p class="note">The numbers of summary.tsv: reads, clusters by match kind and their reads, '
        "reads assigned to barcodes and barcodes without reads.</p>",
        summary_table(summary),
        settings_section(settings),
        "</body></html>",
    ]
    return "\n".join(parts) + "\n"


def load_matrix(path):
    """(samples, rows, columns): the barcodes' (details, sequence) and a
    samples x barcodes array of counts."""
    samples = matrix_header(path)[2:]
    rows, counts = [], []
    for details, sequence, values in matrix_rows(path):
        rows.append((details, sequence))
        counts.append(np.array(values, dtype=np.int64))
    columns = np.vstack(counts).T if counts else np.zeros((len(samples), 0), dtype=np.int64)
    return samples, rows, columns


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--matrix", required=True)
    parser.add_argument("--summary", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--settings", nargs="*", default=[], help="name=value texts shown under Settings")
    parser.add_argument("--lineage", action="store_true", help="the barcodes were discovered: a lineage section")
    parser.add_argument("--orientation-fix", default="", help="the option that fixes a reversed library")
    parser.add_argument("--logs", help="the run's log directory: the warnings of the steps for all samples")
    parser.add_argument("--runs", nargs="*", default=[],
                        help="sample-barcodes.tsv and undetermined.txt of each multiplexed run, in turn")
    args = parser.parse_args(argv)
    if len(args.runs) % 2:
        parser.error("--runs takes a sample-barcodes.tsv and an undetermined.txt per run")
    samples, rows, columns = load_matrix(args.matrix)
    summary = read_summary(args.summary)
    text = build_report(samples, rows, columns, summary, args.settings, args.lineage, args.orientation_fix,
                        run_warnings(args.logs) if args.logs else (), list(zip(args.runs[::2], args.runs[1::2])))
    with open(args.out, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
