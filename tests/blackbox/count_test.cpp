#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"

namespace {

const std::string usage =
    "usage: count [-i 5':3'] [-u n] [-f|q] [-o output_file] [-m S|X|I|J|L|A[n]] [-c] [-p layout [-e k] [-b] [-l n|auto] [-k umi_table]] [-r] "
    "[-2 mate_file [-P layout]] [-x samples -d dir] [input_file]\n";

const std::string help =
    usage +
    "input_file specifies the file with entries either in qseq or fastq format; if none provided, reads stdin\n\n"
    "  -i X:Y\t trim X bases on 5' end and Y bases on 3' end\n"
    "  -u N\t\t truncate sequence to N bases\n"
    "  -f\t\t force input file to be parsed as a fastq file\n"
    "  -q\t\t force input file to be parsed as a qsec file\n"
    "  -o FILE\t additionally prints results to FILE\n"
    "  -m M[N]\t filters by Sanger, Solexa, Illumina 1.3+, Illumina 1.5+ (respectively) for M = S, X, I, J;\n"
    "\t\t L: Phred+33 up to 41; A: Phred+33 or +64, found from the first 100000 reads;\n"
    "\t\t bases scoring below N (default 10) are masked, e.g. -m S20\n"
    "  -c\t\t only unfiltered results will be reported in output\n"
    "  -p LAYOUT\t count only the barcode letters of each read, found by its layout,\n"
    "\t\t e.g. 'CACCG[20]' or '{18-26}CACCG[20]' (see the README)\n"
    "  -e K\t\t with -p: substitutions each constant allows (default: a tenth of its letters)\n"
    "  -r\t\t reverse-complement every read first\n"
    "  -b\t\t with -p: search a read without the layout again on its reverse complement\n"
    "  -l N|auto\t with -p: keep the first N letters of each barcode; reads with fewer count as\n"
    "\t\t without layout; auto: the longest length that 95% of the first 10,000 reads reach\n"
    "  -k FILE\t with a UMI slot in the layout: also writes every (barcode, UMI) pair\n"
    "\t\t with its reads to FILE, the UMI table of tabulate -u\n"
    "  -2 FILE\t the mate file (read 2) of input_file: each pair counts once, its key the\n"
    "\t\t barcode letters of read 1 (-p), then those of read 2 (-P)\n"
    "  -P LAYOUT\t with -2: read 2's layout\n"
    "  -x FILE\t sample sheet (name<TAB>index[+index2]): one table per sample, the sample\n"
    "\t\t found from the header's index field, or from the layout's <n> slots\n"
    "\t\t (n letters of sample barcode), one substitution per index allowed\n"
    "  -d DIR\t with -x: where DIR/<name>.txt and DIR/undetermined.txt are written\n";

std::string below_range(int n) {
    return "Warning: quality values below the range of the chosen encoding: " + std::to_string(n) +
           " (Phred+33 reads need -m S)\n";
}

std::string no_reads(const std::string& name) { return "Warning: no reads in " + name + "\n"; }

std::string mismatch(const std::string& name, const std::string& place) {
    return "Sequence length and quality length mismatch in " + name + ", " + place + "\n";
}

std::string without_layout(int without, int total, const std::string& share, bool both_strands = false) {
    return "Warning: reads without the layout: " + std::to_string(without) + " of " + std::to_string(total) + " (" +
           share + "%); " + (both_strands ? "" : "reads of the other strand? try -b (or -r); ") +
           "constants with more substitutions than allowed? raise -e\n";
}

std::string header(int64_t total, int64_t unique, int64_t filtered, const std::string& trim = "0:0", int truncate = 0,
                   const std::string& quality = "lo: 0\thi: 40\tadj: 64\tcutoff: 10") {
    return "#trim: " + trim + "\n#truncate: " + std::to_string(truncate) + "\n#quality " + quality +
           "\n#total reads: " + std::to_string(total) + "\n#unique reads: " + std::to_string(unique) +
           "\n#filtered bases: " + std::to_string(filtered) + "\n#read\tcount\n";
}

const std::string sanger = "lo: 0\thi: 40\tadj: 33\tcutoff: 10";

std::string record(const std::string& seq, const std::string& qual, const std::string& name = "r") {
    return "@" + name + "\n" + seq + "\n+\n" + qual + "\n";
}

// Three reads: ACGTAC twice, GGTT once (Sanger qualities, all high).
const std::string three_reads = record("ACGTAC", "IIIIII") + record("GGTT", "IIII") + record("ACGTAC", "IIIIII");
const std::string three_reads_table = header(3, 2, 0, "0:0", 0, sanger) + "ACGTAC\t2\nGGTT\t1\n";

void expect_run(const run_result& r, int status, const std::string& out, const std::string& err) {
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
}

// ---------------------------------------------------------------------------
// Help and usage

TEST(Count, HelpOnQuestionMarkOrAnythingContainingHelp) {
    scratch_dir dir;
    dir.write("help_reads.fq", three_reads);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"count", "?"}, {"count", "--help"}, {"count", "-help"}, {"count", "help_reads.fq"}, {"count", "?", "-x", "y"}}) {
        expect_run(run_morvane(args, "", dir.path()), 0, help, "");
    }
}

TEST(Count, UnknownOptionOrMissingArgument) {
    expect_run(run_morvane({"count", "-z"}), 1, "", "count: invalid option -- 'z'\n" + usage);
    expect_run(run_morvane({"count", "-f", "-i"}), 1, "", "count: option requires an argument -- 'i'\n" + usage);
}

TEST(Count, TwoInputFilesIsAUsageError) {
    scratch_dir dir;
    dir.write("a.fq", three_reads);
    expect_run(run_morvane({"count", "a.fq", "a.fq"}, "", dir.path()), 1, "", usage);
}

// ---------------------------------------------------------------------------
// Options

