#include "gzip.h"

#include <cstring>
#include <zlib.h>

#include "error.h"

namespace {

constexpr size_t chunk = 1 << 18;

class zlib_source : public byte_source {
public:
    zlib_source(std::unique_ptr<byte_source> raw, std::string prefix, read_failure on_fault)
        : raw_(std::move(raw)), on_fault_(std::move(on_fault)), input_(new unsigned char[chunk]) {
        std::memset(&stream_, 0, sizeof stream_);
        if (inflateInit2(&stream_, 16 + MAX_WBITS) != Z_OK) fail_out_of_memory();
        std::memcpy(input_.get(), prefix.data(), prefix.size());
        stream_.next_in = input_.get();
        stream_.avail_in = static_cast<uInt>(prefix.size());
    }
    ~zlib_source() override { inflateEnd(&stream_); }

    size_t read(char* buffer, size_t size) override {
        if (finished_) return 0;
        stream_.next_out = reinterpret_cast<unsigned char*>(buffer);
        stream_.avail_out = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
        while (stream_.avail_out == static_cast<uInt>(std::min<size_t>(size, 1u << 30))) {
            if (stream_.avail_in == 0 && !fill()) {
                if (in_member_) fault();  // truncated
                finished_ = true;
                break;
            }
            if (!in_member_) {
                if (!start_member()) break;
                continue;
            }
            int result = inflate(&stream_, Z_NO_FLUSH);
            if (result == Z_STREAM_END) {
                in_member_ = false;
                inflateReset(&stream_);
            } else if (result != Z_OK && result != Z_BUF_ERROR) {
                fault();
            } else if (result == Z_BUF_ERROR && stream_.avail_in != 0) {
                fault();
            }
        }
        return static_cast<size_t>(reinterpret_cast<char*>(stream_.next_out) - buffer);
    }

private:
    bool fill() {
        size_t got = raw_->read(reinterpret_cast<char*>(input_.get()), chunk);
        stream_.next_in = input_.get();
        stream_.avail_in = static_cast<uInt>(got);
        return got > 0;
    }

    // Between members: another member, zero padding to the end, or corruption.
    bool start_member() {
        if (stream_.next_in[0] == 0) {
            while (true) {
                for (uInt i = 0; i < stream_.avail_in; ++i)
                    if (stream_.next_in[i] != 0) fault();
                if (!fill()) break;
            }
            finished_ = true;
            return false;
        }
        in_member_ = true;
        return true;
    }

    [[noreturn]] void fault() { fail(on_fault_.status, "%s", on_fault_.message.c_str()); }

    std::unique_ptr<byte_source> raw_;
    read_failure on_fault_;
    std::unique_ptr<unsigned char[]> input_;
    z_stream stream_;
    bool in_member_ = false;
    bool finished_ = false;
};

}  // namespace

bool looks_like_gzip(const char* bytes, size_t size) {
    return size >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1f && static_cast<unsigned char>(bytes[1]) == 0x8b;
}

std::unique_ptr<byte_source> make_gzip_source(std::unique_ptr<byte_source> raw, std::string prefix,
                                              read_failure on_fault) {
    return std::make_unique<zlib_source>(std::move(raw), std::move(prefix), std::move(on_fault));
}
