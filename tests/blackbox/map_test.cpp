#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::string usage =
    "Usage: map [-c min_count_cutoff] [-n align_top_n] [-o output_file] [-s] [-w] [-r strand_file] [cluster_file] barcode_file\n";
const std::string header =
    "#core seq\tcount\tscore\tmm0\tmm1n\tmm1\tmm2n\tmm2\tmatch\tid\tseq\t[score:alignment:mis:ins:del]...\n";

std::string summary(int mm0, int mm1, int mm2, int aligns, int misses) {
    return "#contains: " + std::to_string(mm0 + mm1 + mm2) + "\n#\tmm0s: " + std::to_string(mm0) +
           "\n#\tmm1s: " + std::to_string(mm1) + "\n#\tmm2s: " + std::to_string(mm2) +
           "\n#aligns: " + std::to_string(aligns) + "\n#misses: " + std::to_string(misses) + "\n";
}

// A cluster file line without members, and the eight columns that the map
// file repeats for it.
std::string cluster_line(const std::string& core, int total) {
    return core + "\t0:0\t" + std::to_string(total) + "\t" + std::to_string(total) + "\t0\t0\n";
}
std::string columns(const std::string& core, int total) {
    return core + "\t" + std::to_string(total) + "\t0:0\t" + std::to_string(total) + "\t0\t0\t0\t0\t";
}

std::string changed(std::string s, size_t place, char letter) {
    s[place] = letter;
    return s;
}

std::string progress(int clusters) {
    int step = clusters / 10 > 0 ? clusters / 10 : 1;
    std::string lines;
    char line[80];
    for (int i = 0; i < clusters; i += step) {
        std::snprintf(line, sizeof line, "\t%d of %d entries [%d%%]\n", i, clusters, 10 * i / step);
        lines += line;
    }
    return lines;
}

const std::string b0 = "GATTACAGGCTTCAGTACCA";
const std::string b1 = "CTGAACGTTGCAAGTCCGAT";
const std::string b2 = "TTGCCAGATCAGGTACATGC";
const std::string barcodes = "# library\nid0\t" + b0 + "\nid1\t" + b1 + "\nid2\t" + b2 + "\n";

TEST(MapCommand, HelpForms) {
    for (std::string first : {"help", "--help", "-help", "?", "myhelp.txt"}) {
        run_result r = run_morvane({"map", first, "-x"});
        EXPECT_EQ(r.status, 0) << first;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.substr(0, usage.size()), usage);
        EXPECT_NE(r.out.find("  -s \t\t skips aligning clusters\n"), std::string::npos);
    }
}

