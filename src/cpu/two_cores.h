// Two parts of one piece of work at once, on two cores, with what they say
// and how they fail as if they had run one after the other on one.
#pragma once

#include <cstdio>
#include <exception>
#include <string>
#include <system_error>
#include <thread>

#include "io/error.h"

// Runs first here and second on a thread of its own, at once. second's
// words (warn, fail) are held and written after first is done, then its
// failure is raised: the run says what it would say running first, then
// second. A failure of first is raised once second has ended, and second's
// words and failure are dropped, as second would not have run. When no
// thread can be had, or apart is false, second runs after first.
template <typename First, typename Second>
void in_turn_on_two_cores(bool apart, First first, Second second) {
    std::string words;
    std::exception_ptr failure;
    std::thread other;
    if (apart) {
        try {
            other = std::thread([&] {
                held_messages held;
                try {
                    second();
                } catch (...) {
                    failure = std::current_exception();
                }
                words = held.take();
            });
        } catch (const std::system_error&) {
        }
    }
    if (!other.joinable()) {
        first();
        second();
        return;
    }
    try {
        first();
    } catch (...) {
        other.join();
        throw;
    }
    other.join();
    if (!words.empty()) std::fputs(words.c_str(), stderr);
    if (failure) std::rethrow_exception(failure);
}
