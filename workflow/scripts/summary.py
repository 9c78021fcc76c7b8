#!/usr/bin/python3
"""Writes summary.tsv: one row per sample with the fate of its reads.

Every read ends in exactly one final bucket, and the buckets add up to the
sample's reads:

  without_layout_reads  count found no layout in the read (count -p)
  masked_reads          left out by count -c for a masked barcode letter
  umi_n_reads           a UMI letter was masked: no molecule (UMI layouts)
  unclustered_reads     in the count table, credited to no cluster: too rare
                        for cluster -m, or the remainder when a member shared
                        by several cores is split in whole reads
  mm0/mm1/mm2_reads     clusters matched by words, with 0, 1, 2 mismatches
  counted_align_reads   clusters placed by alignment at or above the cutoff
  weak_align_reads      best alignment below the cutoff: no barcode
  recombinant_reads     pair libraries: clusters of no barcode that are a
                        guide 1 and a guide 2 of the library, not one of its
                        pairs (tabulate -g); empty for other libraries
  unmatched_reads       clusters that matched no barcode

With UMIs the count table, the clusters and the map file count molecules:
the first three buckets and table_reads (the reads of the table's
molecules) add up to the reads, and the cluster buckets add up to the
molecules (unit "molecules"), counted per barcode key as count gives them.
A molecule read under a barcode and under an error variant of it is one
in each key there. With --merged-molecules (the molecule reports of
tabulate -u) two more columns hold the molecules counted once per barcode, as
the matrix has them: merged_molecules, and merged_molecule_reads, the reads
of their UMIs; assigned_fraction is then merged_molecule_reads over
table_reads. reverse_strand_reads (count -b) are reads found on the other
strand, counted within the buckets above.

The read fates per match kind are tabulate's (tabulate -f), alignments below
the cutoff apart. With the strand check of map -r, the largest clusters (up
to 1000) are tested: the share of their reads matched whole or by words,
and the share whose cores would match if reverse-complemented.

The last columns say whether the sample needs a look: status ("ok" or
"problem"), problems (each with what was seen and the setting that fixes
it: no reads, the quality encoding, the reads or the library on the other
strand, a layout that the reads lack, under 5% assigned) and warnings (the
tool's warnings of every step of the sample, from its logs), several
joined by " | ".

    summary.py --matrix counts.tsv --out summary.tsv --samples s1 s2 ...
               --count-tables c1 c2 ... --maps m1 m2 ... --fates f1 f2 ...
               --align-cutoffs a1 a2 ... [--strand-checks r1 r2 ...]
               [--merged-molecules mol1 mol2 ...]
               [--log-dirs logs/s1 logs/s2 ...] [--strand-probes p1 p2 ...]
               [--layout LAYOUT] [--reads-reversed] [--fix-orientation TEXT]
               [--pair-library]
"""

import argparse
import sys

import checks
from tables import (MATCH_KINDS, RECOMBINANT, TableError, count_table_header, map_summary, matrix_column_totals,
                    molecule_sums, read_fates, strand_check)

COLUMNS = (
    "sample", "total_reads", "unique_reads", "filtered_bases", "unit",
    "without_layout_reads", "reverse_strand_reads", "masked_reads", "umi_n_reads", "table_reads", "molecules",
    "merged_molecules", "merged_molecule_reads",
    "clustered_reads", "unclustered_reads", "clusters",
    "mm0_clusters", "mm0_reads", "mm1_clusters", "mm1_reads", "mm2_clusters", "mm2_reads",
    "align_clusters", "align_reads", "counted_align_reads", "weak_align_clusters", "weak_align_reads",
    "unmatched_clusters", "unmatched_reads", "recombinant_clusters", "recombinant_reads",
    "assigned_reads", "assigned_fraction", "barcodes", "zero_read_barcodes", "zero_read_fraction",
    "align_cutoff", "word_matched_share", "revcomp_word_share", "orientation",
    "status", "problems", "warnings",
)

# The final buckets of the cluster file's units (reads, or molecules).
CLUSTER_BUCKETS = ("unclustered_reads", "mm0_reads", "mm1_reads", "mm2_reads", "counted_align_reads",
                   "weak_align_reads", "unmatched_reads", "recombinant_reads")
# Names of the map file's match kinds in the summary columns.
KIND_COLUMN = {"mm0": "mm0", "mm1": "mm1", "mm2": "mm2", "align": "align", "none": "unmatched"}
def fraction(part, whole):
    return "%.4f" % (part / whole) if whole else "0.0000"


