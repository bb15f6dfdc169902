// Argument conversions, one converter per target type. Each returns false
// with a Python exception set; the caller adds the "argument 'name': " prefix
// to TypeErrors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "module/binding/classes.hpp"
#include "module/binding/python.hpp"
#include "pool/function_ref.hpp"

namespace vantelo::module {

// A `list` (or subclass) argument, borrowed.
struct ListArg {
    PyObject* list = nullptr;
};

// Any object, borrowed; converted by the callee (NumPy inputs).
struct AnyArg {
    PyObject* object = nullptr;
};

bool convert_u32(PyObject* obj, std::uint32_t& out);
bool convert_u64(PyObject* obj, std::uint64_t& out);
bool convert_f32(PyObject* obj, float& out);
bool convert_text(PyObject* obj, std::string& out);
bool convert_u32_sequence(PyObject* obj, std::vector<std::uint32_t>& out);
// Any sequence but str: calls item(element) for each element in order until
// one returns false.
bool for_each_in_sequence(PyObject* obj, pool::FunctionRef<bool(PyObject*)> item);
bool convert_list(PyObject* obj, ListArg& out);

// Replaces a pending TypeError (exactly that type) by
// "argument '<name>': <message>", keeping its cause.
void prefix_argument_error(const char* name);

template <class T>
struct Converter;

template <>
struct Converter<std::uint32_t> {
    static bool convert(PyObject* obj, std::uint32_t& out) { return convert_u32(obj, out); }
};
template <>
struct Converter<std::uint64_t> {
    static bool convert(PyObject* obj, std::uint64_t& out) { return convert_u64(obj, out); }
};
template <>
struct Converter<float> {
    static bool convert(PyObject* obj, float& out) { return convert_f32(obj, out); }
};
template <>
struct Converter<double> {
    static bool convert(PyObject* obj, double& out) {
        out = PyFloat_AsDouble(obj);
        return !(out == -1.0 && PyErr_Occurred());
    }
};
template <>
struct Converter<std::string> {
    static bool convert(PyObject* obj, std::string& out) { return convert_text(obj, out); }
};
template <>
struct Converter<std::vector<std::uint32_t>> {
    static bool convert(PyObject* obj, std::vector<std::uint32_t>& out) {
        return convert_u32_sequence(obj, out);
    }
};
template <>
struct Converter<ListArg> {
    static bool convert(PyObject* obj, ListArg& out) { return convert_list(obj, out); }
};
template <>
struct Converter<AnyArg> {
    static bool convert(PyObject* obj, AnyArg& out) {
        out.object = obj;
        return true;
    }
};
// None or an omitted argument means no value.
template <class T>
struct Converter<std::optional<T>> {
    static bool convert(PyObject* obj, std::optional<T>& out) {
        if (obj == nullptr || obj == Py_None) {
            out.reset();
            return true;
        }
        T value{};
        if (!Converter<T>::convert(obj, value)) return false;
        out = std::move(value);
        return true;
    }
};
// An optional argument whose omission means Default; None is not special.
template <class T, auto Default>
struct Or {
    T value = Default;
};
template <class T, auto Default>
struct Converter<Or<T, Default>> {
    static bool convert(PyObject* obj, Or<T, Default>& out) {
        if (obj == nullptr) {
            out.value = Default;
            return true;
        }
        return Converter<T>::convert(obj, out.value);
    }
};

// An instance of one of the module's classes, shared-borrowed for the call.
template <class T>
struct Converter<Shared<T>> {
    static bool convert(PyObject* obj, Shared<T>& out) { return out.acquire(obj); }
};

}  // namespace vantelo::module
