#include "module/binding/gil.hpp"

#include <chrono>
#include <thread>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "module/binding/interrupt.hpp"

namespace vantelo::module {

void park_forever() noexcept {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

void restore_thread(PyThreadState* state) noexcept {
    // Python 3.11 to 3.13 end a thread that wants the lock back during
    // finalisation with pthread_exit, whose forced unwind would run through
    // frames that must not be unwound (noexcept ones among them) and through
    // cleanups that touch objects without the lock. The interpreter is
    // going away and this thread can never run Python again, so it waits
    // for the process to end, as newer interpreters do themselves.
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        park_forever();
    }
#else
    // libc++ has no type to catch a forced unwind by: a thread that comes
    // back once shutdown has begun parks before it asks for the lock.
#if PY_VERSION_HEX >= 0x030D0000
    if (Py_IsFinalizing()) park_forever();
#else
    if (_Py_IsFinalizing()) park_forever();
#endif
    PyEval_RestoreThread(state);
#endif
}

GilRelease::GilRelease() : state_(PyEval_SaveThread()), outer_(exchange_released_state(state_)) {}

GilRelease::~GilRelease() {
    exchange_released_state(outer_);
    restore_thread(state_);
}

}  // namespace vantelo::module
