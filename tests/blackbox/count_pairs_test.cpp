// count -2: read pairs, each pair one read in every total, its key the
// barcode letters of read 1 then those of read 2.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::string settings_lines = "#trim: 0:0\n#truncate: 0\n#quality lo: 0\thi: 40\tadj: 33\tcutoff: 10\n";

// The table rows of counted keys: by count descending, then key in byte order.
std::string rows_of(const std::map<std::string, int>& counts) {
    std::vector<std::pair<std::string, int>> rows(counts.begin(), counts.end());
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string out;
    for (const auto& [key, n] : rows) out += key + "\t" + std::to_string(n) + "\n";
    return out;
}

TEST(CountPairs, KeysJoinBothReadsOnEitherStrand) {
    // Random pairs, each read on either strand, names in both usual forms;
    // a quarter of read 2s lack their constant. The table must be the
    // count of (read 1's barcode, read 2's barcode) over the pairs with both.
    std::mt19937 random(3);
    std::string r1, r2;
    std::map<std::string, int> truth;
    const int total = 400;
    int without = 0;
    for (int i = 0; i < total; ++i) {
        std::string b1 = random_letters(random, 2, "ACGG"), b2 = random_letters(random, 2, "CCGT");
        std::string read1 = random_letters(random, random() % 4) + "CACCGT" + b1 + "TTAG";
        std::string read2 = "GGTAC" + b2 + "AACTG" + random_letters(random, 3);
        const bool lost = i % 4 == 3;
        if (lost) read2 = "GGAAA" + b2 + "AACTG";
        if (random() % 2) read1 = reverse_complement(read1);
        if (random() % 2) read2 = reverse_complement(read2);
        std::string name = std::to_string(i);
        name.insert(0, 1, 'p');
        r1 += fastq_record(i % 2 ? name + "/1" : name + " 1:N:0:ACGT", read1);
        r2 += fastq_record(i % 2 ? name + "/2" : name + " 2:N:0:ACGT", read2);
        if (lost)
            ++without;
        else
            ++truth[b1 + b2];
    }
    scratch_dir dir;
    dir.write("r1.fastq", r1);
    dir.write("r2.fastq", r2);
    run_result r = run_morvane(
        {"count", "-m", "S", "-b", "-p", "CACCGT[2]TTAG", "-P", "GGTAC[2]AACTG", "-2", "r2.fastq", "r1.fastq"}, "",
        dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // Reads found on their other strand: about half of the reads with a layout.
    const std::string reverse_line = "#reverse strand reads: ";
    const size_t at = r.out.find(reverse_line);
    ASSERT_NE(at, std::string::npos) << r.out;
    const size_t end = r.out.find('\n', at);
    const int reverse = std::stoi(r.out.substr(at + reverse_line.size(), end - at - reverse_line.size()));
    EXPECT_GT(reverse, (total - without) / 2);
    EXPECT_LT(reverse, 2 * (total - without));
    std::string out = r.out;
    out.erase(at, end + 1 - at);
    EXPECT_EQ(out, settings_lines + "#total reads: " + std::to_string(total) + "\n#unique reads: " +
                       std::to_string(truth.size()) +
                       "\n#filtered bases: 0\n#layout: CACCGT[2]TTAG\n#mate file: r2.fastq\n"
                       "#mate layout: GGTAC[2]AACTG\n#pairs without layout: " +
                       std::to_string(without) + "\n#read\tcount\n" + rows_of(truth));
}

TEST(CountPairs, ALayoutOnOneReadOnlyKeysOnThatRead) {
    // With -P alone read 1 gives no letters; with -p alone the table is
    // that of read 1 by itself, but for the pair lines of the header.
    const std::string r1 = fastq_record("a", "CACCGTTTAGG") + fastq_record("b", "CACCGAAAAGG") + fastq_record("c", "GGGGGGGGGGG");
    const std::string r2 = fastq_record("a", "GTCCA") + fastq_record("b", "GTCCA") + fastq_record("c", "GTGGA");
    scratch_dir dir;
    dir.write("r1.fastq", r1);
    dir.write("r2.fastq", r2);
    run_result r = run_morvane({"count", "-m", "S", "-P", "GT[3]", "-2", "r2.fastq", "r1.fastq"}, "", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, settings_lines +
                         "#total reads: 3\n#unique reads: 2\n#filtered bases: 0\n#mate file: r2.fastq\n"
                         "#mate layout: GT[3]\n#pairs without layout: 0\n#read\tcount\nCCA\t2\nGGA\t1\n");
    run_result single = run_morvane({"count", "-m", "S", "-p", "CACCG[4]", "r1.fastq"}, "", dir.path());
    run_result paired = run_morvane({"count", "-m", "S", "-p", "CACCG[4]", "-2", "r2.fastq", "r1.fastq"}, "", dir.path());
    EXPECT_EQ(paired.status, 0);
    std::string expected = single.out;
    expected.replace(expected.find("#reads without layout"), 6, "#mate file: r2.fastq\n#pairs");
    EXPECT_EQ(paired.out, expected);
    EXPECT_EQ(paired.err, single.err);
}

TEST(CountPairs, PairsOutOfStepOrEndingApartStopTheRun) {
    const std::string three = fastq_record("a/1", "CACCGT") + fastq_record("b/1", "CACCGA") + fastq_record("c/1", "CACCGC");
    struct example {
        std::string mate, err;
    } examples[] = {
        {fastq_record("a/2", "GG") + fastq_record("x/2", "GG") + fastq_record("c/2", "GG"),
         "Read names differ in r1.fastq and r2.fastq, record 2: 'b' and 'x'\n"},
        {fastq_record("a/2", "GG") + fastq_record("b/2", "GG"),
         "r1.fastq and r2.fastq do not end together: r2.fastq has no record 3\n"},
        {fastq_record("a/2", "GG") + fastq_record("b/2", "GG") + fastq_record("c/2", "GG") + fastq_record("d/2", "GG"),
         "r1.fastq and r2.fastq do not end together: r1.fastq has no record 4\n"},
        // Only the name up to its first space counts, and only /1 and /2 go.
        {fastq_record("a/2 x", "GG") + fastq_record("b/3", "GG") + fastq_record("c/2", "GG"),
         "Read names differ in r1.fastq and r2.fastq, record 2: 'b' and 'b/3'\n"},
    };
    for (const example& e : examples) {
        scratch_dir dir;
        dir.write("r1.fastq", three);
        dir.write("r2.fastq", e.mate);
        run_result r =
            run_morvane({"count", "-m", "S", "-p", "CACCG[1]", "-2", "r2.fastq", "r1.fastq"}, "", dir.path());
        EXPECT_EQ(r.status, 1) << e.err;
        EXPECT_EQ(r.out, "");  // no table
        EXPECT_EQ(r.err, e.err);
    }
}

// Read 1's file is read ahead on a thread of its own, in batches of some
// 32,000 records: many pairs, with and without -x by the header, give the
// counts of the pairs, and a fault deep in either file (past the first
// batches) stops the run as it would on one thread, with the same words.
TEST(CountPairs, ManyPairsAndFaultsDeepInEitherFile) {
    std::mt19937 random(21);
    const int total = 100'000, deep = 70'001;  // deep: a pair in the third batch
    const char* indexes[] = {"AAAA", "CCCC", "GGTT"};  // samples A and B, then none
    std::vector<std::string> r1(total), r2(total);
    std::map<std::string, int> all, by_sample[2];
    int of_none = 0;
    for (int i = 0; i < total; ++i) {
        const std::string b1 = random_letters(random, 3), b2 = random_letters(random, 2);
        const int sample = static_cast<int>(random() % 3);
        const std::string name = std::string("r").append(std::to_string(i)).append(" ");
        const std::string index = std::string(":N:0:").append(indexes[sample]);
        r1[i] = fastq_record(name + "1" + index, std::string("CACCG").append(b1).append("TT"));
        r2[i] = fastq_record(name + "2" + index, std::string("GT").append(b2));
        ++all[b1 + b2];
        if (sample < 2)
            ++by_sample[sample][b1 + b2];
        else
            ++of_none;
    }
    auto joined = [](const std::vector<std::string>& records) {
        std::string text;
        for (const std::string& r : records) text += r;
        return text;
    };
    auto rows = [](const std::string& table) {
        std::string out;
        for (size_t at = 0; at < table.size();) {
            const size_t end = table.find('\n', at) + 1;
            if (table[at] != '#') out += table.substr(at, end - at);
            at = end;
        }
        return out;
    };
    const std::vector<std::string> count = {"count", "-m", "S", "-p", "CACCG[3]", "-P", "GT[2]", "-2", "r2.fastq"};
    auto with = [&count](std::vector<std::string> more) {
        std::vector<std::string> args = count;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    {
        scratch_dir dir;
        dir.write("r1.fastq", joined(r1));
        dir.write("r2.fastq", joined(r2));
        dir.write("sheet.txt", "A\tAAAA\nB\tCCCC\n");
        run_result plain = run_morvane(with({"r1.fastq"}), "", dir.path());
        EXPECT_EQ(plain.status, 0);
        EXPECT_NE(plain.out.find("#total reads: 100000\n"), std::string::npos);
        EXPECT_EQ(rows(plain.out), rows_of(all));
        run_result x = run_morvane(with({"-x", "sheet.txt", "-d", "out", "r1.fastq"}), "", dir.path());
        EXPECT_EQ(x.status, 0) << x.err;
        EXPECT_EQ(rows(dir.read("out/A.txt")), rows_of(by_sample[0]));
        EXPECT_EQ(rows(dir.read("out/B.txt")), rows_of(by_sample[1]));
        EXPECT_EQ(dir.read("out/undetermined.txt"), "#reads of no sample: " + std::to_string(of_none) +
                                                        "\n#reads without index: 0\n#sample barcode\treads\nGGTT\t" +
                                                        std::to_string(of_none) + "\n");
    }
    const std::string short_quality = "@r70000 1:N:0:AAAA\nCACCGAAATT\n+\nIIII\n";
    struct example {
        const char* what;
        int changed;  // 1 or 2: the file whose pair deep is changed
        std::string record;
        bool gzip_cut;  // read 1 gzipped and cut short after pair deep
        int status;
        std::string err;
    } examples[] = {
        {"a name", 2, fastq_record("x 2:N:0:AAAA", "GTAA"), false, 1,
         "Read names differ in r1.fastq and r2.fastq, record 70001: 'r70000' and 'x'\n"},
        {"read 1's lengths", 1, short_quality, false, 3,
         "Sequence length and quality length mismatch in r1.fastq, record 70001\n"},
        {"a cut stream", 1, r1[deep - 1], true, 2, "Could not decompress r1.fastq.gz\n"},
        // A compressed file is read to its end before a length mismatch is
        // blamed: the stream's own fault is what the run reports.
        {"lengths, then a cut stream", 1, short_quality, true, 2, "Could not decompress r1.fastq.gz\n"},
    };
    for (const example& e : examples) {
        std::vector<std::string> one = r1, two = r2;
        (e.changed == 1 ? one : two)[deep - 1] = e.record;
        scratch_dir dir;
        dir.write("r1.fastq", joined(one));
        dir.write("r2.fastq", joined(two));
        std::string input = "r1.fastq";
        if (e.gzip_cut) {
            ASSERT_EQ(run_shell("gzip -n -c r1.fastq > whole.gz && head -c $(( $(wc -c < whole.gz) * 9 / 10 )) whole.gz "
                                "> r1.fastq.gz",
                                "", dir.path())
                          .status,
                      0);
            input = "r1.fastq.gz";
        }
        run_result r = run_morvane(with({input}), "", dir.path());
        EXPECT_EQ(r.status, e.status) << e.what;
        EXPECT_EQ(r.out, "") << e.what;
        EXPECT_EQ(r.err, e.err) << e.what;
    }
}

// -m A and -l auto hold the first pairs back until they have decided, then
// count them as the named encoding and length would: the tables (and each
// sample's, with -x) equal those of -m I -l 6 on the same pairs.
TEST(CountPairs, EncodingAndKeyLengthFoundFromThePairs) {
    std::mt19937 random(8);
    std::string r1, r2, sheet = "one\tACGTAC\ntwo\tTGCATG\n";
    for (int i = 0; i < 3000; ++i) {
        // Read 1's barcode mostly of 4 letters, a few of 3 (too short for the
        // key), some of 5 (cut to it).
        const size_t length = i % 40 == 0 ? 3 : i % 10 == 1 ? 5 : 4;
        std::string read1 = "CACCG" + random_letters(random, length) + "TTAGC";
        std::string read2 = "GGTAC" + random_letters(random, 2) + "AACTG";
        std::string name = std::to_string(i);
        name.insert(0, 1, 'p');
        name.append(i % 3 == 0 ? " 1:N:0:ACGTAC" : i % 3 == 1 ? " 1:N:0:TGCATG" : " 1:N:0:AAAAAA");
        // Phred+64 qualities: '@' up to 'h', a low one now and then.
        auto qualities = [&](size_t n) {
            std::string q(n, 'h');
            for (char& c : q) c = random() % 9 == 0 ? 'B' : static_cast<char>('@' + random() % 41);
            return q;
        };
        r1 += "@" + name + "\n" + read1 + "\n+\n" + qualities(read1.size()) + "\n";
        name[name.find(' ') + 1] = '2';
        r2 += "@" + name + "\n" + read2 + "\n+\n" + qualities(read2.size()) + "\n";
    }
    scratch_dir dir;
    dir.write("r1.fastq", r1);
    dir.write("r2.fastq", r2);
    dir.write("sheet.txt", sheet);
    const std::vector<std::string> layouts{"-p", "CACCG[3-5]TTAG", "-P", "GGTAC[2]AACTG", "-2", "r2.fastq"};
    auto count = [&](std::vector<std::string> options, const std::string& out_dir) {
        std::vector<std::string> args{"count"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), layouts.begin(), layouts.end());
        if (!out_dir.empty()) args.insert(args.end(), {"-x", "sheet.txt", "-d", out_dir});
        args.push_back("r1.fastq");
        return run_morvane(args, "", dir.path());
    };
    run_result named = count({"-m", "I", "-l", "6"}, "");
    ASSERT_EQ(named.status, 0) << named.err;
    for (const auto& options : std::vector<std::vector<std::string>>{{"-m", "A", "-l", "6"}, {"-m", "I", "-l", "auto"}, {"-m", "A", "-l", "auto"}}) {
        run_result found = count(options, "");
        EXPECT_EQ(found.status, 0) << found.err;
        EXPECT_EQ(found.out, named.out) << options[1] << " " << options[3];
        EXPECT_EQ(found.err.find("-m I (Phred+64)") != std::string::npos, options[1] == "A") << found.err;
    }
    ASSERT_EQ(count({"-m", "I", "-l", "6"}, "named").status, 0);
    run_result split = count({"-m", "A", "-l", "auto"}, "found");
    ASSERT_EQ(split.status, 0) << split.err;
    for (const char* table : {"one.txt", "two.txt", "undetermined.txt"})
        EXPECT_EQ(dir.read(std::string("found/") + table), dir.read(std::string("named/") + table)) << table;
    EXPECT_NE(dir.read("named/one.txt").find("#key length: 6\n"), std::string::npos);
}

TEST(CountPairs, RefusedOptions) {
    scratch_dir dir;
    dir.write("r.fastq", fastq_record("a", "ACGT"));
    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-2", "r.fastq"}, "-2 needs a layout (-p or -P)\n"},
             {{"-P", "AC[2]"}, "-P needs a mate file (-2)\n"},
             {{"-P", "AC[", "-2", "r.fastq"}, "Invalid layout 'AC[': "},
         }) {
        std::vector<std::string> full{"count"};
        full.insert(full.end(), args.begin(), args.end());
        full.push_back("r.fastq");
        run_result r = run_morvane(full, "", dir.path());
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.substr(0, message.size()), message);
    }
}

}  // namespace

