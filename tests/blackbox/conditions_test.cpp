// Hostile conditions around every sub-command: a full disk, a reader that
// goes away, inputs that cannot be read, a barcode file that cannot be
// rewound, and damaged gzip streams.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "harness.h"

namespace {

// Random but repeatable sequences.
class letters {
public:
    std::string next(size_t length) {
        std::string s(length, 'A');
        for (char& c : s) {
            state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
            c = "ACGT"[state_ >> 62];
        }
        return s;
    }

private:
    uint64_t state_ = 42;
};

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// One run of the pipeline on files large enough that no table fits in a
// pipe's buffer: reads.fq, counts.txt, clusters.txt, barcodes.tsv, mapped.txt.
class Conditions : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new scratch_dir;
        letters gen;
        std::string barcodes = "#id\tbarcode\n";
        std::vector<std::string> codes;
        for (int i = 0; i < 4000; ++i) {
            codes.push_back(gen.next(20));
            barcodes += "bc" + std::to_string(i) + "\t" + codes.back() + "\n";
        }
        dir_->write("barcodes.tsv", barcodes);
        // Reads: each barcode twice, with a few changed letters now and then.
        std::string reads;
        for (int i = 0; i < 8000; ++i) {
            std::string seq = codes[static_cast<size_t>(i) % codes.size()];
            if (i % 7 == 0) seq[static_cast<size_t>(i) % 20] = 'N';
            reads += "@r" + std::to_string(i) + "\n" + seq + "\n+\n" + std::string(seq.size(), 'I') + "\n";
        }
        dir_->write("reads.fq", reads);
        for (const char* step : {"morvane count -m S reads.fq > counts.txt", "morvane cluster counts.txt > clusters.txt",
                                 "morvane map -s clusters.txt barcodes.tsv > mapped.txt"})
            ASSERT_EQ(run_shell(step, "", dir_->path()).status, 0) << step;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }

    struct sub_command {
        std::string name;
        std::string args;  // what follows the name, inputs included
        std::string output;  // what a sound run writes to standard output
    };
    static std::vector<sub_command> all_sub_commands() {
        std::vector<sub_command> all{{"count", "-m S reads.fq", ""},
                                     {"cluster", "counts.txt", ""},
                                     {"map", "-s clusters.txt barcodes.tsv", ""},
                                     {"tabulate", "mapped.txt barcodes.tsv", ""}};
        for (sub_command& s : all) s.output = shell("morvane " + s.name + " " + s.args).out;
        return all;
    }
    static run_result shell(const std::string& command) { return run_shell(command, "", dir_->path()); }

    static scratch_dir* dir_;
};

scratch_dir* Conditions::dir_ = nullptr;

