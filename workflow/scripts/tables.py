"""Readers for the files the workflow joins: the sample sheet, the barcode
file, the count table header, the map file and the tabulate report, and the
matrix and summary that the workflow itself writes.

Every reader streams its file, so map files of millions of clusters cost
memory only for what is kept."""

import os
import re
import subprocess

# Letters a sample's directory name keeps; any other run of letters becomes "_".
UNSAFE_IN_PATH = re.compile(r"[^A-Za-z0-9._+-]+")
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
            problem = sample_name_problem(name)
            if problem:
                raise TableError("%s:%d: sample name %r: %s" % (path, number, name, problem))
            if name in samples:
                raise TableError("%s:%d: sample %s named twice" % (path, number, name))
            samples[name] = os.path.normpath(os.path.join(base, fastq))
    if not samples:
        raise TableError("%s: no samples" % path)
    return samples


def sample_name_problem(name):
    """Why a sample name cannot be one, or None. Names are kept as the lab
    wrote them (spaces, "+"); a name is a column header and an argument of
    the workflow's scripts, so it may not be blank, start with "-" or hold
    a control letter."""
    if not name.strip():
        return "a blank name"
    if name != name.strip():
        return "spaces around the name"
    if name.startswith("-"):
        return "a name may not start with \"-\""
    if any(ord(c) < 32 or ord(c) == 127 for c in name):
        return "a control character in the name"
    return None


def sample_directories(names):
    """Name -> directory name, in the order given: the name with every run
    of letters other than letters, digits and . _ + - made one "_", no
    leading ".", and a "-2", "-3" ... where two names (or two that differ
    only in case) would share one."""
    taken, out = set(), {}
    for name in names:
        base = UNSAFE_IN_PATH.sub("_", name).lstrip(".") or "sample"
        directory, n = base, 1
        while directory.lower() in taken:
            n += 1
            directory = "%s-%d" % (base, n)
        taken.add(directory.lower())
        out[name] = directory
    return out


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


# Where a read can end up, in pipeline order; the parts add up to the
# sample's total reads (see summary.py).
FATES = (
    ("mm0_reads", "exact barcode match", "#1b7837"),
    ("mm1_reads", "1 mismatch", "#7fbf7b"),
    ("mm2_reads", "2 mismatches", "#d9f0d3"),
    ("counted_align_reads", "placed by alignment", "#762a83"),
    ("weak_align_reads", "weak alignment, not counted", "#c2a5cf"),
    ("unmatched_reads", "cluster, no barcode", "#f1a340"),
    ("unclustered_reads", "in no cluster (rare, or split remainder)", "#bababa"),
    ("umi_n_reads", "UMI with a masked letter", "#8c510a"),
    ("masked_reads", "left out for a masked letter (-c)", "#636363"),
    ("without_layout_reads", "layout not found", "#252525"),
)
# Buckets counted before the count table, always in reads.
READ_BUCKETS = ("umi_n_reads", "masked_reads", "without_layout_reads")


def fate_reads(row, column):
    """A bucket in reads. With UMIs the cluster buckets count molecules;
    they share the reads of the table in their proportions."""
    value = int(row.get(column) or 0)
    if row.get("unit") == "molecules" and column not in READ_BUCKETS:
        molecules = int(row["molecules"] or 0)
        return value * int(row["table_reads"]) / molecules if molecules else 0
    return value