namespace {

std::string qseq_line(const std::string& tile_and_place, int read, const std::string& seq) {
    return "M1\t7\t1\t" + tile_and_place + "\t0\t" + std::to_string(read) + "\t" + seq + "\t" +
           std::string(seq.size(), 'h') + "\t1\n";
}

TEST(CountPairs, QseqPairsAreNamedByTheirFieldsBeforeTheReadNumber) {
    // The read number (1 or 2) differs between the files; the fields
    // before it name the pair.
    scratch_dir dir;
    dir.write("r1.txt", qseq_line("11\t5\t9", 1, "CACCGTT") + qseq_line("11\t5\t10", 1, "CACCGAA"));
    dir.write("r2.txt", qseq_line("11\t5\t9", 2, "GTC") + qseq_line("11\t5\t10", 2, "GTC"));
    run_result r = run_morvane({"count", "-m", "I", "-p", "CACCG[2]", "-P", "GT[1]", "-2", "r2.txt", "r1.txt"}, "",
                               dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("#pairs without layout: 0\n#read\tcount\nAAC\t1\nTTC\t1\n"), std::string::npos) << r.out;
    dir.write("r2.txt", qseq_line("11\t5\t9", 2, "GTC") + qseq_line("11\t6\t10", 2, "GTC"));
    r = run_morvane({"count", "-m", "I", "-p", "CACCG[2]", "-2", "r2.txt", "r1.txt"}, "", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Read names differ in r1.txt and r2.txt, line 2: 'M1\t7\t1\t11\t5\t10\t0' and "
                     "'M1\t7\t1\t11\t6\t10\t0'\n");
}

}  // namespace
