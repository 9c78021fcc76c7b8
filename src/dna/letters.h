// The letters of DNA and their codes: A 0, C 1, G 2, T 3, N 4.
//
// Every byte has a code, looked up in one table (a switch per letter costs
// branches in the loops over reads). Bytes that are no letter get
// other_code, which shares bit 2 with N: (code & 4) != 0 picks out every
// byte but A, C, G and T, and code & 3 of those four is their two bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dna {

inline constexpr char letters[] = "ACGTN";  // by code
inline constexpr uint8_t n_code = 4;
inline constexpr uint8_t other_code = 7;
// The five letters in byte order, for codes whose numeric order must be
// the texts' byte order.
inline constexpr char sorted_letters[] = "ACGNT";

namespace detail {

struct tables {
    uint8_t code[256];
    int8_t sorted_code[256];
    char complement[256];
    constexpr tables() : code(), sorted_code(), complement() {
        for (int c = 0; c < 256; ++c) {
            code[c] = other_code;
            sorted_code[c] = -1;
            complement[c] = static_cast<char>(c);
        }
        for (uint8_t k = 0; k < 5; ++k) {
            code[static_cast<unsigned char>(letters[k])] = k;
            sorted_code[static_cast<unsigned char>(sorted_letters[k])] = static_cast<int8_t>(k);
        }
        complement['A'] = 'T', complement['T'] = 'A', complement['C'] = 'G', complement['G'] = 'C';
    }
};
inline constexpr tables table;

}  // namespace detail

// A 0, C 1, G 2, T 3, N 4, any other byte other_code.
constexpr uint8_t code_of(char c) { return detail::table.code[static_cast<unsigned char>(c)]; }
// One of A, C, G and T.
constexpr bool is_base(char c) { return code_of(c) < n_code; }
// One of A, C, G, T and N.
constexpr bool is_letter(char c) { return code_of(c) <= n_code; }
// The letter of a code 0 to 4.
constexpr char letter_of(unsigned code) { return letters[code]; }
// The place of a letter in sorted_letters, -1 for any other byte.
constexpr int sorted_code_of(char c) { return detail::table.sorted_code[static_cast<unsigned char>(c)]; }
// A, C, G and T turned to their pairing letters; every other byte stays.
constexpr char complement(char c) { return detail::table.complement[static_cast<unsigned char>(c)]; }

inline bool all_letters(std::string_view text) {
    for (char c : text)
        if (!is_letter(c)) return false;
    return true;
}

inline std::string reverse_complement(std::string_view text) {
    std::string out(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) out[text.size() - 1 - i] = complement(text[i]);
    return out;
}

}  // namespace dna
