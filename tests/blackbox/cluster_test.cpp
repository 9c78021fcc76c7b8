#include <gtest/gtest.h>

#include "harness.h"

namespace {

const std::string header = "#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n";
const std::string phases = "Building data from file...\nFinding mismatch counts...\nForming initial clusters...\nForming secondary clusters...\n";
const std::string single_phases =
    "Building data from file...\nFinding mismatch counts...\nForming initial clusters... (forced single clustering)\nForming secondary "
    "clusters...\n";
const std::string usage =
    "usage: cluster [-s stats_file] [-a align_file] [-f] [-c cutoff] [-n k] [-m min] [-o output_file] [input_file]\n";

const std::string worked_table = "AAAA\t100\nAAAT\t10\nATTA\t3\nGGGG\t2\nCCCC\t1\n";

// The line on what -m leaves out.
std::string left_out(const std::string& min, const std::string& sequences, const std::string& reads,
                     const std::string& share) {
    return "Warning: sequences in no cluster left out by -m " + min + " (counts of " + min + " or less): " + sequences +
           ", with " + reads + " reads (" + share + "% of the table's reads); -m 0 writes them\n";
}
const std::string worked_left_out = left_out("1", "1", "1", "0.9");
const std::string worked_clusters = header + "AAAA\t1:1\t113\t100\t10\t3\tAAAT:10:1,ATTA:3:0\nGGGG\t0:0\t2\t2\t0\t0\n";

TEST(ClusterCommand, WorkedExampleInBothModes) {
    run_result shared = run_morvane({"cluster"}, worked_table);
    EXPECT_EQ(shared.status, 0);
    EXPECT_EQ(shared.out, worked_clusters);
    EXPECT_EQ(shared.err, phases + worked_left_out);
    run_result single = run_morvane({"cluster", "-f"}, worked_table);
    EXPECT_EQ(single.status, 0);
    EXPECT_EQ(single.out, worked_clusters);
    EXPECT_EQ(single.err, single_phases + worked_left_out);
}

TEST(ClusterCommand, ReadsANamedFileAndSkipsHeaderLines) {
    scratch_dir dir;
    dir.write("counts.txt", "#sequence\tcount\n" + worked_table + "# 116 reads\n");
    run_result r = run_morvane({"cluster", dir.path("counts.txt")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, worked_clusters);
    EXPECT_EQ(r.err, phases + worked_left_out);
}

TEST(ClusterCommand, ChainMakesTheMiddleSequenceTheCore) {
    run_result r = run_morvane({"cluster"}, "AAAA\t100\nAAAT\t50\nAATT\t10\n");
    EXPECT_EQ(r.out, header + "AAAT\t2:0\t160\t50\t110\t0\tAAAA:100:1,AATT:10:1\n");
}

// CAAA lies next to the cores AAAA (30) and CCAA (10), each with two more members.
const std::string two_cores = "AAAA\t30\nCCAA\t10\nCAAA\t9\nAAAT\t1\nAATA\t1\nCCAT\t1\nCCTA\t1\n";

TEST(ClusterCommand, SharedMemberIsSplitAndSingleModeGivesItToOneCore) {
    EXPECT_EQ(run_morvane({"cluster"}, two_cores).out, header +
                                                          "AAAA\t3:0\t38\t30\t8\t0\tAAAT:1:1,AATA:1:1,CAAA:6:2\n"
                                                          "CCAA\t3:0\t14\t10\t4\t0\tCAAA:2:2,CCAT:1:1,CCTA:1:1\n");
    EXPECT_EQ(run_morvane({"cluster", "-f"}, two_cores).out, header +
                                                                "AAAA\t3:0\t41\t30\t11\t0\tAAAT:1:1,AATA:1:1,CAAA:9:2\n"
                                                                "CCAA\t3:0\t12\t10\t2\t0\tCCAT:1:1,CCTA:1:1\n");
}

TEST(ClusterCommand, TwoMismatchMemberSharedByTwoCores) {
    // TTAA is two positions from AAAA (30) and from TTTT (10): 6 and 2.
    std::string table = "AAAA\t30\nTTTT\t10\nTTAA\t8\nAAAC\t1\nTTTG\t1\n";
    std::string want = header +
                       "AAAA\t1:1\t37\t30\t1\t6\tAAAC:1:1,TTAA:6:0\n"
                       "TTTT\t1:1\t13\t10\t1\t2\tTTAA:2:0,TTTG:1:1\n";
    EXPECT_EQ(run_morvane({"cluster"}, table).out, want);
    EXPECT_EQ(run_morvane({"cluster", "-f"}, table).out, want);
}

TEST(ClusterCommand, MinimumDecidesWhichUnclusteredSequencesAreWritten) {
    std::string table = "ACGT\t5\nGGGG\t2\nCCCC\t1\n";
    EXPECT_EQ(run_morvane({"cluster"}, table).out, header + "ACGT\t0:0\t5\t5\t0\t0\nGGGG\t0:0\t2\t2\t0\t0\n");
    EXPECT_EQ(run_morvane({"cluster", "-m", "0"}, table).out,
              header + "ACGT\t0:0\t5\t5\t0\t0\nGGGG\t0:0\t2\t2\t0\t0\nCCCC\t0:0\t1\t1\t0\t0\n");
    EXPECT_EQ(run_morvane({"cluster", "-m", "4"}, table).out, header + "ACGT\t0:0\t5\t5\t0\t0\n");
    EXPECT_EQ(run_morvane({"cluster"}, "").out, header);
}

TEST(ClusterCommand, SaysWhatTheMinimumLeavesOut) {
    // The sequences the cluster file leaves out, with their reads; nothing
    // when it leaves out none. Members of a cluster are never counted.
    const std::string table = "ACGT\t5\nGGGG\t2\nCCCC\t1\nTTTT\t1\nACGA\t1\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1", left_out("1", "2", "2", "20.0")},
        {"2", left_out("2", "3", "4", "40.0")},
        {"4", left_out("4", "3", "4", "40.0")},
        {"9", left_out("9", "3", "4", "40.0")},  // ACGT is a core, ACGA its member
        {"0", ""},
    };
    for (const auto& [min, line] : cases) {
        run_result r = run_morvane({"cluster", "-m", min}, table);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, phases + line) << min;
    }
    EXPECT_EQ(run_morvane({"cluster"}, "").err, phases);
}

