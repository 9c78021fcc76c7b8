#include "io/gzip.h"

#include <algorithm>
#include <cstring>
#include <zlib.h>

#if MORVANE_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include "io/error.h"

namespace {

constexpr size_t input_chunk = 1 << 18;
constexpr size_t largest_output = 262144;  // both libraries count in 32 bits

// What the backends share: the compressed input, the walk from member to
// member, the check of what follows the last member, and deferred faults.
// A backend only inflates the member it is in.
class gzip_source : public byte_source {
public:
    gzip_source(std::unique_ptr<byte_source> raw, const std::string& prefix, read_failure on_fault)
        : raw_(std::move(raw)), on_fault_(std::move(on_fault)), input_(new unsigned char[input_chunk]) {
        std::memcpy(input_.get(), prefix.data(), std::min(prefix.size(), input_chunk));
        next_ = input_.get();
        avail_ = std::min(prefix.size(), input_chunk);
    }

    size_t read(char* buffer, size_t size) final {
        if (fault_pending_) fault();
        if (finished_) return 0;
        size = std::min(size, largest_output);
        size_t produced = 0;
        while (produced < size) {
            if (avail_ == 0 && !fill()) {
                if (in_member_) fault_pending_ = true;  // truncated
                finished_ = true;
                break;
            }
            if (!in_member_) {
                if (*next_ == 0) {
                    if (!rest_is_padding()) fault_pending_ = true;
                    finished_ = true;
                    break;
                }
                begin_member();
                in_member_ = true;
            }
            size_t made = 0;
            step result = inflate_some(buffer + produced, size - produced, made);
            produced += made;
            if (result == step::fault) {
                fault_pending_ = true;
                finished_ = true;
                break;
            }
            if (result == step::member_end) in_member_ = false;
        }
        // The bytes decoded before a fault go out first; the fault comes with
        // the next call.
        if (fault_pending_ && produced == 0) fault();
        return produced;
    }

protected:
    enum class step { more, member_end, fault };

    // Starts decoding a member at next_.
    virtual void begin_member() = 0;
    // Decodes from next_/avail_ (advancing them) into out; made is the count
    // of bytes written.
    virtual step inflate_some(char* out, size_t room, size_t& made) = 0;

    unsigned char* next_;
    size_t avail_;

private:
    bool fill() {
        avail_ = raw_->read(reinterpret_cast<char*>(input_.get()), input_chunk);
        next_ = input_.get();
        return avail_ > 0;
    }

    // Only zero bytes may follow the last member, up to the end.
    bool rest_is_padding() {
        do {
            if (std::any_of(next_, next_ + avail_, [](unsigned char byte) { return byte != 0; })) return false;
        } while (fill());
        return true;
    }

    [[noreturn]] void fault() { fail(on_fault_.status, "%s", on_fault_.message.c_str()); }

    std::unique_ptr<byte_source> raw_;
    read_failure on_fault_;
    std::unique_ptr<unsigned char[]> input_;
    bool in_member_ = false;
    bool finished_ = false;
    bool fault_pending_ = false;
};

class zlib_source final : public gzip_source {
public:
    zlib_source(std::unique_ptr<byte_source> raw, const std::string& prefix, read_failure on_fault)
        : gzip_source(std::move(raw), prefix, std::move(on_fault)) {
        std::memset(&stream_, 0, sizeof stream_);
        if (inflateInit2(&stream_, 16 + MAX_WBITS) != Z_OK) fail_out_of_memory();
    }
    ~zlib_source() override { inflateEnd(&stream_); }

private:
    void begin_member() override { inflateReset(&stream_); }

    step inflate_some(char* out, size_t room, size_t& made) override {
        stream_.next_in = next_;
        stream_.avail_in = static_cast<uInt>(avail_);
        stream_.next_out = reinterpret_cast<unsigned char*>(out);
        stream_.avail_out = static_cast<uInt>(room);
        int result = inflate(&stream_, Z_NO_FLUSH);
        made = room - stream_.avail_out;
        size_t consumed = avail_ - stream_.avail_in;
        next_ = stream_.next_in;
        avail_ = stream_.avail_in;
        switch (result) {
            case Z_STREAM_END: return step::member_end;  // checksum and length verified
            case Z_OK: return step::more;
            case Z_BUF_ERROR: return made == 0 && consumed == 0 && avail_ > 0 ? step::fault : step::more;
            case Z_MEM_ERROR: fail_out_of_memory();
            default: return step::fault;  // Z_DATA_ERROR and the like
        }
    }

    z_stream stream_;
};

#if MORVANE_HAVE_ISAL
// A member's header, read here rather than by ISA-L: the library passes over
// reserved flag bits and a header checksum that does not match, both of
// which zlib refuses, and the two backends must agree on every stream.
class gzip_header {
public:
    enum class result { more, done, bad };

    void reset() { *this = gzip_header(); }

    // Takes header bytes from next (advancing it and shrinking avail) until
    // the header ends or the bytes run out.
    result feed(unsigned char*& next, size_t& avail) {
        while (avail > 0) {
            unsigned char byte = *next++;
            --avail;
            if (!take(byte)) return result::bad;
            if (stage_ == stage::done) return result::done;
        }
        return result::more;
    }

private:
    enum class stage { fixed, extra_length, extra, name, comment, header_crc, done };
    static constexpr unsigned char crc_flag = 0x02, extra_flag = 0x04, name_flag = 0x08,
                                   comment_flag = 0x10, reserved_flags = 0xe0;

