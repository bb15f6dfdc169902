#include "sim/grad/paired_stages.hpp"

#include <atomic>
#include <exception>
#include <thread>
#include <utility>

#include "pool/pool.hpp"
#include "sim/stop.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace vantelo::sim {

namespace {

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

class PairedStages {
public:
    PairedStages(const std::atomic<std::size_t>& stages,
                 pool::FunctionRef<Status(std::size_t, unsigned)> task)
        : stages_(stages), task_(task) {}

    // A task is claimed only once it may start, so a thread that waits holds
    // no task. Past the last stage a thread leaves once every claimed task
    // has finished without adding stages.
    void work() {
        unsigned spins = 0;
        auto wait = [&spins] {
            if (++spins < 256) cpu_relax();
            else std::this_thread::yield();
        };
        for (;;) {
            std::size_t t = next_.load(std::memory_order_relaxed);
            if (t >= 2 * stages_.load(std::memory_order_acquire)) {
                if (done_.load(std::memory_order_acquire) < t) {
                    wait();
                    continue;
                }
                if (t >= 2 * stages_.load(std::memory_order_acquire)) return;
                continue;
            }
            const std::size_t ready = t & ~std::size_t{1};  // tasks of earlier stages
            if (done_.load(std::memory_order_acquire) < ready ||
                !next_.compare_exchange_weak(t, t + 1, std::memory_order_relaxed)) {
                wait();
                continue;
            }
            spins = 0;
            // A task that throws (an allocation of the apply functions) still
            // counts as done, or the other thread would wait for it forever;
            // the exception is rethrown once both threads have left.
            try {
                if (!failed_.load(std::memory_order_relaxed)) {
                    Status status = stop_requested() ? stopped_error() : task_(t / 2, t & 1u);
                    if (!status) record(std::move(status).error());
                }
            } catch (...) {
                record(Error{}, std::current_exception());
            }
            done_.fetch_add(1, std::memory_order_acq_rel);
        }
    }

    Status finish() {
        if (!failed_.load(std::memory_order_acquire)) return {};
        if (exception_) std::rethrow_exception(exception_);
        return std::move(error_);
    }

private:
    void record(Error error, std::exception_ptr exception = nullptr) {
        bool expected = false;
        if (claimed_.compare_exchange_strong(expected, true)) {
            error_ = std::move(error);
            exception_ = std::move(exception);
            failed_.store(true, std::memory_order_release);
        }
    }

    const std::atomic<std::size_t>& stages_;
    pool::FunctionRef<Status(std::size_t, unsigned)> task_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> done_{0};
    std::atomic<bool> claimed_{false};
    std::atomic<bool> failed_{false};
    Error error_;
    std::exception_ptr exception_;
};

}  // namespace

Status run_paired_stages(std::size_t stages, bool two_threads,
                         pool::FunctionRef<Status(std::size_t, unsigned)> task) {
    const std::atomic<std::size_t> fixed{stages};
    return run_paired_stages(fixed, two_threads, task);
}

Status run_paired_stages(const std::atomic<std::size_t>& stages, bool two_threads,
                         pool::FunctionRef<Status(std::size_t, unsigned)> task) {
    PairedStages run(stages, task);
    // Both threads share the stop token of the loop around the stages (a
    // batch), or one of their own, so a stop the caller sees ends them.
    StopToken own_token;
    StopToken& token = current_stop_token() != nullptr ? *current_stop_token() : own_token;
    StopTokenScope caller(token);
    if (two_threads) {
        pool::for_each_piece(2, [&run, &token](std::size_t, std::size_t) {
            StopTokenScope on_worker(token);
            run.work();
        });
    } else {
        run.work();
    }
    return run.finish();
}

}  // namespace vantelo::sim
