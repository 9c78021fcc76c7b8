#include "tabulate/tabulate_internal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/error.h"
#include "io/line_reader.h"

namespace {

tabulate_tables tables_for(const std::string& barcode_file, int cutoff = 70) {
    tabulate_tables t;
    t.min_align_cutoff = cutoff;
    auto reader = line_reader::from_memory(barcode_file);
    testing::internal::CaptureStderr();
    tabulate_build_barcode_links(t, *reader);
    testing::internal::GetCapturedStderr();
    return t;
}

// The eight leading columns of a map line, with the given total.
std::string head(const std::string& total) { return "AAAACCCC\t" + total + "\t1:0\t7\t1\t5\t0\t0\t"; }

int64_t index_of(const tabulate_tables& t, const std::string& sequence) { return t.index_of(sequence); }

const std::string map_format_error =
    "Error: a map entry is not in the valid format:\n"
    "\tseq\ttotal\tscore\tmm0\tmm1n\tmm1\tmm2n\tmm2\tmatch type\tbarcode id\tbarcode seq\taligns\n";

TEST(TabulateBarcodeLinks, AcceptedLinesAndTheirSequences) {
    std::string long_sequence(1500, 'A');
    tabulate_tables t = tables_for(
        "# comment\n"
        "id\tACGT\textra\n"
        "\tCCCC\n"
        "crlf\tGGGG\r\n"
        "long\t" +
        long_sequence +
        "\n"
        "last\tTTTT");
    EXPECT_EQ(t.barcode_details, (std::vector<std::string>{"id", "", "crlf", "long", "last"}));
    EXPECT_EQ(t.barcode_sequences, (std::vector<std::string>{"ACGT", "CCCC", "GGGG\r", long_sequence, "TTTT"}));
    EXPECT_EQ(t.num_barcode_sequences, 5);
    EXPECT_EQ(index_of(t, "GGGG\r"), 2);
    EXPECT_EQ(index_of(t, "ACGT"), 0);
    EXPECT_EQ(index_of(t, "ACGT\textra"), -1);
}

TEST(TabulateBarcodeLinks, WarningsForMalformedAndRepeatedLines) {
    tabulate_tables t;
    auto reader = line_reader::from_memory("id1\tACGT\nno tab\nid2\tCCCC\n\nid3\tACGT\n");
    testing::internal::CaptureStderr();
    tabulate_build_barcode_links(t, *reader);
    std::string malformed = "Warning: an entry is not in expected format (sequence\tdetails)\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              malformed + malformed + malformed + malformed +
                  "Warning: there are non-unique barcode_sequences in the barcode file\n");
    EXPECT_EQ(t.num_barcode_sequences, 2);
    EXPECT_EQ(index_of(t, "ACGT"), 2);
    EXPECT_EQ(t.barcode_mm0s.size(), 3u);  // one counter per accepted line

    tabulate_order_barcodes(t);
    EXPECT_EQ(t.sorted_barcode_ids, (std::vector<int64_t>{1, 2}));  // id2, id3; line 0 is no barcode
}

TEST(TabulateBarcodeLinks, CommentsOnlyGiveNoBarcodesAndNoWarning) {
    tabulate_tables t;
    auto reader = line_reader::from_memory("# a\n#\tb\n");
    testing::internal::CaptureStderr();
    tabulate_build_barcode_links(t, *reader);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(t.num_barcode_sequences, 0);
    tabulate_order_barcodes(t);
    EXPECT_TRUE(t.sorted_barcode_ids.empty());
}

TEST(TabulateMapLine, NoneLinesNeedNoBarcodeFields) {
    tabulate_tables t = tables_for("a\tACGT\n");
    tabulate_process_map_line(t, head("9") + "none");
    tabulate_process_map_line(t, head("9") + "none\n");
    // "none" with more fields is an unknown match type: it counts nothing.
    tabulate_process_map_line(t, head("9") + "none\ta\tACGT");
    EXPECT_EQ(t.barcode_mm0s[0] + t.barcode_mm1s[0] + t.barcode_mm2s[0] + t.barcode_aligns[0], 0);
}

TEST(TabulateMapLine, MismatchKindsAddTheTotalToTheirCounter) {
    tabulate_tables t = tables_for("a\tACGT\nb\tCCCC\ntabbed\tGG\tx\n");
    tabulate_process_map_line(t, head("12") + "mm1\ta\tACGT");
    tabulate_process_map_line(t, head("3") + "mm0\ta\tACGT");
    tabulate_process_map_line(t, head("4") + "mm2\tb\tCCCC\n");
    tabulate_process_map_line(t, head("1") + "mm2\tb\tCCCC");
    tabulate_process_map_line(t, head("7") + "mm0\tz\tTTTT");    // not a barcode
    tabulate_process_map_line(t, head("7") + "N/A\ta\tACGT");    // not a match kind
    tabulate_process_map_line(t, head("abc") + "mm0\ta\tACGT");  // no number: adds 0
    // The barcode file's sequence ends at its second tab; the map line's own
    // barcode field is the whole rest of the line, so "GG\tx" is no barcode.
    tabulate_process_map_line(t, head("6") + "mm0\ttabbed\tGG");
    tabulate_process_map_line(t, head("5") + "mm0\ttabbed\tGG\tx");
    EXPECT_EQ(t.barcode_mm0s, (std::vector<int64_t>{3, 0, 6}));
    EXPECT_EQ(t.barcode_mm1s, (std::vector<int64_t>{12, 0, 0}));
    EXPECT_EQ(t.barcode_mm2s, (std::vector<int64_t>{0, 5, 0}));
    EXPECT_EQ(t.barcode_aligns, (std::vector<int64_t>{0, 0, 0}));
}

