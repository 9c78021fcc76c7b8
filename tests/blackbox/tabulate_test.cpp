#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::string usage = "Usage: tabulate [-c align_cutoff] [-o output_file] [-f fate_file] [-l|-b] [-u umi_table -k cluster_file] [map_file] barcode_file\n";
const std::string help =
    usage +
    "Matches the mapped clusters to the barcodes of interest\n"
    "map_file specifies the mapped clusters; if unspecified, will read from stdin\n"
    "barcode_file specifies the barcodes of interest\n\n"
    "  -c N\tAlign score needs to be at least N to match a barcode, default is 70\n"
    "  -o FILE\tadditionally outputs results to FILE\n"
    "  -f FILE\twrites to FILE the clusters and their totals per match kind, alignments below the cutoff apart\n"
    "  -l\tonly writes the number of barcodes of each length in barcode_file (no map_file is read)\n"
    "  -b\tonly writes the barcodes of barcode_file in its order, each at the line that names it (no map_file is read)\n"
    "  -u FILE\twith -k: counts molecules per barcode from FILE, the UMI table of count -k\n"
    "  -k FILE\twith -u: the cluster file from which the map file was made\n";
const std::string progress = "Building barcodes...\nAssigning entries...\n";
const std::string header = "#bcid\tbarcode\ttotal\tmm0\tmm1\tmm2\talign\n";

const std::string barcodes =
    "# strain\tbarcode\n"
    "b2\tACGTACGTAC\n"
    "B10\tCCCCGGGGAA\n"
    "B2\tTTTTAAAACC\n"
    "idle\tGGGGGGGGGG\n";

// The summary and header that map writes, then one line per cluster.
const std::string map_file =
    "#contains: 2\n#\tmm0s: 1\n#\tmm1s: 1\n#\tmm2s: 0\n#aligns: 1\n#misses: 1\n"
    "#core seq\tcount\tscore\tmm0\tmm1n\tmm1\tmm2n\tmm2\tmatch\tid\tseq\t[score:alignment:mis:ins:del]...\n"
    "ACGTACGTAC\t40\t2:0\t30\t2\t10\t0\t0\tmm0\tb2\tACGTACGTAC\n"
    "CCCCGGGGAT\t12\t0:0\t12\t0\t0\t0\t0\tmm1\tB10\tCCCCGGGGAA\n"
    "TTTTAAAAGG\t5\t0:0\t5\t0\t0\t0\t0\talign\tMULTIPLE:B2;B10\tTTTTAAAACC;CCCCGGGGAA\t"
    "85:TTTTAAAAGG:2:0:0;60:TTTTAAAAGG:6:0:0\n"
    "TTTTTTTTTT\t3\t0:0\t3\t0\t0\t0\t0\tnone\n";

const std::string report = header +
                           "B10\tCCCCGGGGAA\t12\t0\t12\t0\t0\n"
                           "B2\tTTTTAAAACC\t5\t0\t0\t0\t5\t85:TTTTAAAAGG:2:0:0\n"
                           "b2\tACGTACGTAC\t40\t40\t0\t0\t0\n"
                           "idle\tGGGGGGGGGG\t0\t0\t0\t0\t0\n";

class Tabulate : public testing::Test {
protected:
    void SetUp() override {
        dir.write("b.txt", barcodes);
        dir.write("m.txt", map_file);
    }
    run_result run(const std::vector<std::string>& args, const std::string& input = "") {
        return run_morvane(args, input, dir.path());
    }
    scratch_dir dir;
};

