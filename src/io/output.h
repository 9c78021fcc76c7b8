// Buffered output that notices write errors.
//
// Every table is written to the -o file first (when one is open) and then,
// identical, to standard output; write_table() runs the same emitter twice
// rather than keeping a second copy of a possibly huge table in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class out_stream {
public:
    // Takes ownership of fd when owns_fd is set. name is what a write error
    // names: the file name, or "stdout".
    out_stream(int fd, std::string name, bool owns_fd);
    ~out_stream();
    out_stream(const out_stream&) = delete;
    out_stream& operator=(const out_stream&) = delete;

    void put(std::string_view text);
    void put(char c);
    void put_int(int64_t value);
    void printf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Writes out the buffer; a failed write ends the run with
    // "Could not write to %s\n", status 1. A closed pipe ends the process
    // quietly, as SIGPIPE would.
    void flush();
    // Drops what is buffered and not yet written (a run that failed halfway
    // through its table, when another run follows in the same process).
    void discard() { used_ = 0; }

    const std::string& name() const { return name_; }

private:
    void write_all(const char* data, size_t size);

    int fd_;
    std::string name_;
    bool owns_fd_;
    std::unique_ptr<char[]> buffer_;
    size_t used_ = 0;
};

// Standard output as an out_stream (one per process).
out_stream& standard_output();

// Creates or empties the file for writing; null if it cannot be opened.
std::unique_ptr<out_stream> open_output_file(const char* path);

// Writes the table produced by emit to file (if not null) and flushes it,
// then to standard output and flushes that.
void write_table(out_stream* file, const std::function<void(out_stream&)>& emit);