def table_sums(path):
    """(units, reads): the sums of the count table's second and, with UMIs,
    third column."""
    units = reads = 0
    with open(path, "rb") as f:
        for raw in f:
            if raw.startswith(b"#"):
                continue
            fields = raw.rstrip(b"\r\n").split(b"\t")
            if len(fields) < 2:
                continue
            units += int(fields[1])
            reads += int(fields[2]) if len(fields) > 2 else int(fields[1])
    return units, reads


def orientation(strand_path):
    """(matched share, reverse-complement share) of the reads of the
    largest clusters, from map -r."""
    total, direct, reverse = strand_check(strand_path)
    return (direct / total, reverse / total) if total else (0.0, 0.0)


def looks_reversed(direct, reverse):
    """Few clusters match by words, but their reverse complements would."""
    return direct < 0.5 and reverse >= 0.25 and reverse > 2 * direct


def sample_row(name, table_path, map_path, fates_path, align_cutoff, strand_path=None):
    header = count_table_header(table_path)
    row = {"sample": name}
    for key in ("total_reads", "unique_reads", "filtered_bases"):
        row[key] = header[key]
    row["without_layout_reads"] = header.get("reads_without_layout", 0)
    row["reverse_strand_reads"] = header.get("reverse_strand_reads", 0)
    row["umi_n_reads"] = header.get("umi_reads_with_n", 0)
    umis = "molecules" in header
    units, reads = table_sums(table_path)
    row["unit"] = "molecules" if umis else "reads"
    row["molecules"] = units if umis else ""
    row["table_reads"] = reads
    row["masked_reads"] = row["total_reads"] - row["without_layout_reads"] - row["umi_n_reads"] - reads

    summary = map_summary(map_path)
    clusters, cluster_units = read_fates(fates_path)
    # The map file's "align" holds the alignments on both sides of the cutoff.
    clusters["align"] += clusters["weak_align"]
    counted_align_reads = cluster_units["align"]
    cluster_units["align"] += cluster_units["weak_align"]
    # Recombinants come out of the alignments below the cutoff and the
    # clusters of no match: those two map kinds hold them between them.
    recombinants = clusters.pop(RECOMBINANT, None)
    recombinant_units = cluster_units.pop(RECOMBINANT, None)
    for kind in MATCH_KINDS:
        shared = recombinants is not None and kind in ("align", "none")
        if summary[kind] < clusters[kind] if shared else summary[kind] != clusters[kind]:
            raise TableError("%s: the summary gives %d %s clusters, the lines hold %d"
                             % (map_path, summary[kind], kind, clusters[kind]))
        row[KIND_COLUMN[kind] + "_clusters"] = clusters[kind]
        row[KIND_COLUMN[kind] + "_reads"] = cluster_units[kind]
    row["weak_align_clusters"] = clusters["weak_align"]
    row["weak_align_reads"] = cluster_units["weak_align"]
    row["counted_align_reads"] = counted_align_reads
    row["recombinant_clusters"] = "" if recombinants is None else recombinants
    row["recombinant_reads"] = "" if recombinant_units is None else recombinant_units
    if recombinants is not None and summary["align"] + summary["none"] != \
            clusters["align"] + clusters["none"] + recombinants:
        raise TableError("%s: the summary gives %d clusters of alignments and of no match, the lines hold %d"
                         % (map_path, summary["align"] + summary["none"],
                            clusters["align"] + clusters["none"] + recombinants))
    row["clusters"] = sum(clusters[kind] for kind in MATCH_KINDS) + (recombinants or 0)
    row["clustered_reads"] = sum(cluster_units[kind] for kind in MATCH_KINDS) + (recombinant_units or 0)
    row["unclustered_reads"] = units - row["clustered_reads"]
    row["align_cutoff"] = align_cutoff
    if strand_path is None:
        row["word_matched_share"] = row["revcomp_word_share"] = row["orientation"] = ""
    else:
        direct, reverse = orientation(strand_path)
        row["word_matched_share"] = "%.4f" % direct
        row["revcomp_word_share"] = "%.4f" % reverse
        row["orientation"] = "reverse-complemented" if looks_reversed(direct, reverse) else "ok"
    return row


def check_buckets(row):
    """Every read (and molecule) in exactly one final bucket."""
    front = row["without_layout_reads"] + row["masked_reads"] + row["umi_n_reads"]
    if row["unit"] == "reads":
        if front + sum(int(row[c] or 0) for c in CLUSTER_BUCKETS) != row["total_reads"]:
            raise TableError("%s: the read buckets do not add up to %d" % (row["sample"], row["total_reads"]))
    elif front + row["table_reads"] != row["total_reads"] or \
            sum(int(row[c] or 0) for c in CLUSTER_BUCKETS) != row["molecules"]:
        raise TableError("%s: the read or molecule buckets do not add up" % row["sample"])


