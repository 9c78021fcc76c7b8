// Writes a realistic barcode-sequencing FASTQ (Phred+33) to standard output.
//
//   gen_reads [-n READS] [-s SEED] [-b BARCODES] [-l LENGTH] [-e RATE] [-j SHARE] [-d] [-q OFFSET]
//
// Reads of LENGTH bases (default 50) carry one of BARCODES barcodes (default
// 3000) of 20 to 50 bases, between fixed flanks, drawn with a skewed (Zipf-
// like) abundance; about 1% of the bases (-e) are substituted and get a low
// quality; about 3% of the reads (-j) are junk (primer dimers, random sequence,
// no-call runs). With -e 0 -j 0 the reads hold only the barcodes, however
// many there are (for showing memory that does not grow with reads). With -d every read is a random sequence instead, so nearly all are
// distinct (for measuring memory per distinct sequence). -q 64 writes the
// same reads with Phred+64 qualities (older Illumina runs). The same arguments
// always give the same file.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "random_source.h"

namespace {



int quality_offset = 33;
char good_quality(random_source& random) { return static_cast<char>(quality_offset + 30 + random.below(12)); }  // Q30-41
char low_quality(random_source& random) { return static_cast<char>(quality_offset + 2 + random.below(8)); }     // Q2-9

}  // namespace

int main(int argc, char** argv) {
    long reads = 2'000'000;
    uint64_t seed = 1;
    int barcode_count = 3000;
    int read_length = 50;
    bool distinct = false;
    double error_rate = 0.01;
    double junk_share = 0.03;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "gen_reads: %s needs a value\n", arg.c_str());
                std::exit(1);
            }
            return argv[++i];
        };
        if (arg == "-n") reads = std::atol(value());
        else if (arg == "-s") seed = std::strtoull(value(), nullptr, 10);
        else if (arg == "-b") barcode_count = std::max(1, std::atoi(value()));
        else if (arg == "-l") read_length = std::max(20, std::atoi(value()));
        else if (arg == "-e") error_rate = std::atof(value());
        else if (arg == "-j") junk_share = std::atof(value());
        else if (arg == "-d") distinct = true;
        else if (arg == "-q") quality_offset = std::atoi(value()) == 64 ? 64 : 33;
        else {
            std::fprintf(stderr, "usage: gen_reads [-n READS] [-s SEED] [-b BARCODES] [-l LENGTH] [-e RATE] [-j SHARE] [-d] [-q OFFSET]\n");
            return 1;
        }
    }

    random_source random(seed);
    const std::string left_flank = "TCGACGGATCCGATATCGGTACCACCTTAACGGGAAATCGGG";
    const std::string right_flank = "GTTCGGGGATAACTTCGTATAGCATACATTATACGAAGTTATCGCAT";

    // Barcodes: mostly 20 bases, some longer, up to 50 (or the read length).
    std::vector<std::string> barcodes;
    for (int b = 0; b < barcode_count; ++b) {
        int length = random.uniform() < 0.8 ? 20 : 21 + random.below(30);
        barcodes.push_back(random_bases(random, std::min(length, read_length)));
    }
    // Skewed abundance: weight 1/rank^0.9, ranks shuffled over the barcodes.
    std::vector<double> cumulative(barcodes.size());
    double total = 0;
    for (size_t b = 0; b < barcodes.size(); ++b) {
        total += 1.0 / std::pow(static_cast<double>(b + 1), 0.9);
        cumulative[b] = total;
    }
    for (size_t b = barcodes.size() - 1; b > 0; --b) std::swap(barcodes[b], barcodes[static_cast<size_t>(random.below(static_cast<int>(b + 1)))]);

    const std::string dimer = std::string("AGATCGGAAGAGCACACGTCTGAACTCCAGTCACATCTCGTATGCCGTCTTCTGCTTG").substr(0, static_cast<size_t>(read_length));

    std::string out;
    out.reserve(1 << 20);
    std::string seq, qual;
    for (long r = 0; r < reads; ++r) {
        seq.clear();
        qual.clear();
        double kind = random.uniform();
        if (distinct) {
            seq = random_bases(random, read_length);
        } else if (kind < junk_share / 3) {
            seq = dimer;
            while (seq.size() < static_cast<size_t>(read_length)) seq += 'A';
        } else if (kind < junk_share * 2 / 3) {
            seq = random_bases(random, read_length);
        } else if (kind < junk_share) {
            seq = random_bases(random, read_length / 2) + std::string(static_cast<size_t>(read_length - read_length / 2), 'N');
        } else {
            double pick = random.uniform() * total;
            size_t b = static_cast<size_t>(std::lower_bound(cumulative.begin(), cumulative.end(), pick) - cumulative.begin());
            const std::string& barcode = barcodes[std::min(b, barcodes.size() - 1)];
            int around = read_length - static_cast<int>(barcode.size());
            int left = around / 2;
            seq = left_flank.substr(left_flank.size() - static_cast<size_t>(std::min<int>(left, static_cast<int>(left_flank.size()))));
            while (static_cast<int>(seq.size()) < left) seq.insert(seq.begin(), 'A');
            seq += barcode;
            seq += right_flank.substr(0, static_cast<size_t>(std::min<int>(around - left, static_cast<int>(right_flank.size()))));
            while (static_cast<int>(seq.size()) < read_length) seq += 'A';
        }
        for (char& base : seq) {
            if (base != 'N' && random.uniform() < error_rate) {
                char other;
                do other = bases[random.below(4)];
                while (other == base);
                base = other;
                qual += low_quality(random);
            } else {
                qual += base == 'N' ? static_cast<char>(quality_offset + 2) : good_quality(random);
            }
        }
        char title[96];
        int x = 1000 + static_cast<int>(random.below(20000));
        int y = 1000 + static_cast<int>(random.below(200000));
        std::snprintf(title, sizeof title, "@SIM:1:FC706:1:%ld:%d:%d 1:N:0\n", 1101 + r / 4000000, x, y);
        out += title;
        out += seq;
        out += "\n+\n";
        out += qual;
        out += '\n';
        if (out.size() > (1 << 20) - 512) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
