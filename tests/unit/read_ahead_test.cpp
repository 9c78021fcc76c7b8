// Batches filled on a second thread: taken in order, a fill's failure raised
// (and its message written) only once the batches before it are taken, and a
// reader that stops early.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <vector>

#include "io/error.h"
#include "io/read_ahead.h"

namespace {

struct numbers {
    std::vector<int> values;
};

// Batches of 100 numbers, 0, 1, 2, ... up to last; at batch fail_at, fails
// (after setting failing) instead.
std::function<bool(numbers&)> counting_to(int last, int fail_at, std::atomic<bool>* failing = nullptr) {
    auto next = std::make_shared<int>(0);
    return [=](numbers& b) {
        b.values.clear();
        if (*next / 100 == fail_at) {
            if (failing != nullptr) failing->store(true);
            fail(2, "batch %d is damaged\n", fail_at);
        }
        while (b.values.size() < 100 && *next <= last) b.values.push_back((*next)++);
        return *next <= last;
    };
}

TEST(ReadAhead, BatchesComeInOrderAndAllOfThem) {
    for (int depth : {1, 2, 4}) {
        read_ahead<numbers> ahead(counting_to(10'049, -1), static_cast<size_t>(depth));
        int expected = 0;
        while (numbers* b = ahead.next())
            for (int v : b->values) ASSERT_EQ(v, expected++);
        EXPECT_EQ(expected, 10'050) << depth;
        EXPECT_EQ(ahead.next(), nullptr);  // and stays at the end
    }
}

TEST(ReadAhead, AFailureComesAfterTheBatchesBeforeIt) {
    std::atomic<bool> failing{false};
    testing::internal::CaptureStderr();
    read_ahead<numbers> ahead(counting_to(100'000, 3, &failing));
    for (int i = 0; i < 3; ++i) ASSERT_NE(ahead.next(), nullptr);
    // The filling thread has met the damage; its words wait for the taker.
    while (!failing.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    try {
        ahead.next();
        ADD_FAILURE() << "no failure raised";
    } catch (const exit_request& request) {
        EXPECT_EQ(request.status, 2);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "batch 3 is damaged\n");
}

TEST(ReadAhead, WarningsComeWithTheirBatch) {
    auto next = std::make_shared<int>(0);
    read_ahead<numbers> ahead([next](numbers& b) {
        b.values.assign(1, (*next)++);
        if (b.values[0] % 2 == 1) warn("batch %d: odd\n", b.values[0]);
        return *next < 4;
    });
    // Each batch's words are written as it is taken, after the batch before.
    std::string said;
    for (;;) {
        testing::internal::CaptureStderr();
        numbers* b = ahead.next();
        said += testing::internal::GetCapturedStderr();
        if (b == nullptr) break;
        said.append("<").append(std::to_string(b->values[0])).append(">");
    }
    EXPECT_EQ(said, "<0>batch 1: odd\n<1><2>batch 3: odd\n<3>");
}

TEST(ReadAhead, OtherExceptionsAndStoppingEarly) {
    read_ahead<numbers> out_of_memory([](numbers&) -> bool { throw std::bad_alloc(); });
    EXPECT_THROW(out_of_memory.next(), std::bad_alloc);

    // An endless input: stop() (and the destructor) end the thread, and the
    // failure it would have met later is not raised.
    {
        read_ahead<numbers> endless(counting_to(1 << 30, 1'000));
        ASSERT_NE(endless.next(), nullptr);
        endless.stop();
    }
    read_ahead<numbers> untouched(counting_to(1 << 30, -1));  // never taken from
}

}  // namespace
