"""Tests of the workflow's helper scripts on small hand-made files.

    python3 -m unittest discover -s tests/workflow -p 'test_*.py'
"""

import io
import os
import random
import re
import subprocess
import sys
import tempfile
import unittest
import unittest.mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "workflow", "scripts"))

import checks  # noqa: E402
import choices  # noqa: E402
import demultiplex  # noqa: E402
import library  # noqa: E402
import matrix  # noqa: E402
import screen_stats  # noqa: E402
import summary  # noqa: E402
import tables  # noqa: E402

try:
    import report  # noqa: E402
except ImportError:  # matplotlib missing
    report = None

HEADER = "#core seq\tcount\tscore\tmm0\tmm1n\tmm1\tmm2n\tmm2\tmatch\tid\tseq\t[score:alignment:mis:ins:del]...\n"


class Files(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, name, text):
        path = os.path.join(self.dir.name, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", newline="") as f:
            f.write(text)
        return path

    def read(self, name):
        with open(os.path.join(self.dir.name, name), newline="") as f:
            return f.read()


class SampleSheet(Files):
    def test_paths_relative_to_the_sheet_comments_and_header(self):
        path = self.write("sheets/samples.tsv",
                          "sample\tfastq\n# a comment\n\nday0\tday0.fq.gz\nday1.b\t/data/day1.fastq\textra\n")
        samples = tables.read_sample_sheet(path)
        self.assertEqual(list(samples), ["day0", "day1.b"])
        self.assertEqual(samples["day0"], os.path.join(self.dir.name, "sheets", "day0.fq.gz"))
        self.assertEqual(samples["day1.b"], "/data/day1.fastq")

    def test_refused_sheets(self):
        for text in ("a\tx.fq\na\ty.fq\n",      # a name twice
                     "-a\tx.fq\n",               # read as an option by the scripts
                     " a\tx.fq\n",               # spaces around it: a slip of the pen
                     "a\x01b\tx.fq\n",           # a control letter
                     "a\n",                      # no path
                     "# only comments\n"):
            with self.subTest(text=text), self.assertRaises(tables.TableError):
                tables.read_sample_sheet(self.write("s.tsv", text))


class MultiplexedSheet(Files):
    def test_columns_by_header_and_runs_by_shared_file(self):
        path = self.write("sheets/samples.tsv",
                          "sample_barcode\tsample\tfastq_2\tfastq\n"
                          "ACGT+TTGG\tDay 1 + Drug\tR2.fq.gz\tR1.fq.gz\n"
                          "CCAA+GGTT\tDay 2\tR2.fq.gz\tR1.fq.gz\n"
                          "\tsolo\t\t/data/solo.fq\n"
                          "AAAA\tother\t\tlane2/R1.fq.gz\n"
                          "CCCC\tother 2\t\tlane2/R1.fq.gz\n")
        samples = tables.read_sample_table(path)
        base = os.path.join(self.dir.name, "sheets")
        self.assertEqual([(s.name, s.fastq, s.fastq_2, s.sample_barcode) for s in samples[:3]], [
            ("Day 1 + Drug", os.path.join(base, "R1.fq.gz"), os.path.join(base, "R2.fq.gz"), "ACGT+TTGG"),
            ("Day 2", os.path.join(base, "R1.fq.gz"), os.path.join(base, "R2.fq.gz"), "CCAA+GGTT"),
            ("solo", "/data/solo.fq", "", "")])
        runs = tables.multiplexed_runs(samples)
        # Two files of one name make two runs of two names.
        self.assertEqual({name: [s.name for s in group] for name, group in runs.items()},
                         {"R1": ["Day 1 + Drug", "Day 2"], "R1-2": ["other", "other 2"]})
        self.assertEqual(tables.read_sample_sheet(path)["solo"], "/data/solo.fq")

    def test_refused_sheets(self):
        cases = [
            # A misspelt column would leave read 2 unread: refused, with the near name.
            ("sample\tfastq\tfastq2\na\tx.fq\ty.fq\n", "did you mean fastq_2"),
            ("sample\tfastq\tfastq\na\tx.fq\ty.fq\n", "named twice"),
            # More columns than two need a header to say what they are.
            ("a\tx.fq\ty.fq\n", "no header line"),
        ]
        for text, message in cases:
            with self.subTest(text=text), self.assertRaisesRegex(tables.TableError, message):
                tables.read_sample_table(self.write("s.tsv", text))
        runs = [
            ("sample\tfastq\tsample_barcode\na\tx.fq\tACGT\nb\tx.fq\t\n", "with a sample_barcode and without"),
            ("sample\tfastq\tfastq_2\tsample_barcode\na\tx.fq\ty.fq\tACGT\nb\tx.fq\tz.fq\tCCCC\n",
             "different fastq_2"),
        ]
        for text, message in runs:
            with self.subTest(text=text), self.assertRaisesRegex(tables.TableError, message):
                tables.multiplexed_runs(tables.read_sample_table(self.write("s.tsv", text)))

    def test_pairs_without_layout_are_reads_without_layout(self):
        path = self.write("t.txt", "#total reads: 10\n#unique reads: 2\n#filtered bases: 0\n#layout: AC[4]\n"
                                   "#mate file: r2.fq\n#pairs without layout: 3\n#read\tcount\nAAAA\t7\n")
        self.assertEqual(tables.count_table_header(path)["reads_without_layout"], 3)


class Demultiplexed(Files):
    """The run table and warnings from count -x's own files."""

    def split_run(self, reads, undetermined, orientation="second index: reverse-complemented (1 reads as in the sheet, "
                                                    "9 reverse-complemented)\n"):
        sheet = self.write("run/samples.tsv", "".join("s%d\tACGTACGT+TTGGCCAA\n" % i for i in range(len(reads))))
        for i, n in enumerate(reads):
            self.write("run/tables/s%d.txt" % i, "#total reads: %d\n#unique reads: 0\n#filtered bases: 0\n"
                                                 "#read\tcount\n" % n)
        lost = self.write("run/undetermined.txt", "#reads of no sample: %d\n#reads without index: 2\n"
                          "#sample barcode\treads\n" % sum(r for _, r in undetermined)
                          + "".join("%s\t%d\n" % row for row in undetermined))
        log = self.write("run/count.log", "quality encoding found from the first reads of r.fq: -m S\n" + orientation)
        out = os.path.join(self.dir.name, "run", "sample-barcodes.tsv")
        names = ["Day %d + x" % i for i in range(len(reads))]
        args = ["run", "--run", "lane1", "--sheet", sheet, "--names"] + names + [
            "--tables", os.path.join(self.dir.name, "run", "tables"), "--undetermined", lost, "--log", log,
            "--out", out]
        with unittest.mock.patch("sys.stderr", new_callable=io.StringIO) as err:
            self.assertEqual(demultiplex.main(args), 0)
        return out, names, err.getvalue()

    def test_reads_per_sample_barcode_and_warnings(self):
        out, names, err = self.split_run([600, 380, 5], [("AAAAAAAA+CCCCCCCC", 10), ("GGGGGGGG+CCCCCCCC", 5)])
        self.assertEqual(self.read("run/sample-barcodes.tsv"),
                         "#run: lane1\n#second index: reverse-complemented (1 reads as in the sheet, 9 "
                         "reverse-complemented)\n#reads without index: 2\nsample\tsample_barcode\treads\tshare\n"
                         "Day 0 + x\tACGTACGT+TTGGCCAA\t600\t0.6000\nDay 1 + x\tACGTACGT+TTGGCCAA\t380\t0.3800\n"
                         "Day 2 + x\tACGTACGT+TTGGCCAA\t5\t0.0050\nundetermined\t\t15\t0.0150\n")
        self.assertEqual(err, "")
        self.assertIsNone(demultiplex.sample_warning(out, names[0]))
        self.assertIsNone(demultiplex.sample_warning(out, names[1]))
        self.assertIn("Day 2 + x: 5 reads (0.5% of run lane1)", demultiplex.sample_warning(out, names[2]))
        # Mostly undetermined: the run warns, naming its most common barcode.
        out, names, err = self.split_run([30, 0], [("AAAAAAAA+CCCCCCCC", 60), ("GGGGGGGG+CCCCCCCC", 10)])
        self.assertRegex(err, r"^Warning: 70\.0% of the reads \(70 of 100\) carry no sample's barcode, the most "
                              r"common AAAAAAAA\+CCCCCCCC \(60 reads\); check the sample_barcode column")
        self.assertIn("0 reads", demultiplex.sample_warning(out, names[1]))
        out, names, err = self.split_run([0, 0], [("AAAAAAAA+CCCCCCCC", 60)])
        self.assertIn("nor any other sample's", demultiplex.sample_warning(out, names[0]))
        # count's warnings on the run's reads are each sample's; those on one
        # sample or on the run as a whole are not.
        log = self.write("run/count.log", "Warning: no reads in sample 's1'\n"
                         "Warning: quality values below the range of the chosen encoding: 7 (Phred+33 reads need -m S)\n"
                         "Warning: quality values below the range of the chosen encoding: 5 (Phred+33 reads need -m S)\n"
                         "second index: as in the sheet\nWarning: reads of no sample: 60 of 60; see x\n")
        self.assertEqual(demultiplex.run_read_warnings(log, "lane1"), [
            "Warning: quality values below the range of the chosen encoding: 12 (Phred+33 reads need -m S) "
            "(the reads of run lane1)"])

    @unittest.skipUnless(os.environ.get("MORVANE") or os.access(os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "morvane"), os.X_OK), "no morvane built")
    def test_the_likely_slip_is_the_one_undone(self):
        """Reads as the instrument wrote them, a sheet with one slip: count,
        given the sheet with each slip undone, names the right one."""
        rc = demultiplex.reverse_complement
        i7 = ["TAAGGCGA", "CGTACTAG", "AGGCAGAA"]
        i5 = ["CTCTCTAT", "TATCCTCT", "GTAAGGAG"]
        reads = [("%s+%s" % (a, rc(b)), 100 - 10 * n) for n, (a, b) in enumerate(zip(i7, i5))]
        cases = [
            ("first index", [(str(n), "%s+%s" % (rc(a), b)) for n, (a, b) in enumerate(zip(i7, i5))], reads),
            ("swapped", [(str(n), "%s+%s" % (b, a)) for n, (a, b) in enumerate(zip(i7, i5))], reads),
            ("give the first only", [(str(n), "%s+%s" % (a, b)) for n, (a, b) in enumerate(zip(i7, i5))],
             [(index.split("+")[0], n) for index, n in reads]),
            ("reverse-complemented in the sheet", [(str(n), rc(a)) for n, a in enumerate(i7)],
             [(index.split("+")[0], n) for index, n in reads]),
            ("give the first as the sample barcode", [(str(n), a) for n, a in enumerate(i7)], reads),
        ]
        for label, sheet, undetermined in cases:
            with self.subTest(label):
                self.assertIn(label, demultiplex.likely_slip(morvane_binary(), sheet, undetermined) or "none")
        # Barcodes of no sample, whatever the slip: nothing to name.
        strangers = [("GGGGGGGG+CCCCCCCC", 50), ("ACACACAC+TGTGTGTG", 40)]
        self.assertIsNone(demultiplex.likely_slip(morvane_binary(), cases[0][1], strangers))


