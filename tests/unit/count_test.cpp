#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#include <zlib.h>

#include "count/count_internal.h"
#include "io/error.h"
#include "io/gzip.h"
#include "io/line_reader.h"
#include "umi/umi.h"

namespace {

// ---------------------------------------------------------------------------
// Helpers

// Hands out its text a few bytes at a time, so that lines and records
// straddle every kind of buffer boundary.
class trickle_source : public byte_source {
public:
    trickle_source(std::string text, size_t piece) : text_(std::move(text)), piece_(piece) {}
    size_t read(char* buffer, size_t size) override {
        size_t n = std::min({size, piece_, text_.size() - offset_});
        std::memcpy(buffer, text_.data() + offset_, n);
        offset_ += n;
        return n;
    }

private:
    std::string text_;
    size_t piece_;
    size_t offset_ = 0;
};

std::string gzip_member(const std::string& data, int level = 6) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, data.size()) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// The outcome of running something that may end the run.
struct outcome {
    std::string result;
    std::string err;
    int status = 0;  // 0: ran to its end
};

outcome capture(const std::function<std::string()>& body) {
    outcome o;
    testing::internal::CaptureStderr();
    try {
        o.result = body();
    } catch (const exit_request& request) {
        o.status = request.status;
    }
    o.err = testing::internal::GetCapturedStderr();
    return o;
}

// Decompresses with one backend, the compressed bytes arriving piece bytes at
// a time; what was handed out before a fault is kept in partial.
outcome gunzip(const std::string& compressed, gzip_backend backend, size_t piece = 1 << 20,
               std::string* partial = nullptr) {
    return capture([&] {
        std::string prefix = compressed.substr(0, 2);
        auto source = make_gzip_source(std::make_unique<trickle_source>(compressed.substr(prefix.size()), piece),
                                       prefix, read_failure{"Could not decompress test.gz\n", 2}, backend);
        std::string out;
        char buffer[4096];
        std::string* sink = partial != nullptr ? partial : &out;
        while (size_t got = source->read(buffer, sizeof buffer)) sink->append(buffer, got);
        return *sink;
    });
}

std::vector<gzip_backend> backends() {
    std::vector<gzip_backend> all{gzip_backend::zlib};
    if (gzip_backend_available(gzip_backend::isal)) all.push_back(gzip_backend::isal);
    return all;
}

const char* backend_name(gzip_backend backend) { return backend == gzip_backend::isal ? "isal" : "zlib"; }

// A repetitive but not trivial text, like reads.
std::string sample_text(size_t records) {
    std::string text;
    uint32_t state = 12345;
    for (size_t i = 0; i < records; ++i) {
        text += "@read" + std::to_string(i) + "\n";
        for (int j = 0; j < 30; ++j) {
            state = state * 1103515245 + 12345;
            text += "ACGT"[(state >> 16) & 3];
        }
        text += "\n+\n" + std::string(30, 'I') + "\n";
    }
    return text;
}

// Runs a reader over text (handed out piece bytes at a time) and renders the
// counts as "SEQ=COUNT" items in table order, plus the totals.
struct counted {
    std::vector<std::string> rows;
    int64_t records = 0;
    int64_t filtered = 0;
    int64_t unique = 0;
};

// The options of the reader tests, as count_main would set them.
count::settings options;

counted run_reader(const std::string& text, bool fastq, size_t piece = 1 << 20) {
    line_reader in(std::make_unique<trickle_source>(text, piece));
    count::read_counter counts;
    count::read_totals totals;
    if (fastq)
        count::process_fastq(in, options, counts, totals);
    else
        count::process_qsec(in, options, counts, totals);
    counted c;
    for (const count::read_counter::record* r : counts.sort())
        c.rows.push_back(std::string(r->sequence()) + "=" + std::to_string(r->count()));
    c.records = totals.records;
    c.filtered = totals.filtered;
    c.unique = counts.unique();
    return c;
}

using rows = std::vector<std::string>;

class CountTest : public testing::Test {
protected:
    void SetUp() override { options = count::settings{}; }
    void TearDown() override { options = count::settings{}; }
};

// ---------------------------------------------------------------------------
// Quality filter

class QualityFilter : public CountTest {};