TEST(MapCommand, RejectsBadCommandLines) {
    run_result r = run_morvane({"map"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    r = run_morvane({"map", "a", "b", "c"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    r = run_morvane({"map", "-s"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage);
    r = run_morvane({"map", "-x", "barcodes.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "map: invalid option -- 'x'\nmap: Unknown parameter (-x)\n");
    r = run_morvane({"map", "barcodes.txt", "-c"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "map: option requires an argument -- 'c'\nmap: Unknown parameter (-c)\n");
    EXPECT_EQ(r.out, "");
}

TEST(MapCommand, InputFilesAreCheckedClusterFirst) {
    scratch_dir dir;
    dir.write("barcodes.txt", barcodes);
    run_result r = run_morvane({"map", dir.path("none.txt"), dir.path("nothing.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No cluster input file\n");
    r = run_morvane({"map", dir.path(), dir.path("barcodes.txt")});
    EXPECT_EQ(r.err, "No cluster input file\n");
    EXPECT_EQ(r.status, 1);
    for (const std::string& missing : {dir.path("nothing.txt"), dir.path()}) {
        r = run_morvane({"map", missing}, "");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Could not open barcode file " + missing + "\n");
    }
    // The output file is created before the inputs are found missing.
    r = run_morvane({"map", "-o", dir.path("out.txt"), dir.path("none.txt"), dir.path("barcodes.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(dir.exists("out.txt"));
    r = run_morvane({"map", "-o", dir.path("no/out.txt"), dir.path("barcodes.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not open " + dir.path("no/out.txt") + " for writing");
}

TEST(MapCommand, WordMatchesAndSummary) {
    scratch_dir dir;
    dir.write("barcodes.txt", barcodes);
    std::string contain = b1.substr(2, 18);
    std::string mm1 = changed(b0.substr(0, 18), 17, 'G');
    std::string mm2 = changed(changed(b2.substr(1, 18), 0, 'A'), 5, 'C');
    std::string far = "AAAAAAAAAAAAAAAAAA";
    std::string clusters = "#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n" +
                           contain + "\t2:1\t20\t12\t6\t2\tA:1:0,C:5:0\n" + cluster_line(mm1, 5) +
                           cluster_line(mm2, 4) + cluster_line(far, 3);
    dir.write("clusters.txt", clusters);
    std::string expected = summary(1, 1, 1, 0, 1) + header + contain + "\t20\t2:1\t12\t2\t6\t1\t2\tmm0\tid1\t" + b1 +
                           "\n" + columns(mm1, 5) + "mm1\tid0\t" + b0 + "\n" + columns(mm2, 4) + "mm2\tid2\t" + b2 +
                           "\n" + columns(far, 3) + "none\n";
    // One file argument: the clusters come from standard input.
    run_result r = run_morvane({"map", "-s", dir.path("barcodes.txt")}, clusters);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "Building data from files...\nPerforming mismatch matches...\nSkipping alignments\n");
    // The barcode file may be a pipe.
    r = run_shell("morvane map -s clusters.txt <(cat barcodes.txt)", "", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
}

TEST(MapCommand, SharedWordLeadsToTheLaterBarcode) {
    scratch_dir dir;
    std::string word = "ACGGTCATTGACCTAGGA";
    dir.write("barcodes.txt", "first\tCC" + word + "\nid1\t" + b1 + "\nlast\t" + word + "GG\n");
    std::string with_n = changed(word, 4, 'N');
    std::string clusters = cluster_line(word, 3) + cluster_line(with_n, 2);
    run_result r = run_morvane({"map", "-s", dir.path("barcodes.txt")}, clusters);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(1, 1, 0, 0, 0) + header + columns(word, 3) + "mm0\tlast\t" + word + "GG\n" +
                         columns(with_n, 2) + "mm1\tlast\t" + word + "GG\n");
    EXPECT_EQ(r.err,
              "Building data from files...\n\tWarning: barcode sequence file has 18mer word overlaps\n"
              "Performing mismatch matches...\nSkipping alignments\n");
}

TEST(MapCommand, LengthTestEndsTheWordPhase) {
    scratch_dir dir;
    dir.write("barcodes.txt", barcodes);
    std::string word = b1.substr(1, 18);
    std::string clusters = cluster_line(word, 9) + cluster_line(b1 + "A", 8) + cluster_line(b1.substr(0, 18), 7);
    run_result r = run_morvane({"map", "-s", dir.path("barcodes.txt")}, clusters);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(1, 0, 0, 0, 2) + header + columns(word, 9) + "mm0\tid1\t" + b1 + "\n" +
                         columns(b1 + "A", 8) + "none\n" + columns(b1.substr(0, 18), 7) + "none\n");
    EXPECT_EQ(r.err,
              "Building data from files...\nPerforming mismatch matches...\n"
              "\tSkipping (clusters longer than barcodes)\nSkipping alignments\n");
}

// Whole matching of barcodes of two lengths: a 60-letter barcode listed
// after a 20-letter one (so the word phase would stop at its cores), exact,
// one and two substitutions with an N among them, a tie left to the word
// phase and alignment, a core no barcode has the length of; and tabulate
// reads the result as it stands.
TEST(MapCommand, WholeBarcodes) {
    scratch_dir dir;
    const std::string long_one = "ACGTTGCAGGATCCATGCAATCGGCTAGCTTAGGCATCGATCCGATGCATGCAAGGTTCC";
    std::string twin = changed(changed(b2, 4, 'A'), 12, 'T');  // two substitutions from b2
    dir.write("barcodes.txt", barcodes + "long\t" + long_one + "\ntwin\t" + twin + "\n");
    std::string one = changed(long_one, 59, 'A');
    std::string two = changed(changed(b0, 0, 'N'), 7, 'T');
    std::string between = changed(b2, 4, 'A');  // one from b2, one from twin
    std::string word = b1.substr(1, 18);
    std::string clusters = cluster_line(long_one, 9) + cluster_line(one, 8) + cluster_line(two, 7) +
                           cluster_line(between, 6) + cluster_line(word, 5) + cluster_line(long_one + "A", 4);
    dir.write("clusters.txt", clusters);
    run_result r = run_morvane({"map", "-w", "-s", "-o", dir.path("map.txt"), dir.path("clusters.txt"), dir.path("barcodes.txt")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(2, 1, 1, 0, 2) + header + columns(long_one, 9) + "mm0\tlong\t" + long_one + "\n" +
                         columns(one, 8) + "mm1\tlong\t" + long_one + "\n" + columns(two, 7) + "mm2\tid0\t" + b0 +
                         "\n" + columns(between, 6) + "none\n" + columns(word, 5) + "mm0\tid1\t" + b1 + "\n" +
                         columns(long_one + "A", 4) + "none\n");
    EXPECT_EQ(r.err,
              "Building data from files...\nPerforming whole-barcode matches...\n\t3 of 6 clusters matched whole\n"
              "Performing mismatch matches...\n\tSkipping (clusters longer than barcodes)\nSkipping alignments\n");
    run_result t = run_morvane({"tabulate", dir.path("map.txt"), dir.path("barcodes.txt")});
    EXPECT_EQ(t.status, 0);
    EXPECT_NE(t.out.find("id0\t" + b0 + "\t7\t0\t0\t7\t0\n"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find("id1\t" + b1 + "\t5\t5\t0\t0\t0\n"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find("long\t" + long_one + "\t17\t9\t8\t0\t0\n"), std::string::npos) << t.out;

    // The tie goes on to alignment, unchanged by -w; so does everything
    // without -w.
    r = run_morvane({"map", "-w", dir.path("clusters.txt"), dir.path("barcodes.txt")});
    EXPECT_NE(r.out.find(columns(between, 6) + "align\tMULTIPLE:twin;id2\t"), std::string::npos) << r.out;
    run_result plain = run_morvane({"map", dir.path("clusters.txt"), dir.path("barcodes.txt")});
    EXPECT_EQ(plain.err.find("whole"), std::string::npos);
    EXPECT_NE(plain.out.find(columns(one, 8) + "align\tlong\t"), std::string::npos) << plain.out;
    EXPECT_NE(run_morvane({"map", "--help"}).out.find("  -w \t\t"), std::string::npos);
}

TEST(MapCommand, SingleBestAlignmentAndTie) {
    scratch_dir dir;
    std::string zz = "CCCCAAAAGGGGTTTTACGA", aa = "AAAACCCCGGGGTTTTACGA";
    dir.write("barcodes.txt", "id0\t" + b0 + "\nzz\t" + zz + "\naa\t" + aa + "\n");
    std::string deleted = "GATTACAGCTTCAGTACCA";  // b0 less one G of its GG
    std::string masked = "NNNNNNNNGGGGTTTTACGA";   // as far from aa as from zz
    std::string clusters = cluster_line(deleted, 6) + cluster_line(masked, 5);
    dir.write("clusters.txt", clusters);
    run_result r = run_morvane({"map", dir.path("clusters.txt"), dir.path("barcodes.txt")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(0, 0, 0, 2, 0) + header + columns(deleted, 6) + "align\tid0\t" + b0 +
                         "\t94:GATTACA-GCTTCAGTACCA:0:1:0\n" + columns(masked, 5) + "align\tMULTIPLE:aa;zz\t" + aa +
                         ";" + zz + "\t52:NNNNNNNNGGGGTTTTACGA:8:0:0;52:NNNNNNNNGGGGTTTTACGA:8:0:0\n");
    EXPECT_EQ(r.err, "Building data from files...\nPerforming mismatch matches...\nAligning remaining sequences...\n" +
                         progress(2));
}

TEST(MapCommand, TopCandidatesAndCountMinimum) {
    scratch_dir dir;
    // Both barcodes share all five 4-letter words of the core; the later
    // one aligns better.
    dir.write("barcodes.txt", "long\tACGTTGCATTTT\nexact\tACGTTGCA\n");
    std::string core = "ACGTTGCA";
    dir.write("clusters.txt", cluster_line(core, 10) + cluster_line("GTTGCA", 9));
    run_result r = run_morvane({"map", "-n", "1", "-c", "10", dir.path("clusters.txt"), dir.path("barcodes.txt")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(0, 0, 0, 1, 1) + header + columns(core, 10) +
                         "align\tlong\tACGTTGCATTTT\t36:ACGTTGCA----:0:4:0\n" + columns("GTTGCA", 9) + "none\n");
    EXPECT_EQ(r.err, "Building data from files...\nPerforming mismatch matches...\n"
                     "Aligning remaining sequences (top 1 candidates only)...\n" + progress(2));
    for (const char* n : {"2", "0", "-3"}) {
        r = run_morvane({"map", "-n", n, dir.path("clusters.txt"), dir.path("barcodes.txt")});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find(columns(core, 10) + "align\texact\tACGTTGCA\t40:ACGTTGCA:0:0:0\n"), std::string::npos) << n;
        EXPECT_NE(r.out.find(columns("GTTGCA", 9) + "align\t"), std::string::npos) << n;
    }
}

TEST(MapCommand, RepeatedLinesWarnAndLastDataWins) {
    scratch_dir dir;
    dir.write("barcodes.txt", "old\t" + b0 + "\nid1\t" + b1 + "\nbroken\nnew\t" + b0 + "\n");
    std::string word = b0.substr(0, 18);
    dir.write("clusters.txt", cluster_line(word, 3) + cluster_line(b1.substr(0, 18), 2) + "\n" + cluster_line(word, 7));
    run_result r = run_morvane({"map", "-o", dir.path("out.txt"), dir.path("clusters.txt"), dir.path("barcodes.txt")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(2, 0, 0, 0, 0) + header + columns(word, 7) + "mm0\tnew\t" + b0 + "\n" +
                         columns(b1.substr(0, 18), 2) + "mm0\tid1\t" + b1 + "\n");
    EXPECT_EQ(dir.read("out.txt"), r.out);
    const std::string broken = "Warning: an entry is not in expected format (details\tsequence)\n\tbroken\n\n";
    EXPECT_EQ(r.err, "Building data from files...\n" + broken + broken +
                         "Warning: there are non-unique barcode_sequences in the barcode file\n"
                         "Warning: an entry is not in expected format (sequence\t(cluster details)...)\n"
                         "Warning: there are non-unique cluster cores in the cluster file\n"
                         "Performing mismatch matches...\nAligning remaining sequences...\n" +
                         progress(2));
}

TEST(MapCommand, EmptyInputs) {
    scratch_dir dir;
    dir.write("barcodes.txt", barcodes);
    run_result r = run_morvane({"map", dir.path("barcodes.txt")}, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(0, 0, 0, 0, 0) + header);
    // No barcodes: nothing can match, and there is no length test.
    dir.write("comments.txt", "# nothing here\n");
    std::string clusters = cluster_line(b0 + b0, 4) + cluster_line(b1.substr(0, 18), 3);
    r = run_morvane({"map", dir.path("comments.txt")}, clusters);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, summary(0, 0, 0, 0, 2) + header + columns(b0 + b0, 4) + "none\n" +
                         columns(b1.substr(0, 18), 3) + "none\n");
    EXPECT_EQ(r.err, "Building data from files...\nPerforming mismatch matches...\nAligning remaining sequences...\n" +
                         progress(2));
}

TEST(MapCommand, ProgressStepsAndCountsAbove32Bits) {
    scratch_dir dir;
    dir.write("barcodes.txt", barcodes);
    std::string clusters;
    for (int i = 0; i < 25; ++i) clusters += cluster_line(std::string(static_cast<size_t>(i % 5 + 1), 'A') + std::string(static_cast<size_t>(i / 5 + 1), 'C'), 1);
    clusters += "GGG\t1:2\t5000000000\t4000000000\t-3\t0\n";
    run_result r = run_morvane({"map", "-c", "2", dir.path("barcodes.txt")}, clusters);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Building data from files...\nPerforming mismatch matches...\nAligning remaining sequences...\n" +
                         progress(26));
    EXPECT_NE(r.out.find("\nGGG\t5000000000\t1:2\t4000000000\t1\t-3\t2\t0\talign\t"), std::string::npos);
}

TEST(MapCommand, WriteFailureOfTheOutputFile) {
    scratch_dir dir;
    dir.write("barcodes.txt", barcodes);
    run_result r = run_morvane({"map", "-o", "/dev/full", dir.path("barcodes.txt")}, cluster_line("ACGT", 1));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Could not write to /dev/full\n"), std::string::npos);
}

TEST(BarcodeLetters, MapAndTabulateCountTheSequencesBeyondACGTN) {
    // Lower case and a carriage return (a file saved on Windows): two
    // distinct sequences, one of them on two lines; N is a letter like A.
    scratch_dir dir;
    const std::string lower = "gattacaggcttcagtacca";
    dir.write("barcodes.txt", "lc\t" + lower + "\ncr\t" + b1 + "\r\nok\t" + b2 + "\nn\tNNNNACGTNNNNACGTNNNN\nlc2\t" +
                                  lower + "\n");
    const std::string warning =
        "Warning: barcode sequences with characters other than A, C, G, T and N (lower case? a carriage return?): 2; "
        "they match only clusters with the same characters\n";
    const std::string word = b2.substr(0, 18);
    dir.write("clusters.txt", cluster_line(word, 5));
    run_result map = run_morvane({"map", "-s", dir.path("clusters.txt"), dir.path("barcodes.txt")});
    EXPECT_EQ(map.status, 0);
    EXPECT_EQ(map.out, summary(1, 0, 0, 0, 0) + header + columns(word, 5) + "mm0\tok\t" + b2 + "\n");
    EXPECT_EQ(map.err, "Building data from files...\nWarning: there are non-unique barcode_sequences in the barcode file\n" +
                           warning + "Performing mismatch matches...\nSkipping alignments\n");
    dir.write("mapped.txt", map.out);
    run_result tabulate = run_morvane({"tabulate", dir.path("mapped.txt"), dir.path("barcodes.txt")});
    EXPECT_EQ(tabulate.status, 0);
    EXPECT_EQ(tabulate.err, "Building barcodes...\nWarning: there are non-unique barcode_sequences in the barcode file\n" +
                                warning + "Assigning entries...\n");
    EXPECT_NE(tabulate.out.find("ok\t" + b2 + "\t5\t5\t0\t0\t0\n"), std::string::npos);
    // Clean sequences: no word.
    dir.write("clean.txt", "ok\t" + b2 + "\n");
    EXPECT_EQ(run_morvane({"map", "-s", dir.path("clusters.txt"), dir.path("clean.txt")}).err.find("Warning"),
              std::string::npos);
    EXPECT_EQ(run_morvane({"tabulate", dir.path("mapped.txt"), dir.path("clean.txt")}).err.find("Warning"),
              std::string::npos);
}

// -r: of the largest clusters, the totals matched, and those of the rest
// that would match turned round, by the same phases (whole with -w, words
// with up to two changes); the map file and the messages stay as they are.
TEST(MapCommand, StrandCheckOfTheLargestClusters) {
    scratch_dir dir;
    dir.write("barcodes.txt", barcodes);
    // 50 matched as read; 30 and 12 would match turned (one exactly, one
    // with a letter changed); 8 match neither way. Whole barcodes with -w,
    // 18-letter words without.
    for (bool whole : {true, false}) {
        auto part = [whole](const std::string& b) { return whole ? b : b.substr(1, 18); };
        dir.write("clusters.txt", cluster_line(part(b0), 50) + cluster_line(reverse_complement(part(b1)), 30) +
                                      cluster_line(reverse_complement(changed(part(b2), 3, 'A')), 12) +
                                      cluster_line(part("ACACACACACACACACACAC"), 8));
        std::vector<std::string> args = {"map", "-s", dir.path("clusters.txt"), dir.path("barcodes.txt")};
        if (whole) args.insert(args.begin() + 1, "-w");
        run_result plain = run_morvane(args);
        args.insert(args.begin() + 1, {"-r", dir.path("strand.txt")});
        run_result r = run_morvane(args);
        EXPECT_EQ(r.status, 0) << whole;
        EXPECT_EQ(r.out, plain.out) << whole;
        EXPECT_EQ(r.err, plain.err) << whole;
        EXPECT_EQ(dir.read("strand.txt"),
                  "#clusters: 4\n#total: 100\n#matched: 50\n#matched reverse-complemented: 42\n")
            << whole;
    }
    // Only the 1000 largest count.
    std::string many;
    for (int i = 0; i < 1003; ++i) many += cluster_line(b0.substr(0, 10) + std::to_string(1000000 + i), 2000 - i);
    dir.write("many.txt", many);
    EXPECT_EQ(run_morvane({"map", "-s", "-r", dir.path("strand.txt"), dir.path("many.txt"), dir.path("barcodes.txt")})
                  .status,
              0);
    EXPECT_EQ(dir.read("strand.txt").substr(0, 32), "#clusters: 1000\n#total: 1500500\n");
}

}  // namespace
