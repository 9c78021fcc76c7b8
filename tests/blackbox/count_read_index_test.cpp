// count -x with the sample barcode in the read: the <n> slots of read 1's
// layout, read 2's, or both. Each sample's table is checked against count
// run on that sample's reads alone, with {n} in place of <n>.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace {

// Far apart, the second parts from each other's reverse complements too.
const std::vector<std::string> firsts = {"ACGTACGT", "TGCATGCA", "GATCGATC", "CTAGCTAG"};
const std::vector<std::string> seconds = {"TATAGTCC", "CACCTGGT", "GATCCTAT", "GCTTGTGA"};
const std::vector<std::string> names = {"s1", "s 2", "s3", "s4"};

size_t distance(const std::string& a, const std::string& b) {
    size_t d = 0;
    for (size_t i = 0; i < a.size(); ++i) d += a[i] != b[i] || a[i] == 'N';
    return d;
}

struct config {
    const char* what;
    bool in_first, in_second;  // which reads hold the sample barcode
    bool paired, both_strands, umis;
};

struct run_files {
    std::string r1, r2;
    std::vector<std::string> alone1 = std::vector<std::string>(names.size()), alone2 = alone1;
    std::map<std::string, int> undetermined;
    int without = 0;
};

// A sample barcode part as read: mostly exact, some with one substitution
// (or N), some with two, some of no sample.
std::string part_as_read(std::mt19937& random, const std::string& part) {
    std::string p = part;
    switch (random() % 10) {
        case 0: p[random() % 8] = 'N'; break;
        case 1: p[3] = p[3] == 'A' ? 'C' : 'A'; break;
        case 2: p[0] = p[0] == 'G' ? 'T' : 'G', p[6] = p[6] == 'G' ? 'T' : 'G'; break;
        case 3: p = random_letters(random, 8); break;
        default: break;
    }
    return p;
}

run_files make_run(const config& c) {
    std::mt19937 random(11);
    const std::vector<std::string> guides = {"AACCGGTT", "ACACACAC", "GTGTCCAA", "TTTTAAAA", "CGTACGTA"};
    run_files f;
    for (int i = 0; i < 800; ++i) {
        size_t s = random() % names.size();
        std::string p1 = part_as_read(random, firsts[s]), p2 = part_as_read(random, seconds[s]);
        if (!c.in_first) p1 = random_letters(random, 8);
        if (!c.in_second) p2 = random_letters(random, 8);
        bool broken1 = random() % 20 == 0, broken2 = c.paired && random() % 20 == 0;
        std::string read1 = random_letters(random, random() % 3) + "TTGA" + p1 + (broken1 ? "AAAAA" : "CACCG") +
                            guides[random() % guides.size()] + random_letters(random, 3);
        if (c.both_strands && random() % 3 == 0) read1 = reverse_complement(read1);
        std::string read2 = (broken2 ? "CCCC" : "GGAC") + p2 + guides[random() % 3].substr(0, 4) + random_letters(random, 4);
        const std::string name = std::string("p") += std::to_string(i);
        f.r1 += fastq_record(name, read1);
        if (c.paired) f.r2 += fastq_record(name, read2);

        // Which sample the barcode belongs to, by brute force.
        if ((c.in_first && broken1) || (c.in_second && broken2)) {
            ++f.without;
            continue;
        }
        int truth = -1;
        for (size_t t = 0; t < names.size(); ++t) {
            bool first_fits = !c.in_first || distance(p1, firsts[t]) <= 1;
            bool second_fits = !c.in_second || distance(p2, seconds[t]) <= 1 ||
                               (c.in_first && distance(p2, reverse_complement(seconds[t])) <= 1);
            if (first_fits && second_fits) truth = static_cast<int>(t);
        }
        if (truth < 0) {
            ++f.undetermined[c.in_first && c.in_second ? p1 + "+" + p2 : c.in_first ? p1 : p2];
            continue;
        }
        f.alone1[static_cast<size_t>(truth)] += fastq_record(name, read1);
        if (c.paired) f.alone2[static_cast<size_t>(truth)] += fastq_record(name, read2);
    }
    return f;
}

std::string sheet_text(const config& c) {
    std::string text;
    for (size_t s = 0; s < names.size(); ++s) {
        text += names[s] + "\t";
        text += c.in_first && c.in_second ? firsts[s] + "+" + seconds[s] : c.in_first ? firsts[s] : seconds[s];
        text += "\n";
    }
    return text;
}

