// Parameterized specifications: the checks of each addition (and that a
// failed one changes nothing), and compilation's fusion boundaries.
#include <gtest/gtest.h>

#include <vector>

#include "sim/exec/circuit_spec.hpp"
#include "sim/gates/fusion.hpp"
#include "sim/gates/gate_catalog.hpp"

namespace vantelo::sim {
namespace {

Gate h(Qubit q) { return single_qubit_gate(q, matrices::h()).value(); }
Gate cx(Qubit c, Qubit t) { return controlled_gate({c}, t, matrices::x()).value(); }

ParameterizedCircuitSpec spec_with(std::uint32_t n, std::uint32_t params) {
    ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(n).value();
    for (std::uint32_t k = 0; k < params; ++k) register_parameter(spec, std::nullopt);
    return spec;
}

bool same_gate(const Gate& a, const Gate& b) {
    if (a.index() != b.index()) return false;
    if (const auto* ua = std::get_if<Unitary>(&a)) {
        const auto& ub = std::get<Unitary>(b);
        return ua->op.targets == ub.op.targets && ua->op.matrix == ub.op.matrix;
    }
    if (const auto* m = std::get_if<Measure>(&a)) return m->qubit == std::get<Measure>(b).qubit;
    if (const auto* r = std::get_if<Reset>(&a)) return r->qubit == std::get<Reset>(b).qubit;
    return true;
}

void expect_fixed_run(const CompiledCircuit& plan, std::size_t& at, const std::vector<Gate>& run) {
    for (const Gate& g : fuse_gates(run)) {
        ASSERT_LT(at, plan.ops.size());
        const auto* fixed = std::get_if<FixedOp>(&plan.ops[at++]);
        ASSERT_NE(fixed, nullptr);
        EXPECT_TRUE(same_gate(fixed->gate, g));
    }
}

void expect_param(const CompiledCircuit& plan, std::size_t& at, ParamOp want) {
    ASSERT_LT(at, plan.ops.size());
    const auto* p = std::get_if<ParamOp>(&plan.ops[at++]);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->target, want.target);
    EXPECT_EQ(p->slot, want.slot);
    EXPECT_EQ(p->kind, want.kind);
}

TEST(CircuitSpec, RegistersParametersInOrder) {
    ParameterizedCircuitSpec spec = ParameterizedCircuitSpec::create(2).value();
    EXPECT_EQ(register_parameter(spec, "theta"), 0u);
    EXPECT_EQ(register_parameter(spec, std::nullopt), 1u);
    EXPECT_EQ(spec.parameters[0], "theta");
    EXPECT_FALSE(spec.parameters[1].has_value());
}

TEST(CircuitSpec, CompilesFixedRunsAroundRotations) {
    ParameterizedCircuitSpec spec = spec_with(2, 1);
    ASSERT_TRUE(add_fixed_gate(spec, h(0)));
    ASSERT_TRUE(add_fixed_gate(spec, cx(0, 1)));
    ASSERT_TRUE(add_param_single(spec, RotationKind::Rz, 1, 0));
    ASSERT_TRUE(add_fixed_gate(spec, h(0)));
    const CompiledCircuit plan = compile(spec);
    EXPECT_EQ(plan.num_qubits, 2u);
    EXPECT_EQ(plan.parameter_count, 1u);
    std::size_t at = 0;
    expect_fixed_run(plan, at, {h(0), cx(0, 1)});
    expect_param(plan, at, {1, 0, RotationKind::Rz});
    expect_fixed_run(plan, at, {h(0)});
    EXPECT_EQ(at, plan.ops.size());
}

TEST(CircuitSpec, FusionNeverCrossesARotation) {
    // H · H would fuse to one gate; a rotation between them keeps both.
    ParameterizedCircuitSpec spec = spec_with(1, 2);
    ASSERT_TRUE(add_fixed_gate(spec, h(0)));
    ASSERT_TRUE(add_fixed_gate(spec, h(0)));
    ASSERT_TRUE(add_param_single(spec, RotationKind::Rx, 0, 1));
    ASSERT_TRUE(add_param_single(spec, RotationKind::P, 0, 0));
    ASSERT_TRUE(add_fixed_gate(spec, h(0)));
    ASSERT_TRUE(add_fixed_gate(spec, Measure{0}));
    ASSERT_TRUE(add_fixed_gate(spec, Barrier{}));
    const CompiledCircuit plan = compile(spec);
    std::size_t at = 0;
    expect_fixed_run(plan, at, {h(0), h(0)});
    expect_param(plan, at, {0, 1, RotationKind::Rx});
    expect_param(plan, at, {0, 0, RotationKind::P});
    expect_fixed_run(plan, at, {h(0), Measure{0}, Barrier{}});
    EXPECT_EQ(at, plan.ops.size());
}

TEST(CircuitSpec, EmptySpecAndLaterParameters) {
    ParameterizedCircuitSpec spec = spec_with(3, 2);
    const CompiledCircuit first = compile(spec);
    EXPECT_TRUE(first.ops.empty());
    EXPECT_EQ(first.parameter_count, 2u);
    register_parameter(spec, "late");
    ASSERT_TRUE(add_param_single(spec, RotationKind::Ry, 2, 2));
    const CompiledCircuit second = compile(spec);
    EXPECT_EQ(second.parameter_count, 3u);
    EXPECT_EQ(second.ops.size(), 1u);
    EXPECT_EQ(first.parameter_count, 2u);
    EXPECT_TRUE(first.ops.empty());
    EXPECT_EQ(spec.items.size(), 1u);  // compiling left the specification alone
}

TEST(Messages, SpecificationChecks) {
    auto none = ParameterizedCircuitSpec::create(0);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().message, "compiled circuits must have at least one qubit");

    ParameterizedCircuitSpec spec = spec_with(2, 1);
    ASSERT_TRUE(add_fixed_gate(spec, h(1)));
    const std::size_t before = spec.items.size();

    auto expect_failure = [&](Status status, const char* message) {
        ASSERT_FALSE(status);
        EXPECT_EQ(status.error().message, message);
        EXPECT_EQ(spec.items.size(), before);
    };
    // The targets of a unitary are checked in list order.
    expect_failure(add_fixed_gate(spec, controlled_gate({0}, 3, matrices::x()).value()),
                   "qubit index 3 is out of range for 2 qubits");
    expect_failure(add_fixed_gate(spec, Measure{2}), "qubit index 2 is out of range for 2 qubits");
    expect_failure(add_fixed_gate(spec, Reset{7}), "qubit index 7 is out of range for 2 qubits");
    expect_failure(add_param_single(spec, RotationKind::Rx, 0, 1),
                   "parameter slot 1 does not exist in this circuit spec");
    // A wrong target is reported before a wrong slot.
    expect_failure(add_param_single(spec, RotationKind::Rx, 2, 5),
                   "qubit index 2 is out of range for 2 qubits");
    EXPECT_TRUE(add_fixed_gate(spec, Barrier{}));
    EXPECT_TRUE(add_fixed_gate(spec, Reset{1}));
}

}  // namespace
}  // namespace vantelo::sim