class SampleDirectories(Files):
    def test_names_as_labs_write_them(self):
        path = self.write("s.tsv", "sample\tfastq\nDay 1 + Drug\ta.fq\nDay 1 / Drug\tb.fq\nday_1_+_drug\tc.fq\n"
                                   "..\td.fq\nJour 2 \u00e9t\u00e9\te.fq\n")
        names = list(tables.read_sample_sheet(path))
        self.assertEqual(names, ["Day 1 + Drug", "Day 1 / Drug", "day_1_+_drug", "..", "Jour 2 \u00e9t\u00e9"])
        directories = tables.sample_directories(names)
        self.assertEqual(list(directories.values()),
                         ["Day_1_+_Drug", "Day_1_Drug", "day_1_+_drug-2", "sample", "Jour_2_t_"])
        # Unique even against case-insensitive file systems, and each a plain name.
        self.assertEqual(len({d.lower() for d in directories.values()}), len(names))
        for directory in directories.values():
            self.assertRegex(directory, r"^[A-Za-z0-9_+-][A-Za-z0-9._+-]*$")


class ScreenStats(Files):
    def test_gini_index(self):
        self.assertAlmostEqual(screen_stats.gini_index([5, 5, 5, 5]), 0.0)
        self.assertAlmostEqual(screen_stats.gini_index([0, 0, 0, 8]), 0.75)
        self.assertAlmostEqual(screen_stats.gini_index([1, 2, 3, 4]), 0.25)
        self.assertIsNone(screen_stats.gini_index([0, 0]))
        # Order does not matter; a differential check against the mean
        # absolute difference form.
        rng = random.Random(7)
        values = [rng.randrange(100) for _ in range(200)]
        mad = sum(abs(a - b) for a in values for b in values) / (2 * len(values) ** 2 * (sum(values) / len(values)))
        self.assertAlmostEqual(screen_stats.gini_index(values), mad)

    def test_countsummary_and_multiqc_files(self):
        matrix = self.write("counts.tsv", "bcid\tbarcode\tDay 0\tDay 1 + Drug\nb1\tAAAA\t6\t0\nb2\tCCCC\t2\t0\n"
                                          "b3\tGGGG\t0\t0\n")
        columns = ["sample", "unit", "total_reads", "molecules", "table_reads", "assigned_fraction", "zero_read_fraction"]
        columns += [column for column, _, _ in tables.FATES]
        rows = [["Day 0", "reads", "10", "0", "9", "0.8000", "0.3333"] + ["1"] * len(tables.FATES),
                ["Day 1 + Drug", "reads", "0", "0", "0", "0.0000", "1.0000"] + ["0"] * len(tables.FATES)]
        summary_path = self.write("summary.tsv", "\n".join("\t".join(r) for r in [columns] + rows) + "\n")
        out = {name: os.path.join(self.dir.name, name) for name in ("cs.txt", "s_mqc.tsv", "f_mqc.tsv")}
        self.assertEqual(screen_stats.main(["--matrix", matrix, "--summary", summary_path, "--countsummary", out["cs.txt"],
                                            "--stats", out["s_mqc.tsv"], "--fates", out["f_mqc.tsv"],
                                            "--files", "d0.fq.gz", "d1 + drug.fq"]), 0)
        self.assertEqual(self.read("cs.txt"),
                         "File\tLabel\tReads\tMapped\tPercentage\tTotalsgRNAs\tZerocounts\tGiniIndex\n"
                         "d0.fq.gz\tDay 0\t10\t8\t0.8000\t3\t1\t0.5000\n"
                         "d1 + drug.fq\tDay 1 + Drug\t0\t0\t0.0000\t3\t3\tNA\n")
        stats = [line for line in self.read("s_mqc.tsv").splitlines() if not line.startswith("#")]
        self.assertEqual(stats, ["Sample\ttotal_reads\tassigned_percent\tzero_percent",
                                 "Day 0\t10\t80.00\t33.33", "Day 1 + Drug\t0\t0.00\t100.00"])
        self.assertIn("# plot_type: 'generalstats'", self.read("s_mqc.tsv"))
        fates = self.read("f_mqc.tsv")
        self.assertIn("# plot_type: 'bargraph'", fates)
        self.assertIn("Day 0\t" + "\t".join(["1"] * len(tables.FATES)), fates)
        # A summary of other samples than the matrix is refused.
        self.assertEqual(screen_stats.main(["--matrix", matrix, "--summary", summary_path, "--countsummary", out["cs.txt"],
                                            "--stats", out["s_mqc.tsv"], "--fates", out["f_mqc.tsv"],
                                            "--files", "d0.fq.gz"]), 1)


@unittest.skipUnless(os.environ.get("MORVANE") or os.access(os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "morvane"), os.X_OK), "no morvane built")
class BarcodeOrder(unittest.TestCase):
    def test_follows_the_rules_of_tabulate(self):
        with tempfile.NamedTemporaryFile("wb", suffix=".tsv", delete=False) as f:
            f.write(b"#name\tseq\nb1\tAAAA\nno tab here\nb2\tCCCC\r\nb3\tAAAA\nb4\tGG\tTT\n\tTTTT")
        self.addCleanup(os.unlink, f.name)
        order = tables.barcode_order(morvane_binary(), f.name)
        # The malformed line is left out; AAAA takes the place of its last line.
        self.assertEqual(order, {"CCCC\r": 0, "AAAA": 1, "GG": 2, "TTTT": 3})


def report_text(rows):
    return "#bcid\tbarcode\ttotal\tmm0\tmm1\tmm2\talign\n" + "".join(
        "%s\t%s\t%d\t%d\t%d\t%d\t%d%s\n" % (name, seq, mm0 + mm1 + mm2 + al, mm0, mm1, mm2, al,
                                             "\t80:%s:0:0:0" % seq if al else "")
        for name, seq, mm0, mm1, mm2, al in rows)


