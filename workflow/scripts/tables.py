"""Readers for the files the workflow joins: the sample sheet, the barcode
file, the count table header, the map file and the tabulate report, and the
matrix and summary that the workflow itself writes.

Every reader streams its file, so map files of millions of clusters cost
memory only for what is kept."""

import difflib
import os
import re
import subprocess

# Letters a sample's directory name keeps; any other run of letters becomes "_".
UNSAFE_IN_PATH = re.compile(r"[^A-Za-z0-9._+-]+")
MATCH_KINDS = ("mm0", "mm1", "mm2", "align", "none")


class TableError(Exception):
    pass


# The columns a sample sheet's header may name; without a header the
# columns are the first two.
SHEET_COLUMNS = ("sample", "fastq", "fastq_2", "sample_barcode")


class Sample:
    """One line of the sample sheet: its name, its reads (read 1, and read
    2 or ""), and the sample barcode that picks its reads out of a file it
    shares with other samples (or "")."""

    def __init__(self, name, fastq, fastq_2="", sample_barcode=""):
        self.name, self.fastq, self.fastq_2, self.sample_barcode = name, fastq, fastq_2, sample_barcode

    def files(self):
        return [self.fastq] + ([self.fastq_2] if self.fastq_2 else [])


def sheet_header(fields, path, number):
    """Column name -> position, when the line is a header (it names
    `sample` and `fastq`), else None. An unknown column is refused: a
    mistyped `fastq_2` would otherwise leave read 2 unread."""
    names = [field.strip().lower() for field in fields]
    if "sample" not in names or "fastq" not in names:
        return None
    for name in names:
        if name not in SHEET_COLUMNS:
            near = difflib.get_close_matches(name, SHEET_COLUMNS, 1, 0.0)
            raise TableError("%s:%d: unknown column %r in the header; the columns are %s (did you mean %s?)"
                             % (path, number, name, ", ".join(SHEET_COLUMNS), near[0]))
        if names.count(name) > 1:
            raise TableError("%s:%d: column %s named twice" % (path, number, name))
    return {name: names.index(name) for name in names}


def read_sample_table(path):
    """The samples of a sheet, in sheet order. A relative FASTQ path is
    taken relative to the sheet, so a sheet can travel with its files."""
    base = os.path.dirname(path)
    samples, columns = {}, None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\r\n")
            if not line.strip() or line.startswith("#"):
                continue
            fields = line.split("\t")
            if not samples and columns is None:
                columns = sheet_header(fields, path, number)
                if columns is not None:
                    continue
                columns = {"sample": 0, "fastq": 1}
                if len(fields) > 2 and any(field.strip() for field in fields[2:]):
                    raise TableError("%s:%d: more than two columns but no header line; name them in a first line "
                                     "such as \"%s\"" % (path, number, "\t".join(SHEET_COLUMNS)))

            def cell(column):
                at = columns.get(column)
                return fields[at].strip() if at is not None and at < len(fields) else ""

            at = columns["sample"]
            name, fastq = fields[at] if at < len(fields) else "", cell("fastq")
            if len(fields) < 2 or not fastq:
                raise TableError("%s:%d: expected a sample name, a tab and a FASTQ path" % (path, number))
            problem = sample_name_problem(name)
            if problem:
                raise TableError("%s:%d: sample name %r: %s" % (path, number, name, problem))
            if name in samples:
                raise TableError("%s:%d: sample %s named twice" % (path, number, name))
            mate = cell("fastq_2")
            samples[name] = Sample(name, os.path.normpath(os.path.join(base, fastq)),
                                   os.path.normpath(os.path.join(base, mate)) if mate else "", cell("sample_barcode"))
    if not samples:
        raise TableError("%s: no samples" % path)
    return list(samples.values())


def read_sample_sheet(path):
    """Sample name -> FASTQ path (read 1), in sheet order."""
    return {sample.name: sample.fastq for sample in read_sample_table(path)}


def reads_stem(path):
    """A file's name without the endings of a reads file."""
    name = os.path.basename(path)
    for ending in (".gz", ".fastq", ".fq", ".txt"):
        if name.lower().endswith(ending):
            name = name[:-len(ending)]
    return name or "reads"


