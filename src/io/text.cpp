#include "io/text.h"

#include <cstring>
#include <limits>

#include "io/error.h"

int64_t parse_atoi64(std::string_view text) {
    size_t i = 0;
    // isspace in the C locale: blank, \t \n \v \f \r
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Accumulate negatively so that the most negative value is reachable.
    constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
    int64_t value = 0;
    bool saturated = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (saturated) continue;
        if (value < (lowest + digit) / 10) {
            saturated = true;
            value = lowest;
            continue;
        }
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == lowest) return std::numeric_limits<int64_t>::max();
    return -value;
}

int64_t parse_atoi64(const char* text) { return parse_atoi64(std::string_view(text, std::strlen(text))); }

int parse_atoi32(const char* text) {
    int64_t value = parse_atoi64(text);
    if (value > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (value < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

bool asks_for_help(const char* arg) { return std::strcmp(arg, "?") == 0 || std::strstr(arg, "help") != nullptr; }

void warn_barcode_letters(int64_t sequences) {
    if (sequences == 0) return;
    warn("Warning: barcode sequences with characters other than A, C, G, T and N (lower case? a carriage return?): "
         "%lld; they match only clusters with the same characters\n",
         static_cast<long long>(sequences));
}

std::string_view barcode_sequence_reader::sequence(std::string_view after_first_tab) {
    size_t tab = after_first_tab.find('\t');
    if (tab == std::string_view::npos) return after_first_tab;
    if (!warned_) {
        warn("Warning: barcode lines have more than two fields; the fields after the sequence are ignored\n");
        warned_ = true;
    }
    return after_first_tab.substr(0, tab);
}