TEST(Count, TrimOption) {
    scratch_dir dir;
    dir.write("a.fq", record("ACGTAC", "IIIIII"));
    expect_run(run_morvane({"count", "-i", "3", "a.fq"}, "", dir.path()), 1, "", usage);
    expect_run(run_morvane({"count", "-i", "-1:2", "a.fq"}, "", dir.path()), 1, "", usage);
    expect_run(run_morvane({"count", "-i", "1:-2", "a.fq"}, "", dir.path()), 1, "", usage);
    expect_run(run_morvane({"count", "-m", "S", "-i", ":5", "a.fq"}, "", dir.path()), 0,
               header(1, 1, 0, "0:5", 0, sanger) + "A\t1\n", "");
    expect_run(run_morvane({"count", "-m", "S", "-i", "3:", "a.fq"}, "", dir.path()), 0,
               header(1, 1, 0, "3:0", 0, sanger) + "TAC\t1\n", "");
    expect_run(run_morvane({"count", "-m", "S", "-i", " +1:2xyz", "a.fq"}, "", dir.path()), 0,
               header(1, 1, 0, "1:2", 0, sanger) + "CGT\t1\n", "");
    // Shorter than both trims: the empty read.
    expect_run(run_morvane({"count", "-m", "S", "-i", "4:4", "a.fq"}, "", dir.path()), 0,
               header(1, 1, 0, "4:4", 0, sanger) + "\t1\n", "");
}

TEST(Count, TruncateOption) {
    scratch_dir dir;
    dir.write("a.fq", record("ACGTAC", "IIIIII"));
    expect_run(run_morvane({"count", "-m", "S", "-u", "2", "a.fq"}, "", dir.path()), 0,
               header(1, 1, 0, "0:0", 2, sanger) + "AC\t1\n", "");
    for (const char* none : {"0", "-5"}) {
        expect_run(run_morvane({"count", "-m", "S", "-u", none, "a.fq"}, "", dir.path()), 0,
                   header(1, 1, 0, "0:0", std::stoi(none), sanger) + "ACGTAC\t1\n", "");
    }
    // Trimming comes first, then truncation.
    expect_run(run_morvane({"count", "-m", "S", "-i", "1:2", "-u", "2", "a.fq"}, "", dir.path()), 0,
               header(1, 1, 0, "1:2", 2, sanger) + "CG\t1\n", "");
    // Values beyond 32 bits saturate.
    expect_run(run_morvane({"count", "-m", "S", "-u", "99999999999", "a.fq"}, "", dir.path()), 0,
               header(1, 1, 0, "0:0", 2147483647, sanger) + "ACGTAC\t1\n", "");
}

TEST(Count, QualityMethods) {
    scratch_dir dir;
    dir.write("a.fq", record("ACGT", "+++5"));
    expect_run(run_morvane({"count", "-m", "S", "a.fq"}, "", dir.path()), 0, header(1, 1, 0, "0:0", 0, sanger) + "ACGT\t1\n",
               "");
    expect_run(run_morvane({"count", "-m", "S11", "a.fq"}, "", dir.path()), 0,
               header(1, 1, 3, "0:0", 0, "lo: 0\thi: 40\tadj: 33\tcutoff: 11") + "NNNT\t1\n", "");
    expect_run(run_morvane({"count", "-m", "S20", "-m", "L", "a.fq"}, "", dir.path()), 0,
               header(1, 1, 3, "0:0", 0, "lo: 0\thi: 41\tadj: 33\tcutoff: 20") + "NNNT\t1\n", "");
    expect_run(run_morvane({"count", "-m", "X", "a.fq"}, "", dir.path()), 0,
               header(1, 1, 4, "0:0", 0, "lo: -5\thi: 40\tadj: 64\tcutoff: 10") + "NNNN\t1\n", below_range(4));
    expect_run(run_morvane({"count", "-m", "I", "a.fq"}, "", dir.path()), 0,
               header(1, 1, 4, "0:0", 0, "lo: 0\thi: 40\tadj: 64\tcutoff: 10") + "NNNN\t1\n", below_range(4));
    expect_run(run_morvane({"count", "-m", "J5", "a.fq"}, "", dir.path()), 0,
               header(1, 1, 4, "0:0", 0, "lo: 3\thi: 40\tadj: 64\tcutoff: 5") + "NNNN\t1\n", below_range(4));
}

TEST(Count, RejectedQualityMethodsAndCutoffs) {
    scratch_dir dir;
    dir.write("a.fq", record("ACGT", "IIII"));
    expect_run(run_morvane({"count", "-m", "s", "a.fq"}, "", dir.path()), 1, "", "Unrecognized quality filter method (s)\n");
    expect_run(run_morvane({"count", "-m", "S0", "a.fq"}, "", dir.path()), 1, "", "Invalid quality cutoff: 0\n");
    expect_run(run_morvane({"count", "-m", "Sx", "a.fq"}, "", dir.path()), 1, "", "Invalid quality cutoff: 0\n");
    expect_run(run_morvane({"count", "-m", "S-3", "a.fq"}, "", dir.path()), 1, "", "Invalid quality cutoff: -3\n");
}

TEST(Count, CleanFlagLeavesOutReadsWithALowQualityBase) {
    scratch_dir dir;
    dir.write("a.fq", record("ACGT", "IIII") + record("ACGA", "II#I") + record("ACGT", "IIII"));
    expect_run(run_morvane({"count", "-m", "S", "-c", "a.fq"}, "", dir.path()), 0,
               header(3, 1, 1, "0:0", 0, sanger) + "ACGT\t2\n", "");
    expect_run(run_morvane({"count", "-m", "S", "a.fq"}, "", dir.path()), 0,
               header(3, 2, 1, "0:0", 0, sanger) + "ACGT\t2\nACNA\t1\n", "");
}

TEST(Count, OptionsAfterTheFileNameAndDoubleDash) {
    scratch_dir dir;
    dir.write("a.fq", three_reads);
    dir.write("-m", three_reads);
    expect_run(run_morvane({"count", "a.fq", "-m", "S"}, "", dir.path()), 0, three_reads_table, "");
    expect_run(run_morvane({"count", "-m", "S", "-f", "--", "-m"}, "", dir.path()), 0, three_reads_table, "");
}

