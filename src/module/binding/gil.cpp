#include "module/binding/gil.hpp"

#include <chrono>
#include <thread>

#include "module/binding/interrupt.hpp"

namespace vantelo::module {

void park_forever() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

void restore_thread(PyThreadState* state) noexcept {
    // Python 3.11 to 3.13 end a thread that wants the lock back during
    // finalisation with pthread_exit. On glibc that is a forced unwind, which
    // would run through frames that must not be unwound (noexcept ones among
    // them) and through cleanups that touch objects without the lock. The
    // interpreter is going away and this thread can never run Python again,
    // so it waits for the process to end, as newer interpreters do
    // themselves. A C function throws nothing else, so catching everything
    // catches exactly that unwind, under libstdc++ and libc++ alike (libc++
    // needs the module linked to the unwinder glibc uses, see CMakeLists.txt).
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        park_forever();
    }
}

GilRelease::GilRelease() : state_(PyEval_SaveThread()), outer_(exchange_released_state(state_)) {}

GilRelease::~GilRelease() {
    exchange_released_state(outer_);
    restore_thread(state_);
}

}  // namespace vantelo::module
