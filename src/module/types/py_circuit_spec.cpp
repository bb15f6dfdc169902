// Parameter and CircuitSpec: the builder of the compiled style. Builder
// methods borrow the specification exclusively; a failed call leaves it as
// it was.
#include "module/binding/binding.hpp"
#include "module/binding/class_defs.hpp"
#include "module/pickling.hpp"
#include "module/types/numerics_args.hpp"
#include "sim/gates/gate_catalog.hpp"

namespace vantelo::module {

namespace {

using Spec = sim::ParameterizedCircuitSpec;
using sim::Qubit;
namespace m = sim::matrices;

// Parameter ------------------------------------------------------------------

PyObject* parameter_index(const ParameterHandle& p) { return PyLong_FromUnsignedLong(p.index); }

PyObject* parameter_name(const ParameterHandle& p) {
    if (!p.name) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(p.name->data(), static_cast<Py_ssize_t>(p.name->size()));
}

// The name is inserted verbatim, without escaping.
PyObject* parameter_repr(const ParameterHandle& p) {
    std::string text = "Parameter(index=" + std::to_string(p.index);
    if (p.name) text += ", name='" + *p.name + "'";
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* parameter_repr_entry(PyObject* self) { return receiver_only<&parameter_repr>(self); }

constexpr ArgSpec k_parameter_deepcopy{"Parameter", "__deepcopy__", Param{"memo"}};

const MemberDef kParameterMembers[] = {
    property<&parameter_index>("index", "Stable zero-based slot used when binding parameter vectors."),
    property<&parameter_name>("name", "Optional user-provided parameter name."),
    method_noargs<&reduce<ParameterHandle>>("__reduce__", kReduceDoc),
    method_noargs<&copy_of<ParameterHandle>>("__copy__", kCopyDoc),
    method<&deep_copy_of<ParameterHandle>, k_parameter_deepcopy>("__deepcopy__", kCopyDoc),
};

// CircuitSpec ----------------------------------------------------------------

PyObject* spec_new(std::uint32_t num_qubits) {
    auto spec = Spec::create(num_qubits);
    if (!spec) return raise_core_error(spec.error());
    return new_instance(std::move(spec).value());
}

PyObject* spec_num_qubits(const Spec& spec) { return PyLong_FromUnsignedLong(spec.num_qubits); }

PyObject* spec_parameter_count(const Spec& spec) {
    return PyLong_FromSize_t(spec.parameters.size());
}

PyObject* param(Spec& spec, std::optional<std::string> name) {
    const std::uint32_t index = sim::register_parameter(spec, name);
    return new_instance(ParameterHandle{index, std::move(name)});
}

// Adds a built gate, or raises the error of building it or of adding it.
PyObject* add_fixed_gate(Spec& spec, sim::Result<sim::Gate> gate) {
    if (!gate) return raise_core_error(gate.error());
    if (auto status = sim::add_fixed_gate(spec, std::move(gate).value()); !status)
        return raise_core_error(status.error());
    Py_RETURN_NONE;
}

template <sim::Matrix2 (*M)()>
PyObject* fixed(Spec& spec, Qubit target) {
    return add_fixed_gate(spec, sim::single_qubit_gate(target, M()));
}

// Serves cnot and cx (x) and cz (z).
template <sim::Matrix2 (*M)()>
PyObject* controlled(Spec& spec, Qubit control, Qubit target) {
    return add_fixed_gate(spec, sim::controlled_gate({control}, target, M()));
}

template <sim::RotationKind Kind>
PyObject* rotation(Spec& spec, Qubit target, Shared<ParameterHandle> parameter) {
    if (auto status = sim::add_param_single(spec, Kind, target, parameter->index); !status)
        return raise_core_error(status.error());
    Py_RETURN_NONE;
}

// Any catalogue gate, unitary, measurement, reset or barrier: lets
// translated circuits keep fixed gates the named builder methods lack.
PyObject* gate(Spec& spec, Shared<sim::Gate> item) {
    return add_fixed_gate(spec, sim::Result<sim::Gate>(sim::Gate(*item)));
}

PyObject* compile(const Spec& spec, FusionArg fusion, SumsArg sums) {
    return new_instance(sim::compile(spec, numerics_from(fusion, sums)));
}

constexpr Param kTarget{"target"}, kControl{"control"}, kParam{"param"};
constexpr ArgSpec k_new{"CircuitSpec", "__new__", Param{"num_qubits"}};
constexpr ArgSpec k_param{"CircuitSpec", "param", Param{"name", "None"}};
constexpr ArgSpec k_x{"CircuitSpec", "x", kTarget};
constexpr ArgSpec k_h{"CircuitSpec", "h", kTarget};
constexpr ArgSpec k_z{"CircuitSpec", "z", kTarget};
constexpr ArgSpec k_cnot{"CircuitSpec", "cnot", kControl, kTarget};
constexpr ArgSpec k_cx{"CircuitSpec", "cx", kControl, kTarget};
constexpr ArgSpec k_cz{"CircuitSpec", "cz", kControl, kTarget};
constexpr ArgSpec k_rx{"CircuitSpec", "rx", kTarget, kParam};
constexpr ArgSpec k_ry{"CircuitSpec", "ry", kTarget, kParam};
constexpr ArgSpec k_rz{"CircuitSpec", "rz", kTarget, kParam};
constexpr ArgSpec k_p{"CircuitSpec", "p", kTarget, kParam};
constexpr ArgSpec k_deepcopy{"CircuitSpec", "__deepcopy__", Param{"memo"}};
constexpr ArgSpec k_gate{"CircuitSpec", "gate", Param{"gate"}};
constexpr ArgSpec k_compile{"CircuitSpec", "compile", kFusionParam, kSumsParam};
const ArgsView k_new_view = k_new.view();

const MemberDef kSpecMembers[] = {
    property<&spec_num_qubits>("num_qubits", "Number of qubits declared for the circuit specification."),
    property<&spec_parameter_count>(
        "parameter_count", "Number of symbolic parameters currently registered on the specification."),
    method<&param, k_param>("param", "Register a new symbolic parameter and return its handle."),
    method<&fixed<m::x>, k_x>("x"),
    method<&fixed<m::h>, k_h>("h"),
    method<&fixed<m::z>, k_z>("z"),
    method<&controlled<m::x>, k_cnot>("cnot"),
    method<&controlled<m::x>, k_cx>("cx"),
    method<&controlled<m::z>, k_cz>("cz"),
    method<&rotation<sim::RotationKind::Rx>, k_rx>("rx"),
    method<&rotation<sim::RotationKind::Ry>, k_ry>("ry"),
    method<&rotation<sim::RotationKind::Rz>, k_rz>("rz"),
    method<&rotation<sim::RotationKind::P>, k_p>("p"),
    method<&compile, k_compile>("compile", "Compile the circuit specification into a reusable execution plan."),
    method_noargs<&reduce<Spec>>("__reduce__", kReduceDoc),
    method_noargs<&copy_of<Spec>>("__copy__", kCopyDoc),
    method<&deep_copy_of<Spec>, k_deepcopy>("__deepcopy__", kCopyDoc),
    method<&gate, k_gate>("gate", "Append a copy of a fixed vantelo.Gate (unitary, measurement, reset or barrier)."),
};

}  // namespace

const ClassDef& parameter_class() {
    static const ClassDef def = class_def<ParameterHandle>(
        "Parameter",
        "Symbolic parameter handle used when building a compiled circuit specification.",
        kParameterMembers,
        nullptr,
        nullptr,
        &parameter_repr_entry);
    return def;
}

const ClassDef& circuit_spec_class() {
    static const ClassDef def = class_def<Spec>(
        "CircuitSpec",
        "Builder for reusable parameterized circuit structure.",
        kSpecMembers,
        &constructor_entry<&spec_new, k_new>,
        &k_new_view);
    return def;
}

}  // namespace vantelo::module
