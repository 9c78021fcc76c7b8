#include "io/line_reader.h"

#include <cstring>

namespace {

constexpr size_t initial_capacity = 1 << 20;

}  // namespace

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
    return std::make_unique<line_reader>(make_memory_source(std::move(text)));
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
