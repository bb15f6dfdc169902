#include "sim/exec/circuit_spec.hpp"

#include "sim/exec/reorder.hpp"
#include "sim/gates/block_fusion.hpp"
#include "sim/gates/channel.hpp"
#include "sim/gates/fusion.hpp"
#include "sim/messages.hpp"

namespace vantelo::sim {

Result<ParameterizedCircuitSpec> ParameterizedCircuitSpec::create(std::uint32_t num_qubits) {
    if (num_qubits == 0) return fail(msg::spec_needs_qubits());
    ParameterizedCircuitSpec spec;
    spec.num_qubits = num_qubits;
    return spec;
}

std::uint32_t register_parameter(ParameterizedCircuitSpec& spec, std::optional<std::string> name) {
    const auto index = static_cast<std::uint32_t>(spec.parameters.size());
    spec.parameters.push_back(std::move(name));
    return index;
}

Status check_gate_qubits(const Gate& gate, std::uint32_t num_qubits) {
    auto check = [num_qubits](Qubit q) -> Status {
        if (q >= num_qubits) return fail(msg::qubit_out_of_range(q, num_qubits));
        return {};
    };
    if (const auto* u = std::get_if<Unitary>(&gate)) {
        for (Qubit q : u->op.controls) VANTELO_TRY(check(q));
        for (Qubit q : u->op.targets) VANTELO_TRY(check(q));
    } else if (const auto* m = std::get_if<Measure>(&gate)) {
        return check(m->qubit);
    } else if (const auto* r = std::get_if<Reset>(&gate)) {
        return check(r->qubit);
    } else if (const auto* n = std::get_if<Noise>(&gate)) {
        for (Qubit q : n->channel->qubits) VANTELO_TRY(check(q));
    }
    return {};
}

Status add_fixed_gate(ParameterizedCircuitSpec& spec, Gate gate) {
    VANTELO_TRY(check_gate_qubits(gate, spec.num_qubits));
    spec.items.emplace_back(std::in_place_type<FixedOp>, std::move(gate));
    return {};
}

Status add_param_single(ParameterizedCircuitSpec& spec, RotationKind kind, Qubit target,
                        std::uint32_t slot) {
    if (target >= spec.num_qubits) return fail(msg::qubit_out_of_range(target, spec.num_qubits));
    if (slot >= spec.parameters.size()) return fail(msg::parameter_slot_missing(slot));
    spec.items.emplace_back(std::in_place_type<ParamOp>, target, slot, kind);
    return {};
}

CompiledCircuit compile(const ParameterizedCircuitSpec& spec, Numerics numerics) {
    CompiledCircuit plan;
    plan.numerics = numerics;
    plan.num_qubits = spec.num_qubits;
    plan.parameter_count = static_cast<std::uint32_t>(spec.parameters.size());
    plan.ops.reserve(spec.items.size());
    // A plan with channels runs only as trajectories; with fusion=k they fuse
    // each stretch together with the branches it drew, so its gates stay as
    // given.
    bool channels = false;
    for (const CompiledOp& item : spec.items)
        if (const auto* f = std::get_if<FixedOp>(&item); f && std::holds_alternative<Noise>(f->gate)) channels = true;
    std::vector<Gate> pending;
    auto flush = [&] {
        if (pending.empty()) return;
        std::vector<Gate> fused = numerics.fusion == 0 ? fuse_gates(pending)
                                  : channels         ? std::move(pending)
                                                     : fuse_blocks(pending, numerics.fusion);
        for (Gate& g : fused) plan.ops.emplace_back(std::in_place_type<FixedOp>, std::move(g));
        pending.clear();
    };
    for (const CompiledOp& item : spec.items) {
        if (const auto* fixed = std::get_if<FixedOp>(&item)) {
            pending.push_back(fixed->gate);
        } else {
            flush();
            plan.ops.push_back(item);
        }
    }
    flush();
    if (numerics.fusion != 0 && !channels) {
        // Parameterized rotations move like the fixed gates: a rotation is
        // a one-qubit unitary whatever its angle.
        std::vector<std::uint64_t> masks;
        masks.reserve(plan.ops.size());
        for (const CompiledOp& op : plan.ops) {
            const auto* fixed = std::get_if<FixedOp>(&op);
            masks.push_back(fixed != nullptr ? qubit_mask(fixed->gate)
                                             : std::uint64_t{1} << std::get<ParamOp>(op).target);
        }
        std::vector<CompiledOp> ops;
        ops.reserve(plan.ops.size());
        for (std::size_t i : pass_order(masks, plan.num_qubits)) ops.push_back(std::move(plan.ops[i]));
        plan.ops = std::move(ops);
    }
    return plan;
}

}  // namespace vantelo::sim
