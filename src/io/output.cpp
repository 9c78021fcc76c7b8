#include "io/output.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "io/error.h"

namespace {
constexpr size_t buffer_size = 1 << 16;
}

out_stream::out_stream(int fd, std::string name, bool owns_fd)
    : fd_(fd), name_(std::move(name)), owns_fd_(owns_fd), buffer_(new char[buffer_size]) {}

out_stream::~out_stream() {
    // Flushing here could throw; every writer flushes explicitly instead.
    if (owns_fd_) ::close(fd_);
}

void out_stream::write_all(const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd_, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE) {
                // The reader went away (| head): end quietly, as SIGPIPE does.
                std::signal(SIGPIPE, SIG_DFL);
                std::raise(SIGPIPE);
            }
            used_ = 0;
            fail(1, "Could not write to %s\n", name_.c_str());
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

void out_stream::flush() {
    size_t size = used_;
    used_ = 0;
    write_all(buffer_.get(), size);
}

void out_stream::put(std::string_view text) {
    if (text.empty()) return;  // may have no data pointer at all, which memcpy must not see
    if (text.size() > buffer_size - used_) {
        flush();
        if (text.size() >= buffer_size) {
            write_all(text.data(), text.size());
            return;
        }
    }
    std::memcpy(buffer_.get() + used_, text.data(), text.size());
    used_ += text.size();
}

void out_stream::put(char c) {
    if (used_ == buffer_size) flush();
    buffer_[used_++] = c;
}

void out_stream::put_int(int64_t value) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *--p = '-';
    put(std::string_view(p, static_cast<size_t>(end - p)));
}

void out_stream::printf(const char* fmt, ...) {
    char small[512];
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(length) < sizeof small) {
        put(std::string_view(small, static_cast<size_t>(length)));
    } else {
        std::string large(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(large.data(), large.size(), fmt, again);
        large.pop_back();
        put(large);
    }
    va_end(again);
}

out_stream& standard_output() {
    static out_stream out(1, "stdout", false);
    return out;
}

std::unique_ptr<out_stream> open_output_file(const char* path) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    return std::make_unique<out_stream>(fd, path, true);
}

void write_table(out_stream* file, const std::function<void(out_stream&)>& emit) {
    if (file != nullptr) {
        emit(*file);
        file->flush();
    }
    out_stream& out = standard_output();
    emit(out);
    out.flush();
}
