// Batches filled on a thread of their own, a few ahead of the one thread
// that takes them: a second core reads (and inflates, and splits) an input
// while the first one works on what was read.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "io/error.h"

// fill(batch) fills a batch (handed over empty or as last used: fill clears
// it) and returns false once the input is used up; that last batch is still
// taken. The batches come in the order they were filled. What fill warns
// is written when its batch is taken, and a failure of fill (fail(), an
// exception) is raised by next() once every batch before it has been taken,
// with fail()'s words written then: the run says what it would say reading
// on one thread, in the same order, and stops where that run would stop.
template <typename Batch>
class read_ahead {
public:
    explicit read_ahead(std::function<bool(Batch&)> fill, size_t depth = 4)
        : fill_(std::move(fill)), depth_(depth < 2 ? 2 : depth) {
        thread_ = std::thread([this] { produce(); });
    }

    ~read_ahead() { stop(); }
    read_ahead(const read_ahead&) = delete;
    read_ahead& operator=(const read_ahead&) = delete;

    // The next batch, valid until the next call; nullptr once every batch
    // has been taken (the thread has then ended).
    Batch* next() {
        std::unique_lock lock(mutex_);
        if (current_) {
            free_.push_back(std::move(current_));
            changed_.notify_all();
        }
        changed_.wait(lock, [this] { return !full_.empty() || done_; });
        if (!full_.empty()) {
            filled next = std::move(full_.front());
            full_.pop_front();
            changed_.notify_all();
            lock.unlock();
            if (!next.words.empty()) std::fputs(next.words.c_str(), stderr);
            current_ = std::move(next.batch);
            return current_.get();
        }
        lock.unlock();
        join();
        if (error_) {
            if (!words_.empty()) std::fputs(words_.c_str(), stderr);
            std::rethrow_exception(std::exchange(error_, nullptr));
        }
        return nullptr;
    }

    // Ends the filling (the batch at hand is finished first) and waits for
    // the thread; a failure it met is dropped, as no batch after the ones
    // taken is wanted. For a run that stops early.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        join();
        error_ = nullptr;
    }

private:
    void produce() {
        held_messages held;
        try {
            for (;;) {
                std::unique_ptr<Batch> batch = empty_batch();
                if (!batch) break;
                const bool more = fill_(*batch);
                {
                    std::lock_guard lock(mutex_);
                    full_.push_back({std::move(batch), held.take()});
                }
                changed_.notify_all();
                if (!more) break;
            }
        } catch (...) {
            std::lock_guard lock(mutex_);
            error_ = std::current_exception();
            words_ = held.take();
        }
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
    }

    // A used batch, or a new one while fewer than depth are out; null when stopping.
    std::unique_ptr<Batch> empty_batch() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stopping_ || !free_.empty() || made_ < depth_; });
        if (stopping_) return nullptr;
        if (!free_.empty()) {
            std::unique_ptr<Batch> batch = std::move(free_.back());
            free_.pop_back();
            return batch;
        }
        ++made_;
        lock.unlock();
        return std::make_unique<Batch>();
    }

    void join() {
        if (thread_.joinable()) thread_.join();
    }

    std::function<bool(Batch&)> fill_;
    const size_t depth_;
    std::mutex mutex_;
    std::condition_variable changed_;
    struct filled {
        std::unique_ptr<Batch> batch;
        std::string words;  // what its fill warned
    };
    std::deque<filled> full_;                   // filled, not yet taken
    std::vector<std::unique_ptr<Batch>> free_;  // taken and handed back
    std::unique_ptr<Batch> current_;            // the batch the taker holds
    size_t made_ = 0;
    bool stopping_ = false;
    bool done_ = false;
    std::exception_ptr error_;
    std::string words_;    // what the failed fill wrote, fail()'s words last
    std::thread thread_;   // last: it starts once every member is ready
};
