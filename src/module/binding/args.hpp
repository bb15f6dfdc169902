// Argument descriptors and the one argument parser. Every callable declares
// its parameters once (all positional-or-keyword; the optional ones carry the
// default text shown in the signature); the parser matches positional and
// keyword arguments against it with the interpreter's own error wording, and
// the stored text signatures are generated from the same descriptor.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "module/binding/python.hpp"

namespace vantelo::module {

struct Param {
    const char* name;
    const char* default_text = nullptr;  // set for optional parameters ("None", "1.0")
    // Given by name only; keyword-only parameters come last and are optional.
    bool keyword_only = false;
};

// A runtime view of a descriptor.
struct ArgsView {
    const char* owner;  // class name, or nullptr for a module-level function
    const char* name;   // the function's name ("__new__" for constructors)
    std::span<const Param> params;

    std::size_t required() const;
    // The parameters that may be given by position.
    std::size_t positional() const;
    // "Circuit.run()" or "set_num_threads()": the subject of parse errors.
    std::string display_name() const;
    // "(target, theta)" or "($self, num_qubits)"; defaults as "name=None".
    std::string signature(bool with_self) const;
};

template <std::size_t N>
struct ArgSpec {
    const char* owner;
    const char* name;
    std::array<Param, N> params;

    constexpr std::size_t size() const { return N; }
    ArgsView view() const { return {owner, name, std::span<const Param>(params)}; }
};

template <class... P>
ArgSpec(const char*, const char*, P...) -> ArgSpec<sizeof...(P)>;

// Fills out[0 … params-1] with borrowed references (nullptr where an optional
// parameter was not given). Returns false with TypeError set on a mismatch.
bool parse_fastcall(const ArgsView& desc, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);
// The same for the tuple-and-dict form of constructors.
bool parse_tuple_dict(const ArgsView& desc, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace vantelo::module