std::pair<std::string, int> filter(std::string seq, const std::string& qual) {
    int masked = static_cast<int>(count::mask_copy(options, seq.data(), seq.data(), qual.data(), seq.size()));
    return {seq, masked};
}

TEST_F(QualityFilter, SangerKeepsHighScoresAndDefaultsMaskThem) {
    options.quality_adj = 33;  // -m S
    EXPECT_EQ(filter("ACGT", "IIII"), std::make_pair(std::string("ACGT"), 0));
    options = count::settings{};  // offset 64: I scores 9, below 10
    EXPECT_EQ(filter("ACGT", "IIII"), std::make_pair(std::string("NNNN"), 4));
}

TEST_F(QualityFilter, ScoreEqualToTheCutoffKeepsTheBase) {
    options.quality_adj = 33;
    EXPECT_EQ(filter("ACGT", "+++5"), std::make_pair(std::string("ACGT"), 0));
    options.quality_cutoff = 11;
    EXPECT_EQ(filter("ACGT", "+++5"), std::make_pair(std::string("NNNT"), 3));
}

TEST_F(QualityFilter, NoCallsBecomeNWithoutCounting) {
    options.quality_adj = 33;
    EXPECT_EQ(filter("A.GT", "IIII"), std::make_pair(std::string("ANGT"), 0));
    EXPECT_EQ(filter("A.GT", "I#II"), std::make_pair(std::string("ANGT"), 1));
    EXPECT_EQ(filter("NNGT", "##II"), std::make_pair(std::string("NNGT"), 2));  // N counted when low too
}

TEST_F(QualityFilter, ScoresBelowTheOffsetAndHighBytes) {
    EXPECT_EQ(filter("A", "!"), std::make_pair(std::string("N"), 1));  // negative score
    // A byte above 0x7F counts as negative.
    EXPECT_EQ(filter("AC", "\xC8h"), std::make_pair(std::string("NC"), 1));
    EXPECT_EQ(filter("", ""), std::make_pair(std::string(""), 0));
}

// The wide path must agree with the plain rule at every length, offset and
// cutoff, the extremes of the signed byte range included.
TEST_F(QualityFilter, WidePathAgreesWithThePlainRule) {
    uint32_t state = 7;
    auto next = [&] { return (state = state * 1664525 + 1013904223) >> 8; };
    for (int adj : {33, 64}) {
        for (int cutoff : {1, 10, 30, 63, 64, 94, 95, 200, 2147483647}) {
            options.quality_adj = adj;
            options.quality_cutoff = cutoff;
            for (size_t length = 0; length < 80; ++length) {
                std::string seq, qual;
                for (size_t i = 0; i < length; ++i) {
                    seq += "ACGTN.x\x90"[next() % 8];
                    qual += static_cast<char>(next() % 256);
                }
                std::string expected = seq;
                int64_t expected_masked = 0;
                for (size_t i = 0; i < length; ++i) {
                    if (static_cast<signed char>(qual[i]) - adj < cutoff) {
                        expected[i] = 'N';
                        ++expected_masked;
                    }
                    if (expected[i] == '.') expected[i] = 'N';
                }
                std::string got = seq;
                EXPECT_EQ(count::mask_copy(options, got.data(), got.data(), qual.data(), length), expected_masked) << length;
                EXPECT_EQ(got, expected);
            }
        }
    }
}

TEST_F(QualityFilter, VeryLongReadsCountEveryMaskedBase) {
    std::string seq(100000, 'A');
    std::string qual(100000, '!');
    EXPECT_EQ(count::mask_copy(options, seq.data(), seq.data(), qual.data(), seq.size()), 100000);
    EXPECT_EQ(seq, std::string(100000, 'N'));
}

// ---------------------------------------------------------------------------
// The counter

TEST(ReadCounter, CountsAndOrdersByCountThenBytes) {
    count::read_counter counts;
    for (const char* s : {"T", "A", "GG", "A", "", "\xC3", "AC", "T", "A"}) counts.add(s, std::strlen(s));
    EXPECT_EQ(counts.unique(), 6);
    std::vector<std::pair<std::string, int64_t>> seen;
    for (const auto* r : counts.sort()) seen.emplace_back(r->sequence(), r->count());
    // Equal counts in byte order: the empty text first, a prefix before its
    // continuations, a byte above 0x7F last.
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, int64_t>>{
                        {"A", 3}, {"T", 2}, {"", 1}, {"AC", 1}, {"GG", 1}, {"\xC3", 1}}));
}