TEST_F(Tabulate, ReportFromMapFileOrStandardInput) {
    run_result r = run({"tabulate", "m.txt", "b.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, report);
    EXPECT_EQ(r.err, progress);

    r = run({"tabulate", "b.txt"}, map_file);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, report);
}

TEST_F(Tabulate, CutoffOption) {
    run_result r = run({"tabulate", "-c", "60", "m.txt", "b.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header +
                         "B10\tCCCCGGGGAA\t17\t0\t12\t0\t5\t60:TTTTAAAAGG:6:0:0\n"
                         "B2\tTTTTAAAACC\t5\t0\t0\t0\t5\t85:TTTTAAAAGG:2:0:0\n"
                         "b2\tACGTACGTAC\t40\t40\t0\t0\t0\n"
                         "idle\tGGGGGGGGGG\t0\t0\t0\t0\t0\n");
    r = run({"tabulate", "-c", "86", "m.txt", "b.txt"});
    EXPECT_EQ(r.out.find("85:"), std::string::npos);
    // No leading number reads as 0; a later -c wins.
    EXPECT_EQ(run({"tabulate", "-c", "abc", "m.txt", "b.txt"}).out, run({"tabulate", "-c", "0", "m.txt", "b.txt"}).out);
    EXPECT_EQ(run({"tabulate", "-c", "0", "-c", "70", "m.txt", "b.txt"}).out, report);
}

TEST_F(Tabulate, OutputFileReceivesTheSameReport) {
    dir.write("old.txt", "stale");
    run_result r = run({"tabulate", "-o", "old.txt", "-o", "out.txt", "m.txt", "b.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, report);
    EXPECT_EQ(dir.read("out.txt"), report);
    EXPECT_EQ(dir.read("old.txt"), "");  // emptied, left behind
}

TEST_F(Tabulate, WriteErrorOnOutputFileComesBeforeStandardOutput) {
    run_result r = run({"tabulate", "-o", "/dev/full", "m.txt", "b.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, progress + "Could not write to /dev/full\n");
}

TEST_F(Tabulate, BarcodeFileThroughAPipe) {
    run_result r = run_shell("morvane tabulate m.txt <(cat b.txt)", "", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, report);
    EXPECT_EQ(r.err, progress);
}

TEST_F(Tabulate, HelpAndUsage) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"tabulate", "?"}, {"tabulate", "--help", "-x"}, {"tabulate", "myhelpfile", "b.txt"}}) {
        run_result r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, help);
        EXPECT_EQ(r.err, "");
    }
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"tabulate"}, {"tabulate", "-c", "5"}, {"tabulate", "m.txt", "b.txt", "c"}}) {
        run_result r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, usage);
    }
}