TEST(ClusterCommand, WarnsAboutMalformedLinesAndGoesOn) {
    run_result r = run_morvane({"cluster"}, "AAAA\t100\textra\nno tab\n\nAAAT\t0\nCCCC\t-3\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header + "AAAA\t1:0\t100\t100\t0\t0\tAAAT:0:1\n");
    EXPECT_EQ(r.err, "Building data from file...\n"
                     "Warning: an entry is not in expected format (sequence\tcount)\n"
                     "Warning: an entry is not in expected format (sequence\tcount)\n"
                     "Warning: an entry has a non-positive count associated with it: AAAT\t0\n"
                     "Warning: an entry has a non-positive count associated with it: CCCC\t-3\n"
                     "Finding mismatch counts...\nForming initial clusters...\nForming secondary clusters...\n" +
                         left_out("1", "1", "0", "0.0"));
}

TEST(ClusterCommand, CountsBeyondThirtyTwoBitsKeepTheirValue) {
    run_result r = run_morvane({"cluster"}, "AAAA\t5000000000\nAAAT\t3000000000\n");
    EXPECT_EQ(r.out, header + "AAAA\t1:0\t8000000000\t5000000000\t3000000000\t0\tAAAT:3000000000:1\n");
}

TEST(ClusterCommand, OutputFileGetsTheSameText) {
    scratch_dir dir;
    run_result r = run_morvane({"cluster", "-o", dir.path("out.txt")}, worked_table);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, worked_clusters);
    EXPECT_EQ(dir.read("out.txt"), worked_clusters);
}

