// The gzip layer on hostile bytes: every backend of the build must decode a
// sound stream to the same bytes and refuse the same broken ones, whatever
// the sizes in which the compressed bytes arrive and the text is asked for.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "io/error.h"
#include "io/gzip.h"

namespace {

// Compressed bytes in pieces of at most piece bytes, as a pipe gives them.
class piecewise_source : public byte_source {
public:
    piecewise_source(const uint8_t* data, size_t size, size_t piece) : data_(data), size_(size), piece_(piece) {}
    size_t read(char* buffer, size_t size) override {
        size_t n = std::min({size, piece_, size_ - offset_});
        std::memcpy(buffer, data_ + offset_, n);
        offset_ += n;
        return n;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t piece_;
    size_t offset_ = 0;
};

struct decoded {
    std::string text;
    int status = 0;  // 0, or the status of the fault
};

decoded decode(const uint8_t* data, size_t size, size_t piece, size_t ask, gzip_backend backend) {
    decoded result;
    auto raw = std::make_unique<piecewise_source>(data, size, piece);
    std::unique_ptr<byte_source> source = make_gzip_source(std::move(raw), "", {"corrupt\n", 2}, backend);
    std::string buffer(ask, '\0');
    try {
        for (size_t got; (got = source->read(buffer.data(), ask)) > 0;) {
            result.text.append(buffer.data(), got);
            if (result.text.size() > (size_t{64} << 20)) break;  // a bomb: enough seen
        }
    } catch (const exit_request& request) {
        result.status = request.status;
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t piece = 1 + data[0] * 37;  // 1 to 9436 bytes per raw read
    size_t ask = 1 + data[1] * 131;   // 1 to 33406 bytes asked for
    data += 2;
    size -= 2;
    decoded reference = decode(data, size, piece, ask, gzip_backend::zlib);
    if (reference.status != 0 && reference.status != 2) std::abort();
    if (!gzip_backend_available(gzip_backend::isal)) return 0;
    decoded fast = decode(data, size, piece, ask, gzip_backend::isal);
    if (fast.status != reference.status) {
        std::fprintf(stderr, "zlib status %d, ISA-L status %d\n", reference.status, fast.status);
        std::abort();
    }
    // Before a fault each backend may have decoded a different amount; a
    // sound stream must come out the same.
    if (reference.status == 0 && fast.text != reference.text) {
        std::fprintf(stderr, "zlib and ISA-L decode %zu and %zu bytes\n", reference.text.size(), fast.text.size());
        std::abort();
    }
    return 0;
}
