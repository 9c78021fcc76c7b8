// count -x SAMPLES -d DIR: one pass, one table per sample, the sample found
// from the index field of the read header.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

namespace {

struct sample_entry {
    std::string name, first, second;
};

const std::vector<sample_entry> sheet = {
    {"Day 1 + Drug", "ACGTACGT", "TTGACCAG"},
    {"Day 1 (ctrl)", "GGTTAACC", "AACCGTTG"},
    {"plate,row A", "CATGCATG", "GTCAGTCA"},
};

std::string sheet_text() {
    std::string text = "# name\tindexes\n";
    for (const sample_entry& s : sheet) text += s.name + "\t" + s.first + "+" + s.second + "\n";
    return text;
}

// Reads whose header index is each sample's, with one substitution in either
// index or the second one reverse-complemented, and some of no sample: a
// combination of two samples' indexes, an unknown index, two substitutions.
struct run_files {
    std::string all;
    std::vector<std::string> per_sample = std::vector<std::string>(sheet.size());
    std::map<std::string, int> undetermined;
    int without_index = 0;
};

run_files make_run(bool turn_second) {
    std::mt19937 random(7);
    run_files f;
    const std::vector<std::string> guides = {"ACGTTGCAAC", "TTTTCCCCGG", "GAGAGAGATT", "CCGGAATTCC"};
    for (int i = 0; i < 600; ++i) {
        std::string read = random_letters(random, 1 + random() % 3) + "CACCG" + guides[random() % guides.size()] +
                           random_letters(random, 6);
        size_t s = random() % sheet.size();
        std::string first = sheet[s].first, second = sheet[s].second;
        if (turn_second) second = reverse_complement(second);
        int kind = static_cast<int>(random() % 10);
        if (kind == 1) first[random() % first.size()] = 'N';
        if (kind == 2) second[3] = second[3] == 'A' ? 'C' : 'A';
        int truth = static_cast<int>(s);
        if (kind == 3) second = sheet[(s + 1) % sheet.size()].second, truth = -1;  // not in the sheet together
        if (kind == 4) first = "AAAAAAAA", truth = -1;
        if (kind == 5) first[0] = first[0] == 'A' ? 'C' : 'A', first[1] = first[1] == 'A' ? 'C' : 'A', truth = -1;
        std::string index = first + "+" + second;
        std::string name = "M1:1:FC:1:1101:" + std::to_string(i) + " 1:N:0:" + index;
        if (kind == 6) name = "M1:1:FC:1:1101:" + std::to_string(i), truth = -2;
        std::string rec = fastq_record(name, read);
        f.all += rec;
        if (truth >= 0) f.per_sample[static_cast<size_t>(truth)] += rec;
        if (truth == -1) ++f.undetermined[index];
        if (truth == -2) ++f.without_index;
    }
    return f;
}

std::string undetermined_table(const run_files& f) {
    std::vector<std::pair<std::string, int>> rows(f.undetermined.begin(), f.undetermined.end());
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    int total = f.without_index;
    std::string body;
    for (const auto& [index, n] : rows) body += index + "\t" + std::to_string(n) + "\n", total += n;
    return "#reads of no sample: " + std::to_string(total) + "\n#reads without index: " +
           std::to_string(f.without_index) + "\n#sample barcode\treads\n" + body;
}

}  // namespace

// Each sample's table is byte for byte the table count writes for that
// sample's reads alone, also when the encoding or the key length is found
// from the reads; the rest is listed as undetermined, most first.
TEST(CountSamples, EachTableAsCountWritesItAloneWhicheverWayTheSecondIndexRuns) {
    const std::vector<std::vector<std::string>> settings = {
        {"-m", "S", "-p", "CACCG[10]"}, {"-m", "A", "-p", "CACCG[10]"}, {"-m", "S", "-l", "auto", "-p", "CACCG[8-12]"}};
    for (bool turned : {false, true}) {
        for (const std::vector<std::string>& options : settings) {
            SCOPED_TRACE(std::string(turned ? "second index reverse-complemented " : "as in the sheet ") + options[1] +
                         " " + options.back());
            scratch_dir dir;
            run_files f = make_run(turned);
            dir.write("run.fastq", f.all);
            dir.write("samples.tsv", sheet_text());
            std::vector<std::string> args{"count"};
            args.insert(args.end(), options.begin(), options.end());
            args.insert(args.end(), {"-x", dir.path("samples.tsv"), "-d", dir.path("out"), dir.path("run.fastq")});
            run_result r = run_morvane(args);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err.find(turned ? "second index: reverse-complemented (" : "second index: as in the sheet ("),
                      std::string::npos)
                << r.err;
            for (size_t s = 0; s < sheet.size(); ++s) {
                dir.write("alone.fastq", f.per_sample[s]);
                std::vector<std::string> alone_args{"count"};
                alone_args.insert(alone_args.end(), options.begin(), options.end());
                alone_args.push_back(dir.path("alone.fastq"));
                run_result alone = run_morvane(alone_args);
                ASSERT_EQ(alone.status, 0);
                EXPECT_EQ(dir.read("out/" + sheet[s].name + ".txt"), alone.out) << sheet[s].name;
            }
            EXPECT_EQ(dir.read("out/undetermined.txt"), undetermined_table(f));
        }
    }
}