// ---------------------------------------------------------------------------
// Input and format

TEST(Count, StandardInputNeedsAFormatFlag) {
    expect_run(run_morvane({"count"}, three_reads), 2, "", "Reading from stdin requires -f or -q\n");
    expect_run(run_morvane({"count", "-m", "S", "-f"}, three_reads), 0, three_reads_table, "");
    expect_run(run_morvane({"count", "-f", "-q"}, three_reads), 1, "", "count: Both fastq and qsec flags indicated\n");
}

TEST(Count, FormatFromTheFileName) {
    scratch_dir dir;
    for (const char* name : {"reads.FASTQ", "reads.fastq", "reads.fq", "reads.txt", "reads", "reads.FQ.gz", "reads.gz"})
        dir.write(name, three_reads);
    std::filesystem::create_directory(dir.path("run.1"));
    dir.write("run.1/reads", three_reads);
    auto in = [&](std::vector<std::string> args) { return run_morvane(args, "", dir.path()); };
    expect_run(in({"count", "reads.FASTQ"}), 2, "", "Expected .fastq/.fq or .txt file (reads.FASTQ)\n");
    expect_run(in({"count", "-m", "S", "-f", "reads.FASTQ"}), 0, three_reads_table, "");
    expect_run(in({"count", "-m", "S", "reads.fastq"}), 0, three_reads_table, "");
    expect_run(in({"count", "-m", "S", "reads.fq"}), 0, three_reads_table, "");
    expect_run(in({"count", "run.1/reads"}), 2, "", "Expected .fastq/.fq or .txt file (run.1/reads)\n");
    expect_run(in({"count", "reads"}), 2, "", "Cannot determine file format of reads\n");
    expect_run(in({"count", "reads.gz"}), 2, "", "Cannot determine file format of reads.gz\n");
    expect_run(in({"count", "reads.FQ.gz"}), 2, "", "Expected .fastq/.fq or .txt file (reads.FQ.gz)\n");
    // .txt is qseq: FASTQ lines have no tabs, so every line is skipped.
    run_result qseq = in({"count", "reads.txt"});
    EXPECT_EQ(qseq.status, 0);
    EXPECT_EQ(qseq.out, header(0, 0, 0));
    std::string skipped;
    for (int i = 0; i < 12; ++i) skipped += "Warning: a qseq line is not in expected format; skipped\n";
    EXPECT_EQ(qseq.err, skipped + no_reads("reads.txt"));
}

TEST(Count, InputThatCannotBeReadIsReportedBeforeTheFlags) {
    scratch_dir dir;
    std::filesystem::create_directory(dir.path("folder.fq"));
    expect_run(run_morvane({"count", "missing.fq"}, "", dir.path()), 1, "", "Could not read from file missing.fq\n");
    expect_run(run_morvane({"count", "-f", "-q", "missing.fq"}, "", dir.path()), 1, "",
               "Could not read from file missing.fq\n");
    expect_run(run_morvane({"count", "folder.fq"}, "", dir.path()), 1, "", "Could not read from file folder.fq\n");
    expect_run(run_morvane({"count", "missing"}, "", dir.path()), 1, "", "Could not read from file missing\n");
}

TEST(Count, EmptyInput) {
    expect_run(run_morvane({"count", "-f"}, ""), 0, header(0, 0, 0), no_reads("stdin"));
    expect_run(run_morvane({"count", "-q"}, ""), 0, header(0, 0, 0), no_reads("stdin"));
    scratch_dir dir;
    dir.write("empty.fq", "");
    expect_run(run_morvane({"count", "empty.fq"}, "", dir.path()), 0, header(0, 0, 0), no_reads("empty.fq"));
    // A layout finds no read in an empty input: only the empty input is named.
    expect_run(run_morvane({"count", "-p", "AC[2]", "empty.fq"}, "", dir.path()), 0,
               header(0, 0, 0).insert(header(0, 0, 0).size() - 12, "#layout: AC[2]\n#reads without layout: 0\n"),
               no_reads("empty.fq"));
}

TEST(Count, DefaultQualitiesMaskEverySangerBase) {
    expect_run(run_morvane({"count", "-f"}, record("ACGTAC", "IIIIII")), 0, header(1, 1, 6) + "NNNNNN\t1\n", "");
    expect_run(run_morvane({"count", "-f", "-c"}, record("ACGTAC", "IIIIII")), 0, header(1, 0, 6), "");
}

TEST(Count, EqualCountsInByteOrder) {
    std::string reads = record("TT", "II") + record("A", "I") + record("CA", "II") + record("AC", "II") +
                        record("CA", "II") + record("", "") + record("N.", "II");
    expect_run(run_morvane({"count", "-m", "S", "-f"}, reads), 0,
               header(7, 6, 0, "0:0", 0, sanger) + "CA\t2\n\t1\nA\t1\nAC\t1\nNN\t1\nTT\t1\n", "");
}

TEST(Count, CarriageReturnsStayPartOfTheLine) {
    std::string reads = "@r\r\nACGT\r\n+\r\nIIII\r\n";
    expect_run(run_morvane({"count", "-m", "S", "-f"}, reads), 0, header(1, 1, 1, "0:0", 0, sanger) + "ACGTN\t1\n", below_range(1));
}

TEST(Count, SevenLineFastqCountsOneRecord) {
    std::string reads = record("ACGT", "IIII") + "@s\nGGGG\n+\n";
    expect_run(run_morvane({"count", "-m", "S", "-f"}, reads), 0, header(1, 1, 0, "0:0", 0, sanger) + "ACGT\t1\n",
               "Warning: stdin ends inside record 2 (3 of its 4 lines); that record is not counted\n");
}