TEST(ReadCounter, ManyKeysSurviveGrowthAndBatches) {
    count::read_counter counts;
    count::read_counter::batch batch;
    std::vector<std::string> keys;
    for (int i = 0; i < 200000; ++i) keys.push_back(std::string("K").append(std::to_string(i * 7919 % 200000)));
    // Key i gets i % 3 + 1 reads, some one at a time, some in batches.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 200000; ++i) {
            if (i % 3 < round) continue;
            if (i % 2 == 0) {
                counts.add(keys[i].data(), keys[i].size());
            } else {
                std::memcpy(batch.prepare(keys[i].size()), keys[i].data(), keys[i].size());
                batch.commit(keys[i].size());
                if (batch.full()) counts.add(batch);
            }
        }
    }
    counts.add(batch);
    EXPECT_EQ(counts.unique(), 200000);
    auto sorted = counts.sort();
    ASSERT_EQ(sorted.size(), 200000u);
    for (size_t i = 1; i < sorted.size(); ++i) {
        const auto* a = sorted[i - 1];
        const auto* b = sorted[i];
        ASSERT_TRUE(a->count() > b->count() || (a->count() == b->count() && a->sequence() < b->sequence())) << i;
    }
    EXPECT_EQ(sorted.front()->count(), 3);
    EXPECT_EQ(sorted.back()->count(), 1);
}

// The grouped sort gives each group (by its first two bytes, bytes above
// 0x7F included) the order the plain sort gives its keys alone: short keys,
// and long ones that share their first words (so that equal counts are
// told apart several words in).
TEST(ReadCounter, GroupedSortIsEachGroupsOwnOrder) {
    std::mt19937 random(3);
    count::read_counter grouped;
    std::map<size_t, std::unique_ptr<count::read_counter>> alone;
    for (int i = 0; i < 60000; ++i) {
        const size_t group = random() % 7 == 0 ? 0xff00 + random() % 3 : 0x100 * (random() % 3) + random() % 20;
        std::string key{static_cast<char>(group >> 8), static_cast<char>(group & 0xff)};
        if (random() % 3 == 0) key += "GATTACAGATTACAGATT";
        for (size_t n = random() % (random() % 2 == 0 ? 6 : 20); n > 0; --n) key += "ACGT"[random() % 4];
        const int reads = 1 + static_cast<int>(random() % 3);
        auto& own = alone[group];
        if (!own) own = std::make_unique<count::read_counter>();
        for (int r = 0; r < reads; ++r) {
            grouped.add(key.data(), key.size());
            own->add(key.data(), key.size());
        }
    }
    std::vector<size_t> starts;
    auto sorted = grouped.sort(2, starts);
    ASSERT_EQ(starts.size(), 65537u);
    EXPECT_EQ(starts.back(), sorted.size());
    for (size_t g = 0; g < 65536; ++g) {
        auto found = alone.find(g);
        std::vector<std::pair<std::string, int64_t>> expected, got;
        if (found != alone.end())
            for (const auto* r : found->second->sort()) expected.emplace_back(r->sequence(), r->count());
        for (size_t i = starts[g]; i < starts[g + 1]; ++i) got.emplace_back(sorted[i]->sequence(), sorted[i]->count());
        ASSERT_EQ(got, expected) << g;
    }
}

TEST(ReadCounter, IdsStayTheSameThroughGrowth) {
    count::read_counter counts;
    std::vector<uint32_t> ids;
    for (int i = 0; i < 100000; ++i) {
        std::string key = std::string("S").append(std::to_string(i));
        ids.push_back(counts.add(key.data(), key.size()));
    }
    std::vector<uint32_t> sorted_ids = ids;
    std::sort(sorted_ids.begin(), sorted_ids.end());
    EXPECT_EQ(std::adjacent_find(sorted_ids.begin(), sorted_ids.end()), sorted_ids.end());  // all distinct
    EXPECT_NE(sorted_ids.front(), 0u);
    for (int i = 0; i < 100000; i += 997) {
        std::string key = std::string("S").append(std::to_string(i));
        ASSERT_EQ(counts.add(key.data(), key.size()), ids[i]) << key;
    }
}