@unittest.skipUnless(os.environ.get("MORVANE") or os.access(os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "morvane"), os.X_OK), "no morvane built")
class Matrix(Files):
    def setUp(self):
        super().setUp()
        os.environ.setdefault("MORVANE", morvane_binary())
        # File order differs from the name order of the reports.
        self.barcodes = self.write("barcodes.tsv", "#n\ts\nzeta\tAAAA\nalpha\tCCCC\nmid\tGGGG\n")

    def test_rows_in_barcode_file_order_and_split_by_match_kind(self):
        r1 = self.write("r1.tsv", report_text([("alpha", "CCCC", 5, 1, 0, 2), ("mid", "GGGG", 0, 0, 0, 0),
                                               ("zeta", "AAAA", 7, 0, 0, 0)]))
        r2 = self.write("r2.tsv", report_text([("alpha", "CCCC", 0, 0, 0, 0), ("mid", "GGGG", 1, 1, 1, 1),
                                               ("zeta", "AAAA", 0, 3, 0, 0)]))
        out = os.path.join(self.dir.name, "m.tsv")
        args = ["--barcodes", self.barcodes, "--out", out, "--mismatch", out + ".mm", "--align", out + ".al",
                "--samples", "s1", "s2", "--reports", r1, r2]
        self.assertEqual(matrix.main(args), 0)
        self.assertEqual(self.read("m.tsv"),
                         "bcid\tbarcode\ts1\ts2\nzeta\tAAAA\t7\t3\nalpha\tCCCC\t8\t0\nmid\tGGGG\t0\t4\n")
        self.assertEqual(self.read("m.tsv.mm"),
                         "bcid\tbarcode\ts1\ts2\nzeta\tAAAA\t7\t3\nalpha\tCCCC\t6\t0\nmid\tGGGG\t0\t3\n")
        self.assertEqual(self.read("m.tsv.al"),
                         "bcid\tbarcode\ts1\ts2\nzeta\tAAAA\t0\t0\nalpha\tCCCC\t2\t0\nmid\tGGGG\t0\t1\n")

    def test_reports_that_do_not_fit_the_barcode_file(self):
        good = self.write("good.tsv", report_text([("alpha", "CCCC", 1, 0, 0, 0), ("mid", "GGGG", 0, 0, 0, 0),
                                                   ("zeta", "AAAA", 0, 0, 0, 0)]))
        stranger = self.write("stranger.tsv", report_text([("alpha", "CCCC", 1, 0, 0, 0), ("x", "TTTT", 0, 0, 0, 0)]))
        fewer = self.write("fewer.tsv", report_text([("alpha", "CCCC", 1, 0, 0, 0)]))
        for reports in ([stranger], [good, fewer]):
            with self.subTest(reports=reports), self.assertRaises(tables.TableError):
                matrix.join_reports(morvane_binary(), self.barcodes, reports)


    def test_screen_matrix_with_genes(self):
        report_path = self.write("r.tsv", report_text([("alpha", "CCCC", 1, 0, 0, 0), ("mid", "GGGG", 0, 0, 0, 0),
                                                       ("zeta", "AAAA", 5, 0, 0, 0)]))
        genes = self.write("g.tsv", "zeta\tAAAA\tGENE1\nalpha\tCCCC\tGENE2\nmid\tGGGG\tmid\n")
        out = os.path.join(self.dir.name, "m.tsv")
        self.assertEqual(matrix.main(["--barcodes", self.barcodes, "--out", os.path.join(self.dir.name, "c.tsv"),
                                      "--genes", genes, "--mageck", out, "--samples", "s1", "--reports", report_path]), 0)
        self.assertEqual(self.read("m.tsv").splitlines()[0], "sgRNA\tGene\ts1")
        self.assertIn("alpha\tGENE2\t1", self.read("m.tsv"))

def map_line(core, count, match, rest=""):
    return "%s\t%d\t0:0\t%d\t0\t0\t0\t0\t%s%s\n" % (core, count, count, match, rest)


MAP_FILE = (
    "#contains: 2\n#\tmm0s: 1\n#\tmm1s: 0\n#\tmm2s: 1\n#aligns: 2\n#misses: 1\n" + HEADER
    + map_line("AAAA", 50, "mm0", "\tb1\tAAAA")
    + map_line("CCCA", 7, "mm2", "\tb2\tCCCC")
    + map_line("GGTT", 5, "align", "\tMULTIPLE:b3;b4\tGGGG;TTTT\t75:GG-TT:0:1:1;75:GGTT-:0:0:1")
    + map_line("ACGA", 4, "align", "\tb1\tAAAA\t40:AC-GA:2:1:0")
    + map_line("NNNN", 3, "none")
)
# tabulate -f of MAP_FILE at the cutoff 70: the 40-point alignment is weak.
FATES = "#kind\tclusters\ttotal\nmm0\t1\t50\nmm1\t0\t0\nmm2\t1\t7\nalign\t1\t5\nweak_align\t1\t4\nnone\t1\t3\n"
COUNT_HEAD = "#trim: 0:0\n#truncate: 0\n#quality lo: 0\thi: 40\tadj: 64\tcutoff: 10\n"
# 100 reads: 90 in the table (10 left out by -c), 69 of them in clusters.
COUNT_TABLE = (COUNT_HEAD + "#total reads: 100\n#unique reads: 9\n#filtered bases: 12\n#read\tcount\n"
               "AAAA\t50\nTTTTTT\t21\nCCCA\t7\nGGTT\t5\nACGA\t4\nNNNN\t3\n")
# With a layout and UMIs: 100 reads, 15 without layout, 5 with a UMI N,
# 80 in the table as 69 + 6 molecules.
UMI_TABLE = (COUNT_HEAD + "#total reads: 100\n#unique reads: 9\n#filtered bases: 12\n#layout: AC[4](3)\n"
             "#reads without layout: 15\n#umi reads with N: 5\n#molecules: 75\n#read\tcount\treads\n"
             "AAAA\t50\t55\nTTTTTT\t6\t6\nCCCA\t7\t7\nGGTT\t5\t5\nACGA\t4\t4\nNNNN\t3\t3\n")


