#include "io/byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "io/error.h"

namespace {

class fd_source : public byte_source {
public:
    fd_source(int fd, bool owns_fd, read_failure on_error)
        : fd_(fd), owns_fd_(owns_fd), on_error_(std::move(on_error)) {}
    ~fd_source() override {
        if (owns_fd_) ::close(fd_);
    }
    size_t read(char* buffer, size_t size) override {
        for (;;) {
            ssize_t got = ::read(fd_, buffer, size);
            if (got >= 0) return static_cast<size_t>(got);
            if (errno == EINTR) continue;
            fail(on_error_.status, "%s", on_error_.message.c_str());
        }
    }

private:
    int fd_;
    bool owns_fd_;
    read_failure on_error_;
};

class memory_source : public byte_source {
public:
    explicit memory_source(std::string text) : text_(std::move(text)) {}
    size_t read(char* buffer, size_t size) override {
        size_t n = std::min(size, text_.size() - offset_);
        if (n > 0) std::memcpy(buffer, text_.data() + offset_, n);
        offset_ += n;
        return n;
    }

private:
    std::string text_;
    size_t offset_ = 0;
};

class prefixed_source : public byte_source {
public:
    prefixed_source(std::string prefix, std::unique_ptr<byte_source> rest)
        : prefix_(std::move(prefix)), rest_(std::move(rest)) {}
    size_t read(char* buffer, size_t size) override {
        if (offset_ < prefix_.size()) {
            size_t n = std::min(size, prefix_.size() - offset_);
            std::memcpy(buffer, prefix_.data() + offset_, n);
            offset_ += n;
            return n;
        }
        return rest_->read(buffer, size);
    }

private:
    std::string prefix_;
    size_t offset_ = 0;
    std::unique_ptr<byte_source> rest_;
};

}  // namespace

std::unique_ptr<byte_source> make_fd_source(int fd, bool owns_fd, read_failure on_error) {
    return std::make_unique<fd_source>(fd, owns_fd, std::move(on_error));
}

std::unique_ptr<byte_source> make_memory_source(std::string text) { return std::make_unique<memory_source>(std::move(text)); }

std::unique_ptr<byte_source> make_prefixed_source(std::string prefix, std::unique_ptr<byte_source> rest) {
    return std::make_unique<prefixed_source>(std::move(prefix), std::move(rest));
}

std::string read_prefix(byte_source& source, size_t n) {
    std::string prefix(n, '\0');
    size_t have = 0;
    while (have < n) {
        size_t got = source.read(prefix.data() + have, n - have);
        if (got == 0) break;
        have += got;
    }
    prefix.resize(have);
    return prefix;
}
