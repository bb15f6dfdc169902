// The worker threads of the pool: their queues, how they find work, and how
// they sleep and wake.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "pool/deque.hpp"
#include "pool/job.hpp"

namespace vantelo::pool::detail {

class Pool;

// One worker thread's state, on its own cache lines.
struct alignas(64) Worker {
    Pool* pool = nullptr;
    std::uint64_t victim_state = 0;  // only the owner touches it
    JobDeque jobs;                   // halves this worker offers for stealing

    // A sleeping worker blocks on wake_cv until `woken` is set.
    std::mutex sleep_mutex;
    std::condition_variable wake_cv;
    std::atomic<bool> asleep{false};
    bool woken = false;  // guarded by sleep_mutex
};

// The pool worker running on this thread, or null.
Worker* current_worker() noexcept;

class Pool {
public:
    // Starts `width` detached workers in index order. On failure, stops the
    // ones already started, frees everything, sets `error` to the system's
    // text and returns null.
    static Pool* create(std::size_t width, std::string& error) noexcept;

    std::size_t width() const noexcept { return width_; }

    // Blocks until every worker has raised its started signal.
    void wait_until_started() noexcept;

    // Queues a job from a thread outside the pool; false when out of memory.
    bool inject(Job* job) noexcept;

    // Offers a job of `self` for stealing; false when out of memory.
    bool offer(Worker& self, Job* job) noexcept;

    // Runs queued jobs (its own, stolen ones, injected ones) on `self` until
    // `done` is set, spinning and then sleeping while there are none.
    void run_until(Worker& self, const std::atomic<bool>& done) noexcept;

    // Wakes `worker` if it sleeps, so it can see a flag it waits on.
    void wake_if_asleep(Worker& worker) noexcept;

    // The entry of a worker thread.
    void worker_main(Worker& self) noexcept;

private:
    explicit Pool(std::size_t width);

    Job* find_job(Worker& self) noexcept;
    void idle(Worker& self, std::uint64_t seen, const std::atomic<bool>& done) noexcept;
    void sleep(Worker& self, std::uint64_t seen, const std::atomic<bool>& done) noexcept;
    void announce_work() noexcept;
    void stop_started_workers(std::size_t started) noexcept;

    std::size_t width_;
    std::unique_ptr<Worker[]> workers_;
    JobDeque injector_;

    // Bumped after every push, so an idle worker notices new work by
    // watching one counter instead of scanning every queue.
    alignas(64) std::atomic<std::uint64_t> work_epoch_{0};
    alignas(64) std::atomic<std::size_t> sleepers_{0};
    std::atomic<std::size_t> next_wake_{0};

    // Set only when creation fails; a created pool runs until the process ends.
    std::atomic<bool> terminating_{false};

    std::mutex lifecycle_mutex_;
    std::condition_variable lifecycle_cv_;
    std::size_t started_ = 0;  // guarded by lifecycle_mutex_
    std::size_t exited_ = 0;   // guarded by lifecycle_mutex_
};

}  // namespace vantelo::pool::detail