TEST(ReadCounter, BatchBeyondFullAndLongKeys) {
    count::read_counter counts;
    count::read_counter::batch batch;
    std::string long_key(3'000'000, 'T');  // a record of its own outside the arena chunks
    for (int i = 0; i < 1000; ++i) {
        std::string key = i % 100 == 0 ? long_key : std::string(i % 7 + 1, 'A');
        std::memcpy(batch.prepare(key.size()), key.data(), key.size());
        batch.commit(key.size());
    }
    counts.add(batch);
    counts.add(batch);  // an empty batch
    std::vector<std::pair<size_t, int64_t>> seen;
    for (const auto* r : counts.sort()) seen.emplace_back(r->sequence().size(), r->count());
    EXPECT_EQ(seen, (std::vector<std::pair<size_t, int64_t>>{
                        {2, 142}, {4, 142}, {6, 142}, {1, 141}, {3, 141}, {5, 141}, {7, 141}, {3'000'000, 10}}));
}

TEST(ReadCounter, LongKeysSharingLongPrefixesSortByBytes) {
    count::read_counter counts;
    std::string base(5000, 'G');
    std::vector<std::string> keys;
    for (int i = 0; i < 40; ++i) {
        std::string k = base;
        k[4990 - i * 97 % 4000] = static_cast<char>('A' + i % 3);
        keys.push_back(k);
        keys.push_back(k.substr(0, 4999 - i));
    }
    for (const std::string& k : keys) counts.add(k.data(), k.size());
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::vector<std::string> got;
    for (const auto* r : counts.sort()) got.emplace_back(r->sequence());
    EXPECT_EQ(got, keys);
}

// ---------------------------------------------------------------------------
// Readers

class Readers : public CountTest {};

const std::string record_acgtac = "@r\nACGTAC\n+\nIIIIII\n";

TEST_F(Readers, TrimThenTruncateThenMask) {
    options.quality_adj = 33;
    options.trim_start = 1;
    options.trim_end = 2;
    EXPECT_EQ(run_reader(record_acgtac, true).rows, rows{"CGT=1"});
    options.trunc = 2;
    EXPECT_EQ(run_reader(record_acgtac, true).rows, rows{"CG=1"});
}

TEST_F(Readers, DefaultsMaskEveryBaseAndCleanDropsTheRead) {
    counted c = run_reader(record_acgtac, true);
    EXPECT_EQ(c.rows, rows{"NNNNNN=1"});
    EXPECT_EQ(c.filtered, 6);
    options.clean_flag = 1;
    c = run_reader(record_acgtac, true);
    EXPECT_EQ(c.rows, rows{});
    EXPECT_EQ(c.records, 1);
    EXPECT_EQ(c.filtered, 6);
    EXPECT_EQ(c.unique, 0);
}

TEST_F(Readers, ReadsShorterThanOrEqualToTheTrimsAreTheEmptyRead) {
    options.quality_adj = 33;
    options.trim_start = 4;
    options.trim_end = 2;
    counted c = run_reader(record_acgtac + "@s\nACG\n+\nIII\n", true);
    EXPECT_EQ(c.rows, rows{"=2"});
    EXPECT_EQ(c.records, 2);
}

TEST_F(Readers, SameSequenceTwiceAndPartialLastRecord) {
    options.quality_adj = 33;
    counted c = run_reader(record_acgtac + record_acgtac, true);
    EXPECT_EQ(c.rows, rows{"ACGTAC=2"});
    EXPECT_EQ(c.unique, 1);
    c = run_reader(record_acgtac + "@s\nGGGG\n+\n", true);  // seven lines
    EXPECT_EQ(c.rows, rows{"ACGTAC=1"});
    EXPECT_EQ(c.records, 1);
}

TEST_F(Readers, CarriageReturnIsPartOfTheReadAndMasked) {
    options.quality_adj = 33;
    counted c = run_reader("@r\r\nACGT\r\n+\r\nIIII\r\n", true);
    EXPECT_EQ(c.rows, rows{"ACGTN=1"});
    EXPECT_EQ(c.filtered, 1);
}

