"""What the workflow checks before it runs and what it tells after: the
config's keys, the tool's warnings of every step, the problems of a sample
(with the setting that fixes each) and the summary printed on the terminal.

The tool holds the rules of reads and layouts: a problem is read from the
numbers and warnings that morvane itself wrote, never from the reads."""

import difflib
import os
import re

# A line of the tool's standard error that is a warning.
WARNING = re.compile(r"^\s*Warning: ")
# The logs of a sample's steps, in pipeline order (logs/<sample>/<step>.log).
SAMPLE_STEPS = ("count", "demultiplex", "umi-count", "cluster", "map", "tabulate", "molecules")
# The step of a sample of a multiplexed run that warns of its few reads.
DEMULTIPLEX_STEP = "demultiplex"
# The logs of the steps that serve every sample.
RUN_LOGS = (("library", "library.log"), ("pool count", "pool/count.log"),
            ("pool cluster", "pool/cluster.log"), ("discovery", "discover.log"))
# A step that warns once per bad line is shown with its first few texts.
DISTINCT_SHOWN = 5
SEPARATOR = " | "

# A sample below this share of assigned reads is a problem.
LOW_ASSIGNED = 0.05
# Reads without the layout above this share are a problem.
MOST_WITHOUT_LAYOUT = 0.5
# The strand probe: this share of reads holding the layout on the other
# strand is a problem.
OTHER_STRAND = 0.25
# Shares of reads holding the layout on this and on the other strand that
# add up to more than this come from a layout that fits both.
ONE_STRAND_ONLY = 1.1
# count's warning on Phred+33 reads read with an offset of 64.
ENCODING_WARNING = re.compile(r"quality values below the range of the chosen encoding: (\d+)")


# --- The config -----------------------------------------------------------

def key_name(path):
    return " ".join("%s:" % part for part in path)


def known_paths(known, path=()):
    for key, value in known.items():
        yield path + (key,)
        if isinstance(value, dict):
            yield from known_paths(value, path + (key,))


def nearest_key(path, known):
    """The known key closest to an unknown one: the same name elsewhere
    first (a setting put in the wrong section), else the most alike name,
    one in the same section winning a near tie."""
    name = path[-1]
    best, best_score = None, -1.0
    for candidate in known_paths(known):
        if candidate[-1] == name:
            return candidate
        score = difflib.SequenceMatcher(None, name.lower(), candidate[-1].lower()).ratio()
        if candidate[:-1] == path[:-1]:
            score += 0.1
        if score > best_score:
            best, best_score = candidate, score
    return best


def config_errors(config, known, path=(), root=None):
    """One message per key of the config that the workflow does not know
    (with the nearest known key), and per section given as a value or the
    other way round. The known keys are those of the workflow's own
    config.yaml, so a setting is known once it is documented there."""
    root = known if root is None else root
    errors = []
    for key, value in config.items():
        here = path + (str(key),)
        if key not in known:
            errors.append("unknown key `%s` in the config; the nearest known key is `%s`"
                          % (key_name(here), key_name(nearest_key(here, root))))
        elif isinstance(known[key], dict) and not isinstance(value, dict):
            errors.append("`%s` holds settings (%s), not %r" % (key_name(here), ", ".join(known[key]), value))
        elif isinstance(value, dict) and not isinstance(known[key], dict):
            errors.append("`%s` is a setting, not a section" % key_name(here))
        elif isinstance(value, dict):
            errors.extend(config_errors(value, known[key], here, root))
    return errors


# --- The tool's warnings ----------------------------------------------------

def log_warnings(path):
    """The distinct warnings of one log, in order of their first line, each
    with the number of its lines; the "Warning: " and blanks around it go,
    tabs become spaces (they would split a summary cell)."""
    counts = {}
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                if WARNING.match(line):
                    text = WARNING.sub("", line).strip().replace("\t", " ")
                    counts[text] = counts.get(text, 0) + 1
    except FileNotFoundError:
        pass
    return list(counts.items())


def step_warnings(logs):
    """["step: text", ...] over (step, log path) pairs, a repeated text
    with its number of lines, at most DISTINCT_SHOWN texts a step."""
    out = []
    for step, path in logs:
        found = log_warnings(path)
        for text, times in found[:DISTINCT_SHOWN]:
            out.append("%s: %s%s" % (step, text, " (%d times)" % times if times > 1 else ""))
        if len(found) > DISTINCT_SHOWN:
            out.append("%s: %d more different warnings (see its log)" % (step, len(found) - DISTINCT_SHOWN))
    return out