class Summary(Files):
    def test_read_fate_of_a_sample(self):
        row = summary.sample_row("s", self.write("c.txt", COUNT_TABLE), self.write("m.txt", MAP_FILE),
                                 self.write("f.tsv", FATES), 70)
        expect = {"total_reads": 100, "unique_reads": 9, "filtered_bases": 12, "unit": "reads",
                  "without_layout_reads": 0, "masked_reads": 10, "table_reads": 90,
                  "mm0_clusters": 1, "mm0_reads": 50, "mm2_clusters": 1, "mm2_reads": 7,
                  "align_clusters": 2, "align_reads": 9, "weak_align_clusters": 1, "weak_align_reads": 4,
                  "counted_align_reads": 5, "unmatched_clusters": 1, "unmatched_reads": 3, "clusters": 5,
                  "clustered_reads": 69, "unclustered_reads": 21, "orientation": ""}
        self.assertEqual({k: row[k] for k in expect}, expect)
        summary.check_buckets(row)
        row["masked_reads"] -= 1
        with self.assertRaises(tables.TableError):
            summary.check_buckets(row)

    def test_recombinants_come_out_of_weak_alignments_and_misses(self):
        # tabulate -g took the weak alignment (4 reads) and the miss (3) as
        # recombinants: the map summary's kinds hold them between them.
        fates = FATES.replace("weak_align\t1\t4\nnone\t1\t3\n", "weak_align\t0\t0\nnone\t0\t0\nrecombinant\t2\t7\n")
        row = summary.sample_row("s", self.write("c.txt", COUNT_TABLE), self.write("m.txt", MAP_FILE),
                                 self.write("f.tsv", fates), 70)
        expect = {"weak_align_reads": 0, "unmatched_reads": 0, "unmatched_clusters": 0, "align_clusters": 1,
                  "recombinant_clusters": 2, "recombinant_reads": 7, "clusters": 5, "clustered_reads": 69,
                  "unclustered_reads": 21}
        self.assertEqual({k: row[k] for k in expect}, expect)
        summary.check_buckets(row)
        # Without -g the columns stay empty.
        row = summary.sample_row("s", self.write("c.txt", COUNT_TABLE), self.write("m.txt", MAP_FILE),
                                 self.write("f.tsv", FATES), 70)
        self.assertEqual((row["recombinant_clusters"], row["recombinant_reads"]), ("", ""))
        # Recombinants that the map file's alignments and misses cannot hold.
        for bad in (fates.replace("recombinant\t2\t7", "recombinant\t3\t7"),
                    fates.replace("none\t0\t0", "none\t1\t3")):
            with self.subTest(bad), self.assertRaises(tables.TableError):
                summary.sample_row("s", self.write("c.txt", COUNT_TABLE), self.write("m.txt", MAP_FILE),
                                   self.write("bad.tsv", bad), 70)

    def test_molecules_with_umis(self):
        row = summary.sample_row("s", self.write("c.txt", UMI_TABLE), self.write("m.txt", MAP_FILE),
                                 self.write("f.tsv", FATES), 70)
        expect = {"unit": "molecules", "molecules": 75, "table_reads": 80, "without_layout_reads": 15,
                  "umi_n_reads": 5, "masked_reads": 0, "clustered_reads": 69, "unclustered_reads": 6}
        self.assertEqual({k: row[k] for k in expect}, expect)
        summary.check_buckets(row)

    def test_merged_molecules_beside_the_molecules_per_key(self):
        matrix_path = self.write("counts.tsv", "bcid\tbarcode\ts\nb1\tAAAA\t40\nb2\tCCCC\t2\n")
        merged = self.write("mol.tsv", "#molecules: 42\n#molecule reads: 72\n#bcid\tbarcode\ttotal\tmm0\tmm1\tmm2\talign\n"
                            "b1\tAAAA\t40\t40\t0\t0\t0\nb2\tCCCC\t2\t0\t0\t2\t0\n")
        args = ["--matrix", matrix_path, "--out", os.path.join(self.dir.name, "s.tsv"), "--samples", "s",
                "--count-tables", self.write("c.txt", UMI_TABLE), "--maps", self.write("m.txt", MAP_FILE),
                "--fates", self.write("f.tsv", FATES)]
        self.assertEqual(summary.main(args + ["--merged-molecules", merged]), 0)
        row = tables.read_summary(os.path.join(self.dir.name, "s.tsv"))[0]
        # The cluster buckets still add up to the 75 molecules per key; the
        # merged ones are a line of their own, their share one of the reads.
        self.assertEqual((row["molecules"], row["merged_molecules"], row["merged_molecule_reads"],
                          row["assigned_reads"], row["assigned_fraction"]), ("75", "42", "72", "42", "0.9000"))
        self.assertEqual(summary.main(args), 0)
        row = tables.read_summary(os.path.join(self.dir.name, "s.tsv"))[0]
        self.assertEqual((row["merged_molecules"], row["assigned_fraction"]), ("", "0.5600"))

    def test_checks_in_the_last_columns(self):
        matrix_path = self.write("counts.tsv", "bcid\tbarcode\ts\nb1\tAAAA\t2\n")
        logs = os.path.dirname(self.write("logs/s/count.log", "Warning: a qseq line is not in expected format; skipped\n"))
        probe = self.write("probe.txt", "#total reads: 100\n#reads without layout: 95\n")
        out = os.path.join(self.dir.name, "s.tsv")
        args = ["--matrix", matrix_path, "--out", out, "--samples", "s", "--count-tables", self.write("c.txt", UMI_TABLE),
                "--maps", self.write("m.txt", MAP_FILE),
                "--fates", self.write("f.tsv", FATES), "--log-dirs", logs, "--strand-probes", probe,
                "--layout", "AC[4](3)"]
        self.assertEqual(summary.main(args), 0)
        header = self.read("s.tsv").splitlines()[0].split("\t")
        # The columns that were there keep their places.
        self.assertEqual(header[:-3], list(summary.COLUMNS[:-3]))
        self.assertEqual(header[-3:], ["status", "problems", "warnings"])
        row = tables.read_summary(out)[0]
        self.assertEqual(row["status"], "problem")
        self.assertTrue(row["problems"].startswith("few reads assigned: 2.7% of the reads assigned"), row["problems"])
        self.assertEqual(row["warnings"], "count: a qseq line is not in expected format; skipped")
        # Without the checks' inputs the sample is judged by its numbers.
        self.assertEqual(summary.main(args[:12]), 0)
        self.assertEqual(tables.read_summary(out)[0]["warnings"], "")

    @unittest.skipUnless(os.environ.get("MORVANE") or os.access(os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "morvane"), os.X_OK), "no morvane built")
    def test_fates_and_orientation_from_the_tool(self):
        # tabulate -f of MAP_FILE is what the summary's buckets above assume.
        fates = os.path.join(self.dir.name, "f.tsv")
        subprocess.run([morvane_binary(), "tabulate", "-c", "70", "-f", fates, self.write("m.txt", MAP_FILE),
                        self.write("b.tsv", "b1\tAAAA\nb2\tCCCC\nb3\tGGGG\nb4\tTTTT\n")],
                       capture_output=True, check=True)
        self.assertEqual(self.read("f.tsv"), FATES)
        # Two 18-letter cores: one a word of the library, one the reverse
        # complement of a word; map -r tells which share would match turned.
        word = "ACGTTGCAACGGTTAACC"
        other = "GGGATTTCCCAAAGGTTT"
        reverse = other.translate(str.maketrans("ACGT", "TGCA"))[::-1]
        barcodes = self.write("b.tsv", "b1\t%sGG\nb2\tTT%s\n" % (word, other))
        table = COUNT_HEAD + "#total reads: 100\n#unique reads: 2\n#filtered bases: 0\n#read\tcount\n"
        for reads_direct, reads_reverse, verdict in ((90, 10, "ok"), (10, 90, "reverse-complemented")):
            cores = sorted([(reads_direct, word), (reads_reverse, reverse)], reverse=True)
            clusters = self.write("k.txt", "".join("%s\t0:0\t%d\t%d\t0\t0\n" % (core, n, n) for n, core in cores))
            strand = os.path.join(self.dir.name, "r.txt")
            mapped = subprocess.run([morvane_binary(), "map", "-w", "-r", strand, clusters, barcodes],
                                    capture_output=True, check=True).stdout
            subprocess.run([morvane_binary(), "tabulate", "-f", fates, self.write("m.txt", mapped.decode()), barcodes],
                           capture_output=True, check=True)
            row = summary.sample_row("s", self.write("c.txt", table), os.path.join(self.dir.name, "m.txt"), fates,
                                     70, strand)
            self.assertEqual(row["orientation"], verdict)
            self.assertEqual(row["revcomp_word_share"], "%.4f" % (reads_reverse / 100))

    def test_damaged_inputs_are_refused(self):
        table = self.write("c.txt", COUNT_TABLE)
        fates = self.write("f.tsv", FATES)
        cases = {
            "summary disagrees with lines": (table, MAP_FILE.replace("#misses: 1", "#misses: 2"), fates),
            "summary lacks a line": (table, MAP_FILE.replace("#misses: 1\n", ""), fates),
            "fates lack a kind": (table, MAP_FILE, self.write("short.tsv", FATES.replace("none\t1\t3\n", ""))),
            "count table header cut short": (self.write("short.txt", COUNT_TABLE.replace("#unique reads: 9\n", "")),
                                             MAP_FILE, fates),
        }
        for label, (table_path, map_text, fates_path) in cases.items():
            with self.subTest(label), self.assertRaises((tables.TableError, ValueError)):
                summary.sample_row("s", table_path, self.write("bad.txt", map_text), fates_path, 70)


class ConfigKeys(unittest.TestCase):
    KNOWN = {"barcodes": "", "samples": "", "strict": False,
             "count": {"quality": "", "layout": "", "errors": "", "reverse": False},
             "cluster": {"min_count": 0, "single": False},
             "discovery": {"min_reads": "auto"}}

    def test_unknown_keys_and_misplaced_sections(self):
        cases = [
            ({"count": {"qualty": "S"}}, ["unknown key `count: qualty:` in the config; "
                                          "the nearest known key is `count: quality:`"]),
            # A setting in the wrong section: the same name elsewhere wins.
            ({"layout": "AC[4]"}, ["unknown key `layout:` in the config; the nearest known key is `count: layout:`"]),
            ({"sample": "s.tsv", "strict": True}, ["unknown key `sample:` in the config; "
                                                   "the nearest known key is `samples:`"]),
            ({"cluster": {"min_cont": 1}, "discovery": {"minreads": 5}},
             ["unknown key `cluster: min_cont:` in the config; the nearest known key is `cluster: min_count:`",
              "unknown key `discovery: minreads:` in the config; the nearest known key is `discovery: min_reads:`"]),
            ({"count": "S"}, ["`count:` holds settings (quality, layout, errors, reverse), not 'S'"]),
            ({"count": None}, ["`count:` holds settings (quality, layout, errors, reverse), not None"]),
            ({"barcodes": {"file": "b.tsv"}}, ["`barcodes:` is a setting, not a section"]),
            ({"count": {"quality": "S", "layout": ""}, "strict": True}, []),
        ]
        for config, expected in cases:
            with self.subTest(config=config):
                self.assertEqual(checks.config_errors(config, self.KNOWN), expected)

    def test_the_workflow_config_knows_its_own_keys(self):
        import yaml
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "workflow", "config.yaml")
        with open(path) as f:
            known = yaml.safe_load(f)
        self.assertEqual(checks.config_errors(known, known), [])
        self.assertIn("strict", known)


