#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace {

const std::string clusters =
    "#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n"
    "CCCC\t0:0\t9\t9\t0\t0\n"
    "AAAA\t1:0\t30\t28\t2\t0\tAAAT:2:1\n"
    "GGNG\t0:0\t12\t12\t0\t0\n"
    "TTTT\t0:0\t30\t30\t0\t0\n"
    "GGGG\t0:0\t1\t1\t0\t0\n";

TEST(Discover, RanksTheClustersAboveTheLeastFromAFileOrStandardInput) {
    const std::string table =
        "#discovered barcode\tsequence (pooled reads or molecules: 82; at least 2 each; the largest offshoot: 0)\n"
        "bc000001\tAAAA\nbc000002\tTTTT\nbc000003\tCCCC\n";
    const std::string err =
        "discover: 3 barcodes with at least 2 of 82 pooled; the largest offshoot had 0; left out at or above the "
        "least: 0 offshoots, 1 with an N\n";
    scratch_dir dir;
    dir.write("c.txt", clusters);
    run_result r = run_morvane({"discover", "-o", dir.path("copy.tsv"), dir.path("c.txt")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, table);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(dir.read("copy.tsv"), table);
    r = run_morvane({"discover", "-m", "10"}, clusters);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "bc000001\tAAAA\nbc000002\tTTTT\n");
}

TEST(Discover, TotalsPastTheLargestNumberStayThere) {
    // Totals are read saturating, so a file may hold the largest number:
    // the pooled sum and the offshoot test's ten times a total stop there
    // instead of wrapping, and so does a least that large.
    const std::string huge =
        "#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n"
        "ACGTACGTACGTACGTACGT\t0:0\t99999999999999999999\t9\t0\t0\n"
        "ACGTACGTACGTACGTACGA\t0:0\t9223372036854775807\t9\t0\t0\n"
        "TTGCATTGCATTGCATTGCA\t0:0\t500\t500\t0\t0\n";
    run_result r = run_morvane({"discover"}, huge);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "#discovered barcode\tsequence (pooled reads or molecules: 9223372036854775807; at least 2 each; the "
              "largest offshoot: 0)\n"
              "bc000001\tACGTACGTACGTACGTACGA\nbc000002\tACGTACGTACGTACGTACGT\nbc000003\tTTGCATTGCATTGCATTGCA\n");
    r = run_morvane({"discover", "-m", "9223372036854775807"}, huge);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "bc000001\tACGTACGTACGTACGTACGA\nbc000002\tACGTACGTACGTACGTACGT\n");
}

TEST(Discover, RefusedOptionsAndInputs) {
    run_result r = run_morvane({"discover", "-m", "0"}, clusters);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Invalid least total: 0\n");
    r = run_morvane({"discover", "/nonexistent/clusters.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No cluster input file\n");
    r = run_morvane({"discover", "-x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("usage: discover [-m N|auto] [-o output_file] [cluster_file]\n"), std::string::npos);
    // Nothing above the least: a warning, and an empty list.
    r = run_morvane({"discover", "-m", "1000"}, clusters);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "Warning: no barcode has at least 1000 in total\n");
    r = run_morvane({"discover", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 17), "usage: discover [");
}

}  // namespace
