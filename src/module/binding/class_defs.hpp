// The definition of each class, in the files py_<class>.cpp.
#pragma once

#include <optional>
#include <string>

#include "module/binding/classes.hpp"
#include "module/binding/ref.hpp"
#include "sim/exec/circuit.hpp"
#include "sim/exec/circuit_spec.hpp"
#include "sim/exec/compiled.hpp"
#include "sim/gates/gate.hpp"
#include "sim/observables/observable.hpp"

namespace vantelo::module {

template <>
struct ClassOf<sim::Gate> {
    static constexpr ClassId id = ClassId::Gate;
};
template <>
struct ClassOf<sim::Circuit> {
    static constexpr ClassId id = ClassId::Circuit;
};

template <>
struct ClassOf<sim::Observable> {
    static constexpr ClassId id = ClassId::Observable;
};
template <>
struct ClassOf<sim::ParameterizedCircuitSpec> {
    static constexpr ClassId id = ClassId::CircuitSpec;
};
template <>
struct ClassOf<sim::CompiledCircuit> {
    static constexpr ClassId id = ClassId::CompiledCircuit;
};
template <>
struct ClassOf<sim::ExecutionContext> {
    static constexpr ClassId id = ClassId::ExecutionContext;
};

// A Parameter: a slot index and an optional display name; tied to the
// CircuitSpec that made it only by the index.
struct ParameterHandle {
    std::uint32_t index;
    std::optional<std::string> name;
};
template <>
struct ClassOf<ParameterHandle> {
    static constexpr ClassId id = ClassId::Parameter;
};

// The buffers each hold one NumPy float32 array, created zero-filled and
// never replaced; callers write into it between calls.
struct ParamBufferValue {
    Ref array;
    std::uint32_t size;
};
template <>
struct ClassOf<ParamBufferValue> {
    static constexpr ClassId id = ClassId::ParamBuffer;
};
struct ParamBatchBufferValue {
    Ref array;
    std::uint32_t batch_size;
    std::uint32_t parameter_count;
};
template <>
struct ClassOf<ParamBatchBufferValue> {
    static constexpr ClassId id = ClassId::ParamBatchBuffer;
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

// _set_side_by_side_qubits, for tests and benchmarks (not in __all__).
extern PyMethodDef set_side_by_side_qubits_def;

// build_info() and the text of __version__ (neither is in __all__).
extern PyMethodDef build_info_def;
extern const char* const kVersion;

}  // namespace vantelo::module