    bool take(unsigned char byte) {
        if (stage_ != stage::header_crc) crc_ = crc32(crc_, &byte, 1);
        switch (stage_) {
            case stage::fixed:
                if ((seen_ == 0 && byte != 0x1f) || (seen_ == 1 && byte != 0x8b) || (seen_ == 2 && byte != 8))
                    return false;  // magic number, deflate method
                if (seen_ == 3) {
                    if ((byte & reserved_flags) != 0) return false;
                    flags_ = byte;
                }
                if (++seen_ == 10) next_stage(stage::fixed);
                return true;
            case stage::extra_length:
                length_ |= static_cast<size_t>(byte) << (8 * seen_);
                if (++seen_ == 2) {
                    seen_ = 0;
                    if (length_ == 0) next_stage(stage::extra);
                    else stage_ = stage::extra;
                }
                return true;
            case stage::extra:
                if (++seen_ == length_) next_stage(stage::extra);
                return true;
            case stage::name:
            case stage::comment:
                if (byte == 0) next_stage(stage_);
                return true;
            case stage::header_crc:
                stored_crc_ |= static_cast<unsigned>(byte) << (8 * seen_);
                if (++seen_ < 2) return true;
                stage_ = stage::done;
                return stored_crc_ == (crc_ & 0xffff);
            case stage::done: return true;
        }
        return true;
    }

    // The stage after from, by the flags.
    void next_stage(stage from) {
        seen_ = 0;
        if (from < stage::extra_length && (flags_ & extra_flag)) stage_ = stage::extra_length;
        else if (from < stage::name && (flags_ & name_flag)) stage_ = stage::name;
        else if (from < stage::comment && (flags_ & comment_flag)) stage_ = stage::comment;
        else if (from < stage::header_crc && (flags_ & crc_flag)) stage_ = stage::header_crc;
        else stage_ = stage::done;
    }

    stage stage_ = stage::fixed;
    size_t seen_ = 0;
    size_t length_ = 0;
    unsigned char flags_ = 0;
    unsigned long crc_ = 0;
    unsigned stored_crc_ = 0;
};

class isal_source final : public gzip_source {
public:
    isal_source(std::unique_ptr<byte_source> raw, const std::string& prefix, read_failure on_fault)
        : gzip_source(std::move(raw), prefix, std::move(on_fault)), state_(new inflate_state) {
        isal_inflate_init(state_.get());
    }

private:
    void begin_member() override {
        isal_inflate_reset(state_.get());
        state_->crc_flag = ISAL_GZIP_NO_HDR_VER;  // the header is read here; verify CRC-32 and length
        header_.reset();
        in_header_ = true;
    }

    step inflate_some(char* out, size_t room, size_t& made) override {
        made = 0;
        if (in_header_) {
            gzip_header::result header = header_.feed(next_, avail_);
            if (header == gzip_header::result::bad) return step::fault;
            if (header == gzip_header::result::more) return step::more;  // avail_ is 0: more input first
            in_header_ = false;
            if (avail_ == 0) return step::more;
        }
        inflate_state& state = *state_;
        state.next_in = next_;
        state.avail_in = static_cast<uint32_t>(avail_);
        state.next_out = reinterpret_cast<uint8_t*>(out);
        state.avail_out = static_cast<uint32_t>(room);
        int result = isal_inflate(&state);
        made = room - state.avail_out;
        size_t consumed = avail_ - state.avail_in;
        next_ = state.next_in;
        avail_ = state.avail_in;
        if (result != ISAL_DECOMP_OK) return step::fault;
        // At the end of a member the library hands back the whole bytes it
        // had buffered beyond the trailer, so next_ is where the next member
        // (or padding) begins.
        if (state.block_state == ISAL_BLOCK_FINISH) return step::member_end;
        if (made == 0 && consumed == 0 && avail_ > 0) return step::fault;  // no progress possible
        return step::more;
    }

    std::unique_ptr<inflate_state> state_;
    gzip_header header_;
    bool in_header_ = false;
};
#endif

}  // namespace

bool looks_like_gzip(const char* bytes, size_t size) {
    return size >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1f && static_cast<unsigned char>(bytes[1]) == 0x8b;
}

bool gzip_backend_available(gzip_backend backend) {
#if MORVANE_HAVE_ISAL
    (void)backend;
    return true;
#else
    return backend == gzip_backend::zlib;
#endif
}

gzip_backend default_gzip_backend() {
    return gzip_backend_available(gzip_backend::isal) ? gzip_backend::isal : gzip_backend::zlib;
}

std::unique_ptr<byte_source> make_gzip_source(std::unique_ptr<byte_source> raw, std::string prefix,
                                              read_failure on_fault, gzip_backend backend) {
#if MORVANE_HAVE_ISAL
    if (backend == gzip_backend::isal)
        return std::make_unique<isal_source>(std::move(raw), prefix, std::move(on_fault));
#else
    (void)backend;
#endif
    return std::make_unique<zlib_source>(std::move(raw), prefix, std::move(on_fault));
}

std::unique_ptr<byte_source> make_gzip_source(std::unique_ptr<byte_source> raw, std::string prefix,
                                              read_failure on_fault) {
    return make_gzip_source(std::move(raw), std::move(prefix), std::move(on_fault), default_gzip_backend());
}
