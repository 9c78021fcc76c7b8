#!/usr/bin/python3
"""The reads of each sample barcode of a multiplexed run (one `count -x`
job), and its warnings: a run whose reads mostly carry no sample's barcode,
a sample with nearly no reads.

Every number comes from the tool's files: each sample's reads from the
"#total reads" of its table, the undetermined reads and barcodes from
undetermined.txt, the orientation of the second index from count's
"second index: " line. When most reads are undetermined, the likely fix is
found by asking count again: the most common undetermined barcodes are
given to `count -x` with the sheet's barcodes changed as a slip would
change them (the first index reverse-complemented, the two swapped, one
index where the reads carry two, ...), and the change that places most of
their reads is named.

    demultiplex.py run --run NAME --sheet samples.tsv --tables DIR --names N1 N2 ...
                   --undetermined undetermined.txt --log count.log --out sample-barcodes.tsv
                   --morvane MORVANE
    demultiplex.py sample --table sample-barcodes.tsv --sample NAME

The first writes the run's table (and its warnings on standard error),
the second prints the warning of one sample, if any.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

from checks import WARNING
from library import reverse_complement
from tables import count_table_header

# A run is suspect when more than this share of its reads is undetermined.
MOSTLY_UNDETERMINED = 0.5
# A sample with under this share of the mean reads per sample of its run.
NEARLY_NONE = 0.1
# The undetermined barcodes shown in the report and tried against the changed sheets.
TOP_UNDETERMINED = 20
ORIENTATION_KEY = "second index"
ORIENTATION = "#%s: " % ORIENTATION_KEY


def read_sheet(path):
    """[(tool's name, sample barcode)] of the sheet written for count -x."""
    with open(path, encoding="utf-8") as f:
        return [tuple(line.rstrip("\n").split("\t", 1)) for line in f if line.strip() and not line.startswith("#")]


def read_undetermined(path):
    """(header numbers, [(barcode, reads)] most first) of undetermined.txt."""
    numbers, rows = {}, []
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("#"):
                key, _, value = line[1:].partition(": ")
                if value.isdigit():
                    numbers[key] = int(value)
            elif line:
                barcode, _, reads = line.partition("\t")
                rows.append((barcode, int(reads)))
    return numbers, rows


def orientation_line(log):
    """count's own words on the orientation of the second index."""
    try:
        with open(log, encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("second index: "):
                    return line.strip()[len("second index: "):]
    except OSError:
        pass
    return ""


# Slips in writing a sample sheet: (what it is, how it changes a sheet
# barcode, how it changes a read's index). The tool itself tries the
# second index both ways.
def slips(two_parts):
    if two_parts:
        return [
            ("the first index is reverse-complemented in the sheet",
             lambda b: "+".join([reverse_complement(b.split("+")[0])] + b.split("+")[1:]), None),
            ("the two indexes are swapped in the sheet (i5 written first)",
             lambda b: "+".join(reversed(b.split("+"))), None),
            ("the sheet gives two indexes but the reads carry one: give the first only",
             lambda b: b.split("+")[0], None),
            ("the sheet gives two indexes but the reads carry one: give the second only",
             lambda b: b.split("+")[-1], None),
        ]
    return [
        ("the sample barcode is reverse-complemented in the sheet", reverse_complement, None),
        ("the reads carry two indexes (i7+i5): give the first as the sample barcode, or both with '+'",
         None, lambda index: index.split("+")[0]),
        ("the reads carry two indexes (i7+i5) and the sheet's is the second: give both with '+'",
         None, lambda index: index.split("+")[-1]),
    ]


def numbered_key(i):
    """A read sequence that numbers the i-th barcode (five letters, base 4)."""
    return "".join("ACGT"[(i >> shift) & 3] for shift in (8, 6, 4, 2, 0))


def placed_reads(morvane, sheet, barcodes):
    """The reads of the given undetermined barcodes that count -x places
    in a sample with this sheet, or None when count refuses the sheet.
    Each barcode is one read whose sequence numbers it."""
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "sheet.tsv"), "w", encoding="utf-8") as f:
            f.writelines("s%d\t%s\n" % (i, barcode) for i, (_, barcode) in enumerate(sheet))
        reads = os.path.join(work, "reads.fastq")
        with open(reads, "w", encoding="utf-8") as f:
            for i, (index, _) in enumerate(barcodes):
                key = numbered_key(i)
                f.write("@u%d 1:N:0:%s\n%s\n+\n%s\n" % (i, index, key, "I" * len(key)))
        run = subprocess.run([morvane, "count", "-f", "-m", "S", "-x", os.path.join(work, "sheet.tsv"),
                              "-d", os.path.join(work, "out"), reads], capture_output=True)
        if run.returncode != 0:
            return None
        weight = {numbered_key(i): reads for i, (_, reads) in enumerate(barcodes)}
        placed = 0
        for i in range(len(sheet)):
            with open(os.path.join(work, "out", "s%d.txt" % i), encoding="utf-8") as f:
                placed += sum(weight.get(line.split("\t")[0], 0) for line in f if not line.startswith("#"))
        return placed


def likely_slip(morvane, sheet, top):
    """The slip whose undoing places the most reads of the top undetermined
    barcodes (and over half of them), or None."""
    if not top or not sheet:
        return None
    total = sum(reads for _, reads in top)
    best, best_reads = None, total // 2
    for text, change_sheet, change_reads in slips("+" in sheet[0][1]):
        changed = [(name, change_sheet(barcode)) for name, barcode in sheet] if change_sheet else sheet
        barcodes = [(change_reads(index), reads) for index, reads in top] if change_reads else top
        placed = placed_reads(morvane, changed, barcodes)
        if placed is not None and placed > best_reads:
            best, best_reads = text, placed
    return best


def run_table(args):
    sheet = read_sheet(args.sheet)
    if len(args.names) != len(sheet):
        raise ValueError("%d names for the %d samples of %s" % (len(args.names), len(sheet), args.sheet))
    reads = [count_table_header(os.path.join(args.tables, tool_name + ".txt"))["total_reads"]
             for tool_name, _ in sheet]
    numbers, undetermined = read_undetermined(args.undetermined)
    lost = numbers.get("reads of no sample", 0)
    total = sum(reads) + lost
    orientation = orientation_line(args.log)
    lines = ["#run: %s\n" % args.run]
    if orientation:
        lines.append(ORIENTATION + orientation + "\n")
    lines.append("#reads without index: %d\n" % numbers.get("reads without index", 0))
    lines.append("sample\tsample_barcode\treads\tshare\n")
    for name, (_, barcode), n in zip(args.names, sheet, reads):
        lines.append("%s\t%s\t%d\t%s\n" % (name, barcode, n, share_text(n, total)))
    lines.append("undetermined\t\t%d\t%s\n" % (lost, share_text(lost, total)))
    with open(args.out, "w", encoding="utf-8", newline="\n") as f:
        f.writelines(lines)
    if total and lost > MOSTLY_UNDETERMINED * total:
        top = undetermined[:TOP_UNDETERMINED]
        slip = likely_slip(args.morvane, sheet, top) if args.morvane else None
        fix = ("likely fix: %s" % slip if slip else
               "check the sample_barcode column of the sample sheet against the most common undetermined "
               "barcodes (report.html, \"Sample barcodes\"): the right index, its orientation, '+' between i7 and i5")
        most = (", the most common %s (%s reads)" % (top[0][0], "{:,}".format(top[0][1]))) if top else ""
        print("Warning: %s of the reads (%s of %s) carry no sample's barcode%s; %s"
              % (percent(lost, total), "{:,}".format(lost), "{:,}".format(total), most, fix),
              file=sys.stderr)
    return 0


def share_text(part, whole):
    return "%.4f" % (part / whole) if whole else "0.0000"


def percent(part, whole):
    return "%.1f%%" % (100.0 * part / whole) if whole else "0.0%"


def read_run_table(path):
    """(comment lines as a dict, [row dicts]) of a run's sample-barcodes.tsv."""
    notes, rows, columns = {}, [], None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("#"):
                key, _, value = line[1:].partition(": ")
                notes[key] = value
            elif columns is None:
                columns = line.split("\t")
            elif line:
                rows.append(dict(zip(columns, line.split("\t"))))
    return notes, rows


def sample_warning(path, name):
    """The warning of a sample with nearly no reads in its run, or None."""
    notes, rows = read_run_table(path)
    samples = [row for row in rows if row["sample"] != "undetermined" or row["sample_barcode"]]
    row = next(row for row in samples if row["sample"] == name)
    total = sum(int(r["reads"]) for r in rows)
    mean = sum(int(r["reads"]) for r in samples) / len(samples)
    reads = int(row["reads"])
    if total == 0 or reads >= NEARLY_NONE * mean and reads > 0:
        return None
    if mean == 0:
        return ("%s: no read of run %s carries its sample barcode %s, nor any other sample's (see the warning "
                "of the run)" % (name, notes.get("run", "?"), row["sample_barcode"]))
    return ("%s: %s reads (%s of run %s) carry its sample barcode %s, where a sample of the run has %s on "
            "average; check its sample_barcode in the sample sheet against the most common undetermined "
            "barcodes (report.html, \"Sample barcodes\")"
            % (name, "{:,}".format(reads), percent(reads, total), notes.get("run", "?"), row["sample_barcode"],
               "{:,}".format(int(mean))))


# count -x's warnings that concern one sample, or the run as a whole; the
# others (the reads' quality letters, say) concern every sample of the run.
NOT_THE_SAMPLES = re.compile(r"Warning: (no reads in sample '|reads of no sample: )")


def run_read_warnings(log, run=""):
    """The warning lines of a run's count log that each of its samples
    shares (so that a sample's problems see them, the encoding's among
    them). count writes them per sample without its name, so a warning of
    several samples becomes one with its first number summed over them: the
    run's."""
    try:
        with open(log, encoding="utf-8", errors="replace") as f:
            lines = [line.strip() for line in f if WARNING.match(line) and not NOT_THE_SAMPLES.search(line)]
    except FileNotFoundError:
        return []
    merged = {}
    for line in lines:
        key = re.sub(r"\d+", "#", line)
        first = re.search(r"\d+", line)
        if key in merged and first:
            total, text = merged[key]
            merged[key] = (total + int(first.group()), text)
        else:
            merged[key] = (int(first.group()) if first else 0, line)
    out = []
    for total, text in merged.values():
        first = re.search(r"\d+", text)
        if first:
            text = text[:first.start()] + str(total) + text[first.end():]
        out.append(text + (" (the reads of run %s)" % run if run else ""))
    return out


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run")
    run.add_argument("--run", required=True)
    run.add_argument("--sheet", required=True, help="the sheet given to count -x")
    run.add_argument("--names", nargs="+", required=True, help="the samples' names as the lab wrote them")
    run.add_argument("--tables", required=True, help="count -x's directory of per-sample tables")
    run.add_argument("--undetermined", required=True)
    run.add_argument("--log", required=True, help="count's standard error")
    run.add_argument("--out", required=True)
    run.add_argument("--morvane", help="asked for the likely fix when most reads are undetermined")
    sample = commands.add_parser("sample")
    sample.add_argument("--table", required=True, help="the run's sample-barcodes.tsv")
    sample.add_argument("--sample", required=True)
    sample.add_argument("--count-log", help="the run's count log: its warnings on the reads are the sample's too")
    args = parser.parse_args(argv)
    try:
        if args.command == "run":
            return run_table(args)
        warning = sample_warning(args.table, args.sample)
    except (OSError, ValueError, StopIteration) as error:
        print("demultiplex: %s" % (error or "sample %s is not in %s" % (args.sample, args.table)), file=sys.stderr)
        return 1
    if warning:
        print("Warning: " + warning)
    for line in run_read_warnings(args.count_log, read_run_table(args.table)[0].get("run", "")) if args.count_log else ():
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
