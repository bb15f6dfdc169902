#include "module/binding/errors.hpp"

#include <exception>
#include <new>
#include <stdexcept>
// (after a standard header, which defines the library's macros)
#if defined(__GLIBCXX__) || (defined(_LIBCPP_VERSION) && defined(__GLIBC__))
#include <cxxabi.h>
#endif

#include "module/binding/gil.hpp"
#include "module/binding/ref.hpp"
#include "sim/fault.hpp"
#include "sim/stop.hpp"

namespace vantelo::module {

namespace {

PyObject* raise(PyObject* type, std::string_view message) {
    PyErr_SetObject(type, Ref::steal(PyUnicode_FromStringAndSize(message.data(),
                                                                 static_cast<Py_ssize_t>(message.size())))
                              .get());
    return nullptr;
}

}  // namespace

// Derived directly from BaseException so ordinary `except Exception`
// handlers do not swallow it. Created once, on first use (module
// initialisation, which also exposes it as vantelo.InternalFault).
PyObject* internal_fault_type() {
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "vantelo.InternalFault",
        "An internal limit of the simulator was hit; the call was abandoned.",
        PyExc_BaseException, nullptr);
    return type;
}

PyObject* raise_value_error(std::string_view message) { return raise(PyExc_ValueError, message); }
PyObject* raise_type_error(std::string_view message) { return raise(PyExc_TypeError, message); }
PyObject* raise_runtime_error(std::string_view message) { return raise(PyExc_RuntimeError, message); }
PyObject* raise_core_error(const sim::Error& error) {
    // A signal handler raised during the call: its exception wins.
    if (sim::stop_seen() && PyErr_Occurred()) return nullptr;
    switch (error.kind) {
        case sim::ErrorKind::Stopped:
            // The signal handler's exception is pending; keep it.
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return nullptr;
        case sim::ErrorKind::OutOfMemory:
            return raise(PyExc_MemoryError, error.message);
        case sim::ErrorKind::Invalid:
            break;
    }
    return raise_value_error(error.message);
}

PyObject* raise_internal_fault(std::string_view message) {
    PyObject* type = internal_fault_type();
    if (type == nullptr) return nullptr;  // creating the type failed; its error is set
    return raise(type, message);
}

PyObject* raise_current_exception() noexcept {
    try {
        throw;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        // The interpreter ends this thread while shutting down (a callback
        // into Python wanted the lock back); see restore_thread.
        park_forever();
#endif
    } catch (const sim::AllocationFailure& failure) {
        raise(PyExc_MemoryError, failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more elements than it can hold: a request
        // too large to allocate, as for bad_alloc.
        PyErr_NoMemory();
    } catch (const sim::InternalFault& fault) {
        raise_internal_fault(fault.what());
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    } catch (...) {
#if defined(_LIBCPP_VERSION) && defined(__GLIBC__)
        // libc++ names no type for glibc's forced unwind; it is the one
        // foreign exception that can arrive here, and the only exception
        // without a C++ type (see above).
        if (abi::__cxa_current_exception_type() == nullptr) park_forever();
#endif
        raise_internal_fault("unknown internal error");
    }
    return nullptr;
}

PyObject* finish_call(PyObject* result) noexcept {
    if (result == nullptr || !sim::stop_seen()) return result;
    Py_DECREF(result);
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
}

std::string type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    const char* utf8 = PyUnicode_AsUTF8(name.get());
    if (utf8 == nullptr) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    return utf8;
}

PyObject* raise_cannot_convert(PyObject* obj, std::string_view target) {
    std::string message = "'";
    message += type_qualname(obj);
    message += "' object cannot be converted to '";
    message += target;
    message += "'";
    return raise_type_error(message);
}

}  // namespace vantelo::module
