// The whole pipeline on a small run whose every table was worked out by hand:
// reads -> count table -> cluster file -> map file -> report.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace {

std::string fastq_record(int n, const std::string& sequence, std::string quality = "") {
    if (quality.empty()) quality.assign(sequence.size(), 'I');  // Phred 40 under -m S
    return "@read" + std::to_string(n) + "\n" + sequence + "\n+\n" + quality + "\n";
}

std::string reads() {
    std::string text;
    int n = 0;
    auto add = [&](int times, const std::string& sequence) {
        for (int i = 0; i < times; ++i) text += fastq_record(++n, sequence);
    };
    add(5, "AAAACCCCGGGGTTTTAC");   // barcode yfg1, letters 1-18
    add(1, "AAAACCCCGGGGTTTTAA");   // one substitution from it
    add(3, "CATGCATGCATGCATGCA");   // barcode yfg2, letters 1-18
    add(1, "CATGCATGCATGCATGCT");   // one substitution from it
    add(1, "CATGCATGCATGCATGGG");   // two substitutions from it
    add(2, "GGGGGGGGGGGGGGGGGG");   // junk
    add(2, "CATGCATGCATGCATGCAT");  // yfg2 letters 1-19: no word, aligns
    // A low quality ('#', Phred 2) at the fourth base masks it to N.
    text += fastq_record(++n, "AAAACCCCGGGGTTTTAC", "III#IIIIIIIIIIIIII");
    return text;
}

const char* const barcodes =
    "# strain\tbarcode\n"
    "yfg1\tAAAACCCCGGGGTTTTACGT\n"
    "yfg2\tCATGCATGCATGCATGCATG\n"
    "yfg3\tGGATCCTTAAGGCCTTAAGG\n";

const char* const expected_counts =
    "#trim: 0:0\n"
    "#truncate: 0\n"
    "#quality lo: 0\thi: 40\tadj: 33\tcutoff: 10\n"
    "#total reads: 16\n"
    "#unique reads: 8\n"
    "#filtered bases: 1\n"
    "#read\tcount\n"
    "AAAACCCCGGGGTTTTAC\t5\n"
    "CATGCATGCATGCATGCA\t3\n"
    "CATGCATGCATGCATGCAT\t2\n"
    "GGGGGGGGGGGGGGGGGG\t2\n"
    "AAAACCCCGGGGTTTTAA\t1\n"
    "AAANCCCCGGGGTTTTAC\t1\n"
    "CATGCATGCATGCATGCT\t1\n"
    "CATGCATGCATGCATGGG\t1\n";

// The two 18-letter reads become cores with their one-substitution
// neighbours (the masked read among them); GG at the end is two away from
// the second core; the 19-letter read and the junk stay outside, written
// because they were seen twice.
const char* const expected_clusters =
    "#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n"
    "AAAACCCCGGGGTTTTAC\t2:0\t7\t5\t2\t0\tAAAACCCCGGGGTTTTAA:1:1,AAANCCCCGGGGTTTTAC:1:1\n"
    "CATGCATGCATGCATGCA\t1:1\t5\t3\t1\t1\tCATGCATGCATGCATGCT:1:1,CATGCATGCATGCATGGG:1:0\n"
    "CATGCATGCATGCATGCAT\t0:0\t2\t2\t0\t0\n"
    "GGGGGGGGGGGGGGGGGG\t0:0\t2\t2\t0\t0\n";

// Both cores are words of their barcodes. The 19-letter core aligns best
// with yfg2 (19 matches and the barcode's last letter against a gap: 94);
// the junk aligns best with yfg3, which holds the most Gs (6 matches and 12
// mismatches, two gaps: 30 - 14 = 16); the trace-back, taking the diagonal
// on ties from the end, puts the two gaps against the barcode's third and
// fourth letters.
const char* const expected_map =
    "#contains: 2\n"
    "#\tmm0s: 2\n"
    "#\tmm1s: 0\n"
    "#\tmm2s: 0\n"
    "#aligns: 2\n"
    "#misses: 0\n"
    "#core seq\tcount\tscore\tmm0\tmm1n\tmm1\tmm2n\tmm2\tmatch\tid\tseq\t[score:alignment:mis:ins:del]...\n"
    "AAAACCCCGGGGTTTTAC\t7\t2:0\t5\t2\t2\t0\t0\tmm0\tyfg1\tAAAACCCCGGGGTTTTACGT\n"
    "CATGCATGCATGCATGCA\t5\t1:1\t3\t1\t1\t1\t1\tmm0\tyfg2\tCATGCATGCATGCATGCATG\n"
    "CATGCATGCATGCATGCAT\t2\t0:0\t2\t0\t0\t0\t0\talign\tyfg2\tCATGCATGCATGCATGCATG\t94:CATGCATGCATGCATGCAT-:0:1:0\n"
    "GGGGGGGGGGGGGGGGGG\t2\t0:0\t2\t0\t0\t0\t0\talign\tyfg3\tGGATCCTTAAGGCCTTAAGG\t16:GG--GGGGGGGGGGGGGGGG:12:2:0\n";