TEST_F(Tabulate, RejectedOptions) {
    dir.write("keep.txt", "x");
    run_result r = run({"tabulate", "-o", "keep.txt", "-n", "5", "m.txt", "b.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tabulate: Unknown parameter (5)\n");
    EXPECT_EQ(dir.read("keep.txt"), "");

    r = run({"tabulate", "-x", "b.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tabulate: invalid option -- 'x'\ntabulate: Unknown parameter (-x)\n");

    r = run({"tabulate", "b.txt", "-c"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tabulate: option requires an argument -- 'c'\ntabulate: Unknown parameter (-c)\n");

    r = run({"tabulate", "-o", "no/such/dir/out.txt", "b.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not open no/such/dir/out.txt for writing");
}

TEST_F(Tabulate, InputsThatCannotBeRead) {
    // Both are opened first; the map file is judged first.
    run_result r = run({"tabulate", "missing.txt", "also-missing.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No map file supplied\n");
    r = run({"tabulate", ".", "b.txt"});
    EXPECT_EQ(r.err, "No map file supplied\n");

    for (std::string name : {"also-missing.txt", "."}) {
        r = run({"tabulate", "m.txt", name});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Could not open barcode file " + name + "\n");
    }
}

TEST_F(Tabulate, EmptyBarcodeFileGivesTheHeaderAlone) {
    dir.write("none.txt", "# nothing here\n");
    run_result r = run({"tabulate", "m.txt", "none.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header);
}

TEST_F(Tabulate, MalformedMapLineEndsTheRunWithoutReport) {
    dir.write("o.txt", "x");
    run_result r = run({"tabulate", "-o", "o.txt", "b.txt"}, map_file + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              progress +
                  "Error: a map entry is not in the valid format:\n"
                  "\tseq\ttotal\tscore\tmm0\tmm1n\tmm1\tmm2n\tmm2\tmatch type\tbarcode id\tbarcode seq\taligns\n");
    EXPECT_EQ(dir.read("o.txt"), "");
}

TEST_F(Tabulate, BarcodeFileWarningsAndRepeatedSequences) {
    dir.write("rep.txt", "id1\tACGTACGTAC\nno tab here\nid2\tCCCCGGGGAA\nid3\tACGTACGTAC");
    run_result r = run({"tabulate", "m.txt", "rep.txt"});
    EXPECT_EQ(r.status, 0);
    std::string malformed = "Warning: an entry is not in expected format (sequence\tdetails)\n";
    EXPECT_EQ(r.err, "Building barcodes...\n" + malformed + malformed +
                         "Warning: there are non-unique barcode_sequences in the barcode file\n"
                         "Assigning entries...\n");
    EXPECT_EQ(r.out, header +
                         "id2\tCCCCGGGGAA\t12\t0\t12\t0\t0\n"
                         "id3\tACGTACGTAC\t40\t40\t0\t0\t0\n");
}

TEST_F(Tabulate, LongAlignLineIsReadWhole) {
    // A tie among many barcodes makes a line far longer than any fixed buffer.
    std::string file, ids, sequences, items;
    for (int i = 0; i < 2000; ++i) {
        std::string number = std::to_string(100000 + i);
        std::string separator = i == 0 ? "" : ";";
        file += "bc" + number + "\tACGT" + number + "\n";
        ids += separator + "bc" + number;
        sequences += separator + "ACGT" + number;
        items += separator + "90:ACGTACGTAC:1:0:0";
    }
    dir.write("many.txt", file);
    std::string line =
        "ACGTACGTAC\t7\t0:0\t7\t0\t0\t0\t0\talign\tMULTIPLE:" + ids + "\t" + sequences + "\t" + items + "\n";
    run_result r = run({"tabulate", "many.txt"}, line + line);
    EXPECT_EQ(r.status, 0);
    // The digits in the sequences are no letters that reads have.
    EXPECT_EQ(r.err, "Building barcodes...\nWarning: barcode sequences with characters other than A, C, G, T and N "
                     "(lower case? a carriage return?): 2000; they match only clusters with the same characters\n"
                     "Assigning entries...\n");
    EXPECT_NE(r.out.find("bc101999\tACGT101999\t14\t0\t0\t0\t14\t90:ACGTACGTAC:1:0:0;90:ACGTACGTAC:1:0:0\n"),
              std::string::npos);
}

// -f: every cluster in one fate, its total beside it; the alignment of
// 85 and 60 counts at -c 70 and is weak at -c 90. The report is unchanged.
TEST_F(Tabulate, ReadFatesPerMatchKind) {
    for (const char* cutoff : {"70", "90"}) {
        run_result plain = run({"tabulate", "-c", cutoff, "m.txt", "b.txt"});
        run_result r = run({"tabulate", "-c", cutoff, "-f", "f.tsv", "m.txt", "b.txt"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, plain.out);
        EXPECT_EQ(r.err, plain.err);
        bool counted = std::string(cutoff) == "70";
        EXPECT_EQ(dir.read("f.tsv"), std::string("#kind\tclusters\ttotal\nmm0\t1\t40\nmm1\t1\t12\nmm2\t0\t0\n") +
                                         (counted ? "align\t1\t5\nweak_align\t0\t0\n" : "align\t0\t0\nweak_align\t1\t5\n") +
                                         "none\t1\t3\n");
    }
    dir.write("bad.txt", map_file + "ACGT\t1\t0:0\t1\t0\t0\t0\t0\tmm3\tx\tACGT\n");
    EXPECT_EQ(run({"tabulate", "bad.txt", "b.txt"}).status, 0);
    EXPECT_EQ(run({"tabulate", "-f", "f.tsv", "bad.txt", "b.txt"}).status, 1);
    EXPECT_EQ(run({"tabulate", "-f", "f.tsv", "-u", "u.txt", "-k", "k.txt", "m.txt", "b.txt"}).status, 1);
}

// -l: the barcodes of each length as tabulate reads the file: comments and
// lines without a tab left out, a repeated sequence one barcode.
TEST_F(Tabulate, BarcodeLengths) {
    dir.write("l.txt", "#c\tAAAA\nx\tACGTACGTAC\nnotab\ny\tACG\nz\tACGTACGTAC\nw\tTTTTTTTTTT\n");
    run_result r = run({"tabulate", "-l", "l.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "#length\tbarcodes\n3\t1\n10\t2\n");
    EXPECT_EQ(run({"tabulate", "-l", "m.txt", "l.txt"}).status, 1);
    // -b: the same barcodes in file order, the repeated one at its last line.
    dir.write("o.txt", "#c\tAAAA\nx\tACGTACGTAC\nnotab\ny\tACG\r\nz\tACGTACGTAC\n\tTTTT\n");
    r = run({"tabulate", "-b", "o.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "#bcid\tbarcode\ny\tACG\r\nz\tACGTACGTAC\n\tTTTT\n");
    EXPECT_EQ(run({"tabulate", "-l", "missing.txt"}).status, 1);
}

}  // namespace
