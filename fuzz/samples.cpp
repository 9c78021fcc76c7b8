// The sample sheet reader and matcher on hostile text: the input is a sheet.
// A sheet that is accepted must send each sample's own barcode, and every
// text one substitution from it per part, to that sample and no other;
// any text at all may be looked up without harm, and a header's index read
// in place gives what its index field gives.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "count/samples.h"

using namespace count;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string problem;
    std::optional<sample_sheet> sheet = parse_sample_sheet(text, problem);
    if (!sheet) return 0;
    std::optional<sample_matcher> matcher = sample_matcher::build(*sheet, problem);
    if (!matcher) return 0;
    if (matcher->find(text) == sample_matcher::none && matcher->unmatched_texts().empty()) std::abort();
    std::optional<sample_matcher> by_field = sample_matcher::build(*sheet, problem);
    auto same_at_end = [&](std::string_view header) {
        const int32_t got = matcher->find_at_end(header);
        if (got == sample_matcher::not_plain) return;
        const std::string_view field = header_index(header);
        if (field.empty() || by_field->find(field) != got) std::abort();
    };
    same_at_end(text);
    for (size_t i = 0; i < sheet->samples.size() && i < 64; ++i) {
        const sample& s = sheet->samples[i];
        std::string first = s.parts[0];
        std::string second = s.parts.size() > 1 ? s.parts[1] : std::string();
        if (matcher->find(first, second) != static_cast<int32_t>(i)) std::abort();
        if (!first.empty()) first[first.size() / 2] = first[first.size() / 2] == 'A' ? 'C' : 'A';
        if (!second.empty()) second[0] = second[0] == 'G' ? 'T' : 'G';
        if (matcher->find(first, second) != static_cast<int32_t>(i)) std::abort();
        // The remembered lookup of the joined text agrees, first time and again.
        std::string joined = second.empty() ? first : first + "+" + second;
        if (matcher->find(joined) != static_cast<int32_t>(i)) std::abort();
        if (matcher->find(joined) != static_cast<int32_t>(i)) std::abort();
        same_at_end("@r:1 1:N:0:" + joined);
        same_at_end("@r:1:" + joined);
    }
    return 0;
}
