// Releasing the interpreter lock around core work that owns everything it
// reads. The lock is taken back on every path, exceptions included.
#pragma once

#include <utility>

#include "module/binding/python.hpp"

namespace vantelo::module {

// Releases the lock for its lifetime and records, for the interrupt check,
// the thread state that may briefly take it back (see interrupt.hpp).
class GilRelease {
public:
    GilRelease();
    // A thread that comes back while the interpreter is shutting down is
    // parked forever instead: the interpreter (3.11 to 3.13) would end it
    // with a forced unwind that must not pass through this frame.
    ~GilRelease();
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
    PyThreadState* outer_;
};

// Blocks the calling thread until the process ends.
[[noreturn]] void park_forever() noexcept;

// Takes the lock back on a thread state released by GilRelease; parks the
// thread forever when the interpreter ends it instead.
void restore_thread(PyThreadState* state) noexcept;

// Runs f without the lock when `release` is set, with it otherwise.
template <class F>
auto run_core(bool release, F&& f) {
    if (release) {
        GilRelease unlocked;
        return std::forward<F>(f)();
    }
    return std::forward<F>(f)();
}

}  // namespace vantelo::module