class StepWarnings(Files):
    def test_warnings_of_the_logs_gathered_per_step(self):
        count = self.write("logs/s/count.log", "\t100 of 1000 entries [10%]\n"
                           "Warning: quality values below the range of the chosen encoding: 7 (Phred+33 reads need -m S)\n"
                           "no Warning: here\nWarnings: not one either\n")
        self.write("logs/s/map.log", "".join("Warning: an entry is not in expected format (details\tsequence)\n"
                                             for _ in range(3)) + "  \tWarning: barcode sequence file has 18mer word overlaps\n")
        self.write("logs/s/cluster.log", "".join("Warning: an entry has a non-positive count: S%d\t0\n" % i
                                                 for i in range(checks.DISTINCT_SHOWN + 2)))
        self.assertEqual(checks.log_warnings(count),
                         [("quality values below the range of the chosen encoding: 7 (Phred+33 reads need -m S)", 1)])
        found = checks.step_warnings(checks.sample_logs(os.path.join(self.dir.name, "logs", "s")))
        self.assertEqual(found[0], "count: quality values below the range of the chosen encoding: 7 "
                                   "(Phred+33 reads need -m S)")
        # In pipeline order, a line repeated once with its number, no tabs.
        self.assertEqual(found[1:1 + checks.DISTINCT_SHOWN], ["cluster: an entry has a non-positive count: S%d 0" % i
                                                              for i in range(checks.DISTINCT_SHOWN)])
        self.assertEqual(found[1 + checks.DISTINCT_SHOWN:], [
            "cluster: 2 more different warnings (see its log)",
            "map: an entry is not in expected format (details sequence) (3 times)",
            "map: barcode sequence file has 18mer word overlaps"])
        self.assertEqual(checks.run_warnings(os.path.join(self.dir.name, "logs")), [])
        # A multiplexed run: the workflow's warning with its fix before count's.
        self.write("logs/runs/lane1/count.log", "second index: as in the sheet\nWarning: reads of no sample: 9 of 10\n")
        self.write("logs/runs/lane1/checks.log", "Warning: 90.0% of the reads carry no sample's barcode; likely fix: x\n")
        self.assertEqual(checks.run_warnings(os.path.join(self.dir.name, "logs")), [
            "run lane1: 90.0% of the reads carry no sample's barcode; likely fix: x",
            "count -x lane1: reads of no sample: 9 of 10"])

    def test_last_words_of_failed_jobs(self):
        count = self.write("logs/s/count.log", "\t1 of 4 entries [25%]\n\nCould not decompress s.fastq.gz\n")
        cluster = self.write("logs/t/cluster.log", "a\nb\nc\nd\n")
        entry = "    log: %s (check log file(s) for error details)\n"
        snakemake_log = self.write("snakemake.log", "Error in rule count:\n" + entry % count + entry % cluster
                                   + entry % count + entry % os.path.join(self.dir.name, "gone.log"))
        self.assertEqual(checks.failed_job_messages(snakemake_log), [
            "  failed: %s: 1 of 4 entries [25%%]" % count, "  failed: %s: Could not decompress s.fastq.gz" % count,
            "  failed: %s: b" % cluster, "  failed: %s: c" % cluster, "  failed: %s: d" % cluster])
        self.assertEqual(checks.failed_job_messages(None), [])


def problem_row(**values):
    row = dict.fromkeys(summary.COLUMNS, "0")
    row.update(sample="s", unit="reads", total_reads="1000", assigned_fraction="0.9000", orientation="ok",
               word_matched_share="0.9", revcomp_word_share="0.0")
    row.update({key: str(value) for key, value in values.items()})
    return row


class Problems(unittest.TestCase):
    LAYOUT = {"layout": "CACCG[20]", "reverse": False, "orientation_fix": "set `reverse_library: true` in the config"}

    def test_each_problem_and_its_fix(self):
        encoding = "count: quality values below the range of the chosen encoding: 2688 (Phred+33 reads need -m S)"
        cases = [
            ("a good sample", problem_row(), [], (1000, 0.0), {}, []),
            ("empty", problem_row(total_reads=0, assigned_fraction="0.0000"), [], None, self.LAYOUT,
             [("no reads", "`samples:`")]),
            ("no read of its sample barcode", problem_row(total_reads=0, assigned_fraction="0.0000"),
             ["demultiplex: s: no read of run r carries its sample barcode"], None, self.LAYOUT,
             [("no reads", "sample_barcode")]),
            ("encoding", problem_row(assigned_fraction="0.0000"), [encoding], (1000, 0.0), self.LAYOUT,
             [("quality encoding", 'set `count: quality: auto`')]),
            ("other strand", problem_row(without_layout_reads=990, assigned_fraction="0.0080"), [], (1000, 0.97),
             self.LAYOUT, [("other strand", "set `count: reverse: true`")]),
            ("other strand, reads reversed", problem_row(without_layout_reads=990, assigned_fraction="0.0080"), [],
             (1000, 0.97), dict(self.LAYOUT, reverse=True), [("other strand", "set `count: reverse: false`")]),
            ("mixed strands", problem_row(without_layout_reads=450, assigned_fraction="0.5000"), [], (1000, 0.44),
             self.LAYOUT, [("both strands", "`count: both_strands: true`")]),
            ("a layout without constants fits both strands", problem_row(), [], (1000, 0.99), self.LAYOUT, []),
            ("layout typo", problem_row(without_layout_reads=997, assigned_fraction="0.0030"), [], (1000, 0.002),
             self.LAYOUT, [("layout not found", "`count: layout:`")]),
            # Without a probe (count -b, or no layout) the strands are not judged.
            ("no probe", problem_row(without_layout_reads=997, assigned_fraction="0.0030"), [], None,
             self.LAYOUT, [("layout not found", "`count: errors:`")]),
            ("reversed library", problem_row(orientation="reverse-complemented", assigned_fraction="0.1000"), [],
             (1000, 0.0), self.LAYOUT, [("library on the other strand", "`reverse_library: true`")]),
            ("off-library reads", problem_row(assigned_fraction="0.0100", unmatched_reads=900, unclustered_reads=80),
             [], (1000, 0.0), self.LAYOUT, [("few reads assigned", "check that `barcodes:`")]),
            # With guide pairs unmatched reads point at guide 2's strand first.
            ("off-library pairs", problem_row(assigned_fraction="0.0100", unmatched_reads=900, unclustered_reads=80),
             [], (1000, 0.0), dict(self.LAYOUT, pairs=True), [("few reads assigned", "`reverse_guide_2:`")]),
            ("guide 2 on the other strand", problem_row(assigned_fraction="0.0100", weak_align_reads=900),
             [], (1000, 0.0), dict(self.LAYOUT, pairs=True), [("few reads assigned", "`reverse_guide_2:`")]),
            ("recombined pairs", problem_row(assigned_fraction="0.0100", recombinant_reads=900, unmatched_reads=80),
             [], (1000, 0.0), dict(self.LAYOUT, pairs=True), [("few reads assigned", "recombinants.tsv")]),
            ("rare reads", problem_row(assigned_fraction="0.0100", unmatched_reads=100, unclustered_reads=800),
             [], (1000, 0.0), {}, [("few reads assigned", "`cluster: min_count: 0`")]),
            # With UMIs the cluster buckets are molecules, weighed by the reads.
            ("molecules", problem_row(unit="molecules", molecules=100, table_reads=1000, assigned_fraction="0.0100",
                                      masked_reads=0, umi_n_reads=300, unmatched_reads=50), [], None, {},
             [("few reads assigned", "check that `barcodes:`")]),
        ]
        for label, row, warnings, probe, settings, expected in cases:
            with self.subTest(label):
                found = checks.sample_problems(row, warnings, probe, settings)
                self.assertEqual([name for name, _, _ in found], [name for name, _ in expected])
                for (_, _, fix), (_, text) in zip(found, expected):
                    self.assertIn(text, fix)

    def test_strand_probe_header(self):
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "probe.txt")
            with open(path, "w") as f:
                f.write("#trim: 0:0\n#total reads: 2000\n#unique reads: 3\n#layout: AC[4]\n"
                        "#reads without layout: 500\n#read\tcount\n")
            self.assertEqual(checks.probe_shares(path), (2000, 0.75))
            with open(path, "w") as f:
                f.write("#total reads: 0\n#reads without layout: 0\n")
            self.assertIsNone(checks.probe_shares(path))
            self.assertIsNone(checks.probe_shares(os.path.join(tmp, "none.txt")))

    def test_terminal_summary(self):
        bad = problem_row(sample="bad", status="problem", problems="no reads: x; fix: y | other: z; fix: w",
                          warnings="count: w1", total_reads="1234567")
        good = problem_row(sample="good", status="ok", problems="", warnings="")
        lines = checks.terminal_summary([good, bad], ["pool count: w2"], strict=True)
        self.assertEqual(lines, [
            "morvane workflow: 2 samples, 1 with problems",
            "  good: 1,000 reads, 90.0% assigned: ok",
            "  bad: 1,234,567 reads, 90.0% assigned: PROBLEM",
            "    problem: no reads: x; fix: y", "    problem: other: z; fix: w", "    warning: count: w1",
            "  warning: pool count: w2",
            "morvane workflow: strict: true, so the run fails"])
        many = [dict(good, sample="g%d" % i) for i in range(checks.LISTED_SAMPLES)] + [bad]
        lines = checks.terminal_summary(many)
        self.assertEqual(lines[1], "  bad: 1,234,567 reads, 90.0% assigned: PROBLEM")
        self.assertIn("  %d more samples ok, without warnings" % checks.LISTED_SAMPLES, lines)
        self.assertIn("with `strict: true` such a run fails", lines[-1])
        self.assertEqual(checks.terminal_summary([good]), ["morvane workflow: 1 sample, 0 with problems",
                                                           "  good: 1,000 reads, 90.0% assigned: ok"])


