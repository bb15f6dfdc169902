// Pickling and copying of the module's value classes. __reduce__ stores an
// object as bytes in the core's versioned snapshot form, reconstructed by the
// module function _unpickle, which rebuilds it through the constructors'
// checks. Buffers and execution contexts hold process-local memory and
// refuse to be pickled.
#pragma once

#include <string>
#include <vector>

#include "module/binding/class_defs.hpp"
#include "module/binding/convert.hpp"
#include "module/binding/errors.hpp"
#include "sim/serial/snapshot.hpp"

namespace vantelo::module {

// (vantelo._unpickle, (bytes,)); nullptr with an exception set on failure.
PyObject* reduce_to_bytes(const std::vector<std::uint8_t>& bytes);

// __reduce__ of a value class.
template <class T>
PyObject* reduce(const T& value) {
    return reduce_to_bytes(sim::snapshot::encode(value));
}
template <>
inline PyObject* reduce<ParameterHandle>(const ParameterHandle& p) {
    return reduce_to_bytes(sim::snapshot::encode(sim::snapshot::ParameterRecord{p.index, p.name}));
}

// __copy__ and __deepcopy__: a new instance holding a copy of the value. The
// values own no Python objects, so the memo has nothing to record.
template <class T>
PyObject* copy_of(const T& value) {
    return new_instance(T(value));
}
template <class T>
PyObject* deep_copy_of(const T& value, AnyArg) {
    return new_instance(T(value));
}

PyObject* raise_not_picklable(ClassId id);

// __reduce__ of the process-local classes: always TypeError.
template <class T>
PyObject* refuse_pickle(const T&) {
    return raise_not_picklable(ClassOf<T>::id);
}

inline constexpr const char* kReduceDoc = "Support for pickle: the object as versioned bytes.";
inline constexpr const char* kCopyDoc = "Return a copy of the object.";
inline constexpr const char* kRefuseDoc = "Refuses to pickle: the object is process-local.";

// The module function _unpickle, and the cache of its function object that
// __reduce__ refers to (set once at module creation).
extern PyMethodDef unpickle_def;
void set_unpickle_function(PyObject* function);

}  // namespace vantelo::module
