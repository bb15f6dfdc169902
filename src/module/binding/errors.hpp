// Mapping of failures to Python exceptions. Every entry point catches
// everything and calls raise_current_exception, so no C++ exception reaches
// the interpreter.
#pragma once

#include <string>
#include <string_view>

#include "module/binding/python.hpp"
#include "sim/result.hpp"

namespace vantelo::module {

// All return nullptr so that `return raise_value_error(...)` ends an entry.
PyObject* raise_value_error(std::string_view message);
PyObject* raise_type_error(std::string_view message);
PyObject* raise_runtime_error(std::string_view message);
// ValueError with the message verbatim; MemoryError for ErrorKind::OutOfMemory;
// a stopped call keeps the pending exception of the signal handler.
PyObject* raise_core_error(const sim::Error& error);
PyObject* raise_internal_fault(std::string_view message);

// The internal-fault exception class (a borrowed reference, alive for the
// whole process); nullptr with an exception set if it could not be created.
PyObject* internal_fault_type();

// Maps the exception being handled (inside a catch block): bad_alloc and
// length_error become MemoryError, anything else the internal-fault exception.
PyObject* raise_current_exception() noexcept;

// The result of an entry point, or nullptr when a signal handler raised
// during the call (the stop check saw it after the core's last check).
PyObject* finish_call(PyObject* result) noexcept;

// "'" + qualname of obj's type + "' object cannot be converted to '" + target + "'"
PyObject* raise_cannot_convert(PyObject* obj, std::string_view target);

// The __qualname__ of obj's type, as UTF-8.
std::string type_qualname(PyObject* obj);

}  // namespace vantelo::module