TEST_F(Readers, LastLineWithoutLineFeedAndLongLines) {
    options.quality_adj = 33;
    EXPECT_EQ(run_reader("@r\nACGT\n+\nIIII", true).rows, rows{"ACGT=1"});
    std::string long_read(5000, 'C');
    counted c = run_reader("@r\n" + long_read + "\n+\n" + std::string(5000, 'I') + "\n" + record_acgtac, true);
    EXPECT_EQ(c.rows, (rows{"ACGTAC=1", long_read + "=1"}));
    EXPECT_EQ(c.records, 2);
}

TEST_F(Readers, NulEndsTheLineText) {
    options.quality_adj = 33;
    counted c = run_reader(std::string("@r\nAC\0GT\n+\nII\n", 15), true);
    EXPECT_EQ(c.rows, rows{"AC=1"});
}

TEST_F(Readers, MismatchEndsTheRunWithStatusThree) {
    outcome o = capture([] {
        run_reader("@r\nACGT\n+\nIIII\n@s\nACGT\n+\nIII\n", true);
        return std::string();
    });
    EXPECT_EQ(o.status, 3);
    EXPECT_EQ(o.err, "Sequence length and quality length mismatch in stdin, record 2\n");
}

TEST_F(Readers, RecordsAcrossEveryBufferBoundary) {
    options.quality_adj = 33;
    std::string text = sample_text(300) + "@x\nAC.T\n+\nI#II\n";
    counted whole = run_reader(text, true);
    EXPECT_EQ(whole.records, 301);
    for (size_t piece : {1, 2, 3, 7, 64, 1000}) {
        counted c = run_reader(text, true, piece);
        EXPECT_EQ(c.rows, whole.rows) << piece;
        EXPECT_EQ(c.records, whole.records);
        EXPECT_EQ(c.filtered, whole.filtered);
    }
}

TEST(QualityExtremes, WidePathAgreesWithAPlainScanAtEveryLength) {
    // The extreme at every place, bytes above 0x7f included, starting from
    // extremes already found.
    uint32_t state = 11;
    auto next = [&] { return static_cast<unsigned char>((state = state * 1664525 + 1013904223) >> 24); };
    for (size_t length = 0; length <= 70; ++length) {
        for (int trial = 0; trial < 20; ++trial) {
            std::string qual;
            for (size_t i = 0; i < length; ++i) qual += static_cast<char>(64 + next() % 20);
            if (length > 0 && trial % 2 == 0) qual[next() % length] = static_cast<char>(next());
            unsigned char start_low = trial % 3 == 0 ? 255 : 70, start_high = trial % 3 == 0 ? 0 : 75;
            unsigned char low = start_low, high = start_high;
            count::quality_extremes(qual.data(), qual.size(), low, high);
            unsigned char want_low = start_low, want_high = start_high;
            for (char c : qual) {
                want_low = std::min(want_low, static_cast<unsigned char>(c));
                want_high = std::max(want_high, static_cast<unsigned char>(c));
            }
            EXPECT_EQ(low, want_low) << length;
            EXPECT_EQ(high, want_high) << length;
        }
    }
}

TEST_F(Readers, ReadsHeldBackForTheEncodingAcrossEveryBufferBoundary) {
    // Phred+64 qualities: -m A holds every read back to the end of the
    // input, then counts them as -m I would; records cut by the buffer's
    // edges must come out whole.
    std::string text = sample_text(300) + "@x\nAC.T\n+\nhBhh\n";
    std::replace(text.begin(), text.end(), 'I', 'h');
    options.quality_adj = 64;
    counted explicit_letter = run_reader(text, true);
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}, size_t{1000}, size_t{1} << 20}) {
        options = count::settings{};
        options.quality_auto = 1;
        counted found;
        outcome o = capture([&] {
            found = run_reader(text, true, piece);
            return std::string();
        });
        EXPECT_EQ(o.err, "Quality encoding found from the reads: -m I (Phred+64)\n") << piece;
        EXPECT_EQ(options.quality_adj, 64);
        EXPECT_EQ(found.rows, explicit_letter.rows) << piece;
        EXPECT_EQ(found.records, 301);
        EXPECT_EQ(found.filtered, explicit_letter.filtered);
    }
}

std::string qseq_line(const std::string& seq, const std::string& qual, const std::string& rest = "\t1") {
    return "M1\t1\t2\t3\t4\t5\t6\t0\t" + seq + "\t" + qual + rest + "\n";
}

