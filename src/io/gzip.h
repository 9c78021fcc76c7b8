// Transparent gzip decompression of an input stream (multi-member files
// included). Zero bytes after the last member are padding and ignored; any
// other trailing data, a bad checksum or length, or a truncated stream is a
// fault. A fault is reported only after every byte decoded before it has been
// handed out, so the reader processes those lines first.
#pragma once

#include <memory>
#include <string>

#include "io/byte_source.h"

// True when the bytes start with the gzip magic number 0x1f 0x8b.
bool looks_like_gzip(const char* bytes, size_t size);

enum class gzip_backend {
    isal,  // ISA-L's igzip: several times faster than zlib
    zlib,
};

// Whether this build has the backend (zlib always; ISA-L when it was found).
bool gzip_backend_available(gzip_backend backend);

// The fastest backend this build has.
gzip_backend default_gzip_backend();

// Decompresses raw. prefix holds bytes already taken from raw (to sniff the
// magic number), which come first.
std::unique_ptr<byte_source> make_gzip_source(std::unique_ptr<byte_source> raw, std::string prefix,
                                              read_failure on_fault);
std::unique_ptr<byte_source> make_gzip_source(std::unique_ptr<byte_source> raw, std::string prefix,
                                              read_failure on_fault, gzip_backend backend);
