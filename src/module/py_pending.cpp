// Classes whose members are not available yet: registered as types without a
// constructor so the module's attribute list is complete.
#include "module/class_defs.hpp"

namespace vantelo::module {

namespace {

struct Empty {};

template <ClassId Id>
const ClassDef& empty_class(const char* name, const char* doc) {
    static const ClassDef def{Id, name, doc, sizeof(Instance<Empty>), &dealloc_instance<Empty>,
                              nullptr, nullptr, nullptr, {}};
    return def;
}

}  // namespace

const ClassDef& parameter_class() {
    return empty_class<ClassId::Parameter>(
        "Parameter", "Symbolic parameter handle used when building a compiled circuit specification.");
}
const ClassDef& observable_class() {
    return empty_class<ClassId::Observable>(
        "Observable", "Pauli observables and Hamiltonians for expectation-value workflows.");
}
const ClassDef& compiled_circuit_class() {
    return empty_class<ClassId::CompiledCircuit>(
        "CompiledCircuit",
        "Reusable compiled execution plan for repeated parameterized circuit evaluation.");
}
const ClassDef& param_buffer_class() {
    return empty_class<ClassId::ParamBuffer>(
        "ParamBuffer", "Reusable parameter buffer for zero-copy compiled scalar execution.");
}
const ClassDef& param_batch_buffer_class() {
    return empty_class<ClassId::ParamBatchBuffer>(
        "ParamBatchBuffer", "Reusable parameter batch buffer for zero-copy compiled batch execution.");
}
const ClassDef& execution_context_class() {
    return empty_class<ClassId::ExecutionContext>(
        "ExecutionContext", "Reusable execution buffer for repeated scalar compiled-circuit calls.");
}
const ClassDef& circuit_spec_class() {
    return empty_class<ClassId::CircuitSpec>("CircuitSpec",
                                             "Builder for reusable parameterized circuit structure.");
}

}  // namespace vantelo::module
