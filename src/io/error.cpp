#include "io/error.h"

#include <cstdarg>
#include <cstdio>
#include <new>

void fail(int status, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    throw exit_request{status};
}

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
