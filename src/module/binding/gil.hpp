// Releasing the interpreter lock around core work that owns everything it
// reads. The lock is taken back on every path, exceptions included.
#pragma once

#include <utility>

#include "module/binding/python.hpp"

namespace vantelo::module {

class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

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
