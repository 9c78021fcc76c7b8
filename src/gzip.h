// Transparent gzip decompression of an input stream (multi-member files
// included). Zero bytes after the last member are padding and ignored; any
// other trailing data, a bad checksum or a truncated stream is a fault.
#pragma once

#include <memory>
#include <string>

#include "line_reader.h"

// True when the bytes start with the gzip magic number 0x1f 0x8b.
bool looks_like_gzip(const char* bytes, size_t size);

// Decompresses raw. prefix holds bytes already taken from raw (to sniff the
// magic number), which come first.
std::unique_ptr<byte_source> make_gzip_source(std::unique_ptr<byte_source> raw, std::string prefix,
                                              read_failure on_fault);