def sample_logs(log_dir):
    return [(step, os.path.join(log_dir, step + ".log")) for step in SAMPLE_STEPS]


def run_warnings(logs_dir):
    """The warnings of the steps that serve every sample, and of each
    multiplexed run: the workflow's checks of its reads (with the likely
    fix) before those of its count -x job."""
    logs = [(step, os.path.join(logs_dir, name)) for step, name in RUN_LOGS]
    runs = os.path.join(logs_dir, "runs")
    if os.path.isdir(runs):
        for run in sorted(os.listdir(runs)):
            logs += [("run " + run, os.path.join(runs, run, "checks.log")),
                     ("count -x " + run, os.path.join(runs, run, "count.log"))]
    return step_warnings(logs)


# Snakemake's report of a failed job names its log so.
FAILED_LOG = re.compile(r"^\s*log: (.+?) \(check log file")
LAST_WORDS = 3


def failed_job_messages(snakemake_log):
    """"  failed: LOG: line" for the last lines of the log of each job that
    snakemake's own log reports failed, so the error is on the terminal."""
    lines = []
    try:
        with open(snakemake_log, encoding="utf-8", errors="replace") as f:
            failed = [found.group(1) for found in map(FAILED_LOG.match, f) if found]
    except (OSError, TypeError):
        return lines
    for path in dict.fromkeys(failed):
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                words = [line.rstrip() for line in f if line.strip()][-LAST_WORDS:]
        except OSError:
            continue
        lines += ["  failed: %s: %s" % (path, line.strip()) for line in words]
    return lines


# --- A sample's problems -----------------------------------------------------

def probe_shares(path):
    """(reads, share holding the layout) of the strand probe's count table
    header, or None without a probe."""
    if not path or not os.path.exists(path):
        return None
    numbers = {}
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition(": ")
            if key in ("#total reads", "#reads without layout"):
                numbers[key] = int(value)
    total = numbers.get("#total reads", 0)
    if not total:
        return None
    return total, 1.0 - numbers.get("#reads without layout", 0) / total


def share(part, whole):
    return part / whole if whole else 0.0


def pct(value):
    return "%.1f%%" % (100.0 * value)


def number(row, column):
    value = row.get(column, "")
    return int(value) if str(value).lstrip("-").isdigit() else 0


# Where the reads of a sample with few assigned went, and what to change.
LOSS_FIXES = (
    ("masked_reads", "reads left out for a low-quality barcode letter",
     "set `count: clean: false`, or lower the cutoff in `count: quality:` (e.g. \"S5\")"),
    ("umi_n_reads", "reads with a masked UMI letter", "lower the cutoff in `count: quality:` (e.g. \"S5\")"),
    ("unclustered_reads", "reads in no cluster", "set `cluster: min_count: 0`"),
    ("weak_align_reads", "reads of alignments below the cutoff",
     "check the layout's barcode slot against the library's barcodes, or lower `tabulate: align_cutoff:`"),
    ("unmatched_reads", "reads of clusters that match no barcode",
     "check that `barcodes:` is this experiment's library (or run without one: `barcodes: \"\"`)"),
    ("recombinant_reads", "reads of guide pairs that the library does not pair (template switching)",
     "no setting recovers them: they are guides of two pairs recombined in the vector pool "
     "(samples/<name>/recombinants.tsv lists them)"),
)
# With guide pairs, the likeliest cause of unmatched reads (or of weak
# alignments: guide 1 still aligns) is guide 2 on the other strand than
# read 2 reads it.
PAIR_UNMATCHED_FIX = ("check that guide 2 of the library is written as read 2 reads it (`reverse_guide_2:`), "
                      "then that `barcodes:` is this experiment's library")


def fate_share(row, column):
    """A bucket's share of the sample's reads; with UMIs the cluster buckets
    count molecules, which share the table's reads in their proportions."""
    total = number(row, "total_reads")
    value = number(row, column)
    if row.get("unit") == "molecules" and column not in ("masked_reads", "umi_n_reads", "without_layout_reads"):
        value = value * share(number(row, "table_reads"), number(row, "molecules"))
    return share(value, total)