TEST(CountSamples, SingleIndexAndTheOlderHeaderForm) {
    scratch_dir dir;
    dir.write("samples.tsv", "a\tGATCAG\nb\tTTAGGC\n");
    dir.write("run.fastq", fastq_record("r1#GATCAG/1", "AAAA") + fastq_record("r2#GATCAT/1", "AAAA") + fastq_record("r3#TTAGGC/1", "CCCC") +
                               fastq_record("r4#GGGGGG/1", "CCCC") + fastq_record("r5#GGGGGG/1", "CC") + fastq_record("r6#CCCCCC/1", "C"));
    run_result r =
        run_morvane({"count", "-m", "S", "-x", dir.path("samples.tsv"), "-d", dir.path("out"), dir.path("run.fastq")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");  // one index: no orientation to tell
    const std::string head = "#trim: 0:0\n#truncate: 0\n#quality lo: 0\thi: 40\tadj: 33\tcutoff: 10\n";
    EXPECT_EQ(dir.read("out/a.txt"), head + "#total reads: 2\n#unique reads: 1\n#filtered bases: 0\n#read\tcount\nAAAA\t2\n");
    EXPECT_EQ(dir.read("out/b.txt"), head + "#total reads: 1\n#unique reads: 1\n#filtered bases: 0\n#read\tcount\nCCCC\t1\n");
    EXPECT_EQ(dir.read("out/undetermined.txt"),
              "#reads of no sample: 3\n#reads without index: 0\n#sample barcode\treads\nGGGGGG\t2\nCCCCCC\t1\n");
}

TEST(CountSamples, RefusedBeforeAnyRead) {
    struct {
        std::vector<std::string> options;
        std::string sheet;
        std::string message;
    } cases[] = {
        {{}, "one\tAAAAAA\ntwo\tAAAACC\n",
         "Invalid sample sheet SHEET: the sample barcodes of 'one' and 'two' are too close to tell apart with one "
         "substitution per part\n"},
        {{}, "a/b\tAAAAAA\n", "Invalid sample sheet SHEET: line 1: a sample name must not be empty, '.', '..' or hold '/'\n"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        dir.write("samples.tsv", c.sheet);
        dir.write("run.fastq", fastq_record("r 1:N:0:AAAAAA", "ACGT"));
        std::vector<std::string> args{"count"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {"-x", dir.path("samples.tsv"), "-d", dir.path("out"), dir.path("run.fastq")});
        run_result r = run_morvane(args);
        std::string expected = c.message;
        if (size_t at = expected.find("SHEET"); at != std::string::npos) expected.replace(at, 5, dir.path("samples.tsv"));
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(r.err.substr(0, expected.size()), expected);
        EXPECT_FALSE(dir.exists("out"));
    }
    scratch_dir dir;
    run_result r = run_morvane({"count", "-d", dir.path("out"), "-f"}, "");
    EXPECT_EQ(r.err.substr(0, 29), "-d needs a sample sheet (-x)\n");
}

// With -2 the index is read 1's; the pair is the unit in every table.
TEST(CountSamples, PairsGoByReadOnesHeader) {
    scratch_dir dir;
    dir.write("samples.tsv", "x y\tGATCAG\nz\tTTAGGC\n");
    std::string r1, r2;
    const char* indexes[] = {"GATCAG", "TTAGGC", "GATCAG", "CCCCCC"};
    for (int i = 0; i < 4; ++i) {
        r1 += fastq_record("p" + std::to_string(i) + " 1:N:0:" + indexes[i], "ACGTAC");
        r2 += fastq_record("p" + std::to_string(i) + " 2:N:0:" + indexes[i], i == 1 ? "GGGG" : "TTTT");
    }
    dir.write("r1.fq", r1);
    dir.write("r2.fq", r2);
    run_result r = run_morvane({"count", "-m", "S", "-p", "AC[2]", "-P", "[3]", "-2", dir.path("r2.fq"), "-x",
                                dir.path("samples.tsv"), "-d", dir.path("out"), dir.path("r1.fq")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string head = "#trim: 0:0\n#truncate: 0\n#quality lo: 0\thi: 40\tadj: 33\tcutoff: 10\n";
    const std::string pair_lines = "#layout: AC[2]\n#mate file: " + dir.path("r2.fq") + "\n#mate layout: [3]\n#pairs without layout: 0\n";
    EXPECT_EQ(dir.read("out/x y.txt"),
              head + "#total reads: 2\n#unique reads: 1\n#filtered bases: 0\n" + pair_lines + "#read\tcount\nGTTTT\t2\n");
    EXPECT_EQ(dir.read("out/z.txt"),
              head + "#total reads: 1\n#unique reads: 1\n#filtered bases: 0\n" + pair_lines + "#read\tcount\nGTGGG\t1\n");
    EXPECT_EQ(dir.read("out/undetermined.txt"),
              "#reads of no sample: 1\n#reads without index: 0\n#sample barcode\treads\nCCCCCC\t1\n");
}

// The warnings of a sample's table name the sample.
TEST(CountSamples, WarningsNameTheSample) {
    scratch_dir dir;
    dir.write("samples.tsv", "a\tGATCAG\nb\tTTAGGC\nc\tCCAATT\n");
    // Below Phred+64, and only the barcode letters are looked at.
    const std::string c_read = "@r4 1:N:0:CCAATT\nCACCGACGT\n+\n555555555\n";
    dir.write("run.fastq", fastq_record("r1 1:N:0:GATCAG", "CACCGAAAA") + fastq_record("r2 1:N:0:GATCAG", "TTTTTTTTT") +
                               fastq_record("r3 1:N:0:GATCAG", "GGGGGGGGG") + c_read);
    run_result r = run_morvane({"count", "-m", "I", "-p", "CACCG[4]", "-x", dir.path("samples.tsv"), "-d",
                                dir.path("out"), dir.path("run.fastq")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "Warning: sample 'a': reads without the layout: 2 of 3 (66.7%); reads of the other strand? try -b (or -r); "
              "constants with more substitutions than allowed? raise -e\n"
              "Warning: no reads in sample 'b'\n"
              "Warning: sample 'c': quality values below the range of the chosen encoding: 4 (Phred+33 reads need -m S)\n");
}

// Many rows: the tables of the later samples are written on a second core.
// Their warnings still come in sheet order, and a table that cannot be
// written stops the run there, the samples after it not written (nor their
// warnings given), as when the tables are written one after another.
TEST(CountSamples, ManyRowsWarningsInSheetOrderAndAFailedTable) {
    std::mt19937 random(5);
    std::string run;
    std::set<std::string> keys[2];
    for (int i = 0; i < 90'000; ++i) {
        const int sample = i % 3 == 2;  // a has two thirds of the rows: the later half of them is b's
        std::string key = random_letters(random, 12);
        keys[sample].insert(key);
        run += fastq_record(std::string("r").append(std::to_string(i)).append(sample ? " 1:N:0:CCCCCC" : " 1:N:0:AAAAAA"),
                            key);
    }
    // e0, e1 and e2 get no reads: one before the first half's rows, two after.
    const std::string sheet = "e0\tGGGGGG\na\tAAAAAA\ne1\tTTTTTT\nb\tCCCCCC\ne2\tACACAC\n";
    const std::string warnings[] = {"Warning: no reads in sample 'e0'\n", "Warning: no reads in sample 'e1'\n",
                                    "Warning: no reads in sample 'e2'\n"};
    const std::vector<std::string> args = {"count", "-m", "S", "-x", "sheet.tsv", "-d", "out", "run.fastq"};
    auto rows = [](const std::string& table) {
        size_t n = 0;
        for (size_t at = 0; at < table.size(); at = table.find('\n', at) + 1) n += table[at] != '#';
        return n;
    };
    {
        scratch_dir dir;
        dir.write("sheet.tsv", sheet);
        dir.write("run.fastq", run);
        run_result r = run_morvane(args, "", dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, warnings[0] + warnings[1] + warnings[2]);
        EXPECT_EQ(rows(dir.read("out/a.txt")), keys[0].size());
        EXPECT_EQ(rows(dir.read("out/b.txt")), keys[1].size());
    }
    scratch_dir dir;
    dir.write("sheet.tsv", sheet);
    dir.write("run.fastq", run);
    ASSERT_EQ(run_shell("mkdir -p out/b.txt", "", dir.path()).status, 0);  // b's table cannot be written
    run_result r = run_morvane(args, "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, warnings[0] + warnings[1] + "Could not access out/b.txt for writing\n");
    EXPECT_FALSE(dir.exists("out/e2.txt"));
    EXPECT_FALSE(dir.exists("out/undetermined.txt"));
}