TEST_F(Readers, QseqTakesTheNinthAndTenthFields) {
    counted c = run_reader(qseq_line("ACGT", "hhhh") + qseq_line("ACGT", "hhhh", "\t1\textra"), false);
    EXPECT_EQ(c.rows, rows{"ACGT=2"});
    EXPECT_EQ(c.filtered, 0);
}

TEST_F(Readers, QseqWithExactlyNineTabsTakesQualityToTheEnd) {
    counted c = run_reader(qseq_line("AC.T", "hBhh", ""), false);
    EXPECT_EQ(c.rows, rows{"ANNT=1"});
    EXPECT_EQ(c.filtered, 1);
}

TEST_F(Readers, QseqLinesWithFewerThanNineTabsAreSkippedWithAWarning) {
    outcome o = capture([] {
        std::string text = std::string("\n").append(qseq_line("ACGT", "hhhh")).append("a\tb\tc\t\t\t\t\t\tACGT\n");
        counted c = run_reader(text, false);
        return std::to_string(c.records) + " " + c.rows.front();
    });
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.result, "1 ACGT=1");
    EXPECT_EQ(o.err, "Warning: a qseq line is not in expected format; skipped\n"
                     "Warning: a qseq line is not in expected format; skipped\n");
}

// ---------------------------------------------------------------------------
// line_reader blocks

TEST(LineReaderBlocks, WholeLinesOnlyAndTheRestAtTheEnd) {
    std::string text = sample_text(500) + "tail without line feed";
    for (size_t piece : {1, 5, 4096, 1 << 20}) {
        line_reader in(std::make_unique<trickle_source>(text, piece));
        std::string joined;
        std::string_view block;
        int blocks = 0;
        while (in.next_block(block)) {
            ++blocks;
            joined.append(block);
            bool last = joined.size() == text.size();
            if (!last) {
                EXPECT_EQ(block.back(), '\n');
            }
        }
        EXPECT_EQ(joined, text) << piece;
        EXPECT_GT(blocks, 0);
    }
}

TEST(LineReaderBlocks, LineLongerThanTheBuffer) {
    std::string text = std::string(3'000'000, 'A') + "\nB\n";
    line_reader in(std::make_unique<trickle_source>(text, 1 << 16));
    std::string_view block;
    std::string joined;
    while (in.next_block(block)) {
        if (joined.empty()) {
            EXPECT_GE(block.size(), 3'000'001u);  // the long line whole
        }
        joined.append(block);
    }
    EXPECT_EQ(joined, text);
}

// ---------------------------------------------------------------------------
// gzip

TEST(Gzip, SingleAndMultiMemberWithPadding) {
    std::string a = sample_text(2000), b = "second member\n", c = sample_text(10);
    std::string several = gzip_member(a) + gzip_member(b, 1) + gzip_member("") + gzip_member(c, 9);
    for (gzip_backend backend : backends()) {
        SCOPED_TRACE(backend_name(backend));
        EXPECT_EQ(gunzip(gzip_member(a), backend).result, a);
        EXPECT_EQ(gunzip(several, backend).result, a + b + c);
        EXPECT_EQ(gunzip(several, backend, 3).result, a + b + c);
        outcome padded = gunzip(several + std::string(1000, '\0'), backend);
        EXPECT_EQ(padded.status, 0);
        EXPECT_EQ(padded.result, a + b + c);
    }
}

TEST(Gzip, ManySmallMembersLikeBgzip) {
    std::string text = sample_text(3000), compressed;
    for (size_t at = 0; at < text.size(); at += 4000) compressed += gzip_member(text.substr(at, 4000));
    for (gzip_backend backend : backends()) {
        SCOPED_TRACE(backend_name(backend));
        EXPECT_EQ(gunzip(compressed, backend).result, text);
        EXPECT_EQ(gunzip(compressed, backend, 777).result, text);
    }
}

