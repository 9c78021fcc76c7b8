// The layout parser and matcher on hostile text: the first line is the
// layout (its first byte, less '0', the mismatches of every constant when
// it is a digit), every further line a read. A placement must lie within
// the read, in the order of the layout, and every letter handed out must
// be one of the read's. Then the rest runs through count with the layout,
// as a FASTQ file, on both strands (and with -r when the digit is odd),
// counting molecules when the layout has UMI slots, and with keys of one
// length (-l) for some digits. A layout with sample barcode slots splits the
// reads by a sheet of one sample whose barcode has the slots' letters.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "count/count.h"
#include "count/layout.h"
#include "fuzz_support.h"

using count::element_kind;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t line_end = text.find('\n');
    std::string_view layout_text = text.substr(0, line_end);
    int mismatches = -1;
    if (!layout_text.empty() && layout_text[0] >= '0' && layout_text[0] <= '9') {
        mismatches = layout_text[0] - '0';
        layout_text.remove_prefix(1);
    }
    std::string problem;
    std::optional<count::layout> shape = count::layout::parse(layout_text, mismatches, problem);
    if (!shape) {
        if (problem.empty()) std::abort();
        return 0;
    }
    count::layout_matcher matcher(*shape);
    std::string letters, quals;
    for (size_t at = line_end; at != std::string_view::npos && at < text.size();) {
        size_t next = text.find('\n', at + 1);
        std::string_view read = text.substr(at + 1, next == std::string_view::npos ? std::string_view::npos : next - at - 1);
        at = next;
        if (!matcher.match(read.data(), read.size())) continue;
        size_t end = 0;
        const auto& elements = shape->elements();
        for (size_t i = 0; i < elements.size(); ++i) {
            const count::placement& p = matcher.pieces()[i];
            if (p.start < end || p.start + p.length > read.size()) std::abort();
            if (p.length < elements[i].min_length || p.length > elements[i].max_length) std::abort();
            end = p.start + p.length;
        }
        for (element_kind kind : {element_kind::barcode, element_kind::umi, element_kind::sample}) {
            letters.assign(matcher.letters(kind) + 1, '\0');
            quals.assign(letters.size(), '\0');
            size_t n = matcher.gather(kind, read.data(), read.data(), letters.data(), quals.data());
            if (n + 1 != letters.size() || std::memcmp(letters.data(), quals.data(), n) != 0) std::abort();
        }
    }
    if (line_end == std::string_view::npos) return 0;
    if (layout_text.find('\0') != std::string_view::npos) return 0;  // not an argument
    static memory_file reads;
    reads.set(text.substr(line_end + 1));
    std::vector<std::string> args{"count", "-f", "-m", "S", "-b", "-p", std::string(layout_text)};
    if (mismatches >= 0) args.insert(args.end(), {"-e", std::to_string(mismatches)});
    if (mismatches % 2 == 1) args.push_back("-r");
    if (mismatches % 4 == 2) args.insert(args.end(), {"-l", mismatches < 5 ? "auto" : "5"});
    if (shape->has(element_kind::sample)) {
        static memory_file sheet;
        static const std::string dir = [] {
            std::string path = (std::filesystem::temp_directory_path() / "morvane-fuzz-layout-XXXXXX").string();
            if (::mkdtemp(path.data()) == nullptr) std::abort();
            return path;
        }();
        size_t letters = 0;
        for (const auto& e : shape->elements())
            if (e.kind == element_kind::sample) letters += e.min_length;  // sample slots have one length
        sheet.set("s\t" + std::string(letters, 'A') + "\n");
        args.insert(args.end(), {"-x", sheet.path(), "-d", dir});
    }
    args.push_back(reads.path());
    run_sub_command(count_main, args, {0, 3});  // 3: sequence and quality of unequal length
    return 0;
}