TEST(Count, FastqCutShortNamesTheFileAndTheRecord) {
    scratch_dir dir;
    const std::string two = record("ACGT", "IIII") + record("GGGG", "IIII");
    const std::string table = header(1, 1, 0, "0:0", 0, sanger) + "ACGT\t1\n";
    auto cut_after = [](int lines) {
        return "Warning: cut.fq ends inside record 2 (" + std::to_string(lines) +
               " of its 4 lines); that record is not counted\n";
    };
    // Cut after the title, the sequence and the separator line.
    size_t title = two.find("@r", 1);
    for (int lines = 1; lines <= 3; ++lines) {
        size_t end = title;
        for (int k = 0; k < lines; ++k) end = two.find('\n', end) + 1;
        dir.write("cut.fq", two.substr(0, end));
        expect_run(run_morvane({"count", "-m", "S", "cut.fq"}, "", dir.path()), 0, table, cut_after(lines));
        // Without the last line feed the line is still a line.
        dir.write("cut.fq", two.substr(0, end - 1));
        expect_run(run_morvane({"count", "-m", "S", "cut.fq"}, "", dir.path()), 0, table, cut_after(lines));
    }
    // Cut inside the quality line: the lengths differ, and the message says where.
    dir.write("cut.fq", two.substr(0, two.size() - 3));
    expect_run(run_morvane({"count", "-m", "S", "cut.fq"}, "", dir.path()), 3, "", mismatch("cut.fq", "record 2"));
    // Blank lines after the last record lose nothing and say nothing.
    dir.write("blank.fq", two + "\n\n");
    expect_run(run_morvane({"count", "-m", "S", "blank.fq"}, "", dir.path()), 0,
               header(2, 2, 0, "0:0", 0, sanger) + "ACGT\t1\nGGGG\t1\n", "");
    // The same in a gzipped file.
    dir.write("cut.fq", two.substr(0, title + 3));
    ASSERT_EQ(run_shell("gzip cut.fq", "", dir.path()).status, 0);
    expect_run(run_morvane({"count", "-m", "S", "cut.fq.gz"}, "", dir.path()), 0, table,
               "Warning: cut.fq.gz ends inside record 2 (1 of its 4 lines); that record is not counted\n");
}

TEST(Count, LengthMismatchEndsWithStatusThreeAndNoTable) {
    scratch_dir dir;
    std::string reads = record("ACGT", "IIII") + record("ACGT", "III");
    expect_run(run_morvane({"count", "-m", "S", "-f", "-o", "out.txt"}, reads, dir.path()), 3, "",
               mismatch("stdin", "record 2"));
    EXPECT_TRUE(dir.exists("out.txt"));
    EXPECT_EQ(dir.read("out.txt"), "");
    // qseq reads are counted by line, skipped lines included.
    const std::string qseq = "M\t1\t1\t1\t1\t1\t0\t1\tACGT\tIIII\t1\nshort line\nM\t1\t1\t1\t1\t1\t0\t1\tACGT\tII\t1\n";
    dir.write("reads.txt", qseq);
    expect_run(run_morvane({"count", "reads.txt"}, "", dir.path()), 3, "",
               "Warning: a qseq line is not in expected format; skipped\n" + mismatch("reads.txt", "line 3"));
}

TEST(Count, LongReadsStayWhole) {
    std::string long_read(70000, 'G');
    long_read[1500] = 'A';  // past the old 1,023-character line buffer
    std::string reads = record(long_read, std::string(70000, 'I')) + record("ACGT", "IIII") + record(long_read, std::string(70000, 'I'));
    expect_run(run_morvane({"count", "-m", "S", "-f"}, reads), 0,
               header(3, 2, 0, "0:0", 0, sanger) + long_read + "\t2\nACGT\t1\n", "");
}

TEST(Count, QseqReads) {
    auto line = [](const std::string& seq, const std::string& qual, const std::string& rest) {
        return "M1\t7\t1\t1\t100\t200\t0\t1\t" + seq + "\t" + qual + rest + "\n";
    };
    std::string reads = line("ACGT", "hhhh", "\t1") + line("AC.T", "hBhh", "") + line("ACGT", "hhhh", "\t0\tmore");
    expect_run(run_morvane({"count", "-q"}, reads), 0, header(3, 2, 1) + "ACGT\t2\nANNT\t1\n", "");
    expect_run(run_morvane({"count", "-q"}, "too\tfew\ttabs\n" + line("ACGT", "hhhh", "\t1")), 0,
               header(1, 1, 0) + "ACGT\t1\n", "Warning: a qseq line is not in expected format; skipped\n");
}

// ---------------------------------------------------------------------------
// gzip

TEST(Count, GzippedInputByNameAndOnStandardInput) {
    scratch_dir dir;
    dir.write("reads.fastq", three_reads);
    ASSERT_EQ(run_shell("gzip -c reads.fastq > reads.fastq.gz && gzip -c reads.fastq > reads.fq.gz && "
                        "cp reads.fq.gz plain-name.fq",
                        "", dir.path())
                  .status,
              0);
    auto in = [&](std::vector<std::string> args) { return run_morvane(args, "", dir.path()); };
    expect_run(in({"count", "-m", "S", "reads.fastq.gz"}), 0, three_reads_table, "");
    expect_run(in({"count", "-m", "S", "reads.fq.gz"}), 0, three_reads_table, "");
    expect_run(in({"count", "-m", "S", "plain-name.fq"}), 0, three_reads_table, "");  // the content decides
    expect_run(run_shell("morvane count -m S -f < reads.fq.gz", "", dir.path()), 0, three_reads_table, "");
    // Two members and zero padding.
    ASSERT_EQ(run_shell("cat reads.fq.gz reads.fq.gz > two.fq.gz && head -c 512 /dev/zero >> two.fq.gz", "", dir.path())
                  .status,
              0);
    expect_run(in({"count", "-m", "S", "two.fq.gz"}), 0,
               header(6, 2, 0, "0:0", 0, sanger) + "ACGTAC\t4\nGGTT\t2\n", "");
}

TEST(Count, QseqGzipByName) {
    scratch_dir dir;
    dir.write("reads.txt", "M1\t7\t1\t1\t100\t200\t0\t1\tACGT\thhhh\t1\n");
    ASSERT_EQ(run_shell("gzip reads.txt", "", dir.path()).status, 0);
    expect_run(run_morvane({"count", "reads.txt.gz"}, "", dir.path()), 0, header(1, 1, 0) + "ACGT\t1\n", "");
}

