"""Readers for the files the workflow joins: the sample sheet, the barcode
file, the count table header, the map file and the tabulate report, and the
matrix and summary that the workflow itself writes.

Every reader streams its file, so map files of millions of clusters cost
memory only for what is kept."""

import os
import re
import subprocess

SAMPLE_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._+-]*$")
MATCH_KINDS = ("mm0", "mm1", "mm2", "align", "none")


class TableError(Exception):
    pass


def read_sample_sheet(path):
    """Sample name -> FASTQ path, in sheet order. A relative FASTQ path is
    taken relative to the sheet, so a sheet can travel with its files."""
    base = os.path.dirname(path)
    samples = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\r\n")
            if not line.strip() or line.startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) < 2 or not fields[1]:
                raise TableError("%s:%d: expected a sample name, a tab and a FASTQ path" % (path, number))
            name, fastq = fields[0], fields[1]
            if not samples and name.lower() == "sample" and fastq.lower() == "fastq":
                continue
            if not SAMPLE_NAME.match(name):
                raise TableError("%s:%d: sample name %r: use letters, digits and . _ + - only" % (path, number, name))
            if name in samples:
                raise TableError("%s:%d: sample %s named twice" % (path, number, name))
            samples[name] = os.path.normpath(os.path.join(base, fastq))
    if not samples:
        raise TableError("%s: no samples" % path)
    return samples


def barcode_order(morvane, path):
    """Barcode sequence -> its position in the barcode file, as the tool
    reads the file (tabulate -b: a repeated sequence at its last line)."""
    run = subprocess.run([morvane, "tabulate", "-b", path], capture_output=True)
    if run.returncode != 0:
        raise TableError("tabulate -b %s: %s" % (path, run.stderr.decode("utf-8", "replace").strip()))
    order = {}
    for raw in run.stdout.split(b"\n"):
        if raw and not raw.startswith(b"#"):
            order[raw.decode("utf-8", "surrogateescape").split("\t", 1)[1]] = len(order)
    return order


def read_report(path):
    """The rows of a tabulate report, one at a time: (details, sequence,
    total, mm0, mm1, mm2, align), in report order."""
    with open(path, "rb") as f:
        for raw in f:
            if raw.startswith(b"#"):
                continue
            fields = raw.decode("utf-8", "surrogateescape").rstrip("\n").split("\t")
            if len(fields) < 7:
                raise TableError("%s: short report line: %r" % (path, raw[:200]))
            try:
                numbers = tuple(int(x) for x in fields[2:7])
            except ValueError:
                raise TableError("%s: report line with a non-numeric count: %r" % (path, raw[:200]))
            yield (fields[0], fields[1]) + numbers


# Header lines of a count table; the last four only with a layout, -b, UMIs.
COUNT_HEADER = {
    "#total reads": "total_reads", "#unique reads": "unique_reads", "#filtered bases": "filtered_bases",
    "#reads without layout": "reads_without_layout", "#reverse strand reads": "reverse_strand_reads",
    "#umi reads with N": "umi_reads_with_n", "#molecules": "molecules",
}
REQUIRED_HEADER = ("total_reads", "unique_reads", "filtered_bases")


def count_table_header(path):
    """The numbers of a count table's header: total reads, unique reads and
    filtered bases, and those that a layout, -b and UMIs add."""
    found = {}
    with open(path, "rb") as f:
        for raw in f:
            if not raw.startswith(b"#"):
                break
            key, _, value = raw.decode("utf-8", "replace").rstrip("\n").partition(": ")
            if key in COUNT_HEADER:
                found[COUNT_HEADER[key]] = int(value)
    missing = [name for name in REQUIRED_HEADER if name not in found]
    if missing:
        raise TableError("%s: count table header lacks %s" % (path, ", ".join(missing)))
    return found


MAP_SUMMARY = {"#\tmm0s": "mm0", "#\tmm1s": "mm1", "#\tmm2s": "mm2", "#aligns": "align", "#misses": "none"}


def map_summary(path):
    """The cluster counts of a map file's summary lines, keyed by
    MATCH_KINDS (only its first lines are read)."""
    summary = {}
    with open(path, "rb") as f:
        for raw in f:
            if not raw.startswith(b"#"):
                break
            key, _, value = raw.decode("utf-8", "surrogateescape").rstrip("\n").partition(": ")
            if key in MAP_SUMMARY:
                summary[MAP_SUMMARY[key]] = int(value)
    if set(summary) != set(MATCH_KINDS):
        raise TableError("%s: map summary incomplete" % path)
    return summary


FATE_KINDS = ("mm0", "mm1", "mm2", "align", "weak_align", "none")


def read_fates(path):
    """(clusters, totals) per kind of tabulate -f's file, each a dict keyed
    by FATE_KINDS: "align" the alignments that reach the cutoff,
    "weak_align" those below it."""
    clusters, totals = {}, {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                continue
            kind, number, total = line.rstrip("\n").split("\t")
            clusters[kind], totals[kind] = int(number), int(total)
    if set(clusters) != set(FATE_KINDS):
        raise TableError("%s: not a read fate file of tabulate -f" % path)
    return clusters, totals


def strand_check(path):
    """(total, matched, matched reverse-complemented) of map -r's file."""
    found = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition(": ")
            found[key] = int(value)
    try:
        return found["#total"], found["#matched"], found["#matched reverse-complemented"]
    except KeyError:
        raise TableError("%s: not a strand check of map -r" % path)


def matrix_header(path):
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        return f.readline().rstrip("\n").split("\t")


def matrix_rows(path):
    """The rows of a count matrix written by matrix.py, one at a time:
    (details, sequence, counts as text)."""
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        f.readline()
        for line in f:
            fields = line.rstrip("\n").split("\t")
            yield fields[0], fields[1], fields[2:]


def matrix_column_totals(path):
    """(samples, sums, zeros, rows): per sample the sum of its column and
    the number of barcodes at 0, streaming through the matrix."""
    samples = matrix_header(path)[2:]
    sums, zeros, rows = [0] * len(samples), [0] * len(samples), 0
    for _, _, counts in matrix_rows(path):
        if len(counts) != len(samples):
            raise TableError("%s: a row of %d counts for %d samples" % (path, len(counts), len(samples)))
        rows += 1
        for i, text in enumerate(counts):
            value = int(text)
            sums[i] += value
            zeros[i] += value == 0
    return samples, sums, zeros, rows


def read_summary(path):
    """summary.tsv as a list of dicts (numbers as text, as written)."""
    with open(path, encoding="utf-8") as f:
        columns = f.readline().rstrip("\n").split("\t")
        return [dict(zip(columns, line.rstrip("\n").split("\t"))) for line in f if line.strip()]


def molecule_sums(path):
    """(molecules, reads) of the header of a molecule report (tabulate -u)."""
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
