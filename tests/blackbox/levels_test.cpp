// Whole runs on each instruction level the processor has (MORVANE_ISA caps
// the level the kernels are chosen by): count's scans, cluster's and map's
// alignments must give the same bytes on every level.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "harness.h"

namespace {

struct seeded {
    uint32_t state;
    uint32_t next(uint32_t range) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % range;
    }
    std::string letters(size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += "ACGT"[next(4)];
        return s;
    }
};

// Reads of 40 to 150 letters (across the 64-letter words of the masks)
// holding one of the barcodes after CACCG, on either strand, with miscalls,
// a few '.' and 'N', low scores here and there, and some junk.
void write_run(const scratch_dir& dir) {
    seeded r{20261209u};
    std::vector<std::string> barcodes;
    std::string library;
    for (int b = 0; b < 60; ++b) {
        barcodes.push_back(r.letters(b % 3 == 0 ? 24 : 20));
        library += "bc" + std::to_string(b) + "\t" + barcodes.back() + "\n";
    }
    std::string reads;
    for (int i = 0; i < 4000; ++i) {
        std::string seq;
        if (r.next(10) == 0)
            seq = r.letters(40 + r.next(110));
        else
            seq = r.letters(r.next(30)) + "CACCG" + barcodes[r.next(r.next(2) ? 8 : 60)] + r.letters(10 + r.next(80));
        for (char& c : seq) {
            uint32_t roll = r.next(400);
            if (roll < 6) c = "ACGT"[r.next(4)];
            if (roll == 7) c = 'N';
            if (roll == 8) c = '.';
        }
        if (r.next(3) == 0) seq = reverse_complement(seq);
        std::string qual;
        for (size_t k = 0; k < seq.size(); ++k)
            qual += static_cast<char>(33 + (r.next(12) == 0 ? 2 + r.next(25) : 30 + r.next(12)));
        reads += "@read" + std::to_string(i) + "\n" + seq + "\n+\n" + qual + "\n";
    }
    dir.write("reads.fq", reads);
    dir.write("barcodes.txt", library);
}

// Every output of the run, in one text, under one level.
std::string outputs(const scratch_dir& dir, const std::string& level) {
    const std::string env = "MORVANE_ISA=" + level + " ";
    const std::vector<std::string> steps = {
        "morvane count -m S -o whole.txt reads.fq > /dev/null",
        "morvane count -m S25 -b -p 'CACCG[20]' -o layout.txt reads.fq > /dev/null",
        "morvane count -m S20 -c -p 'CACCG[18-24]' -o range.txt reads.fq > /dev/null",
        "morvane cluster -a align.txt -s stats.txt -o clusters.txt layout.txt > /dev/null",
        "morvane cluster -n 3 -o ranged-clusters.txt range.txt > /dev/null",
        "morvane map -n 5 -o map.txt clusters.txt barcodes.txt > /dev/null",
        "morvane map -w -o map-w.txt ranged-clusters.txt barcodes.txt > /dev/null",
        "morvane tabulate -o report.txt -f fate.txt map.txt barcodes.txt > /dev/null",
    };
    for (const std::string& step : steps) {
        run_result run = run_shell(env + step, "", dir.path());
        EXPECT_EQ(run.status, 0) << step << "\n" << run.err;
    }
    std::string all;
    for (const char* name : {"whole.txt", "layout.txt", "range.txt", "align.txt", "stats.txt", "clusters.txt",
                             "ranged-clusters.txt", "map.txt", "map-w.txt", "report.txt", "fate.txt"})
        all += std::string("== ") + name + "\n" + dir.read(name);
    return all;
}

TEST(InstructionLevels, WholeRunsGiveTheSameBytesOnEveryLevel) {
    scratch_dir dir;
    write_run(dir);
    const std::string widest = outputs(dir, "");
    ASSERT_NE(widest.find("CACCG"), std::string::npos);  // the run counted something real
    for (const char* level : {"scalar", "sse2", "avx2"}) EXPECT_EQ(outputs(dir, level), widest) << level;
}

TEST(InstructionLevels, UnknownLevelIsNamedAndIgnored) {
    run_result run = run_shell("MORVANE_ISA=avx9 morvane count -m S -f", "@r\nACGT\n+\nIIII\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("Warning: MORVANE_ISA=avx9 is not scalar, sse2 or avx2; ignored"), std::string::npos)
        << run.err;
}

}  // namespace
