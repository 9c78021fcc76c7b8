// One way to fail: a message on standard error and an exit status.
//
// A failure does not end the process from deep inside a sub-command: it
// throws exit_request, which the process entry turns into the exit status.
// That keeps every sub-command runnable (and testable) inside one process.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

struct exit_request {
    int status;
};

// Writes the formatted message to standard error, then ends the run.
[[noreturn]] void fail(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Ends the run without a message (the caller has written its own).
[[noreturn]] void fail_quietly(int status);

// "Ran out of memory\n", status 2.
[[noreturn]] void fail_out_of_memory();

// A formatted line on standard error; the run goes on.
void warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// While one lives, warn writes nothing: for a second pass over data whose
// messages the first pass has written already.
class quiet_warnings {
public:
    quiet_warnings();
    ~quiet_warnings();
    quiet_warnings(const quiet_warnings&) = delete;
    quiet_warnings& operator=(const quiet_warnings&) = delete;
};

// While one lives, fail() and warn() on its thread keep their words here
// instead of writing them: the words of a second thread's work are then
// written by the thread that takes that work, in the order one thread would
// have written them.
class held_messages {
public:
    held_messages();
    ~held_messages();
    held_messages(const held_messages&) = delete;
    held_messages& operator=(const held_messages&) = delete;
    // The words held so far; take() hands them over and holds anew.
    const std::string& text() const { return text_; }
    std::string take() { return std::exchange(text_, {}); }

private:
    std::string text_;
    std::string* outer_;
};

// Runs a sub-command entry: its return value, or the status of the
// exit_request it threw (std::bad_alloc becomes "Ran out of memory", 2).
int run_guarded(int (*entry)(int, char**), int argc, char** argv);
