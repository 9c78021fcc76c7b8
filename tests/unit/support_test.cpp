#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/line_reader.h"
#include "io/text.h"

namespace {

std::vector<std::string> lines_of(std::string text) {
    auto reader = line_reader::from_memory(std::move(text));
    std::vector<std::string> lines;
    std::string_view line;
    while (reader->next(line)) lines.emplace_back(line);
    return lines;
}

TEST(LineReader, LinesWholeLastLineAndCarriageReturn) {
    EXPECT_EQ(lines_of(""), std::vector<std::string>{});
    EXPECT_EQ(lines_of("a\nb"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(lines_of("a\r\n\n"), (std::vector<std::string>{"a\r", ""}));
    std::string long_line(3'000'000, 'G');
    EXPECT_EQ(lines_of(long_line + "\nx\n"), (std::vector<std::string>{long_line, "x"}));
}

TEST(LineReader, NulEndsTheLineText) {
    EXPECT_EQ(lines_of(std::string("ab\0cd\nef\n", 9)), (std::vector<std::string>{"ab", "ef"}));
}

TEST(Text, AtoiLikeParsing) {
    EXPECT_EQ(parse_atoi64("  12abc"), 12);
    EXPECT_EQ(parse_atoi64("-7"), -7);
    EXPECT_EQ(parse_atoi64("+3"), 3);
    EXPECT_EQ(parse_atoi64("abc"), 0);
    EXPECT_EQ(parse_atoi64("\t\n 5"), 5);
    EXPECT_EQ(parse_atoi64("5000000000"), 5'000'000'000LL);
    EXPECT_EQ(parse_atoi64("99999999999999999999999"), INT64_MAX);
    EXPECT_EQ(parse_atoi64("-99999999999999999999999"), INT64_MIN);
    EXPECT_EQ(parse_atoi32("5000000000"), INT32_MAX);
    EXPECT_EQ(parse_atoi32("-5000000000"), INT32_MIN);
}

TEST(Text, HelpTest) {
    EXPECT_TRUE(asks_for_help("?"));
    EXPECT_TRUE(asks_for_help("--help"));
    EXPECT_TRUE(asks_for_help("myhelpfile"));
    EXPECT_FALSE(asks_for_help("??"));
    EXPECT_FALSE(asks_for_help("HELP"));
}

}  // namespace
