#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

const std::string usage = "Usage: tabulate [-c align_cutoff] [-o output_file] [-f fate_file] [-g guide_1_length [-r recombinant_file]] [-l|-b] [-u umi_table -k cluster_file] [map_file] barcode_file\n";
const std::string help =
    usage +
    "Matches the mapped clusters to the barcodes of interest\n"
    "map_file specifies the mapped clusters; if unspecified, will read from stdin\n"
    "barcode_file specifies the barcodes of interest\n\n"
    "  -c N\tAlign score needs to be at least N to match a barcode, default is 70\n"
    "  -o FILE\tadditionally outputs results to FILE\n"
    "  -f FILE\twrites to FILE the clusters and their totals per match kind, alignments below the cutoff apart\n"
    "  -g N\tthe barcodes are guide pairs, guide 1 being the first N letters: -f gains the row recombinant\n"
    "  -r FILE\twith -g: writes to FILE every recombination of guides seen, most reads first\n"
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

// -g: guide pairs of 8 + 8 letters. Only clusters that count for no barcode
// (none, and alignments below the cutoff) can be recombinants: a guide 1 and
// a guide 2 of the file, each whole and exact or one substitution from one
// guide alone, that the file does not pair.
TEST(TabulateGuidePairs, RecombinantsAmongTheClustersOfNoBarcode) {
    scratch_dir dir;
    dir.write("pairs.txt",
              "#pair\tguides\n"
              "p1\tAAAACCCCGGGGTTTT\n"
              "p2\tACGTACGTTGCATGCA\n"
              "p3\tCCCCCCCCAAAAAAAA\n"
              "p4\tCCCCCCCAGGGGTTTT\n"
              "short\tACGTACGT\n");
    struct cluster {
        const char* core;
        const char* match;  // the map line after the mismatch columns
        const char* fate;   // with -g
        const char* without;  // without -g
    };
    const std::vector<cluster> clusters = {
        {"AAAACCCCTGCATGCA", "none", "recombinant", "none"},                      // p1's guide 1, p2's guide 2
        {"AAAACCCCGGGGTTTT", "none", "none", "none"},                             // p1 itself
        {"AAAACCCATGCATGCA", "none", "recombinant", "none"},                      // 1 substitution in guide 1
        {"AAAACCCCTGCATCCA", "none", "recombinant", "none"},                      // 1 in guide 2
        {"AAAACCAATGCATGCA", "none", "none", "none"},                             // 2 in guide 1
        {"CCCCCCCGTGCATGCA", "none", "none", "none"},                             // 1 from two guide 1s
        {"CCCCCCCATGCATGCA", "align\tp2\tACGTACGTTGCATGCA\t40:x:8:0:0", "recombinant", "weak_align"},
        {"AAAACCCCGGGGTTTA", "none", "none", "none"},                             // p1 read with an error
        {"AAAACCCCTGCATGC", "none", "none", "none"},                              // guide 2 not whole
        {"AAAACCCCTGCATGCAA", "none", "none", "none"},
        {"ACGTACGT", "none", "none", "none"},                                     // guide 1 alone
        {"AAAACCCNTGCATGCA", "none", "recombinant", "none"},                      // an N is a substitution
        {"CCCCCCCCTGCATGCA", "align\tp2\tACGTACGTTGCATGCA\t75:x:8:0:0", "align", "align"},
        {"ACGTACGTTGCATGCA", "mm0\tp2\tACGTACGTTGCATGCA", "mm0", "mm0"},
    };
    std::string map_text = "#core seq\tcount\tscore\tmm0\tmm1n\tmm1\tmm2n\tmm2\tmatch\tid\tseq\n";
    std::map<std::string, std::pair<int, int>> with_g, without_g;
    for (size_t i = 0; i < clusters.size(); ++i) {
        int total = static_cast<int>(i) + 1;
        map_text += std::string(clusters[i].core) + "\t" + std::to_string(total) + "\t0:0\t" + std::to_string(total) +
                    "\t0\t0\t0\t0\t" + clusters[i].match + "\n";
        for (auto [fates, kind] : {std::pair{&with_g, clusters[i].fate}, std::pair{&without_g, clusters[i].without}}) {
            (*fates)[kind].first += 1;
            (*fates)[kind].second += total;
        }
    }
    dir.write("m.txt", map_text);
    auto fate_file = [](std::map<std::string, std::pair<int, int>>& fates, bool recombinant) {
        std::string text = "#kind\tclusters\ttotal\n";
        for (const char* kind : {"mm0", "mm1", "mm2", "align", "weak_align", "none", "recombinant"}) {
            if (!recombinant && std::string(kind) == "recombinant") break;
            text += std::string(kind) + "\t" + std::to_string(fates[kind].first) + "\t" +
                    std::to_string(fates[kind].second) + "\n";
        }
        return text;
    };

    run_result plain = run_morvane({"tabulate", "-c", "70", "-f", "plain.tsv", "m.txt", "pairs.txt"}, "", dir.path());
    run_result r = run_morvane({"tabulate", "-c", "70", "-g", "8", "-f", "f.tsv", "-r", "r.tsv", "m.txt", "pairs.txt"},
                               "", dir.path());
    EXPECT_EQ(r.status, 0);
    // The report is the same; the fate rows move, and still add up.
    EXPECT_EQ(r.out, plain.out);
    EXPECT_EQ(r.err, plain.err);
    EXPECT_EQ(dir.read("plain.tsv"), fate_file(without_g, false));
    EXPECT_EQ(dir.read("f.tsv"), fate_file(with_g, true));
    // Most reads first, ties by clusters; each guide named by the first
    // pair that holds it.
    EXPECT_EQ(dir.read("r.tsv"),
              "#guide_1\tguide_2\tpair_of_guide_1\tpair_of_guide_2\tclusters\ttotal\n"
              "AAAACCCC\tTGCATGCA\tp1\tp2\t4\t20\n"
              "CCCCCCCA\tTGCATGCA\tp4\tp2\t1\t7\n");

    // A guide 1 longer than every barcode: nothing is a pair, with a warning.
    r = run_morvane({"tabulate", "-g", "16", "-f", "f.tsv", "m.txt", "pairs.txt"}, "", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Building barcodes...\nWarning: no barcode is longer than guide 1 (-g 16): none is a guide pair\n"
                     "Assigning entries...\n");
    EXPECT_EQ(dir.read("f.tsv").substr(dir.read("f.tsv").rfind("recombinant")), "recombinant\t0\t0\n");

    // Values and companions -g refuses.
    for (const char* value : {"0", "-3", "abc", "8x", ""}) {
        r = run_morvane({"tabulate", "-g", value, "m.txt", "pairs.txt"}, "", dir.path());
        EXPECT_EQ(r.status, 1) << value;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("tabulate: -g takes the length of guide 1, a number of letters above 0 (not ") +
                             value + ")\n");
    }
    r = run_morvane({"tabulate", "-r", "r.tsv", "m.txt", "pairs.txt"}, "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tabulate: -r goes with -g, the length of guide 1\n");
    r = run_morvane({"tabulate", "-g", "8", "-u", "u.txt", "-k", "k.txt", "m.txt", "pairs.txt"}, "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tabulate: -g goes with the plain report, not with -u and -k\n");
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
