#include "io/error.h"

#include <cstdarg>
#include <cstdio>
#include <new>

namespace {
thread_local std::string* held_message = nullptr;  // a held_failure's on this thread
}

void fail(int status, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    if (held_message == nullptr) {
        std::vfprintf(stderr, fmt, args);
    } else {
        va_list again;
        va_copy(again, args);
        const int n = std::vsnprintf(nullptr, 0, fmt, again);
        va_end(again);
        if (n > 0) {
            held_message->resize(static_cast<size_t>(n) + 1);
            std::vsnprintf(held_message->data(), held_message->size(), fmt, args);
            held_message->pop_back();
        }
    }
    va_end(args);
    throw exit_request{status};
}

held_failure::held_failure() : outer_(held_message) { held_message = &message_; }
held_failure::~held_failure() { held_message = outer_; }

void fail_quietly(int status) { throw exit_request{status}; }

void fail_out_of_memory() { fail(2, "Ran out of memory\n"); }

namespace {
int quiet_depth = 0;
}

quiet_warnings::quiet_warnings() { ++quiet_depth; }
quiet_warnings::~quiet_warnings() { --quiet_depth; }

void warn(const char* fmt, ...) {
    if (quiet_depth > 0) return;
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
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
