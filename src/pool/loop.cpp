// Parallel loops: the division of [0, count) by the adaptive split budget
// and the hand-off between the calling thread and the workers.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "pool/global.hpp"
#include "pool/pool.hpp"

namespace vantelo::pool {

namespace {

using detail::Job;
using detail::Pool;
using detail::Worker;

// A caller polls this long for a finished loop before it blocks: small
// loops then end without a sleep and a wake-up on the calling side.
constexpr auto kCallerSpinTime = std::chrono::microseconds(30);

// Depth of the InlineLoops scopes alive on this thread.
thread_local unsigned tl_inline_depth = 0;

struct Loop {
    Loop(FunctionRef<void(std::size_t, std::size_t)> b, std::size_t w) : body(b), width(w) {}

    FunctionRef<void(std::size_t, std::size_t)> body;
    std::size_t width;  // W, the worker count when the loop started
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // written by the first failing piece only

    void run_leaf(std::size_t begin, std::size_t end) noexcept {
        try {
            body(begin, end);
        } catch (...) {
            if (!failed.exchange(true, std::memory_order_acq_rel)) error = std::current_exception();
        }
    }
};

// Decides whether a piece splits and updates its budget for both halves.
// A piece still on the worker that made it spends budget; one that another
// worker took over gets at least W again, since stealing shows idle workers.
bool take_split(std::size_t& budget, bool taken_over, std::size_t width) noexcept {
    if (taken_over) {
        budget = std::max(budget / 2, width);
        return true;
    }
    if (budget == 0) return false;
    budget /= 2;
    return true;
}

void run_piece(Worker& self, Loop& loop, std::size_t begin, std::size_t end, std::size_t budget,
               bool taken_over) noexcept;

// The second half of a split, offered for stealing while the first runs.
struct HalfJob : Job {
    Loop* loop;
    std::size_t begin;
    std::size_t end;
    std::size_t budget;
    Worker* owner;
    std::atomic<bool> done{false};

    HalfJob(Loop* l, std::size_t b, std::size_t e, std::size_t budget_, Worker* o)
        : Job{&HalfJob::execute}, loop(l), begin(b), end(e), budget(budget_), owner(o) {}

    static void execute(Job* job, Worker& worker) noexcept {
        auto* half = static_cast<HalfJob*>(job);
        Worker* owner = half->owner;
        run_piece(worker, *half->loop, half->begin, half->end, half->budget, &worker != owner);
        // The owner may return and free `half` as soon as it sees this.
        half->done.store(true, std::memory_order_seq_cst);
        if (&worker != owner) worker.pool->wake_if_asleep(*owner);
    }
};

// Runs [begin, mid) on `self` while offering [mid, end) to thieves, then
// runs the second half too unless someone took it.
void join(Worker& self, Loop& loop, std::size_t begin, std::size_t mid, std::size_t end, std::size_t budget,
          bool first_taken_over) noexcept {
    HalfJob second(&loop, mid, end, budget, &self);
    const bool offered = self.pool->offer(self, &second);
    run_piece(self, loop, begin, mid, budget, first_taken_over);
    if (!offered || self.jobs.pop_back_if(&second)) {
        run_piece(self, loop, mid, end, budget, false);
        return;
    }
    // Stolen (or run by this worker from a frame above while it helped).
    self.pool->run_until(self, second.done);
}

void run_piece(Worker& self, Loop& loop, std::size_t begin, std::size_t end, std::size_t budget,
               bool taken_over) noexcept {
    const std::size_t half = (end - begin) / 2;
    if (half >= 1 && take_split(budget, taken_over, loop.width))
        join(self, loop, begin, begin + half, end, budget, false);
    else
        loop.run_leaf(begin, end);
}

// The two halves of a root split, handed from a thread outside the pool.
// The first half counts as taken over: it runs on a worker, not on the
// thread that split the root.
struct RootJob : Job {
    Loop* loop;
    std::size_t count;
    std::size_t budget;
    std::mutex mutex;
    std::condition_variable finished_cv;
    std::atomic<bool> finished{false};

    RootJob(Loop* l, std::size_t c, std::size_t b) : Job{&RootJob::execute}, loop(l), count(c), budget(b) {}

    static void execute(Job* job, Worker& worker) noexcept {
        auto* root = static_cast<RootJob*>(job);
        join(worker, *root->loop, 0, root->count / 2, root->count, root->budget, true);
        std::lock_guard lock(root->mutex);
        root->finished.store(true, std::memory_order_release);
        root->finished_cv.notify_one();
    }

    void wait() noexcept {
        const auto deadline = std::chrono::steady_clock::now() + kCallerSpinTime;
        while (!finished.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        // Always take the lock: the worker may still be inside it, and this
        // record dies when we return.
        std::unique_lock lock(mutex);
        finished_cv.wait(lock, [&] { return finished.load(std::memory_order_acquire); });
    }
};

}  // namespace

InlineLoops::InlineLoops() noexcept { ++tl_inline_depth; }
InlineLoops::~InlineLoops() { --tl_inline_depth; }

void for_each_piece(std::size_t count, FunctionRef<void(std::size_t, std::size_t)> body) {
    if (tl_inline_depth != 0) {
        if (count != 0) body(0, count);
        return;
    }
    Pool* pool = detail::acquire_pool();
    if (pool == nullptr) {
        if (count != 0) body(0, count);
        return;
    }
    if (count < 2) {
        if (count == 1) body(0, 1);
        return;
    }
    Loop loop(body, pool->width());
    Worker* self = detail::current_worker();
    if (self != nullptr && self->pool == pool) {
        run_piece(*self, loop, 0, count, loop.width, false);
    } else {
        std::size_t budget = loop.width;
        take_split(budget, false, loop.width);  // W ≥ 1: the root always splits
        RootJob root(&loop, count, budget);
        if (pool->inject(&root))
            root.wait();
        else
            loop.run_leaf(0, count);
    }
    if (loop.failed.load(std::memory_order_acquire)) std::rethrow_exception(loop.error);
}

}  // namespace vantelo::pool
