// Reads a text input line by line, each line whole however long.
//
// The line feed is removed; a carriage return stays part of the line. A last
// line without a line feed is a line. A NUL byte ends the line's text, as a C
// text function would see it (the rest of that line is dropped).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "io/byte_source.h"

class line_reader {
public:
    // path null or "-" is not special: pass nullptr for standard input.
    // Returns null when the input cannot be opened or is a directory.
    // With gzip_allowed, input starting with the gzip magic bytes is
    // decompressed transparently; decompress_failure is then reported for a
    // corrupt or truncated stream.
    static std::unique_ptr<line_reader> open(const char* path, read_failure on_read_error,
                                             bool gzip_allowed = false,
                                             read_failure on_decompress_error = {});
    // Reads from a ready source (tests, fuzzing, in-memory input).
    explicit line_reader(std::unique_ptr<byte_source> source);
    static std::unique_ptr<line_reader> from_memory(std::string text);

    // The unread text up to and including the last line feed in hand, so a
    // run of whole lines (never a line cut in two); at the end of the input
    // the rest (a last line without a line feed). Valid until the next call;
    // false at the end. For callers that split lines themselves, fast: the
    // same lines next() gives, except that a NUL is left in place (the caller
    // ends a line's text at it).
    bool next_block(std::string_view& block);

    ~line_reader();
    line_reader(const line_reader&) = delete;
    line_reader& operator=(const line_reader&) = delete;

    // Whether the input is decompressed on the way (gzip).
    bool compressed() const { return compressed_; }
    // Reads the rest of the input and drops it (a fault of the source still
    // ends the run); next() and next_block() then find the end.
    void skip_rest();

    // The next line, valid until the next call; false at the end.
    bool next(std::string_view& line);
    // Whether the line last returned by next() was ended by a line feed
    // (false only for a last line without one).
    bool ended_by_newline() const { return ended_by_newline_; }

private:
    bool refill();

    std::unique_ptr<byte_source> source_;
    std::unique_ptr<char[]> buffer_;
    size_t capacity_;
    size_t begin_ = 0;  // first unread byte
    size_t end_ = 0;    // one past the last byte read
    bool eof_ = false;
    bool ended_by_newline_ = false;
    bool compressed_ = false;
};