TEST(TabulateMapLine, CountsDoNotWrap) {
    tabulate_tables t = tables_for("a\tACGT\n");
    tabulate_process_map_line(t, head("5000000000") + "mm0\ta\tACGT");
    tabulate_process_map_line(t, head("5000000000") + "mm0\ta\tACGT");
    EXPECT_EQ(t.barcode_mm0s[0], 10'000'000'000LL);
    tabulate_process_map_line(t, head("99999999999999999999") + "mm0\ta\tACGT");
    EXPECT_EQ(t.barcode_mm0s[0], INT64_MAX);
    tabulate_process_map_line(t, head("99999999999999999999") + "mm1\ta\tACGT");
    tabulate_process_map_line(t, head("99999999999999999999") + "mm2\ta\tACGT");
    tabulate_order_barcodes(t);
    EXPECT_EQ(t.barcode_totals[0], INT64_MAX);
}

TEST(TabulateMapLine, AlignmentsCountFromTheCutoff) {
    for (int cutoff : {70, 60}) {
        tabulate_tables t = tables_for("s1\tS1\ns2\tS2\n", cutoff);
        tabulate_process_map_line(t, head("5") + "align\tMULTIPLE:s1;s2\tS1;S2\t85:AC-T:0:0:1;60:AGGT:2:0:0");
        EXPECT_EQ(t.barcode_aligns[0], 5);
        EXPECT_EQ(t.barcode_align_seq[0], "85:AC-T:0:0:1");
        EXPECT_EQ(t.barcode_aligns[1], cutoff == 60 ? 5 : 0);
        EXPECT_EQ(t.has_align_seq[1] != 0, cutoff == 60);
    }
}

TEST(TabulateMapLine, AlignmentListsGrowInFileOrder) {
    tabulate_tables t = tables_for("s1\tS1\ns2\tS2\ns3\tS3\n");
    tabulate_process_map_line(t, head("2") + "align\ts1\tS1\t90:I1:0:0:0");
    tabulate_process_map_line(t, head("3") + "align\tMULTIPLE:s3;s1;s2\tS3;S1;S2\t80:I2:0:0:0;95:I3:0:0:0");
    EXPECT_EQ(t.barcode_align_seq[0], "90:I1:0:0:0;95:I3:0:0:0");
    EXPECT_EQ(t.barcode_aligns[0], 5);
    EXPECT_EQ(t.barcode_align_seq[2], "80:I2:0:0:0");
    EXPECT_FALSE(t.has_align_seq[1]);  // third barcode had no item
    // A colon in the barcode field drops what stands before it; the
    // alignment field is the rest of the line, tabs and all.
    tabulate_process_map_line(t, head("1") + "align\tx\tjunk:S2\t77:A\tB");
    EXPECT_EQ(t.barcode_align_seq[1], "77:A\tB");
}

TEST(TabulateMapLine, EmptyAlignmentItemStillCounts) {
    tabulate_tables t = tables_for("s1\tS1\n", 0);
    tabulate_process_map_line(t, head("4") + "align\ts1\tS1\t");
    tabulate_process_map_line(t, head("4") + "align\ts1\tS1;S1\t70:X;");
    EXPECT_EQ(t.barcode_aligns[0], 12);
    EXPECT_EQ(t.barcode_align_seq[0], ";70:X;");
}

TEST(TabulateMapLine, TooFewFieldsEndTheRun) {
    tabulate_tables t = tables_for("a\tACGT\n");
    for (const std::string& line :
         {std::string(), std::string("AAAA\t1\t0:0\t1\t0\t0\t0\t0"), head("1") + "mm0\ta", head("1") + "mm0",
          head("1") + "none\ta", head("1") + "align\ta\tACGT", head("1") + "none\r"}) {
        testing::internal::CaptureStderr();
        try {
            tabulate_process_map_line(t, line);
            ADD_FAILURE() << "accepted: " << line;
        } catch (const exit_request& request) {
            EXPECT_EQ(request.status, 1);
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), map_format_error) << line;
    }
}

TEST(TabulateReport, OrderedByDetailsInByteOrderThenByIndex) {
    tabulate_tables t = tables_for("b2\tAAAA\nB10\tCCCC\nB2\tGGGG\nB2\tTTTT\n");
    tabulate_order_barcodes(t);
    EXPECT_EQ(t.sorted_barcode_ids, (std::vector<int64_t>{1, 2, 3, 0}));
}

}  // namespace