TEST(Count, CorruptOrTruncatedGzip) {
    scratch_dir dir;
    std::string many;
    for (int i = 0; i < 3000; ++i) many += record("ACGTACGT" + std::to_string(i), std::string(8 + std::to_string(i).size(), 'I'));
    dir.write("reads.fq", many);
    ASSERT_EQ(run_shell("gzip -c reads.fq > full.fq.gz && head -c 2000 full.fq.gz > cut.fq.gz && "
                        "cp full.fq.gz junk.fq.gz && printf 'junk' >> junk.fq.gz",
                        "", dir.path())
                  .status,
              0);
    expect_run(run_morvane({"count", "-o", "out.txt", "cut.fq.gz"}, "", dir.path()), 2, "",
               "Could not decompress cut.fq.gz\n");
    EXPECT_EQ(dir.read("out.txt"), "");
    expect_run(run_morvane({"count", "junk.fq.gz"}, "", dir.path()), 2, "", "Could not decompress junk.fq.gz\n");
    expect_run(run_shell("morvane count -f < cut.fq.gz", "", dir.path()), 2, "", "Could not decompress stdin\n");
}

TEST(Count, MismatchInADamagedStreamIsTheStreamsFault) {
    scratch_dir dir;
    std::string reads = record("ACGT", "III");
    for (int i = 0; i < 3000; ++i) reads += record("ACGTACGT" + std::to_string(i), std::string(8 + std::to_string(i).size(), 'I'));
    dir.write("reads.fq", reads);
    ASSERT_EQ(run_shell("gzip -c reads.fq > whole.fq.gz && head -c 3000 whole.fq.gz > cut.fq.gz", "", dir.path()).status, 0);
    // The damage may have made the mismatch: the stream's fault is reported.
    expect_run(run_morvane({"count", "cut.fq.gz"}, "", dir.path()), 2, "", "Could not decompress cut.fq.gz\n");
    expect_run(run_shell("morvane count -f < cut.fq.gz", "", dir.path()), 2, "", "Could not decompress stdin\n");
    // In a sound stream the mismatch is the reads' own.
    expect_run(run_morvane({"count", "whole.fq.gz"}, "", dir.path()), 3, "", mismatch("whole.fq.gz", "record 1"));
}

// ---------------------------------------------------------------------------
// Output

TEST(Count, OutputFileGetsTheSameTable) {
    scratch_dir dir;
    dir.write("a.fq", three_reads);
    expect_run(run_morvane({"count", "-m", "S", "-o", "out.txt", "a.fq"}, "", dir.path()), 0, three_reads_table, "");
    EXPECT_EQ(dir.read("out.txt"), three_reads_table);
}

TEST(Count, OutputFileIsEmptiedAtOnceEvenIfTheRunFails) {
    scratch_dir dir;
    dir.write("out.txt", "old content\n");
    expect_run(run_morvane({"count", "-o", "out.txt", "missing.fq"}, "", dir.path()), 1, "",
               "Could not read from file missing.fq\n");
    EXPECT_TRUE(dir.exists("out.txt"));
    EXPECT_EQ(dir.read("out.txt"), "");
}

TEST(Count, OutputFileThatCannotBeOpened) {
    scratch_dir dir;
    expect_run(run_morvane({"count", "-f", "-o", "no/such/dir/out.txt"}, three_reads, dir.path()), 1, "",
               "Could not access no/such/dir/out.txt for writing\n");
}

TEST(Count, WriteErrorsEndWithStatusOne) {
    expect_run(run_morvane({"count", "-f", "-o", "/dev/full"}, three_reads), 1, "", "Could not write to /dev/full\n");
    expect_run(run_shell("morvane count -f > /dev/full", three_reads), 1, "", "Could not write to stdout\n");
}

TEST(Count, ClosedPipeEndsQuietly) {
    std::string reads;
    for (int i = 0; i < 20000; ++i) reads += record("ACGTACGTACGT" + std::to_string(i), std::string(12 + std::to_string(i).size(), 'I'));
    run_result r = run_shell("morvane count -m S -f | head -n 2; echo \"status ${PIPESTATUS[0]}\" >&2", reads);
    EXPECT_EQ(r.out, "#trim: 0:0\n#truncate: 0\n");
    EXPECT_EQ(r.err, "status 141\n");  // SIGPIPE, no message
}

// ---------------------------------------------------------------------------
// Read layouts and strands

std::string layout_lines(const std::string& layout, int without, int reverse = -1) {
    std::string lines = "#layout: " + layout + "\n#reads without layout: " + std::to_string(without) + "\n";
    if (reverse >= 0) lines += "#reverse strand reads: " + std::to_string(reverse) + "\n";
    return lines;
}

// The header with the layout lines between the filtered bases and the column names.
std::string layout_header(int total, int unique, int filtered, const std::string& lines, const std::string& trim = "0:0",
                          int truncate = 0, const std::string& quality = sanger) {
    std::string h = header(total, unique, filtered, trim, truncate, quality);
    return h.insert(h.size() - std::string("#read\tcount\n").size(), lines);
}

const std::string guide = "AAAACCCCGGGGTTTTACGT";
const std::string high = std::string(40, 'I');