class Library(Files):
    def test_the_forms_labs_keep_give_one_barcode_file(self):
        expected = [("g1", "ACGTACGT", "KRAS"), ("g2", "TTGGCCAA", "TP53"), ("g3", "GGGGAAAA", None)]
        forms = {
            "crispr.tsv": "sgRNA\tsequence\tgene\ng1\tACGTACGT\tKRAS\ng2\tttggccaa\tTP53\ng3\tGGGGAAAA\t\n",
            "library.csv": "id,seq,gene\r\ng1,ACGTACGT,KRAS\r\n\"g2\",TTGGCCAA,TP53\r\ng3,GGGGAAAA\r\n",
            "plain.txt": "# comment\ng1\tACGTACGT\tKRAS\ng2\tTTGGCCAA\tTP53\ng3\tGGGGAAAA\n",
        }
        for name, text in forms.items():
            with self.subTest(name):
                self.assertEqual(library.read_library(self.write(name, text)), expected)
        out = os.path.join(self.dir.name, "b.tsv")
        genes = os.path.join(self.dir.name, "g.tsv")
        self.assertEqual(library.main([self.write("l.csv", forms["library.csv"]), "--barcodes", out,
                                       "--genes", genes, "--reverse-complement"]), 0)
        self.assertEqual(self.read("b.tsv"), "g1\tACGTACGT\ng2\tTTGGCCAA\ng3\tTTTTCCCC\n")
        self.assertEqual(self.read("g.tsv"), "g1\tACGTACGT\tKRAS\ng2\tTTGGCCAA\tTP53\ng3\tTTTTCCCC\tg3\n")

    def test_sequence_column_found_from_the_data(self):
        # Each form as distributed: the sequence column is the DNA one,
        # wherever it stands, with or without a header.
        two = [("g1", "ACGTACGT", None), ("g2", "TTGGCCAA", None)]
        genes = [("g1", "ACGTACGT", "KRAS"), ("g2", "TTGGCCAA", "TP53")]
        cases = [
            ("sequence,id\nACGTACGT,g1\nttggccaa,g2\n", two),
            ("ACGTACGT,g1\nTTGGCCAA,g2\n", two),
            ("id\tsequence\tgene\ng1\tACGTACGT\tKRAS\ng2\tTTGGCCAA\tTP53\n", genes),
            ("g1\tACGTACGT\tKRAS\ng2\tTTGGCCAA\tTP53\n", genes),
            ("sequence\tgene\tid\nACGTACGT\tKRAS\tg1\nTTGGCCAA\tTP53\tg2\n", genes),
            ("name,Gene,extra,seq\ng1,KRAS,x,ACGTACGT\ng2,TP53,y,TTGGCCAA\n", [("g1", "ACGTACGT", "KRAS"), ("g2", "TTGGCCAA", "TP53")]),
            # A gene named with DNA letters on one line does not win.
            ("g1\tACGTACGT\tCAT\ng2\tTTGGCCAA\tTP53\n", [("g1", "ACGTACGT", "CAT"), ("g2", "TTGGCCAA", "TP53")]),
            # Ids that are sequences themselves: the second column, as the tool reads it.
            ("AAAA\tACGTACGT\nCCCC\tTTGGCCAA\n", [("AAAA", "ACGTACGT", None), ("CCCC", "TTGGCCAA", None)]),
        ]
        for number, (text, expected) in enumerate(cases):
            with self.subTest(text=text):
                path = self.write("lib%d.txt" % number, text)
                self.assertEqual(library.read_library(path), expected)
        # Only a plain two-column barcode file is used as it stands.
        self.assertTrue(library.in_tool_form(self.write("own.tsv", "# c\ng1\tACGT\ng2\tTTGG\n")))
        for text in ("id\tseq\ng1\tACGT\n", "ACGT\tg1\n", "g1\tacgt\n", "g1,ACGT\n", "g1\tACGT\tKRAS\n"):
            with self.subTest(text=text):
                self.assertFalse(library.in_tool_form(self.write("other.tsv", text)))

    def test_pair_libraries(self):
        pairs = [("p1", ("ACGTACGT", "TTGGCCAA"), "KRAS"), ("p2", ("GGGGAAAA", "CCCCTTTT"), "TP53")]
        no_gene = [(name, guides, None) for name, guides, _ in pairs]
        forms = [
            ("pair_id,guide_1,guide_2,gene\np1,ACGTACGT,TTGGCCAA,KRAS\np2,gggg aaaa,CCCCTTTT,TP53\n".replace(" ", ""),
             pairs),
            ("p1\tACGTACGT\tTTGGCCAA\tKRAS\np2\tGGGGAAAA\tCCCCTTTT\tTP53\n", pairs),
            ("p1\tACGTACGT\tTTGGCCAA\np2\tGGGGAAAA\tCCCCTTTT\n", no_gene),
            ("guide1,guide2,id\nACGTACGT,TTGGCCAA,p1\nGGGGAAAA,CCCCTTTT,p2\n", no_gene),
            # A gene column of DNA letters on every line, named by the header, is no guide.
            ("id\tg1\tg2\tgene\np1\tACGTACGT\tTTGGCCAA\tCAT\np2\tGGGGAAAA\tCCCCTTTT\tACT\n",
             [("p1", ("ACGTACGT", "TTGGCCAA"), "CAT"), ("p2", ("GGGGAAAA", "CCCCTTTT"), "ACT")]),
        ]
        for number, (text, expected) in enumerate(forms):
            with self.subTest(text=text):
                path = self.write("pairs%d.txt" % number, text)
                self.assertEqual(library.read_guides(path), expected)
                self.assertEqual(library.pair_guide_1_length(path, library.read_guides(path)), 8)
                self.assertEqual(library.read_library(path)[0][1], "ACGTACGTTTGGCCAA")
        # One sequence a line, though two columns are DNA: a two-column
        # file (ids that are sequences), and an id column equal to the sequence.
        # And a guide beside its PAM or its target context (unlike lengths).
        for text in ("AAAA\tACGTACGT\nCCCC\tTTGGCCAA\n", "ACGTACGT\tACGTACGT\tKRAS\nTTGGCCAA\tTTGGCCAA\tTP53\n",
                     "g1\tACGTACGT\tKRAS\ng2\tTTGGCCAA\tTP53\n",
                     "id,sgRNA,PAM\ng1,ACGTACGTACGTACGTACGT,AGG\ng2,TTGGCCAATTGGCCAATTGG,TGG\n",
                     "g1\tACGTACGTACGTACGTACGT\tCCCCACGTACGTACGTACGTACGTAGGCCC\n"
                     "g2\tTTGGCCAATTGGCCAATTGG\tAAAATTGGCCAATTGGCCAATTGGTGGAAA\n"):
            with self.subTest(text=text):
                path = self.write("single.txt", text)
                self.assertEqual(library.pair_guide_1_length(path, library.read_guides(path)), None)
                self.assertTrue(all(len(guides) == 1 for _, guides, _ in library.read_guides(path)))
        # The barcode file: guide 1 then guide 2, each strand setting on its own guide.
        path = self.write("l.csv", forms[0][0])
        out = os.path.join(self.dir.name, "b.tsv")
        length = os.path.join(self.dir.name, "n.txt")
        # (p1's guides read the same on both strands; p2's do not.)
        for options, second in (([], "GGGGAAAACCCCTTTT"), (["--reverse-guide-2"], "GGGGAAAAAAAAGGGG"),
                                (["--reverse-complement"], "TTTTCCCCAAAAGGGG"),
                                (["--reverse-complement", "--reverse-guide-2"], "TTTTCCCCCCCCTTTT")):
            with self.subTest(options=options):
                self.assertEqual(library.main([path, "--barcodes", out, "--guide-1-length", length] + options), 0)
                self.assertEqual(self.read("b.tsv"), "p1\tACGTACGTTTGGCCAA\np2\t%s\n" % second)
                self.assertEqual(self.read("n.txt"), "8\n")
        single = self.write("single.csv", "g1,ACGT\ng2,TTGG\n")
        self.assertEqual(library.main([single, "--barcodes", out, "--guide-1-length", length]), 0)
        self.assertEqual(self.read("n.txt"), "0\n")
        self.assertEqual(library.main([single, "--barcodes", out, "--reverse-guide-2"]), 1)
        # Guide 1s of two lengths leave guide 2's start unknown.
        with self.assertRaises(library.LibraryError) as refused:
            path = self.write("uneven.csv", "p1,ACGTACGT,TTGGCCAA\np2,ACGTACG,TTGGCCAA\n")
            library.pair_guide_1_length(path, library.read_guides(path))
        self.assertIn("one length", str(refused.exception))
        self.assertEqual(library.main([path, "--barcodes", out]), 1)

    def test_refused_libraries(self):
        for text in ("id\tseq\tgene\ng1\tACGT\tA\ng2\tAC GT\tB\n",  # not DNA after the header
                     "only,one\n",                              # no barcode at all
                     "g1,ACGT,A\ng2\n"):                        # a line of one field
            with self.subTest(text=text), self.assertRaises(library.LibraryError):
                library.read_library(self.write("bad.csv", text), "csv" if "," in text else "auto")


