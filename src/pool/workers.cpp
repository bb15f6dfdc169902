#include "pool/workers.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "platform/platform.hpp"

namespace vantelo::pool::detail {

namespace {

constexpr std::size_t kStackSize = std::size_t{2} << 20;

// Idle workers yield for a while before they sleep: back-to-back loops on
// small states then find their workers awake. They yield rather than spin:
// on a machine with no spare core the thread waiting for the loop (often the
// caller) may share the CPU, and a spinning worker would hold it off until
// preempted, turning a microsecond hand-off into tens.
constexpr auto kYieldTime = std::chrono::microseconds(100);

thread_local Worker* tl_worker = nullptr;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void worker_thread_entry(void* arg) {
    auto* worker = static_cast<Worker*>(arg);
    worker->pool->worker_main(*worker);
}

}  // namespace

Worker* current_worker() noexcept { return tl_worker; }

Pool::Pool(std::size_t width) : width_(width), workers_(std::make_unique<Worker[]>(width)) {
    for (std::size_t i = 0; i < width; ++i) {
        workers_[i].pool = this;
        workers_[i].victim_state = 0x9e3779b97f4a7c15ULL * (i + 1);
    }
}

Pool* Pool::create(std::size_t width, std::string& error) noexcept {
    Pool* pool = nullptr;
    try {
        pool = new Pool(width);
    } catch (const std::bad_alloc&) {
        error = platform::error_text(ENOMEM);
        return nullptr;
    }
    int code = 0;
    std::size_t started = 0;
    for (; started < width; ++started) {
        code = platform::start_detached_thread(&worker_thread_entry, &pool->workers_[started], kStackSize);
        if (code != 0) break;
    }
    if (code != 0) pool->stop_started_workers(started);
    if (code != 0) {
        delete pool;
        error = platform::error_text(code);
        return nullptr;
    }
    return pool;
}

void Pool::stop_started_workers(std::size_t started) noexcept {
    terminating_.store(true, std::memory_order_seq_cst);
    for (std::size_t i = 0; i < started; ++i) {
        Worker& worker = workers_[i];
        std::lock_guard lock(worker.sleep_mutex);
        worker.woken = true;
        worker.wake_cv.notify_one();
    }
    // The workers are detached: wait for each to leave before freeing what
    // they point into.
    std::unique_lock lock(lifecycle_mutex_);
    lifecycle_cv_.wait(lock, [&] { return exited_ == started; });
}

void Pool::worker_main(Worker& self) noexcept {
    tl_worker = &self;
    {
        std::lock_guard lock(lifecycle_mutex_);
        ++started_;
        lifecycle_cv_.notify_all();
    }
    run_until(self, terminating_);
    tl_worker = nullptr;
    // Last touch of the pool: its creator frees it once every worker is out.
    std::lock_guard lock(lifecycle_mutex_);
    ++exited_;
    lifecycle_cv_.notify_all();
}

void Pool::wait_until_started() noexcept {
    std::unique_lock lock(lifecycle_mutex_);
    lifecycle_cv_.wait(lock, [&] { return started_ == width_; });
}

bool Pool::inject(Job* job) noexcept {
    if (!injector_.push_back(job)) return false;
    announce_work();
    return true;
}

bool Pool::offer(Worker& self, Job* job) noexcept {
    if (!self.jobs.push_back(job)) return false;
    announce_work();
    return true;
}

void Pool::announce_work() noexcept {
    work_epoch_.fetch_add(1, std::memory_order_seq_cst);
    // Pairs with sleep(): a worker that counted itself as a sleeper before
    // this load is found here; one that counts itself later sees the new
    // epoch and stays awake.
    if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
    const std::size_t first = next_wake_.fetch_add(1, std::memory_order_relaxed);
    for (std::size_t k = 0; k < width_; ++k) {
        Worker& worker = workers_[(first + k) % width_];
        if (!worker.asleep.load(std::memory_order_seq_cst)) continue;
        std::lock_guard lock(worker.sleep_mutex);
        if (worker.asleep.load(std::memory_order_relaxed) && !worker.woken) {
            worker.woken = true;
            worker.wake_cv.notify_one();
            return;
        }
    }
}

void Pool::wake_if_asleep(Worker& worker) noexcept {
    // Pairs with sleep(): the waker set its flag before this load, the
    // sleeper set `asleep` before reading the flag.
    if (!worker.asleep.load(std::memory_order_seq_cst)) return;
    std::lock_guard lock(worker.sleep_mutex);
    if (worker.asleep.load(std::memory_order_relaxed)) {
        worker.woken = true;
        worker.wake_cv.notify_one();
    }
}

void Pool::run_until(Worker& self, const std::atomic<bool>& done) noexcept {
    for (;;) {
        if (done.load(std::memory_order_acquire)) return;
        // Read before the scan: any job pushed after the scan looked at its
        // queue changes the epoch, so idle() returns and we scan again.
        const std::uint64_t seen = work_epoch_.load(std::memory_order_seq_cst);
        if (Job* job = find_job(self)) {
            job->execute(job, self);
            continue;
        }
        idle(self, seen, done);
    }
}

Job* Pool::find_job(Worker& self) noexcept {
    // Outside any loop a worker's own queue is empty; while it waits for a
    // stolen half it holds the halves of the frames below.
    if (Job* job = self.jobs.pop_back()) return job;
    std::uint64_t x = self.victim_state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    self.victim_state = x;
    const std::size_t first = static_cast<std::size_t>(x % width_);
    // A queue whose lock was busy may hold a job: scan again rather than
    // idle. Busy locks are held for a few instructions only.
    for (bool busy = true; busy;) {
        busy = false;
        for (std::size_t k = 0; k < width_; ++k) {
            Worker& victim = workers_[(first + k) % width_];
            if (&victim == &self || victim.jobs.looks_empty()) continue;
            if (Job* job = victim.jobs.try_pop_front(busy)) return job;
        }
        if (!injector_.looks_empty()) {
            if (Job* job = injector_.try_pop_front(busy)) return job;
        }
        if (busy) cpu_relax();
    }
    return nullptr;
}

void Pool::idle(Worker& self, std::uint64_t seen, const std::atomic<bool>& done) noexcept {
    const auto woke = [&] {
        return work_epoch_.load(std::memory_order_acquire) != seen || done.load(std::memory_order_acquire);
    };
    const auto deadline = std::chrono::steady_clock::now() + kYieldTime;
    do {
        if (woke()) return;
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < deadline);
    sleep(self, seen, done);
}

void Pool::sleep(Worker& self, std::uint64_t seen, const std::atomic<bool>& done) noexcept {
    std::unique_lock lock(self.sleep_mutex);
    self.asleep.store(true, std::memory_order_seq_cst);
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    // Both checks follow the stores above, so a waker either sees this
    // worker asleep or its change is seen here.
    if (work_epoch_.load(std::memory_order_seq_cst) == seen && !done.load(std::memory_order_seq_cst)) {
        while (!self.woken) self.wake_cv.wait(lock);
    }
    self.woken = false;
    self.asleep.store(false, std::memory_order_relaxed);
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace vantelo::pool::detail
