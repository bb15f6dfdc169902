// A queue of jobs guarded by one mutex: the owner pushes and pops at the
// back, thieves take from the front. A loop puts only a handful of halves
// through a worker's queue, so a lock costs far less than the work behind it.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

#include "pool/job.hpp"

namespace vantelo::pool::detail {

class JobDeque {
public:
    JobDeque() = default;
    JobDeque(const JobDeque&) = delete;
    JobDeque& operator=(const JobDeque&) = delete;

    // Adds a job at the back; false when the queue could not grow.
    bool push_back(Job* job) noexcept;

    // Removes and returns the newest job, or null when empty.
    Job* pop_back() noexcept;

    // Removes `job` if it is the newest job.
    bool pop_back_if(Job* job) noexcept;

    // Removes and returns the oldest job, or null when empty. Gives up when
    // another thread holds the lock, setting `busy`: a thief should look
    // elsewhere rather than block.
    Job* try_pop_front(bool& busy) noexcept;

    // May be stale. A scanner that reads the pool's work counter before
    // reading this hint cannot miss a job: the counter is bumped after every
    // push, so a stale "empty" is followed by a counter change and a rescan.
    bool looks_empty() const noexcept { return size_hint_.load(std::memory_order_relaxed) == 0; }

private:
    Job* take_front() noexcept;  // with mutex_ held

    void set_size(std::size_t size) noexcept {
        size_ = size;
        size_hint_.store(size, std::memory_order_relaxed);
    }

    std::mutex mutex_;
    std::vector<Job*> ring_;  // capacity zero or a power of two
    std::size_t head_ = 0;    // index of the oldest job
    std::size_t size_ = 0;
    std::atomic<std::size_t> size_hint_{0};
};

}  // namespace vantelo::pool::detail