def sample_problems(row, warnings, probe, settings):
    """[(problem, what was seen, the setting that fixes it)] of one summary
    row. warnings: the sample's step warnings; probe: probe_shares() of the
    other strand, or None; settings: layout, reverse, both_strands,
    orientation_fix (the config's values)."""
    total = number(row, "total_reads")
    if total == 0:
        if any(text.startswith(DEMULTIPLEX_STEP + ": ") for text in warnings):
            return [("no reads", "no read of its multiplexed file carries its sample barcode",
                     "check its sample_barcode in the sample sheet against the most common undetermined barcodes "
                     "(report.html, \"Sample barcodes\")")]
        return [("no reads", "the FASTQ file holds no read",
                 "check the sample's file in the sample sheet (`samples:`)")]
    problems = []
    assigned = float(row.get("assigned_fraction") or 0)
    encoding = [found for found in map(ENCODING_WARNING.search, warnings) if found]
    if encoding:
        problems.append(("quality encoding",
                         "the reads look like Phred+33 read as Phred+64: count found %s quality values below the "
                         "range of the encoding, and %s of the reads were assigned"
                         % ("{:,}".format(int(encoding[0].group(1))), pct(assigned)),
                         'set `count: quality: auto` (the encoding found from the reads) or "S" (Phred+33)'))
    without = share(number(row, "without_layout_reads"), total)
    strand = False
    if settings.get("layout") and probe is not None:
        other = probe[1]
        # A read holds a layout with constants on one strand only; one that
        # most reads hold both ways (no constants) tells nothing of strands.
        if other >= OTHER_STRAND and (1.0 - without) + other <= ONE_STRAND_ONLY:
            strand = True
            toggle = "false" if settings.get("reverse") else "true"
            if 1.0 - without >= OTHER_STRAND:
                problems.append(("both strands", "%s of the reads hold the layout, and %s of the first %s on the "
                                 "other strand" % (pct(1.0 - without), pct(other), "{:,}".format(probe[0])),
                                 "set `count: both_strands: true`"))
            else:
                problems.append(("other strand", "%s of the reads lack the layout, and %s of the first %s hold it "
                                 "on the other strand" % (pct(without), pct(other), "{:,}".format(probe[0])),
                                 "set `count: reverse: %s`" % toggle))
    if settings.get("layout") and not strand and without > MOST_WITHOUT_LAYOUT:
        problems.append(("layout not found", "%s of the reads lack the layout %s on either strand"
                         % (pct(without), settings["layout"]),
                         "check the constants of `count: layout:` against the reads, or allow more mismatches "
                         "in them (`count: errors:`)"))
    if row.get("orientation") == "reverse-complemented":
        problems.append(("library on the other strand",
                         "%s of the reads of the largest clusters match the library, %s would reverse-complemented"
                         % (pct(float(row.get("word_matched_share") or 0)),
                            pct(float(row.get("revcomp_word_share") or 0))),
                         settings.get("orientation_fix") or "set `reverse_library: true`"))
    if assigned < LOW_ASSIGNED and not problems:
        column, lost, fix = max(LOSS_FIXES, key=lambda item: fate_share(row, item[0]))
        if column in ("unmatched_reads", "weak_align_reads") and settings.get("pairs"):
            fix = PAIR_UNMATCHED_FIX
        problems.append(("few reads assigned", "%s of the reads assigned; %s of them are %s"
                         % (pct(assigned), pct(fate_share(row, column)), lost), fix))
    return problems


def format_problems(problems):
    return SEPARATOR.join("%s: %s; fix: %s" % problem for problem in problems)


# --- The terminal ------------------------------------------------------------

# Above this many samples the terminal lists only those with something to say.
LISTED_SAMPLES = 30


def terminal_summary(rows, run_warnings=(), strict=False, outdir="."):
    """The lines printed at the end of a run, from summary.tsv's rows."""
    troubled = [row for row in rows if row.get("status") == "problem"]
    lines = ["morvane workflow: %d sample%s, %d with problems" % (len(rows), "" if len(rows) == 1 else "s",
                                                                 len(troubled))]
    quiet = 0
    for row in rows:
        problems = [text for text in row.get("problems", "").split(SEPARATOR) if text]
        warnings = [text for text in row.get("warnings", "").split(SEPARATOR) if text]
        if len(rows) > LISTED_SAMPLES and not problems and not warnings:
            quiet += 1
            continue
        lines.append("  %s: %s reads, %s assigned: %s" % (
            row["sample"], "{:,}".format(number(row, "total_reads")),
            pct(float(row.get("assigned_fraction") or 0)), "PROBLEM" if problems else "ok"))
        lines += ["    problem: " + text for text in problems]
        lines += ["    warning: " + text for text in warnings]
    if quiet:
        lines.append("  %d more samples ok, without warnings" % quiet)
    lines += ["  warning: " + text for text in run_warnings]
    if troubled:
        lines.append("morvane workflow: %s" % (
            "strict: true, so the run fails" if strict
            else "see %s and %s; with `strict: true` such a run fails"
            % (os.path.join(outdir, "summary.tsv"), os.path.join(outdir, "report.html"))))
    return lines