def check_sample(row, log_dir, probe, settings):
    """status, problems and warnings of a finished row."""
    warnings = checks.step_warnings(checks.sample_logs(log_dir)) if log_dir else []
    problems = checks.sample_problems(row, warnings, checks.probe_shares(probe), settings)
    row["status"] = "problem" if problems else "ok"
    row["problems"] = checks.format_problems(problems)
    row["warnings"] = checks.SEPARATOR.join(warnings)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--matrix", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--samples", nargs="+", required=True)
    parser.add_argument("--count-tables", nargs="+", required=True)
    parser.add_argument("--maps", nargs="+", required=True)
    parser.add_argument("--fates", nargs="+", required=True, help="each sample's read fates (tabulate -f)")
    parser.add_argument("--align-cutoffs", nargs="+", help="files holding tabulate's -c of each sample")
    parser.add_argument("--align-cutoff", type=int, default=70, help="one -c for every sample")
    parser.add_argument("--strand-checks", nargs="+", help="each sample's strand check (map -r)")
    parser.add_argument("--merged-molecules", nargs="+", help="each sample's molecule report (tabulate -u)")
    parser.add_argument("--log-dirs", nargs="+", help="the directory of each sample's step logs")
    parser.add_argument("--strand-probes", nargs="+", help="each sample's first reads counted on the other strand")
    parser.add_argument("--layout", default="", help="count's layout, as the config gives it")
    parser.add_argument("--reads-reversed", action="store_true", help="count ran with -r")
    parser.add_argument("--fix-orientation", default="", help="the setting that fixes a reversed library")
    parser.add_argument("--pair-library", action="store_true", help="the library holds guide pairs")
    args = parser.parse_args(argv)
    if not len(args.samples) == len(args.count_tables) == len(args.maps) == len(args.fates):
        parser.error("one count table, one map file and one fate file per sample")
    if args.align_cutoffs and len(args.align_cutoffs) != len(args.samples):
        parser.error("one cutoff file per sample")
    if args.merged_molecules and len(args.merged_molecules) != len(args.samples):
        parser.error("one molecules file per sample")
    for option in ("log_dirs", "strand_probes", "strand_checks"):
        if getattr(args, option) and len(getattr(args, option)) != len(args.samples):
            parser.error("one of --%s per sample" % option.replace("_", "-"))
    settings = {"layout": args.layout, "reverse": args.reads_reversed, "orientation_fix": args.fix_orientation,
                "pairs": args.pair_library}
    try:
        cutoffs = ([int(open(path).read().split()[0]) for path in args.align_cutoffs] if args.align_cutoffs
                   else [args.align_cutoff] * len(args.samples))
        matrix_samples, sums, zeros, barcodes = matrix_column_totals(args.matrix)
        if matrix_samples != args.samples:
            raise TableError("%s: its samples differ from the sample list" % args.matrix)
        out = []
        for i, name in enumerate(args.samples):
            row = sample_row(name, args.count_tables[i], args.maps[i], args.fates[i], cutoffs[i],
                             args.strand_checks[i] if args.strand_checks else None)
            check_buckets(row)
            # A cluster aligned equally well to several barcodes counts for
            # each of them, so assigned reads can exceed the clustered reads.
            row["assigned_reads"] = sums[i]
            # With UMIs the matrix counts molecules: a share of the molecules,
            # or, once merged per barcode, of the reads that make them.
            units = row["molecules"] if row["unit"] == "molecules" else row["total_reads"]
            row["assigned_fraction"] = fraction(sums[i], units)
            row["merged_molecules"] = row["merged_molecule_reads"] = ""
            if args.merged_molecules:
                row["merged_molecules"], row["merged_molecule_reads"] = molecule_sums(args.merged_molecules[i])
                row["assigned_fraction"] = fraction(row["merged_molecule_reads"], row["table_reads"])
            row["barcodes"] = barcodes
            row["zero_read_barcodes"] = zeros[i]
            row["zero_read_fraction"] = fraction(zeros[i], barcodes)
            check_sample(row, args.log_dirs[i] if args.log_dirs else None,
                         args.strand_probes[i] if args.strand_probes else None, settings)
            out.append(row)
    except (OSError, ValueError, IndexError, TableError) as error:
        print("summary: %s" % error, file=sys.stderr)
        return 1
    with open(args.out, "w", encoding="utf-8", newline="\n") as f:
        f.write("\t".join(COLUMNS) + "\n")
        for row in out:
            f.write("\t".join(str(row[c]) for c in COLUMNS) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