class Choices(Files):
    def test_alignment_cutoff_and_discovery_threshold(self):
        self.assertEqual(choices.align_cutoff(18, 20), 80)
        self.assertEqual(choices.align_cutoff(20, 20), 90)
        self.assertEqual(choices.align_cutoff(60, 60), 270)
        table = self.write("t.txt", COUNT_TABLE)
        self.assertEqual(choices.core_length(table), 4)
        self.assertEqual(choices.table_reads(table), 90)
        # An empty table or library: the other length stands for both.
        self.assertEqual(choices.cutoff_for(None, 20), 90)
        self.assertEqual(choices.cutoff_for(18, None), 81)
        self.assertEqual(choices.cutoff_for(None, None), 1)
        self.assertIsNone(choices.core_length(self.write("e.txt", COUNT_HEAD + "#read\tcount\n")))

    @unittest.skipUnless(os.environ.get("MORVANE") or os.access(os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "morvane"), os.X_OK), "no morvane built")
    def test_barcode_lengths_from_the_tool(self):
        # Comments, a line without a tab and a repeated sequence read as
        # tabulate reads them: two barcodes of 4, one of 6.
        path = self.write("b.tsv", "#x\ty\nb1\tAAAA\nnotab\nb2\tCCCCCC\nb3\tGGGG\nb4\tAAAA\n")
        self.assertEqual(choices.barcode_length(morvane_binary(), path), 4)
        self.assertIsNone(choices.barcode_length(morvane_binary(), self.write("e.tsv", "#none\n")))
        with self.assertRaises(OSError):
            choices.barcode_length(morvane_binary(), os.path.join(self.dir.name, "missing.tsv"))

    @unittest.skipUnless(os.environ.get("MORVANE") or os.access(os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "morvane"), os.X_OK), "no morvane built")
    def test_discovered_barcodes_by_rank(self):
        clusters = self.write("c.txt", "#core\n"
                              "AAAA\t1:0\t30\t28\t2\t0\tAAAT:2:1\n"
                              "CCCC\t0:0\t9\t9\t0\t0\n"
                              "GGGG\t0:0\t4\t4\t0\t0\n"
                              "TTTT\t0:0\t30\t30\t0\t0\n")
        lines = subprocess.run([morvane_binary(), "discover", "-m", "5", clusters], capture_output=True,
                               text=True, check=True).stdout.splitlines()
        self.assertEqual(lines[1:], ["bc000001\tAAAA", "bc000002\tTTTT", "bc000003\tCCCC"])


def morvane_binary():
    """The morvane that ctest names in MORVANE, else the one `make build` makes."""
    here = os.path.dirname(os.path.abspath(__file__))
    path = os.environ.get("MORVANE") or os.path.join(here, "..", "..", "build", "morvane")
    return path if os.access(path, os.X_OK) else None


