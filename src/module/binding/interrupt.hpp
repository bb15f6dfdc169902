// Ctrl-C during long calls: the stop check the module installs in the core.
// On the main thread it runs the interpreter's signal handlers; when a
// handler raised, the core stops with ErrorKind::Stopped and the entry point
// returns with that exception pending. A call that released the lock takes
// it back for that only after a signal arrived: a handler of ours, chained
// in front of the process's handlers, notes every signal without the lock.
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