TEST(CountLayout, HeaderLinesAndBothStrands) {
    std::string forward = "CACCG" + guide;
    std::string reads = record("TT" + forward + "GG", high.substr(0, 29)) + record(forward, high.substr(0, 25)) +
                        record("GATTACA", "IIIIIII") + record(reverse_complement(forward), high.substr(0, 25));
    const std::string layout = "CACCG[20]";
    expect_run(run_morvane({"count", "-m", "S", "-f", "-p", layout}, reads), 0,
               layout_header(4, 1, 0, layout_lines(layout, 2)) + guide + "\t2\n", "");
    expect_run(run_morvane({"count", "-m", "S", "-f", "-p", layout, "-b"}, reads), 0,
               layout_header(4, 1, 0, layout_lines(layout, 1, 1)) + guide + "\t3\n", "");
    // -r turns every read first: the fourth is found as it is, the first two
    // only on the other strand.
    expect_run(run_morvane({"count", "-m", "S", "-f", "-r", "-p", layout}, reads), 0,
               layout_header(4, 1, 0, layout_lines(layout, 3)) + guide + "\t1\n", without_layout(3, 4, "75.0"));
    expect_run(run_morvane({"count", "-m", "S", "-f", "-r", "-b", "-p", layout}, reads), 0,
               layout_header(4, 1, 0, layout_lines(layout, 1, 2)) + guide + "\t3\n", "");
    // Without -p, -r counts whole reverse complements and adds no header line.
    expect_run(run_morvane({"count", "-m", "S", "-f", "-r"}, record("AACGTN", "IIIIII")), 0,
               header(1, 1, 0, "0:0", 0, sanger) + "NACGTT\t1\n", "");
    // The trims apply to the turned read: its first letter is the read's last.
    expect_run(run_morvane({"count", "-m", "S", "-f", "-r", "-i", "1:0", "-u", "3"}, record("AACGTN", "IIII#I")), 0,
               header(1, 1, 1, "1:0", 3, sanger) + "NCG\t1\n", "");
    // The same from qseq lines.
    std::string qseq = "M\t1\t1\t1\t1\t1\t0\t1\tGG" + forward + "\tII" + high.substr(0, 25) + "\t1\n";
    expect_run(run_morvane({"count", "-m", "S", "-q", "-p", layout}, qseq), 0,
               layout_header(1, 1, 0, layout_lines(layout, 0)) + guide + "\t1\n", "");
}

TEST(CountLayout, OnlyTheBarcodeLettersAreMaskedWithTheirOwnQualities) {
    std::string read = "GG" "CACCG" + guide + "GG";
    std::string outside_low = "##" + high.substr(0, 25) + "##";  // low only outside the barcode
    std::string inside_low = outside_low;
    inside_low[2 + 5 + 3] = '#';  // the barcode's fourth letter
    std::string reads = record(read, outside_low) + record(read, inside_low) +
                        record(reverse_complement(read), std::string(inside_low.rbegin(), inside_low.rend()));
    std::string masked = guide;
    masked[3] = 'N';
    const std::string layout = "CACCG[20]";
    expect_run(run_morvane({"count", "-m", "S", "-f", "-b", "-p", layout}, reads), 0,
               layout_header(3, 2, 2, layout_lines(layout, 0, 1)) + masked + "\t2\n" + guide + "\t1\n", "");
    expect_run(run_morvane({"count", "-m", "S", "-f", "-b", "-c", "-p", layout}, reads), 0,
               layout_header(3, 1, 2, layout_lines(layout, 0, 1)) + guide + "\t1\n", "");
}

TEST(CountLayout, TrimsAndTruncationComeFirst) {
    std::string reads = record("TTAAAGGCC", "IIIIIIIII");
    expect_run(run_morvane({"count", "-m", "S", "-f", "-i", "2:0", "-p", "[3]GG"}, reads), 0,
               layout_header(1, 1, 0, layout_lines("[3]GG", 0), "2:0") + "AAA\t1\n", "");
    expect_run(run_morvane({"count", "-m", "S", "-f", "-u", "4", "-p", "[3]GG"}, record("AAAGGCC", "IIIIIII")), 0,
               layout_header(1, 0, 0, layout_lines("[3]GG", 1), "0:0", 4), without_layout(1, 1, "100.0"));
    // With -b the other strand was searched: the hint is the substitutions alone.
    expect_run(run_morvane({"count", "-m", "S", "-f", "-u", "4", "-b", "-p", "[3]GG"}, record("AAAGGCC", "IIIIIII")), 0,
               layout_header(1, 0, 0, layout_lines("[3]GG", 1, 0), "0:0", 4), without_layout(1, 1, "100.0", true));
}

TEST(CountLayout, LayoutsThatCannotWorkAreRefusedBeforeTheInput) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-p", "CACCG"}, "Invalid layout 'CACCG': no barcode slot [n]\n"},
        {{"-p", "[4]{1-2}[3-5]AC"}, "Invalid layout '[4]{1-2}[3-5]AC': two variable-length elements in a row\n"},
        {{"-p", "[0]"}, "Invalid layout '[0]': an empty barcode slot\n"},
        {{"-p", "ACGU[3]"}, "Invalid layout 'ACGU[3]': the character 'U' at position 4\n"},
        {{"-p", "[5-2]"}, "Invalid layout '[5-2]': a range from 5 down to 2\n"},
        {{"-p", "ACGT(0)[20]"}, "Invalid layout 'ACGT(0)[20]': an empty UMI slot\n"},
        {{"-b"}, "-b needs a layout (-p)\n"},
        {{"-e", "2"}, "-e needs a layout (-p)\n"},
    };
    for (const auto& [options, message] : cases) {
        std::vector<std::string> args{"count"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("no-such-file.fq");  // never opened
        expect_run(run_morvane(args), 1, "", message + usage);
    }
    expect_run(run_morvane({"count", "-e", "-1", "-p", "A[2]"}), 1, "", "Invalid number of mismatches: -1\n");
}

TEST(CountLayout, MismatchesPerConstant) {
    // 18-letter constant: one substitution by default, none with -e 0.
    const std::string up = "GTCGACCTGCAGCGTACG";
    std::string damaged = up;
    damaged[5] = 'A';
    std::string reads = record(damaged + guide, high.substr(0, 38)) + record("T" + up + guide, high.substr(0, 39));
    const std::string layout = up + "[20]";
    expect_run(run_morvane({"count", "-m", "S", "-f", "-p", layout}, reads), 0,
               layout_header(2, 1, 0, layout_lines(layout, 0)) + guide + "\t2\n", "");
    expect_run(run_morvane({"count", "-m", "S", "-f", "-e", "0", "-p", layout}, reads), 0,
               layout_header(2, 1, 0, layout_lines(layout, 1)) + guide + "\t1\n", "");
}

