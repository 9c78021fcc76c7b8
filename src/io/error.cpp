#include "io/error.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <new>

namespace {
thread_local std::string* held_text = nullptr;  // a held_messages' on this thread

// Appends the formatted words to held_text.
void hold(const char* fmt, va_list args) {
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, again);
    va_end(again);
    if (n <= 0) return;
    const size_t at = held_text->size();
    held_text->resize(at + static_cast<size_t>(n) + 1);
    std::vsnprintf(held_text->data() + at, static_cast<size_t>(n) + 1, fmt, args);
    held_text->pop_back();
}

// Writes the words to standard error, or holds them.
void say(const char* fmt, va_list args) {
    if (held_text == nullptr)
        std::vfprintf(stderr, fmt, args);
    else
        hold(fmt, args);
}
}  // namespace

void fail(int status, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    say(fmt, args);
    va_end(args);
    throw exit_request{status};
}

held_messages::held_messages() : outer_(held_text) { held_text = &text_; }
held_messages::~held_messages() { held_text = outer_; }

void fail_quietly(int status) { throw exit_request{status}; }

void fail_out_of_memory() { fail(2, "Ran out of memory\n"); }

namespace {
std::atomic<int> quiet_depth{0};  // read by every thread that warns
}

quiet_warnings::quiet_warnings() { ++quiet_depth; }
quiet_warnings::~quiet_warnings() { --quiet_depth; }

void warn(const char* fmt, ...) {
    if (quiet_depth > 0) return;
    va_list args;
    va_start(args, fmt);
    say(fmt, args);
    va_end(args);
}

int run_guarded(int (*entry)(int, char**), int argc, char** argv) {
    try {
        return entry(argc, argv);
    } catch (const exit_request& request) {
        return request.status;
    } catch (const std::bad_alloc&) {
        std::fputs("Ran out of memory\n", stderr);
        return 2;
    }
}
