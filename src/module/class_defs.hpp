// The definition of each class, in the files py_<class>.cpp.
#pragma once

#include "module/classes.hpp"
#include "sim/circuit.hpp"
#include "sim/gate.hpp"

namespace vantelo::module {

template <>
struct ClassOf<sim::Gate> {
    static constexpr ClassId id = ClassId::Gate;
};
template <>
struct ClassOf<sim::Circuit> {
    static constexpr ClassId id = ClassId::Circuit;
};

const ClassDef& gate_class();
const ClassDef& parameter_class();
const ClassDef& observable_class();
const ClassDef& compiled_circuit_class();
const ClassDef& param_buffer_class();
const ClassDef& param_batch_buffer_class();
const ClassDef& execution_context_class();
const ClassDef& circuit_spec_class();
const ClassDef& circuit_class();

// The module-level function set_num_threads.
extern PyMethodDef set_num_threads_def;

}  // namespace vantelo::module