TEST_F(Conditions, FullDiskEndsWithStatusOneAndNamesTheStream) {
    for (const sub_command& s : all_sub_commands()) {
        SCOPED_TRACE(s.name);
        ASSERT_GT(s.output.size(), size_t{1} << 16);
        run_result r = shell("morvane " + s.name + " " + s.args + " > /dev/full");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(ends_with(r.err, "Could not write to stdout\n")) << r.err;
        r = shell("morvane " + s.name + " -o /dev/full " + s.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");  // the file comes first, and the run ends there
        EXPECT_TRUE(ends_with(r.err, "Could not write to /dev/full\n")) << r.err;
    }
    // The statistics and alignment files of cluster as well.
    run_result r = shell("morvane cluster -s /dev/full counts.txt > /dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.err, "Could not write to /dev/full\n")) << r.err;
}

TEST_F(Conditions, ClosedPipeEndsQuietlyAndTheOutputFileIsWhole) {
    for (const sub_command& s : all_sub_commands()) {
        SCOPED_TRACE(s.name);
        run_result r = shell("morvane " + s.name + " -o whole.txt " + s.args +
                             " | head -n 1; echo \"status ${PIPESTATUS[0]}\" >&2");
        EXPECT_EQ(r.out, s.output.substr(0, s.output.find('\n') + 1));
        EXPECT_TRUE(ends_with(r.err, "status 141\n")) << r.err;  // SIGPIPE
        EXPECT_EQ(r.err.find("Could not"), std::string::npos) << r.err;
        EXPECT_TRUE(dir_->read("whole.txt") == s.output);  // written whole before standard output
    }
}

TEST_F(Conditions, InputsThatCannotBeReadGetTheOpenFailure) {
    std::filesystem::create_directories(dir_->path("folder"));
    dir_->write("locked.txt", "ACGT\t3\n");
    std::filesystem::permissions(dir_->path("locked.txt"), std::filesystem::perms::none);
    // A directory; a file whose reads fail (reading address 0 of the process
    // itself fails, even for root); a file without read permission, which
    // only a user other than root is refused.
    std::vector<std::string> bad{"folder", "/proc/self/mem"};
    if (geteuid() != 0) bad.push_back("locked.txt");
    for (const std::string& path : bad) {
        SCOPED_TRACE(path);
        struct failing_run {
            std::string command, message;
        };
        for (const failing_run& f : std::vector<failing_run>{
                 {"count -f " + path, "Could not read from file " + path + "\n"},
                 {"cluster " + path, "cluster: Could not access file " + path + "\n"},
                 {"map " + path + " barcodes.tsv", "No cluster input file\n"},
                 {"map clusters.txt " + path, "Could not open barcode file " + path + "\n"},
                 {"tabulate " + path + " barcodes.tsv", "No map file supplied\n"},
                 {"tabulate mapped.txt " + path, "Could not open barcode file " + path + "\n"}}) {
            SCOPED_TRACE(f.command);
            run_result r = shell("morvane " + f.command);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_TRUE(ends_with(r.err, f.message)) << r.err;
        }
    }
}

TEST_F(Conditions, BarcodeFileThroughAPipeIsReadLikeTheFile) {
    // map with its alignments, on clusters some of which match no word.
    std::string clusters = shell("head -n 400 clusters.txt").out;
    letters gen;
    for (int i = 0; i < 20; ++i) clusters += gen.next(20) + "\t0:0\t3\t3\t0\t0\n";
    dir_->write("some-clusters.txt", clusters);
    run_result file = shell("morvane map -n 2 some-clusters.txt barcodes.tsv");
    ASSERT_EQ(file.status, 0);
    ASSERT_NE(file.out.find("\talign\t"), std::string::npos);
    run_result pipe = shell("morvane map -n 2 some-clusters.txt <(cat barcodes.tsv)");
    EXPECT_EQ(pipe.status, 0);
    EXPECT_TRUE(pipe.out == file.out);
    EXPECT_EQ(pipe.err, file.err);
}

// Tables that only a damaged or hand-edited file gives.
TEST(HostileTables, CountTableOfEmptySequencesOnly) {
    run_result r = run_morvane({"cluster"}, "\t8\nAC\n\t3\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "#core sequence\tscore\ttotal count\tcore count\tmm1 count\tmm2 count\t[sequence:count:mmcount]...\n"
              "\t0:0\t8\t8\t0\t0\n\t0:0\t3\t3\t0\t0\n");
}

// Totals beyond 32 bits: a count table and a map file whose sums pass 2^32.
TEST(Totals, ClusterAndTabulateSumInSixtyFourBits) {
    scratch_dir dir;
    const std::string core = "ACGTACGTACGTACGTACGT";
    const std::string near = "ACGTACGTACGTACGTACGA";
    dir.write("counts.txt", "#read\tcount\n" + core + "\t3000000000\n" + near + "\t2000000000\n");
    run_result r = run_morvane({"cluster", "counts.txt"}, "", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\n" + core + "\t1:0\t5000000000\t3000000000\t2000000000\t0\t"), std::string::npos) << r.out;

    dir.write("barcodes.tsv", "b1\t" + core + "\n");
    const std::string columns = "\t0:0\t0\t0\t0\t0\t0\t";
    dir.write("mapped.txt", core + "\t3000000000" + columns + "mm0\tb1\t" + core + "\n" + near + "\t2000000000" +
                                columns + "mm1\tb1\t" + core + "\n" + near + "\t4294967296" + columns +
                                "align\tb1\t" + core + "\t90:" + near + ":1:0:0\n");
    r = run_morvane({"tabulate", "mapped.txt", "barcodes.tsv"}, "", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\nb1\t" + core + "\t9294967296\t3000000000\t2000000000\t0\t4294967296\t"), std::string::npos)
        << r.out;
}

// Every cut and every damaged byte of a small gzip file: the run fails with
// status 2, or (a change that the format cannot see, such as the stored
// time) gives the whole table; never a short table with status 0.
TEST_F(Conditions, DamagedGzipNeverGivesAShortTable) {
    scratch_dir local;
    std::string reads;
    letters gen;
    for (int i = 0; i < 12; ++i) {
        std::string seq = gen.next(24);
        reads += "@r\n" + seq + "\n+\n" + std::string(seq.size(), 'I') + "\n";
    }
    local.write("reads.fq", reads);
    ASSERT_EQ(run_shell("gzip -n -c reads.fq > reads.fq.gz", "", local.path()).status, 0);
    std::string compressed = local.read("reads.fq.gz");
    std::string whole = run_morvane({"count", "-m", "S", "-f", "reads.fq.gz"}, "", local.path()).out;
    auto check = [&](const std::string& damaged, const std::string& what) {
        local.write("damaged.gz", damaged);
        run_result r = run_morvane({"count", "-m", "S", "-f", "damaged.gz"}, "", local.path());
        if (r.status == 0) {
            EXPECT_EQ(r.out, whole) << what;
        } else {
            EXPECT_EQ(r.status, 2) << what;
            EXPECT_EQ(r.out, "") << what;
            EXPECT_EQ(r.err, "Could not decompress damaged.gz\n") << what;
        }
    };
    // From two bytes on the magic number is there; shorter, it is not gzip.
    for (size_t keep = 2; keep < compressed.size(); ++keep) check(compressed.substr(0, keep), "cut at " + std::to_string(keep));
    for (size_t at = 2; at < compressed.size(); ++at) {
        for (unsigned char flip : {0x01, 0x80}) {
            std::string damaged = compressed;
            damaged[at] = static_cast<char>(damaged[at] ^ flip);
            check(damaged, "byte " + std::to_string(at) + " ^ " + std::to_string(flip));
        }
    }
}

}  // namespace
