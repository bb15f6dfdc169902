// Stopping long work early (Ctrl-C). The embedding installs one check that
// says whether the work running on the calling thread should stop; the
// core's loops poll it between gates, rows, parameters and chunks of shots,
// at most once per kStopPollInterval per thread, and return stopped_error().
//
// A stop seen once stays seen for the rest of the call (until the
// StopCallScope that began it ends), so every later poll agrees. Parallel
// loops share a StopToken: its caller sets it (also while it waits for the
// pool), and the pieces on the workers, which cannot run the check, see it.
#pragma once

#include <atomic>
#include <chrono>

#include "sim/result.hpp"

namespace vantelo::sim {

inline constexpr std::chrono::milliseconds kStopPollInterval{5};

// True when the work on this thread should stop. Must be safe to call from
// any thread (it may answer false where it cannot tell) and must not throw.
using StopCheck = bool (*)() noexcept;

// Installs the check (nullptr removes it). Installed once, before any work.
void set_stop_check(StopCheck check) noexcept;

// Polls: true once this call has been asked to stop. Cheap enough for every
// gate: without a stop it reads a clock and, once per interval, runs the check.
bool stop_requested() noexcept;

// True when this call has seen a stop (without polling). A poll that said
// stop may come after the last check of an operation, which then succeeds:
// the embedding discards such a result.
bool stop_seen() noexcept;

// The error of an operation that stopped (ErrorKind::Stopped).
Error stopped_error();

// One call into the core: clears this thread's stop for its lifetime and
// restores the outer one after (a signal handler may call in again).
class StopCallScope {
public:
    StopCallScope() noexcept;
    ~StopCallScope();
    StopCallScope(const StopCallScope&) = delete;
    StopCallScope& operator=(const StopCallScope&) = delete;

private:
    bool outer_stopped_;
};

// The stop state of one parallel loop.
struct StopToken {
    std::atomic<bool> stopped{false};
};

// Makes `token` this thread's loop token for the scope: stop_requested() also
// reports a stop set on it, and a stop this thread's check sees is set on it.
class StopTokenScope {
public:
    explicit StopTokenScope(StopToken& token) noexcept;
    ~StopTokenScope();
    StopTokenScope(const StopTokenScope&) = delete;
    StopTokenScope& operator=(const StopTokenScope&) = delete;

private:
    StopToken* outer_;
};

// The token of the loop this thread runs or waits for, or null.
StopToken* current_stop_token() noexcept;

}  // namespace vantelo::sim
