// The creation flag of the process-wide pool and the public entry points
// other than the loops.
#include "pool/pool.hpp"

#include <algorithm>
#include <atomic>

#include "platform/platform.hpp"
#include "pool/global.hpp"

namespace vantelo::pool {

namespace {

using detail::Pool;

constexpr const char* kAlreadyInitializedText = "The global thread pool has already been initialized.";

enum State : int { kNotAttempted, kCreating, kCreated, kUnavailable };

std::atomic<int> g_state{kNotAttempted};
Pool* g_pool = nullptr;  // published by the release store of kCreated

// A child of fork() has only the forking thread: the workers, and any lock
// they held, did not come along. Abandon the pool without touching it, so
// the child's loops run on its one thread.
void abandon_pool_in_child() noexcept {
    if (g_state.load(std::memory_order_relaxed) != kNotAttempted)
        g_state.store(kUnavailable, std::memory_order_relaxed);
}

// Called by the one thread that moved the state to kCreating.
Pool* create_pool(std::size_t width, std::string& error) noexcept {
    platform::on_fork_child(&abandon_pool_in_child);
    return Pool::create(width, error);
}

void publish(Pool* pool) noexcept {
    g_pool = pool;
    g_state.store(pool != nullptr ? kCreated : kUnavailable, std::memory_order_release);
    g_state.notify_all();
}

}  // namespace

namespace detail {

Pool* acquire_pool() noexcept {
    int state = g_state.load(std::memory_order_acquire);
    if (state == kCreated) return g_pool;
    if (state == kNotAttempted) {
        if (g_state.compare_exchange_strong(state, kCreating, std::memory_order_acq_rel)) {
            std::string error;  // a failed default pool leaves loops on their callers
            Pool* pool = create_pool(default_num_threads(), error);
            publish(pool);
            return pool;
        }
    }
    while (state == kCreating) {
        g_state.wait(kCreating, std::memory_order_acquire);
        state = g_state.load(std::memory_order_acquire);
    }
    return state == kCreated ? g_pool : nullptr;
}

}  // namespace detail

std::optional<BuildError> build_global(std::size_t num_threads) {
    int expected = kNotAttempted;
    if (!g_state.compare_exchange_strong(expected, kCreating, std::memory_order_acq_rel))
        return BuildError{BuildErrorKind::GlobalPoolAlreadyInitialized, kAlreadyInitializedText};
    std::string error;
    Pool* pool = create_pool(std::clamp<std::size_t>(num_threads, 1, kMaxThreads), error);
    publish(pool);
    if (pool == nullptr) return BuildError{BuildErrorKind::IOError, std::move(error)};
    pool->wait_until_started();
    return std::nullopt;
}

std::size_t current_num_threads() {
    Pool* pool = detail::acquire_pool();
    return pool != nullptr ? pool->width() : 1;
}

bool on_worker_thread() { return detail::current_worker() != nullptr; }

}  // namespace vantelo::pool
