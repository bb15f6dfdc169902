// Gate: a namespace of static constructors, each wrapping one core gate.
#include "module/binding/binding.hpp"
#include "module/binding/class_defs.hpp"
#include "module/pickling.hpp"
#include "module/binding/gil.hpp"
#include "module/numpy.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/noise/catalog.hpp"

namespace vantelo::module {

namespace {

using sim::Matrix2;
using sim::Qubit;
using Qubits = std::vector<std::uint32_t>;
namespace m = sim::matrices;

PyObject* wrap(sim::Result<sim::Gate> gate) {
    if (!gate) return raise_core_error(gate.error());
    return new_instance(std::move(gate).value());
}

// Shared builders: each alias pair (p/phase, cnot/cx, cp/cphase, ccx/toffoli,
// cswap/fredkin, mcp/mcphase) uses one of these, so aliases build identical
// items.
template <Matrix2 (*M)()>
PyObject* fixed(Qubit target) {
    return wrap(sim::single_qubit_gate(target, M()));
}
template <Matrix2 (*M)(float)>
PyObject* rotation(Qubit target, float theta) {
    return wrap(sim::single_qubit_gate(target, M(theta)));
}
template <Matrix2 (*M)()>
PyObject* controlled(Qubit control, Qubit target) {
    return wrap(sim::controlled_gate({control}, target, M()));
}
template <Matrix2 (*M)(float)>
PyObject* controlled_rotation(Qubit control, Qubit target, float theta) {
    return wrap(sim::controlled_gate({control}, target, M(theta)));
}
template <Matrix2 (*M)()>
PyObject* multi_controlled(Qubits controls, Qubit target) {
    return wrap(sim::controlled_gate(std::move(controls), target, M()));
}
PyObject* multi_controlled_phase(Qubits controls, Qubit target, float theta) {
    return wrap(sim::controlled_gate(std::move(controls), target, m::p(theta)));
}
PyObject* u(Qubit target, float theta, float phi, float lambda) {
    return wrap(sim::single_qubit_gate(target, m::u(theta, phi, lambda)));
}
PyObject* cu(Qubit control, Qubit target, float theta, float phi, float lambda,
             std::optional<float> gamma) {
    return wrap(sim::controlled_gate({control}, target, m::cu(theta, phi, lambda, gamma.value_or(0.0f))));
}
template <std::vector<sim::Amplitude> (*M)()>
PyObject* two_qubit(Qubit a, Qubit b) {
    return wrap(sim::unitary_gate(sim::Operation::create({a, b}, M())));
}
PyObject* ccx(Qubit control_a, Qubit control_b, Qubit target) {
    return wrap(sim::controlled_gate({control_a, control_b}, target, m::x()));
}
PyObject* cswap(Qubit control, Qubit a, Qubit b) {
    return wrap(sim::make_controlled_unitary_gate({control}, {a, b}, m::swap()));
}
// The unitarity test of a large matrix runs for seconds to minutes: without
// the lock, on the pool, and stopped by Ctrl-C (see check_unitary).
bool release_for(const std::vector<sim::Amplitude>& values) {
    return values.size() >= sim::kParallelUnitaryDim * sim::kParallelUnitaryDim;
}
PyObject* unitary(Qubits targets, AnyArg matrix) {
    std::vector<sim::Amplitude> values;
    if (!matrix_from_python(matrix.object, values)) return nullptr;
    const bool release = release_for(values);
    return wrap(run_core(release, [&] {
        return sim::unitary_gate(sim::Operation::create(std::move(targets), std::move(values)));
    }));
}
PyObject* controlled_unitary(Qubits controls, Qubits targets, AnyArg matrix) {
    std::vector<sim::Amplitude> values;
    if (!matrix_from_python(matrix.object, values)) return nullptr;
    const bool release = release_for(values);
    return wrap(run_core(release, [&] {
        return sim::make_controlled_unitary_gate(std::move(controls), std::move(targets), std::move(values));
    }));
}
PyObject* measure(Qubit target) { return new_instance(sim::Gate{sim::Measure{target}}); }
PyObject* reset(Qubit target) { return new_instance(sim::Gate{sim::Reset{target}}); }
PyObject* barrier() { return new_instance(sim::Gate{sim::Barrier{}}); }

// Channels (sim/noise/catalog.hpp holds their Kraus forms).
PyObject* bit_flip(Qubit target, double p) { return wrap(sim::bit_flip_channel(target, p)); }
PyObject* phase_flip(Qubit target, double p) { return wrap(sim::phase_flip_channel(target, p)); }
PyObject* depolarizing(Qubit target, double p) { return wrap(sim::depolarizing_channel(target, p)); }
PyObject* depolarizing2(Qubit a, Qubit b, double p) { return wrap(sim::depolarizing2_channel(a, b, p)); }
PyObject* pauli_error(Qubit target, double px, double py, double pz) {
    return wrap(sim::pauli_channel(target, px, py, pz));
}
PyObject* phase_damping(Qubit target, double gamma) {
    return wrap(sim::phase_damping_channel(target, gamma));
}
PyObject* amplitude_damping(Qubit target, double gamma) {
    return wrap(sim::amplitude_damping_channel(target, gamma));
}
PyObject* generalized_amplitude_damping(Qubit target, double gamma, double p) {
    return wrap(sim::generalized_amplitude_damping_channel(target, gamma, p));
}
PyObject* reset_error(Qubit target, double p0, double p1) {
    return wrap(sim::reset_error_channel(target, p0, p1));
}
PyObject* thermal_relaxation(Qubit target, double t1, double t2, double time,
                             Or<double, 0.0> excited_population) {
    return wrap(sim::thermal_relaxation_channel(target, t1, t2, time, excited_population.value));
}
PyObject* kraus(Qubits targets, AnyArg matrices) {
    std::vector<std::vector<sim::Amplitude>> values;
    const bool ok = for_each_in_sequence(matrices.object, [&](PyObject* item) {
        std::vector<sim::Amplitude> m;
        if (!matrix_from_python(item, m)) return false;
        values.push_back(std::move(m));
        return true;
    });
    if (!ok) return nullptr;
    return wrap(sim::kraus_channel(std::move(targets), std::move(values)));
}

constexpr Param kTarget{"target"}, kTheta{"theta"}, kControl{"control"};

#define GATE_ARGS(method, ...) constexpr ArgSpec k_##method{"Gate", #method, __VA_ARGS__};
GATE_ARGS(i, kTarget)
GATE_ARGS(x, kTarget)
GATE_ARGS(y, kTarget)
GATE_ARGS(z, kTarget)
GATE_ARGS(h, kTarget)
GATE_ARGS(s, kTarget)
GATE_ARGS(sdg, kTarget)
GATE_ARGS(t, kTarget)
GATE_ARGS(tdg, kTarget)
GATE_ARGS(rx, kTarget, kTheta)
GATE_ARGS(ry, kTarget, kTheta)
GATE_ARGS(rz, kTarget, kTheta)
GATE_ARGS(p, kTarget, kTheta)
GATE_ARGS(phase, kTarget, kTheta)
GATE_ARGS(u, kTarget, kTheta, Param{"phi"}, Param{"lambda"})
GATE_ARGS(cnot, kControl, kTarget)
GATE_ARGS(cx, kControl, kTarget)
GATE_ARGS(cy, kControl, kTarget)
GATE_ARGS(cz, kControl, kTarget)
GATE_ARGS(ch, kControl, kTarget)
GATE_ARGS(swap, Param{"a"}, Param{"b"})
GATE_ARGS(iswap, Param{"a"}, Param{"b"})
GATE_ARGS(crx, kControl, kTarget, kTheta)
GATE_ARGS(cry, kControl, kTarget, kTheta)
GATE_ARGS(crz, kControl, kTarget, kTheta)
GATE_ARGS(cp, kControl, kTarget, kTheta)
GATE_ARGS(cphase, kControl, kTarget, kTheta)
GATE_ARGS(cu, kControl, kTarget, kTheta, Param{"phi"}, Param{"lambda"}, Param{"gamma", "None"})
GATE_ARGS(ccx, Param{"control_a"}, Param{"control_b"}, kTarget)
GATE_ARGS(toffoli, Param{"control_a"}, Param{"control_b"}, kTarget)
GATE_ARGS(cswap, kControl, Param{"a"}, Param{"b"})
GATE_ARGS(fredkin, kControl, Param{"a"}, Param{"b"})
GATE_ARGS(mcx, Param{"controls"}, kTarget)
GATE_ARGS(mcz, Param{"controls"}, kTarget)
GATE_ARGS(mcp, Param{"controls"}, kTarget, kTheta)
GATE_ARGS(mcphase, Param{"controls"}, kTarget, kTheta)
GATE_ARGS(unitary, Param{"targets"}, Param{"matrix"})
GATE_ARGS(controlled_unitary, Param{"controls"}, Param{"targets"}, Param{"matrix"})
GATE_ARGS(measure, kTarget)
GATE_ARGS(reset, kTarget)
GATE_ARGS(bit_flip, kTarget, Param{"p"})
GATE_ARGS(phase_flip, kTarget, Param{"p"})
GATE_ARGS(depolarizing, kTarget, Param{"p"})
GATE_ARGS(depolarizing2, Param{"a"}, Param{"b"}, Param{"p"})
GATE_ARGS(pauli_error, kTarget, Param{"px"}, Param{"py"}, Param{"pz"})
GATE_ARGS(phase_damping, kTarget, Param{"gamma"})
GATE_ARGS(amplitude_damping, kTarget, Param{"gamma"})
GATE_ARGS(generalized_amplitude_damping, kTarget, Param{"gamma"}, Param{"p"})
GATE_ARGS(reset_error, kTarget, Param{"p0"}, Param{"p1"})
GATE_ARGS(thermal_relaxation, kTarget, Param{"t1"}, Param{"t2"}, Param{"time"},
          Param{"excited_population", "0.0"})
GATE_ARGS(kraus, Param{"targets"}, Param{"matrices"})
#undef GATE_ARGS

constexpr ArgSpec k_deepcopy{"Gate", "__deepcopy__", Param{"memo"}};

#define GATE(method, impl) static_method<impl, k_##method>(#method)
const MemberDef kMembers[] = {
    GATE(i, &fixed<m::i>),
    GATE(x, &fixed<m::x>),
    GATE(y, &fixed<m::y>),
    GATE(z, &fixed<m::z>),
    GATE(h, &fixed<m::h>),
    GATE(s, &fixed<m::s>),
    GATE(sdg, &fixed<m::sdg>),
    GATE(t, &fixed<m::t>),
    GATE(tdg, &fixed<m::tdg>),
    GATE(rx, &rotation<m::rx>),
    GATE(ry, &rotation<m::ry>),
    GATE(rz, &rotation<m::rz>),
    GATE(p, &rotation<m::p>),
    GATE(phase, &rotation<m::p>),
    GATE(u, &u),
    GATE(cnot, &controlled<m::x>),
    GATE(cx, &controlled<m::x>),
    GATE(cy, &controlled<m::y>),
    GATE(cz, &controlled<m::z>),
    GATE(ch, &controlled<m::h>),
    GATE(swap, &two_qubit<m::swap>),
    GATE(iswap, &two_qubit<m::iswap>),
    GATE(crx, &controlled_rotation<m::rx>),
    GATE(cry, &controlled_rotation<m::ry>),
    GATE(crz, &controlled_rotation<m::rz>),
    GATE(cp, &controlled_rotation<m::p>),
    GATE(cphase, &controlled_rotation<m::p>),
    GATE(cu, &cu),
    GATE(ccx, &ccx),
    GATE(toffoli, &ccx),
    GATE(cswap, &cswap),
    GATE(fredkin, &cswap),
    GATE(mcx, &multi_controlled<m::x>),
    GATE(mcz, &multi_controlled<m::z>),
    GATE(mcp, &multi_controlled_phase),
    GATE(mcphase, &multi_controlled_phase),
    GATE(unitary, &unitary),
    GATE(controlled_unitary, &controlled_unitary),
    GATE(measure, &measure),
    GATE(reset, &reset),
    GATE(bit_flip, &bit_flip),
    GATE(phase_flip, &phase_flip),
    GATE(depolarizing, &depolarizing),
    GATE(depolarizing2, &depolarizing2),
    GATE(pauli_error, &pauli_error),
    GATE(phase_damping, &phase_damping),
    GATE(amplitude_damping, &amplitude_damping),
    GATE(generalized_amplitude_damping, &generalized_amplitude_damping),
    GATE(reset_error, &reset_error),
    GATE(thermal_relaxation, &thermal_relaxation),
    GATE(kraus, &kraus),
    static_noargs<&barrier>("barrier"),
    method_noargs<&reduce<sim::Gate>>("__reduce__", kReduceDoc),
    method_noargs<&copy_of<sim::Gate>>("__copy__", kCopyDoc),
    method<&deep_copy_of<sim::Gate>, k_deepcopy>("__deepcopy__", kCopyDoc),
};
#undef GATE

}  // namespace

const ClassDef& gate_class() {
    static const ClassDef def = class_def<sim::Gate>(
        "Gate",
        "Gate constructors for one-off circuit building and custom unitary definition.",
        kMembers);
    return def;
}

}  // namespace vantelo::module
