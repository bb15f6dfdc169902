#include "sim/stop.hpp"

#include "pool/pool.hpp"

namespace vantelo::sim {

namespace {

std::atomic<StopCheck> g_check{nullptr};

thread_local bool t_stopped = false;
thread_local StopToken* t_token = nullptr;
thread_local std::chrono::steady_clock::time_point t_last_poll{};

// A thread waiting for the pool polls too, so a stop reaches the workers of
// a long loop while its caller is blocked.
void poll_while_waiting() noexcept { (void)stop_requested(); }

}  // namespace

void set_stop_check(StopCheck check) noexcept {
    g_check.store(check, std::memory_order_release);
    pool::set_wait_callback(check != nullptr ? &poll_while_waiting : nullptr);
}

bool stop_requested() noexcept {
    if (t_stopped) return true;
    if (t_token != nullptr && t_token->stopped.load(std::memory_order_relaxed)) return true;
    const StopCheck check = g_check.load(std::memory_order_acquire);
    if (check == nullptr) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - t_last_poll < kStopPollInterval) return false;
    t_last_poll = now;
    if (!check()) return false;
    t_stopped = true;
    if (t_token != nullptr) t_token->stopped.store(true, std::memory_order_relaxed);
    return true;
}

bool stop_seen() noexcept { return t_stopped; }

Error stopped_error() { return Error{"interrupted", ErrorKind::Stopped}; }

StopCallScope::StopCallScope() noexcept : outer_stopped_(t_stopped) { t_stopped = false; }
StopCallScope::~StopCallScope() { t_stopped = outer_stopped_; }

StopTokenScope::StopTokenScope(StopToken& token) noexcept : outer_(t_token) { t_token = &token; }
StopTokenScope::~StopTokenScope() { t_token = outer_; }

StopToken* current_stop_token() noexcept { return t_token; }

}  // namespace vantelo::sim