class Molecules(Files):
    def test_merged_per_final_barcode(self):
        """tabulate -u on a hand-made run: the molecule report that the
        workflow's matrix and summary read."""
        morvane = morvane_binary()
        if morvane is None:
            self.skipTest("no morvane binary (set MORVANE or run make build)")
        # Keys: AAAA (core of b1), AANA (a masked variant, member of AAAA),
        # AAAT (member of AAAA and of CCAT, goes to AAAA: more reads), CCAT
        # (core of an alignment tied between b2 and b3), GGGG (weak alignment),
        # TTTT (in no cluster). A UMI with an N makes no molecule.
        pairs = [("AAAA", "ACGT", 20), ("AAAA", "GGGG", 3), ("AAAA", "ACGA", 2), ("AAAA", "ACNT", 9),
                 ("AANA", "ACGT", 4), ("AANA", "GGGC", 2), ("AAAT", "TTTT", 1), ("CCAT", "CCCC", 5),
                 ("CCAT", "CCCA", 3), ("GGGG", "ACGT", 7), ("TTTT", "ACGT", 8)]
        table = "#umi pairs: %d\n#read\tumi\treads\n" % len(pairs) + "".join("%s\t%s\t%d\n" % p for p in pairs)
        # Each line's own count is its key's molecules, as count collapsed them.
        clusters = ("#core\nAAAA\t1:0\t5\t2\t2\t0\tAANA:2:1,AAAT:1:1\n"
                    "CCAT\t1:0\t2\t1\t1\t0\tAAAT:0:1\nGGGG\t0:0\t1\t1\t0\t0\n")
        mapped = ("#contains: 1\n#\tmm0s: 1\n#\tmm1s: 0\n#\tmm2s: 0\n#aligns: 2\n#misses: 0\n" + HEADER
                  + "AAAA\t5\t1:0\t2\t1\t2\t0\t0\tmm0\tb1\tAAAAC\n"
                  + "CCAT\t2\t1:0\t1\t1\t1\t0\t0\talign\tMULTIPLE:b2;b3\tCCATG;CCATT\t20:CCAT-:0:0:1;20:CCAT-:0:0:1\n"
                  + "GGGG\t1\t0:0\t1\t0\t0\t0\t0\talign\tb1\tAAAAC\t5:GGGG-:4:0:1\n")
        barcodes = self.write("b.tsv", "b1\tAAAAC\nb2\tCCATG\nb3\tCCATT\nb4\tGTGTG\n")
        run = subprocess.run([morvane, "tabulate", "-c", "10", "-u", self.write("u.txt", table),
                              "-k", self.write("c.txt", clusters), self.write("m.txt", mapped), barcodes],
                             capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        # b1: ACGT (20 + 4) absorbs ACGA (2); GGGG (3) absorbs GGGC (2);
        # TTTT (1): 3 molecules of 32 reads. b2 and b3: CCCC absorbs CCCA
        # (5 >= 5), one molecule each, counted as alignments.
        self.assertEqual(run.stdout,
                         "#molecules: 5\n#molecule reads: 48\n#bcid\tbarcode\ttotal\tmm0\tmm1\tmm2\talign\n"
                         "b1\tAAAAC\t3\t3\t0\t0\t0\nb2\tCCATG\t1\t0\t0\t0\t1\n"
                         "b3\tCCATT\t1\t0\t0\t0\t1\nb4\tGTGTG\t0\t0\t0\t0\t0\n")
        out = self.write("mol.tsv", run.stdout)
        self.assertEqual(tables.molecule_sums(out), (5, 48))
        self.assertEqual([row[:3] for row in tables.read_report(out)],
                         [("b1", "AAAAC", 3), ("b2", "CCATG", 1), ("b3", "CCATT", 1), ("b4", "GTGTG", 0)])


@unittest.skipIf(report is None, "matplotlib not installed")
class Report(unittest.TestCase):
    def summary_row(self, name, total, assigned, zeros, barcodes):
        row = dict.fromkeys(summary.COLUMNS, "0")
        row.update(sample=name, unit="reads", total_reads=str(total), assigned_reads=str(assigned), barcodes=str(barcodes),
                   zero_read_barcodes=str(zeros), mm0_reads=str(assigned), unclustered_reads=str(total - assigned),
                   assigned_fraction="%.4f" % (assigned / total if total else 0),
                   zero_read_fraction="%.4f" % (zeros / barcodes), status="ok", problems="", warnings="")
        return row

    def test_names_are_escaped_and_weak_samples_flagged(self):
        rows = [("<b>x</b>", "AAAA"), ("y", "CCCC")]
        columns = report.np.array([[300, 200], [0, 0]])
        text = report.build_report(["good", "empty"], rows, columns,
                                   [self.summary_row("good", 600, 500, 0, 2), self.summary_row("empty", 0, 0, 2, 2)])
        self.assertIn("&lt;b&gt;x&lt;/b&gt;", text)
        self.assertNotIn("<b>x", text)
        self.assertIn('<span class="ok">ok</span>', text)
        self.assertIn("no reads", text)
        self.assertEqual(text.count("data:image/png;base64,"), 3)

    def test_reads_without_layout_point_at_the_strands(self):
        row = self.summary_row("s", 100, 10, 0, 1)
        row["without_layout_reads"] = "80"
        text = report.build_report(["s"], [("a", "AAAA")], report.np.array([[10]]), [row])
        self.assertIn("80.0% of all reads without the layout", text)
        self.assertIn("both_strands: true", text)

    def test_problems_and_warnings_in_the_first_table(self):
        row = self.summary_row("s", 100, 0, 1, 1)
        row.update(status="problem", problems="quality encoding: <seen>; fix: set `count: quality: \"S\"`",
                   warnings="count: w1 | map: w2")
        text = report.build_report(["s"], [("a", "AAAA")], report.np.array([[0]]), [row],
                                   step_warnings=["pool count: w3"])
        first = text.split("<h2>Where the reads went</h2>")[0]
        self.assertIn('<span class="problem">problem: quality encoding: &lt;seen&gt;; fix: set `count: quality: '
                      '&quot;S&quot;`</span>', first)
        self.assertIn("count: w1<br>map: w2", first)
        self.assertIn("pool count: w3", first)
        self.assertNotIn('class="ok"', first)

    def test_one_sample_has_no_heat_map(self):
        text = report.build_report(["only"], [("a", "AAAA")], report.np.array([[0]]), [self.summary_row("only", 10, 0, 1, 1)])
        self.assertIn("nothing to compare", text)
        self.assertIn("only 0.0% of all reads assigned", text)

    def test_merged_molecules_are_shown_beside_the_molecules_per_key(self):
        row = self.summary_row("s", 100, 40, 0, 1)
        row.update(unit="molecules", table_reads="90", molecules="70", merged_molecules="40",
                   merged_molecule_reads="88", assigned_fraction="0.9778")
        text = report.build_report(["s"], [("a", "AAAA")], report.np.array([[40]]), [row])
        self.assertIn("97.8% of the reads with the layout", text)
        self.assertIn("<td>s</td><td>90</td><td>70</td><td>40</td><td>88</td>", text)
        row["merged_molecules"] = ""
        self.assertNotIn("<h3>Molecules</h3>", report.build_report(["s"], [("a", "AAAA")], report.np.array([[40]]), [row]))

    def fate_rows(self, text):
        """The numbers of each row of the read-fate tables."""
        tables = text.split("<h2>Where the reads went</h2>")[1].split("<h2>")[0].split("<h3>")[0]
        rows = re.findall(r"<tr><td>[^<]*</td>((?:<td>[\d,]+</td>)+)</tr>", tables)
        return [[int(cell.replace(",", "")) for cell in re.findall(r"<td>([\d,]+)</td>", row)] for row in rows]

    def test_every_fate_row_adds_up_to_its_total(self):
        reads = self.summary_row("r", 100, 60, 0, 1)
        reads.update(without_layout_reads="25", masked_reads="5", unclustered_reads="10")
        umis = self.summary_row("u", 100, 30, 0, 1)
        umis.update(unit="molecules", without_layout_reads="20", umi_n_reads="5", table_reads="75", molecules="40",
                    mm0_reads="30", unclustered_reads="4", weak_align_reads="6")
        for rows in ([reads], [umis], [reads, umis]):
            text = report.build_report([r["sample"] for r in rows], [("a", "AAAA")],
                                       report.np.array([[30]] * len(rows)), rows)
            found = self.fate_rows(text)
            self.assertEqual(len(found), len(rows) + sum(r["unit"] == "molecules" for r in rows))
            for numbers in found:
                self.assertEqual(sum(numbers[:-1]), numbers[-1], numbers)
        self.assertIn("total molecules", text)
        # The recombinant bucket only for pair libraries, where it adds up too.
        reads["recombinant_reads"] = ""
        text = report.build_report(["r"], [("a", "AAAA")], report.np.array([[30]]), [reads])
        self.assertNotIn("recombinant guide pair", text)
        reads.update(recombinant_reads="12", unclustered_reads="0")
        reads["mm0_reads"] = "58"
        text = report.build_report(["r"], [("a", "AAAA")], report.np.array([[30]]), [reads])
        self.assertIn("<th>recombinant guide pair</th>", text)
        numbers = self.fate_rows(text)[0]
        self.assertEqual(sum(numbers[:-1]), numbers[-1], numbers)
        self.assertIn(12, numbers)

    def test_sample_barcodes_of_a_multiplexed_run(self):
        with tempfile.TemporaryDirectory() as tmp:
            table = os.path.join(tmp, "sample-barcodes.tsv")
            with open(table, "w") as f:
                f.write("#run: lane<1>\n#second index: reverse-complemented (0 reads as in the sheet, 90 "
                        "reverse-complemented)\n#reads without index: 0\nsample\tsample_barcode\treads\tshare\n"
                        "A & B\tACGT+TTGG\t90\t0.9000\nundetermined\t\t10\t0.1000\n")
            lost = os.path.join(tmp, "undetermined.txt")
            with open(lost, "w") as f:
                f.write("#reads of no sample: 10\n#reads without index: 0\n#sample barcode\treads\n"
                        + "".join("%s+AAAA\t1\n" % "".join("ACGT"[(i >> s) & 3] for s in (6, 4, 2, 0))
                                  for i in range(demultiplex.TOP_UNDETERMINED + 5)))
            text = report.build_report(["A & B"], [("a", "AAAA")], report.np.array([[90]]),
                                       [self.summary_row("A & B", 90, 90, 0, 1)], runs=[(table, lost)])
        section = text.split("<h2>Sample barcodes</h2>")[1].split("<h2>")[0]
        self.assertIn("<h3>lane&lt;1&gt;</h3>", section)
        self.assertIn("Second index: reverse-complemented", section)
        self.assertIn("<tr><td>A &amp; B</td><td><code>ACGT+TTGG</code></td><td>90</td><td>90.0%</td></tr>", section)
        self.assertIn("<em>undetermined</em>", section)
        # The most common undetermined barcodes only.
        self.assertEqual(section.count("+AAAA</code>"), demultiplex.TOP_UNDETERMINED)
        self.assertNotIn("Sample barcodes", report.build_report(["A & B"], [("a", "AAAA")], report.np.array([[90]]),
                                                                 [self.summary_row("A & B", 90, 90, 0, 1)]))

    def test_heat_map_numbers_contrast_with_their_cells(self):
        fig, ax = report.plt.subplots()
        values = report.np.array([[0, 5], [50, 100]])
        image = ax.imshow(values, cmap="Blues", vmin=0, vmax=100)
        report.annotate_cells(ax, image, values, [[str(v) for v in line] for line in values], 8)
        colours = {t.get_text(): t.get_color() for t in ax.texts}
        report.plt.close(fig)
        self.assertEqual((colours["0"], colours["5"], colours["100"]), ("black", "black", "white"))


if __name__ == "__main__":
    unittest.main()