def multiplexed_runs(samples, path="the sample sheet"):
    """Run name -> the samples (in sheet order) that share one file or
    pair and are told apart by their sample barcodes: each is split by one
    count job. A run's name is a safe form of its read 1 file's name.
    Samples without a sample barcode are counted alone; a file shared by
    samples with and without one is refused."""
    groups = {}
    for sample in samples:
        groups.setdefault(sample.fastq, []).append(sample)
    runs = []
    for fastq, group in groups.items():
        coded = [s for s in group if s.sample_barcode]
        if not coded:
            continue
        if len(coded) != len(group):
            raise TableError("%s: %s is shared by samples with a sample_barcode and without one (%s): give every "
                             "sample of the file its sample barcode"
                             % (path, fastq, ", ".join(s.name for s in group if not s.sample_barcode)))
        mates = {s.fastq_2 for s in group}
        if len(mates) > 1:
            raise TableError("%s: the samples of %s name different fastq_2 files (%s)"
                             % (path, fastq, ", ".join(sorted(m or "none" for m in mates))))
        runs.append(group)
    return dict(zip(safe_names([reads_stem(group[0].fastq) for group in runs]), runs))


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


def safe_names(names):
    """Each name with every run of letters other than letters, digits and
    . _ + - made one "_", no leading ".", and a "-2", "-3" ... where two
    names (or two that differ only in case) would share one."""
    taken, out = set(), []
    for name in names:
        base = UNSAFE_IN_PATH.sub("_", name).lstrip(".") or "sample"
        directory, n = base, 1
        while directory.lower() in taken:
            n += 1
            directory = "%s-%d" % (base, n)
        taken.add(directory.lower())
        out.append(directory)
    return out


def sample_directories(names):
    """Name -> directory name (safe_names), in the order given."""
    names = list(names)
    return dict(zip(names, safe_names(names)))


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
    # Read pairs (count -2) are counted as one read each.
    "#pairs without layout": "reads_without_layout",
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
# With guide pairs (tabulate -g) one more row: the clusters of no barcode
# that are a guide 1 and a guide 2 of the library that it does not pair.
RECOMBINANT = "recombinant"


def read_fates(path):
    """(clusters, totals) per kind of tabulate -f's file, each a dict keyed
    by FATE_KINDS, and by RECOMBINANT when tabulate ran with -g: "align"
    the alignments that reach the cutoff, "weak_align" those below it."""
    clusters, totals = {}, {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("#"):
                continue
            kind, number, total = line.rstrip("\n").split("\t")
            clusters[kind], totals[kind] = int(number), int(total)
    if set(clusters) - {RECOMBINANT} != set(FATE_KINDS):
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
    ("recombinant_reads", "recombinant guide pair", "#e08214"),
    ("unmatched_reads", "cluster, no barcode", "#f1a340"),
    ("unclustered_reads", "in no cluster (rare, or split remainder)", "#bababa"),
    ("umi_n_reads", "UMI with a masked letter", "#8c510a"),
    ("masked_reads", "left out for a masked letter (-c)", "#636363"),
    ("without_layout_reads", "layout not found", "#252525"),
)
# Buckets counted before the count table, always in reads.
READ_BUCKETS = ("umi_n_reads", "masked_reads", "without_layout_reads")


def shown_fates(summary):
    """FATES, the recombinant bucket only for runs with a pair library (its
    column is empty otherwise)."""
    pairs = any(str(row.get("recombinant_reads", "")) != "" for row in summary)
    return tuple(fate for fate in FATES if pairs or fate[0] != "recombinant_reads")


def fate_reads(row, column):
    """A bucket in reads. With UMIs the cluster buckets count molecules;
    they share the reads of the table in their proportions."""
    value = int(row.get(column) or 0)
    if row.get("unit") == "molecules" and column not in READ_BUCKETS:
        molecules = int(row["molecules"] or 0)
        return value * int(row["table_reads"]) / molecules if molecules else 0
    return value
