#include "module/binding/interrupt.hpp"

#include "module/binding/gil.hpp"
#include "module/binding/ref.hpp"
#include "sim/stop.hpp"

namespace vantelo::module {

namespace {

// Signal handlers only ever run on the main thread; other threads skip the
// check without touching the lock.
unsigned long g_main_thread = 0;
thread_local PyThreadState* t_released = nullptr;

bool check_signals() noexcept {
    if (PyThread_get_thread_ident() != g_main_thread) return false;
    PyThreadState* released = t_released;
    if (released == nullptr) {
        // The call holds the lock (unless this is no call from the module).
        return PyGILState_Check() && PyErr_CheckSignals() != 0;
    }
    // A handler that calls back into the module runs with the lock held.
    t_released = nullptr;
    restore_thread(released);
    const bool raised = PyErr_CheckSignals() != 0;
    t_released = PyEval_SaveThread();
    return raised;
}

}  // namespace

PyThreadState* exchange_released_state(PyThreadState* state) noexcept {
    PyThreadState* previous = t_released;
    t_released = state;
    return previous;
}

bool install_stop_check() {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return false;
    Ref main = Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return false;
    Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return false;
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    g_main_thread = value;
    sim::set_stop_check(&check_signals);
    return true;
}

}  // namespace vantelo::module