TEST(ClusterCommand, AlignFileWithoutStatisticsStaysEmpty) {
    scratch_dir dir;
    run_result r = run_morvane({"cluster", "-a", dir.path("align.txt")}, worked_table);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, phases + worked_left_out);
    EXPECT_TRUE(dir.exists("align.txt"));
    EXPECT_EQ(dir.read("align.txt"), "");
}

const std::string stats_header =
    "#Degeneracy\tSequence Count\tSequence\tProximal Clusters\tLargest Proximal Cluster\tSmallest Proximal Cluster\tAll proximal "
    "cluster sizes\n";

TEST(ClusterCommand, StatisticsOfTheWorkedExample) {
    scratch_dir dir;
    run_result r = run_morvane({"cluster", "-s", dir.path("stats.txt")}, worked_table);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, worked_clusters);
    EXPECT_EQ(r.err, phases + worked_left_out +
                         "Generating cluster statistics...\n\t0 of 5 performed [0%]\n\t1 of 5 performed [10%]\n\t2 of 5 performed [20%]\n"
                         "\t3 of 5 performed [30%]\n\t4 of 5 performed [40%]\n");
    EXPECT_EQ(dir.read("stats.txt"), stats_header + "1\t10\tAAAT\t1\t113\t113\t113\n");
}

TEST(ClusterCommand, StatisticsAndAlignmentOfTheRemainingSequences) {
    // The core has one member; the two remaining sequences are three and
    // four substitutions from it: scores 82 (reaches 80) and 76.
    std::string table =
        "AAAAAAAAAACCCCCCCCCC\t50\nCAAAAAAAAACCCCCCCCCC\t5\nAAAAAGAAAAGCCCCGCCCC\t3\nAATAAAATAACCTCCCCTCC\t2\n";
    scratch_dir dir;
    run_result r = run_morvane({"cluster", "-s", dir.path("stats.txt"), "-a", dir.path("align.txt")}, table);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header +
                         "AAAAAAAAAACCCCCCCCCC\t1:0\t55\t50\t5\t0\tCAAAAAAAAACCCCCCCCCC:5:1\n"
                         "AAAAAGAAAAGCCCCGCCCC\t0:0\t3\t3\t0\t0\nAATAAAATAACCTCCCCTCC\t0:0\t2\t2\t0\t0\n");
    EXPECT_EQ(r.err, phases +
                         "Aligning remaining sequences...\n\t0 of 4 entries [0%]\n\t1 of 4 entries [10%]\n\t2 of 4 entries [20%]\n"
                         "\t3 of 4 entries [30%]\n"
                         "Generating cluster statistics...\n\t0 of 4 performed [0%]\n\t1 of 4 performed [10%]\n\t2 of 4 performed [20%]\n"
                         "\t3 of 4 performed [30%]\n");
    EXPECT_EQ(dir.read("align.txt"),
              "#Alignment score cutoff: 80\tAligned top 5 candidates\n#Aligned sequences: 1\tUnaligned sequences: 1\n"
              "#Average best-alignment score: 79\n#Core sequence\tCore count\tAligning sequence\tAlign seq count\tScore\n"
              "AAAAAAAAAACCCCCCCCCC\t50\tAAAAAGAAAAGCCCCGCCCC\t3\t82\n");
    EXPECT_EQ(dir.read("stats.txt"), stats_header + "1\t5\tCAAAAAAAAACCCCCCCCCC\t1\t55\t55\t55\n");

    // A cutoff above the best score leaves no line; -n 0 skips the phase.
    r = run_morvane({"cluster", "-s", dir.path("stats.txt"), "-a", dir.path("align.txt"), "-c", "83", "-n", "1"}, table);
    EXPECT_EQ(dir.read("align.txt"),
              "#Alignment score cutoff: 83\tAligned top 1 candidates\n#Aligned sequences: 0\tUnaligned sequences: 2\n"
              "#Average best-alignment score: 79\n#Core sequence\tCore count\tAligning sequence\tAlign seq count\tScore\n");
    r = run_morvane({"cluster", "-s", dir.path("stats.txt"), "-a", dir.path("align.txt"), "-n", "0"}, table);
    EXPECT_EQ(r.err.find("Aligning"), std::string::npos);
    EXPECT_EQ(dir.read("align.txt"), "");
}