// Only the alignment that reaches the cutoff of 70 counts.
const char* const expected_report =
    "#bcid\tbarcode\ttotal\tmm0\tmm1\tmm2\talign\n"
    "yfg1\tAAAACCCCGGGGTTTTACGT\t7\t7\t0\t0\t0\n"
    "yfg2\tCATGCATGCATGCATGCATG\t7\t5\t0\t0\t2\t94:CATGCATGCATGCATGCAT-:0:1:0\n"
    "yfg3\tGGATCCTTAAGGCCTTAAGG\t0\t0\t0\t0\t0\n";

TEST(Pipeline, EveryTableMatchesTheHandWorkedOne) {
    scratch_dir dir;
    dir.write("reads.fastq", reads());
    dir.write("barcodes.tsv", barcodes);

    run_result r = run_morvane({"count", "-m", "S", "-o", "counts.txt", "reads.fastq"}, "", dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected_counts);
    EXPECT_EQ(dir.read("counts.txt"), expected_counts);

    r = run_morvane({"cluster", "-o", "clusters.txt", "counts.txt"}, "", dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected_clusters);
    EXPECT_EQ(dir.read("clusters.txt"), expected_clusters);

    r = run_morvane({"map", "-o", "mapped.txt", "clusters.txt", "barcodes.tsv"}, "", dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected_map);
    EXPECT_EQ(dir.read("mapped.txt"), expected_map);

    r = run_morvane({"tabulate", "-o", "report.tsv", "mapped.txt", "barcodes.tsv"}, "", dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected_report);
    EXPECT_EQ(dir.read("report.tsv"), expected_report);
}

TEST(Pipeline, StreamsThroughPipesFromGzippedReads) {
    scratch_dir dir;
    dir.write("reads.fastq", reads());
    dir.write("barcodes.tsv", barcodes);
    run_result r = run_shell(
        "gzip -n reads.fastq && morvane count -m S reads.fastq.gz | morvane cluster | morvane map barcodes.tsv "
        "| morvane tabulate barcodes.tsv",
        "", dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected_report);
}

// A library as labs keep it (id, sequence, gene, more notes) gives the same
// map file and report as the two-column file, with one warning each, placed
// after the step's first progress line (and before a malformed line's
// warnings in tabulate).
TEST(Pipeline, LibraryWithMoreColumnsGivesTheSameTables) {
    scratch_dir dir;
    dir.write("clusters.txt", expected_clusters);
    dir.write("two.tsv", barcodes);
    dir.write("more.tsv",
              "# strain\tbarcode\tgene\n"
              "yfg1\tAAAACCCCGGGGTTTTACGT\n"
              "yfg2\tCATGCATGCATGCATGCATG\tYFG2\tsecond note\n"
              "no tab here\n"
              "yfg3\tGGATCCTTAAGGCCTTAAGG\tYFG3\n");
    const std::string warning =
        "Warning: barcode lines have more than two fields; the fields after the sequence are ignored\n";

    run_result two = run_morvane({"map", "clusters.txt", "two.tsv"}, "", dir.path());
    run_result more = run_morvane({"map", "-o", "mapped.txt", "clusters.txt", "more.tsv"}, "", dir.path());
    ASSERT_EQ(more.status, 0) << more.err;
    EXPECT_EQ(two.out, expected_map);
    EXPECT_EQ(more.out, expected_map);
    const std::string building = "Building data from files...\n";
    const std::string malformed = "Warning: an entry is not in expected format (details\tsequence)\n\tno tab here\n\n";
    ASSERT_EQ(two.err.rfind(building, 0), 0u);
    EXPECT_EQ(more.err, building + warning + malformed + malformed + two.err.substr(building.size()));

    two = run_morvane({"tabulate", "mapped.txt", "two.tsv"}, "", dir.path());
    more = run_morvane({"tabulate", "mapped.txt", "more.tsv"}, "", dir.path());
    ASSERT_EQ(more.status, 0) << more.err;
    EXPECT_EQ(two.out, expected_report);
    EXPECT_EQ(more.out, expected_report);
    const std::string bad = "Warning: an entry is not in expected format (sequence\tdetails)\n";
    EXPECT_EQ(two.err, "Building barcodes...\nAssigning entries...\n");
    EXPECT_EQ(more.err, "Building barcodes...\n" + warning + bad + bad + "Assigning entries...\n");
}

}  // namespace