std::string undetermined_table(const run_files& f) {
    std::vector<std::pair<std::string, int>> rows(f.undetermined.begin(), f.undetermined.end());
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    int total = f.without;
    std::string body;
    for (const auto& [index, n] : rows) body += index + "\t" + std::to_string(n) + "\n", total += n;
    return "#reads of no sample: " + std::to_string(total) + "\n#reads without index: " + std::to_string(f.without) +
           "\n#sample barcode\treads\n" + body;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

TEST(CountReadIndex, EachSampleAsCountWritesItAlone) {
    const config configs[] = {
        {"read 1", true, false, false, false, false},
        {"read 1, both strands", true, false, false, true, false},
        {"read 2 of pairs", false, true, true, false, false},
        {"both reads", true, true, true, false, false},
        {"both reads, with UMIs", true, true, true, false, true},
    };
    for (const config& c : configs) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        run_files f = make_run(c);
        dir.write("r1.fq", f.r1);
        dir.write("r2.fq", f.r2);
        dir.write("samples.tsv", sheet_text(c));
        const std::string layout1 = std::string("TTGA") + (c.in_first ? "<8>" : "{8}") + "CACCG[8]";
        const std::string layout2 = std::string("GGAC") + (c.in_second ? "<8>" : "{8}") + "[4]" + (c.umis ? "(4)" : "");
        auto options = [&](const std::string& r1, const std::string& r2, bool alone) {
            std::vector<std::string> args{"count", "-m", "S", "-p", layout1};
            if (alone) replace_all(args.back(), "<8>", "{8}");
            if (c.both_strands) args.push_back("-b");
            if (c.paired) {
                args.insert(args.end(), {"-2", dir.path(r2), "-P", layout2});
                if (alone) replace_all(args.back(), "<8>", "{8}");
            }
            if (!alone) args.insert(args.end(), {"-x", dir.path("samples.tsv"), "-d", dir.path("out")});
            args.push_back(dir.path(r1));
            return args;
        };
        run_result r = run_morvane(options("r1.fq", "r2.fq", false));
        ASSERT_EQ(r.status, 0) << r.err;
        for (size_t s = 0; s < names.size(); ++s) {
            dir.write("alone1.fq", f.alone1[s]);
            dir.write("alone2.fq", f.alone2[s]);
            run_result alone = run_morvane(options("alone1.fq", "alone2.fq", true));
            ASSERT_EQ(alone.status, 0) << alone.err;
            std::string expected = alone.out;
            for (const std::string& shape : {layout1, layout2}) {
                std::string plain = shape;
                replace_all(plain, "<8>", "{8}");
                replace_all(expected, "layout: " + plain + "\n", "layout: " + shape + "\n");
            }
            replace_all(expected, dir.path("alone2.fq"), dir.path("r2.fq"));
            EXPECT_EQ(dir.read("out/" + names[s] + ".txt"), expected) << names[s];
        }
        EXPECT_EQ(dir.read("out/undetermined.txt"), undetermined_table(f));
    }
}

// The slot needs a sheet, the sheet must fit the slots, and a sheet whose
// samples one read could not tell apart is refused, all before any read.
TEST(CountReadIndex, Refused) {
    struct {
        std::vector<std::string> options;
        std::string sheet;
        std::string message;
    } cases[] = {
        {{"-p", "<6>[4]"}, "", "a sample barcode slot <n> in the layout needs a sample sheet (-x)\nusage: "},
        {{"-p", "<6>[4]", "-x", "SHEET", "-d", "OUT"}, "one\tAAAAAA\ntwo\tAAAACC\n",
         "Invalid sample sheet SHEET: the sample barcodes of 'one' and 'two' are too close to tell apart with one "
         "substitution per part\n"},
        {{"-p", "<6>[4]", "-x", "SHEET", "-d", "OUT"}, "one\tAAAAAA+CCCCCC\n",
         "Invalid sample sheet SHEET: its sample barcodes have 2 parts, the layouts' <n> slots make 1"},
        {{"-p", "<6>[4]", "-x", "SHEET", "-d", "OUT"}, "one\tAAAAAAA\n",
         "Invalid sample sheet SHEET: the first part of its sample barcodes has 7 letters, read 1's <n> slots 6\n"},
        {{"-p", "<6-8>[4]"}, "", "Invalid layout '<6-8>[4]': a sample barcode slot of more than one length (it has one, as in <8>)\n"},
        {{"-p", "<0>[4]"}, "", "Invalid layout '<0>[4]': an empty sample barcode slot\n"},
    };
    for (const auto& c : cases) {
        scratch_dir dir;
        dir.write("samples.tsv", c.sheet);
        dir.write("run.fastq", fastq_record("r", "AAAAAAACGT"));
        std::vector<std::string> args{"count", "-m", "S"};
        for (std::string o : c.options) {
            replace_all(o, "SHEET", dir.path("samples.tsv"));
            replace_all(o, "OUT", dir.path("out"));
            args.push_back(o);
        }
        args.push_back(dir.path("run.fastq"));
        run_result r = run_morvane(args);
        std::string expected = c.message;
        replace_all(expected, "SHEET", dir.path("samples.tsv"));
        EXPECT_EQ(r.status, 1) << c.options[1];
        EXPECT_EQ(r.err.substr(0, expected.size()), expected);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(dir.exists("out"));
    }
}
