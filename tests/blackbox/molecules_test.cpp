// Molecules per barcode: count -k writes the UMI table, tabulate -u/-k merges
// the UMIs of every key that ends at one barcode. On the lineage example the
// result must be what the workflow gave before the step moved into the tool
// (tests/data/lineage), and inputs that do not belong together must stop the run.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "harness.h"

namespace {

const std::string source_dir = MORVANE_SOURCE_DIR;
const std::string lineage_layout = "'ACTGACTGCAGTCGAACG[60]GTCGTATCGACT(10)'";

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The three lineage samples counted, clustered and mapped once for the suite.
class lineage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new scratch_dir();
        std::string barcodes = source_dir + "/tests/data/lineage/barcodes.tsv";
        for (const char* day : {"d0", "d7", "d14"}) {
            std::string d(day);
            std::string steps = "morvane count -m S -b -p " + lineage_layout + " -k umis-" + d + ".txt " + source_dir +
                                "/examples/lineage-" + d + ".fastq.gz > table-" + d + ".txt" +
                                " && morvane cluster -m 0 table-" + d + ".txt > clusters-" + d + ".txt 2>/dev/null" +
                                " && morvane map -c 0 -n 0 clusters-" + d + ".txt '" + barcodes + "' > map-" + d +
                                ".txt 2>/dev/null";
            ASSERT_EQ(run_shell(steps, "", dir_->path()).status, 0) << steps;
        }
        dir_->write("barcodes.tsv", read_file(barcodes));
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    static run_result molecules(const std::string& umis, const std::string& clusters, const std::string& map,
                                const std::string& barcodes = "barcodes.tsv") {
        return run_morvane({"tabulate", "-c", "270", "-u", umis, "-k", clusters, map, barcodes}, "", dir_->path());
    }

    static scratch_dir* dir_;
};
scratch_dir* lineage::dir_ = nullptr;

TEST_F(lineage, molecules_are_those_of_the_workflow_before) {
    for (const char* day : {"d0", "d7", "d14"}) {
        std::string d(day);
        run_result r = molecules("umis-" + d + ".txt", "clusters-" + d + ".txt", "map-" + d + ".txt");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, read_file(source_dir + "/tests/data/lineage/molecules-" + d + ".tsv")) << d;
        EXPECT_NE(r.err.find(" molecules after merging the UMIs of each barcode's keys ("), std::string::npos);
    }
    // -o gets the same report; the count table is unchanged by -k.
    run_result r = run_morvane({"tabulate", "-c", "270", "-o", "copy.tsv", "-u", "umis-d0.txt", "-k", "clusters-d0.txt",
                                "map-d0.txt", "barcodes.tsv"},
                               "", dir_->path());
    EXPECT_EQ(r.out, dir_->read("copy.tsv"));
    run_result plain = run_shell("morvane count -m S -b -p " + lineage_layout + " " + source_dir +
                                 "/examples/lineage-d0.fastq.gz | cmp - table-d0.txt",
                                 "", dir_->path());
    EXPECT_EQ(plain.status, 0) << plain.out << plain.err;
}

TEST_F(lineage, the_umi_table_repeats_the_header_and_lists_every_pair) {
    std::string umis = dir_->read("umis-d0.txt");
    std::string table = dir_->read("table-d0.txt");
    // The count table's header down to #molecules, then the pairs.
    std::string header = table.substr(0, table.find("#read\tcount\treads\n"));
    ASSERT_EQ(umis.compare(0, header.size(), header), 0);
    std::string rest = umis.substr(header.size());
    ASSERT_EQ(rest.rfind("#umi pairs: 5692\n#read\tumi\treads\n", 0), 0u) << rest.substr(0, 80);
    size_t lines = 0;
    for (char c : rest) lines += c == '\n';
    EXPECT_EQ(lines, 5692u + 2);
}

// Inputs that do not belong together: a message naming the problem, status
// 1, nothing on standard output.
TEST_F(lineage, inputs_that_do_not_belong_together_are_refused) {
    std::string umis = dir_->read("umis-d0.txt");
    dir_->write("truncated.txt", umis.substr(0, umis.rfind('\n', umis.size() - 300) + 1));
    std::string barcodes = dir_->read("barcodes.tsv");
    dir_->write("few-barcodes.tsv", barcodes.substr(0, barcodes.size() / 2));
    struct case_ {
        const char* what;
        std::string umis, clusters, map, barcodes, message;
    };
    const case_ cases[] = {
        {"a count table as the UMI table", "table-d0.txt", "clusters-d0.txt", "map-d0.txt", "barcodes.tsv",
         "tabulate: table-d0.txt is not a UMI table (count -k writes one)"},
        {"the UMI table of another sample", "umis-d7.txt", "clusters-d0.txt", "map-d0.txt", "barcodes.tsv",
         "files of different runs"},
        {"a map file of another cluster file", "umis-d0.txt", "clusters-d0.txt", "map-d7.txt", "barcodes.tsv",
         "a map file of another cluster file"},
        {"a UMI table cut short", "truncated.txt", "clusters-d0.txt", "map-d0.txt", "barcodes.tsv",
         "the table is incomplete"},
        {"a barcode file without some mapped barcodes", "umis-d0.txt", "clusters-d0.txt", "map-d0.txt",
         "few-barcodes.tsv", "which the barcode file does not hold"},
        {"the cluster file as the map file", "umis-d0.txt", "clusters-d0.txt", "clusters-d0.txt", "barcodes.tsv",
         "Error: a map entry is not in the valid format"},
        {"the map file as the cluster file", "umis-d0.txt", "map-d0.txt", "map-d0.txt", "barcodes.tsv",
         "a map file of another cluster file"},
    };
    for (const case_& c : cases) {
        run_result r = molecules(c.umis, c.clusters, c.map, c.barcodes);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
    }
}