TEST(CountLayout, RecoversEveryStaggeredReadOfTheGenerator) {
    // Staggered reads from both strands, with substitutions and junk: every
    // read whose constants stay within their allowance is counted under its
    // barcode, and nothing else (the generator writes the table to expect).
    scratch_dir dir;
    for (const char* seed : {"3", "4"}) {
        run_result made = run_shell(std::string(STAGGERED_READS_EXE) + " -n 20000 -b 300 -e 0.04 -s " + seed +
                                        " -t truth.txt > reads.fq",
                                    "", dir.path());
        ASSERT_EQ(made.status, 0) << made.err;
        run_result r = run_morvane({"count", "-m", "S", "-b", "-p", "GTCGACCTGCAGCGTACG[20]CGCTCGAGGG", "reads.fq"}, "",
                                   dir.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(r.out == dir.read("truth.txt")) << "the count table differs from the generator's truth, seed " << seed;
    }
}

// ---------------------------------------------------------------------------
// Molecules (UMI slots)

// Reads "CACCG" + barcode + UMI, all letters of high quality unless qual is given.
std::string umi_reads(const std::vector<std::tuple<std::string, std::string, int>>& groups) {
    std::string reads;
    for (const auto& [barcode, umi, times] : groups)
        for (int i = 0; i < times; ++i) reads += record("CACCG" + barcode + umi, std::string(5 + barcode.size() + umi.size(), 'I'));
    return reads;
}

std::string umi_header(int total, int unique, int filtered, int without, int with_n, int molecules,
                       const std::string& layout) {
    return "#trim: 0:0\n#truncate: 0\n#quality " + sanger + "\n#total reads: " + std::to_string(total) +
           "\n#unique reads: " + std::to_string(unique) + "\n#filtered bases: " + std::to_string(filtered) +
           "\n#layout: " + layout + "\n#reads without layout: " + std::to_string(without) +
           "\n#umi reads with N: " + std::to_string(with_n) + "\n#molecules: " + std::to_string(molecules) +
           "\n#read\tcount\treads\n";
}

TEST(CountMolecules, DirectionalGroupsAndTheTableOrder) {
    // GATTAC: ACGT absorbs ACGA (5 >= 2 * 2 - 1); TTTA and TTTT absorb each
    // other (1 >= 1): 2 molecules of 9 reads. CCGGAA: GGGG and GGCG (3 < 5)
    // stay apart: 2 of 6. TTAACC: 1 of 4. ACGTTT's only read has a UMI
    // letter of low quality: not a molecule, so not in the table.
    std::string reads = umi_reads({{"GATTAC", "ACGT", 5}, {"GATTAC", "ACGA", 2}, {"GATTAC", "TTTA", 1},
                                   {"GATTAC", "TTTT", 1}, {"CCGGAA", "GGGG", 3}, {"CCGGAA", "GGCG", 3},
                                   {"TTAACC", "AAAA", 4}});
    reads += record("CACCGACGTTTAAAA", "IIIIIIIIIIIII#I");
    const std::string layout = "CACCG[6](4)";
    expect_run(run_morvane({"count", "-m", "S", "-f", "-p", layout}, reads), 0,
               umi_header(20, 3, 1, 0, 1, 5, layout) + "GATTAC\t2\t9\nCCGGAA\t2\t6\nTTAACC\t1\t4\n", "");
}

TEST(CountMolecules, SeveralSlotsMaskingAndClean) {
    // The UMI is both slots joined: AC + GT and AC + GA are one letter apart.
    const std::string layout = "CACCG[4](2)TT(2)";
    std::string reads = record("CACCGAAAAACTTGT", "IIIIIIIIIIIIIII") + record("CACCGAAAAACTTGT", "IIIIIIIIIIIIIII") +
                        record("CACCGAAAAACTTGT", "IIIIIIIIIIIIIII") + record("CACCGAAAAACTTGA", "IIIIIIIIIIIIIII") +
                        // a masked barcode letter: counted, but left out with -c
                        record("CACCGCCCCACTTGT", "IIIIII#IIIIIIII") +
                        // the spacer between the slots is a constant like any other
                        record("CACCGAAAAACAAGT", "IIIIIIIIIIIIIII");
    expect_run(run_morvane({"count", "-m", "S", "-f", "-p", layout}, reads), 0,
               umi_header(6, 2, 1, 1, 0, 2, layout) + "AAAA\t1\t4\nCNCC\t1\t1\n", "");
    expect_run(run_morvane({"count", "-m", "S", "-f", "-c", "-p", layout}, reads), 0,
               umi_header(6, 1, 1, 1, 0, 1, layout) + "AAAA\t1\t4\n", "");
}

TEST(CountMolecules, MoleculesFlowThroughThePipeline) {
    // 18-letter barcodes: 3 molecules of yfg1 in 7 reads, 2 of yfg2 in 6.
    std::string reads;
    auto add = [&](const std::string& barcode, const std::string& umi, int times) {
        for (int i = 0; i < times; ++i) reads += record("CACCG" + barcode + umi, std::string(5 + 18 + 6, 'I'));
    };
    add("AAAACCCCGGGGTTTTAC", "AAAAAA", 3);
    add("AAAACCCCGGGGTTTTAC", "CCCCCC", 2);
    add("AAAACCCCGGGGTTTTAC", "GGGGGG", 2);
    add("CATGCATGCATGCATGCA", "TTTTTT", 4);
    add("CATGCATGCATGCATGCA", "ACACAC", 2);
    scratch_dir dir;
    dir.write("reads.fq", reads);
    dir.write("barcodes.tsv", "yfg1\tAAAACCCCGGGGTTTTACGT\nyfg2\tCATGCATGCATGCATGCATG\n");
    run_result r = run_shell("morvane count -m S -p 'CACCG[18](6)' reads.fq | morvane cluster 2>/dev/null"
                             " | morvane map barcodes.tsv 2>/dev/null | morvane tabulate barcodes.tsv 2>/dev/null",
                             "", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "#bcid\tbarcode\ttotal\tmm0\tmm1\tmm2\talign\n"
              "yfg1\tAAAACCCCGGGGTTTTACGT\t3\t3\t0\t0\t0\n"
              "yfg2\tCATGCATGCATGCATGCATG\t2\t2\t0\t0\t0\n");
}

// ---------------------------------------------------------------------------
// Quality values below the encoding's range

TEST(CountQualityRange, WarnedOnceBeforeTheTable) {
    // +, #, : and 5 are Phred+33 scores; at offset 64 they lie below 0.
    std::string reads = record("ACGT", "+#:5") + record("ACGT", "+#:5");
    expect_run(run_morvane({"count", "-f"}, reads), 0, header(2, 1, 8) + "NNNN\t2\n", below_range(8));
    // Illumina 1.5's B (score 2) is low but within the range.
    expect_run(run_morvane({"count", "-f", "-m", "J"}, record("ACGT", "BBBh")), 0,
               header(1, 1, 3, "0:0", 0, "lo: 3\thi: 40\tadj: 64\tcutoff: 10") + "NNNT\t1\n", "");
    // Solexa goes down to -5.
    expect_run(run_morvane({"count", "-f", "-m", "X"}, record("ACGT", ";:hh")), 0,
               header(1, 1, 2, "0:0", 0, "lo: -5\thi: 40\tadj: 64\tcutoff: 10") + "NNGT\t1\n", below_range(1));
    // With a layout only the barcode letters reach the filter.
    expect_run(run_morvane({"count", "-f", "-p", "AC[2]"}, record("ACGT", "##hh")), 0,
               layout_header(1, 1, 0, layout_lines("AC[2]", 0), "0:0", 0, "lo: 0\thi: 40\tadj: 64\tcutoff: 10") +
                   "GT\t1\n",
               "");
    // A run that fails says nothing about the qualities.
    expect_run(run_morvane({"count", "-f"}, record("ACGT", "####") + record("ACGT", "###")), 3, "",
               mismatch("stdin", "record 2"));
}

}  // namespace

