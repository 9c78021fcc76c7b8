// Where input bytes come from: a file descriptor, a text in memory, or a
// decompressor over another source.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class byte_source {
public:
    virtual ~byte_source() = default;
    // Fills up to size bytes; returns the count, 0 at the end. On a fault
    // it ends the run with the failure the source was set up with.
    virtual size_t read(char* buffer, size_t size) = 0;
};

struct read_failure {
    std::string message;  // written to standard error as it stands
    int status = 1;
};

// The descriptor is closed with the source when owns_fd is set.
std::unique_ptr<byte_source> make_fd_source(int fd, bool owns_fd, read_failure on_error);
std::unique_ptr<byte_source> make_memory_source(std::string text);
// The bytes of prefix (already taken from rest), then the rest.
std::unique_ptr<byte_source> make_prefixed_source(std::string prefix, std::unique_ptr<byte_source> rest);
// Reads until n bytes are in hand or the source ends.
std::string read_prefix(byte_source& source, size_t n);
