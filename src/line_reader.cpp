#include "line_reader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "error.h"
#include "gzip.h"

namespace {

constexpr size_t initial_capacity = 1 << 20;

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
        std::memcpy(buffer, text_.data() + offset_, n);
        offset_ += n;
        return n;
    }

private:
    std::string text_;
    size_t offset_ = 0;
};

// Reads until two bytes are in hand or the input ends.
std::string sniff(byte_source& source) {
    std::string prefix(2, '\0');
    size_t have = 0;
    while (have < 2) {
        size_t got = source.read(prefix.data() + have, 2 - have);
        if (got == 0) break;
        have += got;
    }
    prefix.resize(have);
    return prefix;
}

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

std::unique_ptr<line_reader> line_reader::open(const char* path, read_failure on_read_error, bool gzip_allowed,
                                               read_failure on_decompress_error) {
    int fd = 0;
    bool owns = false;
    if (path != nullptr) {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        owns = true;
    }
    // A directory opens but cannot be read: treat it as not openable.
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        if (owns) ::close(fd);
        return nullptr;
    }
    std::unique_ptr<byte_source> source = std::make_unique<fd_source>(fd, owns, std::move(on_read_error));
    bool compressed = false;
    if (gzip_allowed) {
        std::string prefix = sniff(*source);
        compressed = looks_like_gzip(prefix.data(), prefix.size());
        if (compressed) {
            source = make_gzip_source(std::move(source), std::move(prefix), std::move(on_decompress_error));
        } else {
            source = std::make_unique<prefixed_source>(std::move(prefix), std::move(source));
        }
    }
    auto reader = std::make_unique<line_reader>(std::move(source));
    reader->compressed_ = compressed;
    return reader;
}

void line_reader::skip_rest() {
    begin_ = end_ = 0;
    while (!eof_) {
        if (source_->read(buffer_.get(), capacity_) == 0) eof_ = true;
    }
}

line_reader::line_reader(std::unique_ptr<byte_source> source)
    : source_(std::move(source)), buffer_(new char[initial_capacity]), capacity_(initial_capacity) {}

line_reader::~line_reader() = default;

std::unique_ptr<line_reader> line_reader::from_memory(std::string text) {
    return std::make_unique<line_reader>(std::make_unique<memory_source>(std::move(text)));
}

// Moves the unread tail to the front (growing the buffer when a single line
// fills it) and reads more. False when nothing more could be read.
bool line_reader::refill() {
    if (eof_) return false;
    if (begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ == capacity_) {
        size_t grown = capacity_ * 2;
        std::unique_ptr<char[]> bigger(new char[grown]);
        std::memcpy(bigger.get(), buffer_.get(), end_);
        buffer_ = std::move(bigger);
        capacity_ = grown;
    }
    size_t got = source_->read(buffer_.get() + end_, capacity_ - end_);
    if (got == 0) {
        eof_ = true;
        return false;
    }
    end_ += got;
    return true;
}

bool line_reader::next(std::string_view& line) {
    size_t scanned = begin_;
    for (;;) {
        char* start = buffer_.get() + scanned;
        char* newline = static_cast<char*>(std::memchr(start, '\n', end_ - scanned));
        if (newline != nullptr) {
            char* first = buffer_.get() + begin_;
            size_t length = static_cast<size_t>(newline - first);
            begin_ += length + 1;
            const char* nul = static_cast<const char*>(std::memchr(first, '\0', length));
            line = std::string_view(first, nul ? static_cast<size_t>(nul - first) : length);
            ended_by_newline_ = true;
            return true;
        }
        size_t pending = end_ - begin_;
        if (!refill()) {
            if (end_ == begin_) return false;
            // A last line without a line feed.
            char* first = buffer_.get() + begin_;
            size_t length = end_ - begin_;
            begin_ = end_;
            const char* nul = static_cast<const char*>(std::memchr(first, '\0', length));
            line = std::string_view(first, nul ? static_cast<size_t>(nul - first) : length);
            ended_by_newline_ = false;
            return true;
        }
        scanned = begin_ + pending;  // refill moved the tail to the front
    }
}

bool line_reader::next_block(std::string_view& block) {
    size_t checked = 0;  // unread bytes known to hold no line feed (refill keeps them, at the front)
    for (;;) {
        const char* first = buffer_.get() + begin_;
        size_t pending = end_ - begin_;
        if (const void* last = pending > checked ? ::memrchr(first + checked, '\n', pending - checked) : nullptr) {
            size_t length = static_cast<size_t>(static_cast<const char*>(last) - first) + 1;
            begin_ += length;
            block = std::string_view(first, length);
            return true;
        }
        checked = pending;
        if (!refill()) {
            // refill may have moved the unread text to the front.
            if (end_ == begin_) return false;
            block = std::string_view(buffer_.get() + begin_, end_ - begin_);
            begin_ = end_;
            return true;
        }
    }
}
