// Ctrl-C during long calls: the stop check the module installs in the core.
// On the main thread it runs the interpreter's signal handlers (taking the
// lock back briefly when the call released it); when a handler raised, the
// core stops with ErrorKind::Stopped and the entry point returns with that
// exception pending.
#pragma once

#include <cstddef>

#include "module/binding/python.hpp"

namespace vantelo::module {

// Installs the check; called once at module initialisation, on the thread
// that imports the module. False with an exception set on failure.
bool install_stop_check();

// Records the thread state this thread released for its current call (null:
// the call holds the lock); returns the previous one.
PyThreadState* exchange_released_state(PyThreadState* state) noexcept;

// Runs the signal handlers every `period` elements of a long conversion done
// with the lock held: false with the handler's exception set.
inline bool check_signals_every(std::size_t index, std::size_t period = 4096) {
    return index % period != 0 || PyErr_CheckSignals() == 0;
}

}  // namespace vantelo::module