TEST(Gzip, TrailingDataThatIsNotAMemberIsCorruption) {
    std::string good = gzip_member("line\n");
    for (gzip_backend backend : backends()) {
        SCOPED_TRACE(backend_name(backend));
        for (std::string tail : {std::string("x"), std::string("\0\0\0x", 4), std::string("\x1f"),
                                 std::string("\x1f\x8b"), std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03garbage", 18)}) {
            std::string partial;
            outcome o = gunzip(good + tail, backend, 1 << 20, &partial);
            EXPECT_EQ(o.status, 2);
            EXPECT_EQ(o.err, "Could not decompress test.gz\n");
            EXPECT_EQ(partial, "line\n");  // what came before the fault was handed out first
        }
    }
}

TEST(Gzip, BadChecksumOrLengthIsCorruption) {
    std::string text = sample_text(100);
    std::string good = gzip_member(text);
    for (size_t trailer_byte : {8u, 7u, 4u, 3u, 1u}) {  // CRC-32 is 8..5 from the end, ISIZE 4..1
        std::string bad = good;
        bad[bad.size() - trailer_byte] ^= 0x01;
        for (gzip_backend backend : backends()) {
            SCOPED_TRACE(backend_name(backend));
            outcome o = gunzip(bad, backend);
            EXPECT_EQ(o.status, 2) << trailer_byte;
            EXPECT_EQ(o.err, "Could not decompress test.gz\n");
        }
    }
}

TEST(Gzip, TruncationAtEveryByteIsAFault) {
    std::string text = sample_text(40);
    std::string compressed = gzip_member(text) + gzip_member("two\n");
    for (gzip_backend backend : backends()) {
        SCOPED_TRACE(backend_name(backend));
        for (size_t keep = 2; keep < compressed.size(); ++keep) {
            if (keep == compressed.size() - gzip_member("two\n").size()) continue;  // a whole first member
            std::string partial;
            outcome o = gunzip(compressed.substr(0, keep), backend, 1 << 20, &partial);
            ASSERT_EQ(o.status, 2) << keep;
            ASSERT_EQ(o.err, "Could not decompress test.gz\n");
            ASSERT_EQ(partial, (text + "two\n").substr(0, partial.size()));  // a true prefix
        }
    }
}

TEST(Gzip, CorruptDeflateDataIsAFault) {
    std::string text = sample_text(200);
    std::string compressed = gzip_member(text);
    for (gzip_backend backend : backends()) {
        SCOPED_TRACE(backend_name(backend));
        int faults = 0;
        for (size_t at = 10; at + 8 < compressed.size(); at += 37) {
            std::string bad = compressed;
            bad[at] = static_cast<char>(~bad[at]);
            outcome o = gunzip(bad, backend);
            if (o.status != 0) {
                EXPECT_EQ(o.status, 2);
                EXPECT_EQ(o.err, "Could not decompress test.gz\n");
                ++faults;
            } else {
                ADD_FAILURE() << "corruption at " << at << " passed unnoticed";
            }
        }
        EXPECT_GT(faults, 0);
    }
}

TEST(Gzip, ReservedHeaderFlagsAreCorruption) {
    std::string good = gzip_member("line\n");
    for (char reserved : {'\x20', '\x40', '\x80'}) {
        std::string bad = good;
        bad[3] = static_cast<char>(bad[3] | reserved);
        for (gzip_backend backend : backends()) {
            SCOPED_TRACE(backend_name(backend));
            for (size_t piece : {size_t{1}, size_t{2}, size_t{1} << 20}) {  // the header in pieces, or whole
                outcome o = gunzip(bad, backend, piece);
                EXPECT_EQ(o.status, 2) << int{reserved} << " " << piece;
                o = gunzip(good + bad, backend, piece);  // in a second member as well
                EXPECT_EQ(o.status, 2) << int{reserved} << " " << piece;
            }
        }
    }
}

// A member whose header carries the optional fields that flags selects:
// extra field, name, comment, and the header checksum (right or wrong).
std::string member_with_header(const std::string& text, unsigned char flags, bool right_header_crc = true) {
    std::string header("\x1f\x8b\x08", 3);
    header += static_cast<char>(flags);
    header += std::string("\x01\x02\x03\x04\x00\x03", 6);
    if (flags & 0x04) header += std::string("\x05\x00" "ab\0cd", 7);
    if (flags & 0x08) header += std::string("reads.fq\0", 9);
    if (flags & 0x10) header += std::string("a comment\0", 10);
    if (flags & 0x02) {
        uLong crc = crc32(0, reinterpret_cast<const Bytef*>(header.data()), static_cast<uInt>(header.size()));
        if (!right_header_crc) crc ^= 1;
        header += static_cast<char>(crc & 0xff);
        header += static_cast<char>((crc >> 8) & 0xff);
    }
    return header + gzip_member(text).substr(10);  // zlib's member has the bare 10-byte header
}

TEST(Gzip, OptionalHeaderFieldsAndTheHeaderChecksum) {
    std::string text = sample_text(20);
    for (gzip_backend backend : backends()) {
        SCOPED_TRACE(backend_name(backend));
        for (unsigned flags = 0; flags < 0x20; ++flags) {
            for (size_t piece : {size_t{1}, size_t{3}, size_t{1} << 20}) {
                std::string good = member_with_header(text, static_cast<unsigned char>(flags));
                EXPECT_EQ(gunzip(good + good, backend, piece).result, text + text) << flags << " " << piece;
                if (flags & 0x02) {
                    std::string bad = member_with_header(text, static_cast<unsigned char>(flags), false);
                    EXPECT_EQ(gunzip(bad, backend, piece).status, 2) << flags << " " << piece;
                    EXPECT_EQ(gunzip(good + bad, backend, piece).status, 2) << flags << " " << piece;
                }
            }
        }
    }
}

TEST(Gzip, LineReaderSniffsTheMagicNumber) {
    EXPECT_TRUE(looks_like_gzip("\x1f\x8b", 2));
    EXPECT_FALSE(looks_like_gzip("\x1f", 1));
    EXPECT_FALSE(looks_like_gzip("@r", 2));
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// Layouts and molecules through the readers

std::string reverse_complement(const std::string& seq) {
    std::string out(seq.rbegin(), seq.rend());
    for (char& c : out) c = c == 'A' ? 'T' : c == 'T' ? 'A' : c == 'C' ? 'G' : c == 'G' ? 'C' : c;
    return out;
}

TEST_F(Readers, MoleculesOfEveryBarcodeAgreeWithTheCollapseOfItsUmis) {
    // Random reads on both strands, split across every kind of block
    // boundary: each barcode's molecules must be the collapse of exactly its
    // reads' UMIs, whichever strand and wherever in the input they came.
    options.quality_adj = 33;
    options.both_strands_flag = 1;
    std::string problem;
    std::optional<count::layout> shape = count::layout::parse("GGTTC[3]{1}(4)", -1, problem);
    ASSERT_TRUE(shape.has_value()) << problem;
    std::mt19937 random(5);
    std::map<std::string, std::map<std::string, int64_t>> truth;
    std::string text;
    for (int i = 0; i < 3000; ++i) {
        std::string barcode, umi;
        for (int j = 0; j < 3; ++j) barcode += "ACG"[random() % 3];
        for (int j = 0; j < 4; ++j) umi += "AC"[random() % 2];  // many one-letter neighbours
        std::string read = std::string(random() % 4, 'A') + "GGTTC" + barcode + "T" + umi;
        if (random() % 2) read = reverse_complement(read);
        text += "@r\n" + read + "\n+\n" + std::string(read.size(), 'I') + "\n";
        ++truth[barcode][umi];
    }
    for (size_t piece : {size_t{7}, size_t{1} << 20}) {
        line_reader in(std::make_unique<trickle_source>(text, piece));
        count::read_counter counts;
        count::read_totals totals;
        umi::pair_counter pairs(4);
        count::process_fastq(in, options, counts, totals, &*shape, &pairs);
        EXPECT_EQ(totals.without_layout, 0);
        std::map<std::string, std::pair<int64_t, int64_t>> got;  // molecules, reads
        pairs.for_each_barcode([&](uint32_t id, int64_t molecules) {
            const count::read_counter::record* r = counts.find(id);
            got[std::string(r->sequence())] = {molecules, r->count()};
        });
        std::map<std::string, std::pair<int64_t, int64_t>> expected;
        for (const auto& [barcode, umis] : truth) {
            int64_t reads = 0;
            for (const auto& [umi, n] : umis) reads += n;
            expected[barcode] = {umi::molecules({umis.begin(), umis.end()}), reads};
        }
        EXPECT_EQ(got, expected) << "piece " << piece;
    }
}

}  // namespace