TEST(ClusterCommand, HelpGoesToStandardOutput) {
    const std::string help = usage +
                             "input_file gives a list of sequences with respective counts to be clustered; if no input_file specified, "
                             "reads from stdin\n\n"
                             "  -s FILE\t calculates additional statistics and outputs them to FILE\n"
                             "  -a FILE\t stores alignment results in FILE\n"
                             "  -f\t\t forces entries to be clustered to, at most, one core\n"
                             "  -c N\t\t only performs alignments if align score is at least N\n"
                             "  -n N\t\t aligns the top N candidates during the aligning phase; defaults to 5, 0 skips aligning\n"
                             "  -m N\t\t sequences in no cluster are written only with more than N counts; defaults to 1\n"
                             "  -o FILE\t additionally outputs results to FILE\n";
    for (const char* arg : {"help", "--help", "?", "helpful.txt"}) {
        run_result r = run_morvane({"cluster", arg, "-x"});
        EXPECT_EQ(r.status, 0) << arg;
        EXPECT_EQ(r.out, help) << arg;
        EXPECT_EQ(r.err, "") << arg;
    }
}

TEST(ClusterCommand, RejectsBadOptionsAndOperands) {
    struct refusal {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<refusal> cases = {
        {{"cluster", "-c", "0"}, "cluster: Only positive align score cutoffs allowed\n"},
        {{"cluster", "-c", "-5"}, "cluster: Only positive align score cutoffs allowed\n"},
        {{"cluster", "-c", "many"}, "cluster: Only positive align score cutoffs allowed\n"},
        {{"cluster", "-n", "-1"}, "cluster: Only positive n allowed for aligning top n candidates\n"},
        {{"cluster", "-m", "-1"}, "cluster: Only positive count mins allowed\n"},
        // The option parser names the offending option first.
        {{"cluster", "-x"}, "cluster: invalid option -- 'x'\ncluster: Unrecognized command line option (?)\n"},
        {{"cluster", "-c"},
         "cluster: option requires an argument -- 'c'\ncluster: Unrecognized command line option (?)\n"},
        {{"cluster", "a.txt", "b.txt"}, usage},
        {{"cluster", "/nonexistent/counts.txt"}, "cluster: Could not access file /nonexistent/counts.txt\n"},
        {{"cluster", "/"}, "cluster: Could not access file /\n"},
        {{"cluster", "-o", "/nonexistent/out.txt"}, "Could not open /nonexistent/out.txt for writing\n"},
        {{"cluster", "-s", "/nonexistent/s.txt"}, "cluster: Could not open statistics file /nonexistent/s.txt for writing\n"},
        {{"cluster", "-a", "/nonexistent/a.txt"}, "cluster: Could not open align file /nonexistent/a.txt for writing\n"},
    };
    for (const refusal& c : cases) {
        run_result r = run_morvane(c.args, worked_table);
        EXPECT_EQ(r.status, 1) << c.args.back();
        EXPECT_EQ(r.out, "") << c.args.back();
        EXPECT_EQ(r.err, c.err) << c.args.back();
    }
    // -n 0 and -m 0 are accepted.
    EXPECT_EQ(run_morvane({"cluster", "-n", "0", "-m", "0"}, worked_table).status, 0);
}

TEST(ClusterCommand, FilesOfEarlierOptionsStayWhenALaterOneFails) {
    scratch_dir dir;
    run_result r = run_morvane({"cluster", "-o", dir.path("out.txt"), "-c", "0"}, worked_table);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(dir.exists("out.txt"));
}

TEST(ClusterCommand, WriteErrorEndsTheRun) {
    run_result r = run_morvane({"cluster", "-o", "/dev/full"}, worked_table);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, phases + "Could not write to /dev/full\n");
}

}  // namespace
