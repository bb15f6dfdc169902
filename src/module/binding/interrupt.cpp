#include "module/binding/interrupt.hpp"

#include <signal.h>

#include <atomic>

#include "module/binding/gil.hpp"
#include "module/binding/ref.hpp"
#include "sim/stop.hpp"

namespace vantelo::module {

namespace {

// Signal handlers only ever run on the main thread; other threads skip the
// check without touching the lock.
unsigned long g_main_thread = 0;
thread_local PyThreadState* t_released = nullptr;

// Whether a signal may have arrived since the last check. Taking the lock
// back to ask the interpreter costs little when the lock is free but up to
// a whole C call of another thread when it is not, so a released call asks
// only when this says so. It starts set: the interpreter may have recorded
// a signal before the handlers below were watched.
std::atomic<bool> g_signal_arrived{true};

// The handler each watched signal had before on_signal was put in front of
// it; on_signal passes every signal on to it.
struct Chained {
    std::atomic<void*> function{nullptr};
    std::atomic<bool> siginfo{false};
};
Chained g_chained[NSIG];

extern "C" void on_signal(int sig, siginfo_t* info, void* context) {
    g_signal_arrived.store(true, std::memory_order_relaxed);
    Chained& chained = g_chained[sig];
    void* function = chained.function.load(std::memory_order_acquire);
    if (function == nullptr) return;
    if (chained.siginfo.load(std::memory_order_relaxed))
        reinterpret_cast<void (*)(int, siginfo_t*, void*)>(function)(sig, info, context);
    else
        reinterpret_cast<void (*)(int)>(function)(sig);
}

// Faults belong to whoever reports them (faulthandler, sanitizers), and
// SIGKILL and SIGSTOP cannot be caught.
bool watched(int sig) {
    switch (sig) {
        case SIGKILL: case SIGSTOP: case SIGSEGV: case SIGBUS: case SIGFPE:
        case SIGILL: case SIGTRAP: case SIGSYS: case SIGABRT:
            return false;
        default:
            return true;
    }
}

// Puts on_signal in front of every handler function of an asynchronous
// signal that lacks it (the interpreter installs its own handler directly
// whenever Python code sets one). True when one lacked it: that handler may
// have recorded a signal on_signal did not see.
bool watch_signals() noexcept {
    bool unwatched = false;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (!watched(sig)) continue;
        struct sigaction current{};
        if (sigaction(sig, nullptr, &current) != 0) continue;
        const bool siginfo = (current.sa_flags & SA_SIGINFO) != 0;
        void* function = siginfo ? reinterpret_cast<void*>(current.sa_sigaction)
                                 : reinterpret_cast<void*>(current.sa_handler);
        if (function == reinterpret_cast<void*>(&on_signal) ||
            function == reinterpret_cast<void*>(SIG_DFL) ||
            function == reinterpret_cast<void*>(SIG_IGN))
            continue;
        Chained& chained = g_chained[sig];
        chained.siginfo.store(siginfo, std::memory_order_relaxed);
        chained.function.store(function, std::memory_order_release);
        struct sigaction ours = current;
        ours.sa_sigaction = &on_signal;
        ours.sa_flags |= SA_SIGINFO;
        if (sigaction(sig, &ours, nullptr) == 0) unwatched = true;
    }
    return unwatched;
}

bool check_signals() noexcept {
    if (PyThread_get_thread_ident() != g_main_thread) return false;
    PyThreadState* released = t_released;
    if (released == nullptr) {
        // The call holds the lock (unless this is no call from the module).
        return PyGILState_Check() && PyErr_CheckSignals() != 0;
    }
    // Cleared before asking, so a signal that arrives meanwhile is asked
    // about at the next check.
    const bool unwatched = watch_signals();
    if (!g_signal_arrived.exchange(false, std::memory_order_relaxed) && !unwatched) return false;
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
    (void)watch_signals();
    sim::set_stop_check(&check_signals);
    return true;
}

}  // namespace vantelo::module