TEST(molecule_options, are_refused_where_they_cannot_work) {
    scratch_dir dir;
    dir.write("reads.fq", "@r\nCACCGGATTACACGT\n+\nIIIIIIIIIIIIIII\n");
    dir.write("empty.txt", "");
    struct case_ {
        std::vector<std::string> args;
        std::string message;
    };
    const case_ cases[] = {
        {{"count", "-m", "S", "-p", "CACCG[6]", "-k", "umis.txt", "reads.fq"},
         "-k needs a UMI slot (n) in the layout (-p)\nusage: count"},
        {{"count", "-m", "S", "-k", "umis.txt", "reads.fq"}, "-k needs a UMI slot (n) in the layout (-p)\n"},
        {{"tabulate", "-u", "umis.txt", "empty.txt", "empty.txt"}, "tabulate: -u and -k go together"},
        {{"tabulate", "-k", "empty.txt", "empty.txt", "empty.txt"}, "tabulate: -u and -k go together"},
        {{"tabulate", "-u", "missing.txt", "-k", "empty.txt", "empty.txt", "empty.txt"},
         "Could not open UMI table missing.txt\n"},
        {{"tabulate", "-u", "empty.txt", "-k", "missing.txt", "empty.txt", "empty.txt"},
         "Could not open cluster file missing.txt\n"},
        {{"tabulate", "-u", "empty.txt", "-k", "empty.txt", "empty.txt", "empty.txt"}, "is not a UMI table"},
    };
    for (const case_& c : cases) {
        run_result r = run_morvane(c.args, "", dir.path());
        EXPECT_EQ(r.status, 1) << c.args[0] << " " << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// The example of docs/molecules.md: a molecule read under a barcode and under its
// masked variant counts once, and the UMI table lists the pairs in the count
// table's order, each key's UMIs by reads.
TEST(molecule_step, counts_a_molecule_of_two_keys_once) {
    scratch_dir dir;
    std::string reads;
    int n = 0;
    auto add = [&](int times, const std::string& sequence, const std::string& quality = "") {
        for (int i = 0; i < times; ++i)
            reads += "@r" + std::to_string(++n) + "\n" + sequence + "\n+\n" +
                     (quality.empty() ? std::string(sequence.size(), 'I') : quality) + "\n";
    };
    const std::string barcode = "AAAACCCCGGGGTTTTAC";
    add(5, "CACCG" + barcode + "ACGT");
    add(2, "CACCG" + barcode + "ACGA");
    add(1, "CACCG" + barcode + "TTTA");
    // Its barcode letter masked: the same molecule ACGT under a variant.
    add(2, "CACCG" + barcode + "ACGT", "IIIIIIII#IIIIIIIIIIIIIIIIII");
    dir.write("reads.fq", reads);
    dir.write("barcodes.tsv", "b1\t" + barcode + "\n");
    ASSERT_EQ(run_shell("morvane count -m S -p 'CACCG[18](4)' -k umis.txt reads.fq > table.txt && "
                        "morvane cluster -m 0 table.txt > clusters.txt 2>/dev/null && "
                        "morvane map clusters.txt barcodes.tsv > map.txt 2>/dev/null",
                        "", dir.path())
                  .status,
              0);
    std::string umis = dir.read("umis.txt");
    EXPECT_NE(umis.find("#molecules: 3\n#umi pairs: 4\n#read\tumi\treads\n"
                        "AAAACCCCGGGGTTTTAC\tACGT\t5\nAAAACCCCGGGGTTTTAC\tACGA\t2\nAAAACCCCGGGGTTTTAC\tTTTA\t1\n"
                        "AAANCCCCGGGGTTTTAC\tACGT\t2\n"),
              std::string::npos)
        << umis;
    // Per key: 2 + 1 = 3 molecules; merged: ACGT (7) takes ACGA, TTTA alone.
    run_result r = run_morvane({"tabulate", "-u", "umis.txt", "-k", "clusters.txt", "map.txt", "barcodes.tsv"}, "",
                               dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "#molecules: 2\n#molecule reads: 10\n#bcid\tbarcode\ttotal\tmm0\tmm1\tmm2\talign\n"
              "b1\tAAAACCCCGGGGTTTTAC\t2\t2\t0\t0\t0\n");
    run_result plain = run_morvane({"tabulate", "map.txt", "barcodes.tsv"}, "", dir.path());
    EXPECT_EQ(plain.out, "#bcid\tbarcode\ttotal\tmm0\tmm1\tmm2\talign\nb1\tAAAACCCCGGGGTTTTAC\t3\t3\t0\t0\t0\n");
}

}  // namespace