// -l: every key of one length; a barcode cut shorter by the read's end
// counts as a read without the layout.
TEST(CountKeyLength, GivenOrTakenFromTheReads) {
    auto reads_of = [](const std::vector<std::pair<std::string, int>>& kinds) {
        std::string reads;
        for (const auto& [seq, times] : kinds)
            for (int i = 0; i < times; ++i) reads += record(seq, std::string(seq.size(), 'I'));
        return reads;
    };
    const std::string layout = "TTAC[2-8]";
    // Barcode letters: 6, 5 (on the other strand), 3, and a read with one.
    std::string reads = reads_of({{"TTACGGGGTA", 1}, {reverse_complement("TTACGGGGT"), 1}, {"TTACGGG", 1}, {"TTACG", 1}});
    expect_run(run_morvane({"count", "-m", "S", "-f", "-b", "-l", "4", "-p", layout}, reads), 0,
               layout_header(4, 1, 0, layout_lines(layout, 2, 1) + "#key length: 4\n") + "GGGG\t2\n", "");
    // auto: the length at a twentieth of the way up, here the shortest.
    expect_run(run_morvane({"count", "-m", "S", "-f", "-b", "-l", "auto", "-p", layout}, reads), 0,
               layout_header(4, 1, 0, layout_lines(layout, 1, 1) + "#key length: 3\n") + "GGG\t3\n", "");
    // Of 40, the two shortest are below it and left out.
    reads = reads_of({{"TTACGGGGTA", 38}, {"TTACGGG", 2}});
    expect_run(run_morvane({"count", "-m", "S", "-f", "-l", "auto", "-p", layout}, reads), 0,
               layout_header(40, 1, 0, layout_lines(layout, 2) + "#key length: 6\n") + "GGGGTA\t38\n", "");
    // A fixed slot keeps its length.
    expect_run(run_morvane({"count", "-m", "S", "-f", "-l", "auto", "-p", "TTAC[3]"}, reads), 0,
               layout_header(40, 1, 0, layout_lines("TTAC[3]", 0) + "#key length: 3\n") + "GGG\t40\n", "");
}

TEST(CountKeyLength, ReadsAfterTheProbeCountLikeThoseInIt) {
    // More reads than the probe holds: the first ones are held back while
    // the length is found, then counted like every read after them.
    std::string reads;
    const int total = 10000 * 2 + 7;
    for (int i = 0; i < total; ++i) {
        std::string seq = i % 3 == 0 ? "TTACGGGGTA" : i % 3 == 1 ? "TTACCCCCCAG" : "TTACA";
        if (i % 5 == 0) seq = reverse_complement(seq);
        reads += record(seq, std::string(seq.size(), 'I'));
    }
    run_result r = run_morvane({"count", "-m", "S", "-f", "-b", "-l", "auto", "-p", "TTAC[2-8]"}, reads);
    ASSERT_EQ(r.status, 0) << r.err;
    const int gs = (total + 2) / 3, cs = (total + 1) / 3, short_ones = total / 3;
    EXPECT_NE(r.out.find("#key length: 6\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("#reads without layout: " + std::to_string(short_ones) + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nCCCCCA\t" + std::to_string(cs) + "\nGGGGTA\t" + std::to_string(gs) + "\n"),
              std::string::npos) << r.out;
}

TEST(CountKeyLength, RefusedValues) {
    const std::string reads = record("TTACGGG", "IIIIIII");
    run_result r = run_morvane({"count", "-m", "S", "-f", "-l", "4"}, reads);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "-l needs a layout (-p)\n");
    for (const char* value : {"0", "-3", "x"}) {
        r = run_morvane({"count", "-m", "S", "-f", "-p", "TTAC[3]", "-l", value}, reads);
        EXPECT_EQ(r.status, 1) << value;
        EXPECT_EQ(r.err, std::string("Invalid key length: ") + value + "\n");
        EXPECT_EQ(r.out, "");
    }
}
