// Owning and borrowed handles for PyObject*. Taking ownership of a raw pointer
// says which: Ref::steal takes over a new reference, Ref::borrow adds one.
#pragma once

#include <utility>

#include "module/binding/python.hpp"

namespace vantelo::module {

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // A thread the interpreter ends while shutting down (a call inside
    // wanted the lock back) unwinds through here without the lock or a
    // thread state; releasing the object then would crash in the allocator,
    // so the reference is left to the ending process.
    ~Ref() {
        if (p_ != nullptr && PyGILState_Check()) Py_DECREF(p_);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace vantelo::module
