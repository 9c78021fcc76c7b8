// count -m A: the quality encoding found from the reads gives the table of
// the letter it finds.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::string found_s = "Quality encoding found from the reads: -m S (Phred+33)\n";
const std::string found_i = "Quality encoding found from the reads: -m I (Phred+64)\n";

std::string record(const std::string& seq, const std::string& qual) { return "@r\n" + seq + "\n+\n" + qual + "\n"; }

// Seeded reads: a few barcodes after CACCG, on either strand, some letters
// miscalled, scores 2 to 41 at the given offset (low ones rare), so that
// masking, -c and the layout all have work.
std::string generated_reads(int reads, int offset, uint32_t seed) {
    const std::vector<std::string> barcodes = {"AACCGGTT", "ACGTACGT", "TTGGCCAA", "GATTACAG"};
    std::string text;
    uint32_t state = seed;
    auto next = [&state](uint32_t range) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % range;
    };
    for (int i = 0; i < reads; ++i) {
        std::string seq = "GT" + std::string("CACCG") + barcodes[next(4)] + "TTAG";
        for (char& c : seq)
            if (next(50) == 0) c = "ACGT"[next(4)];
        if (next(3) == 0) {  // the other strand
            std::string turned(seq.rbegin(), seq.rend());
            for (char& c : turned) c = c == 'A' ? 'T' : c == 'T' ? 'A' : c == 'C' ? 'G' : c == 'G' ? 'C' : c;
            seq = turned;
        }
        std::string qual;
        for (size_t k = 0; k < seq.size(); ++k) {
            int score = next(10) == 0 ? 2 + static_cast<int>(next(20)) : 30 + static_cast<int>(next(12));
            qual += static_cast<char>(offset + score);
        }
        text += record(seq, qual);
    }
    return text;
}

struct encoding_case {
    const char* name;
    int offset;
    const char* letter;  // what -m A must behave as
    const std::string& found;
};

TEST(CountEncoding, FoundEncodingGivesTheTableOfItsLetter) {
    // 120,000 reads: the first 100,000 Phred+64 reads are held back, the
    // rest are counted as they come.
    scratch_dir dir;
    const std::vector<encoding_case> encodings = {{"p33", 33, "S", found_s}, {"p64", 64, "I", found_i}};
    for (const encoding_case& e : encodings) {
        dir.write(std::string(e.name) + ".fq", generated_reads(120000, e.offset, 7));
        ASSERT_EQ(run_shell(std::string("gzip -c ") + e.name + ".fq > " + e.name + ".fq.gz", "", dir.path()).status, 0);
    }
    const std::vector<std::vector<std::string>> option_sets = {
        {}, {"-c"}, {"-i", "2:0", "-u", "15"}, {"-p", "CACCG[8]", "-b"}, {"-r", "-p", "CACCG[8]"}};
    for (const encoding_case& e : encodings) {
        const std::string plain = std::string(e.name) + ".fq";
        for (const std::vector<std::string>& options : option_sets) {
            std::string flags;
            for (const std::string& o : options) flags += " '" + o + "'";
            run_result wanted =
                run_shell("morvane count -m " + std::string(e.letter) + "20" + flags + " " + plain, "", dir.path());
            ASSERT_EQ(wanted.status, 0) << wanted.err;
            // A named file, plain or gzipped, and standard input.
            std::vector<std::string> commands = {"morvane count -m A20" + flags + " " + plain,
                                                 "morvane count -f -m A20" + flags + " < " + plain + ".gz"};
            if (options.empty()) {
                commands.push_back("morvane count -m A20 " + plain + ".gz");
                commands.push_back("morvane count -f -m A20 < " + plain);
            }
            for (const std::string& command : commands) {
                run_result found = run_shell(command, "", dir.path());
                EXPECT_EQ(found.status, 0) << command;
                EXPECT_TRUE(found.out == wanted.out) << command << ": the table differs from -m " << e.letter;
                EXPECT_EQ(found.err, e.found + wanted.err) << command;
            }
        }
    }
}

TEST(CountEncoding, TheLowestAndHighestQualityCharactersDecide) {
    // No character below ';' and some above 'J': Phred+64; else Phred+33,
    // reads of one uniform quality included.
    const std::vector<std::pair<std::vector<std::string>, const std::string*>> cases = {
        {{"IIII", "IIII"}, &found_s},  // Phred+33 score 40 throughout
        {{"JJJJ"}, &found_s},          // 'J' is not above 'J'
        {{"hhhh", "hhhh"}, &found_i},  // Phred+64 score 40 throughout
        {{";;;K"}, &found_i},          // ';' is not below ';'
        {{"hhhh", "hh:h"}, &found_s},  // one ':' settles it
        {{""}, &found_s},              // an empty read has no quality characters
    };
    for (const auto& [qualities, found] : cases) {
        std::string reads;
        for (const std::string& q : qualities) reads += record(std::string(q.size(), 'A'), q);
        run_result r = run_morvane({"count", "-f", "-m", "A"}, reads);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err.substr(0, found->size()), *found) << qualities.back();
        const char* adj = found == &found_i ? "adj: 64" : "adj: 33";
        EXPECT_NE(r.out.find(std::string("#quality lo: 0\thi: 40\t") + adj + "\tcutoff: 10\n"), std::string::npos);
    }
    // An empty input is Phred+33 and says it holds no reads.
    run_result empty = run_morvane({"count", "-f", "-m", "A"}, "");
    EXPECT_EQ(empty.err, found_s + "Warning: no reads in stdin\n");
}

TEST(CountEncoding, LaterLettersAndLengthMismatches) {
    const std::string reads = record("ACGT", "hhhh");
    // A later -m replaces A, and A a letter before it; the cutoff of an
    // earlier -m stays.
    run_result s = run_morvane({"count", "-f", "-m", "A30", "-m", "S"}, reads);
    EXPECT_EQ(s.err, "");
    EXPECT_NE(s.out.find("adj: 33\tcutoff: 30\n"), std::string::npos);
    run_result a = run_morvane({"count", "-f", "-m", "S", "-m", "A"}, reads);
    EXPECT_EQ(a.err, found_i);
    EXPECT_NE(a.out.find("adj: 64\tcutoff: 10\n"), std::string::npos);
    EXPECT_EQ(run_morvane({"count", "-f", "-m", "A0"}, reads).err, "Invalid quality cutoff: 0\n");
    EXPECT_EQ(run_morvane({"count", "-f", "-m", "a"}, reads).err, "Unrecognized quality filter method (a)\n");
    // A mismatch among the reads held back ends the run at once, naming the
    // record, with no table and no encoding.
    run_result bad = run_morvane({"count", "-f", "-m", "A"}, reads + record("ACGT", "hhh") + reads);
    EXPECT_EQ(bad.status, 3);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "Sequence length and quality length mismatch in stdin, record 2\n");
}

}  // namespace
