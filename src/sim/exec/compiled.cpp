#include "sim/exec/compiled.hpp"

#include <cmath>

#include "platform/libm.hpp"
#include "sim/exec/executor.hpp"
#include "sim/measure/measure.hpp"
#include "sim/messages.hpp"
#include "sim/observables/expectation_wide.hpp"
#include "sim/stop.hpp"

namespace vantelo::sim {

ExecutionContext ExecutionContext::create(std::uint32_t num_qubits) {
    return ExecutionContext{StateVector::create(num_qubits)};
}

Matrix2 rotation_matrix(RotationKind kind, float theta) {
    float s = 0.0f;
    float c = 0.0f;
    switch (kind) {
        case RotationKind::Rx:
            platform::sincosf(theta * 0.5f, &s, &c);
            return {Amplitude{c, 0.0f}, Amplitude{0.0f, -s}, Amplitude{0.0f, -s}, Amplitude{c, 0.0f}};
        case RotationKind::Ry:
            platform::sincosf(theta * 0.5f, &s, &c);
            return {Amplitude{c, 0.0f}, Amplitude{-s, 0.0f}, Amplitude{s, 0.0f}, Amplitude{c, 0.0f}};
        case RotationKind::Rz: {
            float s_lo = 0.0f;
            float c_lo = 0.0f;
            platform::sincosf(theta * -0.5f, &s_lo, &c_lo);
            platform::sincosf(theta * 0.5f, &s, &c);
            return {Amplitude{c_lo, s_lo}, Amplitude{0.0f, 0.0f}, Amplitude{0.0f, 0.0f},
                    Amplitude{c, s}};
        }
        case RotationKind::P:
            platform::sincosf(theta, &s, &c);
            return {Amplitude{1.0f, 0.0f}, Amplitude{0.0f, 0.0f}, Amplitude{0.0f, 0.0f},
                    Amplitude{c, s}};
    }
    __builtin_unreachable();
}

namespace {

Status run_fixed(const Gate& gate, StateVector& state, Rng* rng, SumPrecision sums) {
    if (const auto* u = std::get_if<Unitary>(&gate)) return apply_operation(state, u->op);
    if (const auto* m = std::get_if<Measure>(&gate)) {
        auto outcome = measure_qubit(state, m->qubit, *rng, sums);
        if (!outcome) return std::move(outcome).error();
        return {};
    }
    if (const auto* r = std::get_if<Reset>(&gate)) return reset_qubit(state, r->qubit, *rng, sums);
    if (std::holds_alternative<Noise>(gate)) return fail(msg::channels_need_trajectories());
    return {};
}

}  // namespace

Status run_steps(const CompiledCircuit& circuit, std::span<const float> params, StateVector& state,
                 std::size_t first, std::size_t last, Rng* rng, std::size_t zero_qubits) {
    if (per_gate_path_forced()) return run_steps_per_gate(circuit, params, state, first, last, rng);
    // Rotation matrices are computed here, before any pass starts.
    std::vector<ExecItem> items;
    items.reserve(last - first);
    for (std::size_t i = first; i < last; ++i) {
        const CompiledOp& op = circuit.ops[i];
        ExecItem item;
        if (const auto* p = std::get_if<ParamOp>(&op)) {
            item.qubit = p->target;
            item.matrix = rotation_matrix(p->kind, params[p->slot]);
        } else if (const auto* u = std::get_if<Unitary>(&std::get<FixedOp>(op).gate)) {
            item = unitary_item(u->op);
            item.fused = circuit.numerics.fusion != 0;
        } else if (const auto* m = std::get_if<Measure>(&std::get<FixedOp>(op).gate)) {
            item.kind = ExecItem::Kind::Measure;
            item.qubit = m->qubit;
            item.sums = circuit.numerics.sums;
        } else if (const auto* r = std::get_if<Reset>(&std::get<FixedOp>(op).gate)) {
            item.kind = ExecItem::Kind::Reset;
            item.qubit = r->qubit;
            item.sums = circuit.numerics.sums;
        } else if (std::holds_alternative<Noise>(std::get<FixedOp>(op).gate)) {
            // Refused before any pass runs.
            return fail(msg::channels_need_trajectories());
        } else {
            continue;
        }
        if (Status valid = check_item(item, state); !valid) {
            // The steps before the failing one stay applied.
            VANTELO_TRY(run_items(items, state, rng, nullptr, zero_qubits));
            return valid;
        }
        items.push_back(item);
    }
    return run_items(items, state, rng, nullptr, zero_qubits);
}

Status run_steps_per_gate(const CompiledCircuit& circuit, std::span<const float> params, StateVector& state,
                 std::size_t first, std::size_t last, Rng* rng) {
    for (std::size_t i = first; i < last; ++i)
        if (const auto* f = std::get_if<FixedOp>(&circuit.ops[i]); f && std::holds_alternative<Noise>(f->gate))
            return fail(msg::channels_need_trajectories());
    for (std::size_t i = first; i < last; ++i) {
        if (stop_requested()) return stopped_error();
        const CompiledOp& op = circuit.ops[i];
        if (const auto* p = std::get_if<ParamOp>(&op)) {
            // The target was checked when the item was added; no range test.
            apply_single_qubit(state.amplitudes.data(), state.num_qubits, p->target,
                               rotation_matrix(p->kind, params[p->slot]));
        } else {
            VANTELO_TRY(run_fixed(std::get<FixedOp>(op).gate, state, rng, circuit.numerics.sums));
        }
    }
    return {};
}

Status run_into(const CompiledCircuit& circuit, std::span<const float> params, StateVector& state,
                std::size_t zero_qubits) {
    if (params.size() != circuit.parameter_count)
        return fail(msg::parameter_length(params.size(), circuit.parameter_count));
    if (state.num_qubits != circuit.num_qubits)
        return fail(msg::state_width_mismatch(state.num_qubits, circuit.num_qubits));
    Rng& rng = thread_rng();
    return run_steps(circuit, params, state, 0, circuit.ops.size(), &rng, zero_qubits);
}

Result<StateVector> run_statevector(const CompiledCircuit& circuit, std::span<const float> params) {
    StateVector state = StateVector::create(circuit.num_qubits);
    VANTELO_TRY(run_into(circuit, params, state, all_qubits(circuit.num_qubits)));
    return state;
}

void prepare_context(const CompiledCircuit& circuit, ExecutionContext& context) {
    if (context.state.num_qubits == circuit.num_qubits && !context.state.amplitudes.empty()) {
        reset_to_zero_state(context.state);
    } else {
        // Release the old array first so the two never coexist.
        context.state = StateVector{};
        context.state = StateVector::create(circuit.num_qubits);
    }
}

Result<StateVector*> run_statevector_with_context(const CompiledCircuit& circuit,
                                                  std::span<const float> params,
                                                  ExecutionContext& context) {
    prepare_context(circuit, context);
    VANTELO_TRY(run_into(circuit, params, context.state, all_qubits(circuit.num_qubits)));
    return &context.state;
}

Result<float> expectation_with_context(const CompiledCircuit& circuit, std::span<const float> params,
                                       const Observable& observable, ExecutionContext& context) {
    VANTELO_TRY(run_statevector_with_context(circuit, params, context));
    VANTELO_ASSIGN_OR_RETURN(const double value,
                             expectation_in(context.state, observable, circuit.numerics.sums));
    return static_cast<float>(value);
}

Result<float> compiled_expectation(const CompiledCircuit& circuit, std::span<const float> params,
                                   const Observable& observable) {
    VANTELO_ASSIGN_OR_RETURN(StateVector state, run_statevector(circuit, params));
    VANTELO_ASSIGN_OR_RETURN(const double value, expectation_in(state, observable, circuit.numerics.sums));
    return static_cast<float>(value);
}

bool has_channel_steps(const CompiledCircuit& circuit) {
    for (const CompiledOp& op : circuit.ops)
        if (const auto* f = std::get_if<FixedOp>(&op))
            if (std::holds_alternative<Noise>(f->gate)) return true;
    return false;
}

bool has_random_steps(const CompiledCircuit& circuit) {
    for (const CompiledOp& op : circuit.ops)
        if (const auto* f = std::get_if<FixedOp>(&op))
            if (std::holds_alternative<Measure>(f->gate) || std::holds_alternative<Reset>(f->gate) ||
                std::holds_alternative<Noise>(f->gate))
                return true;
    return false;
}

}  // namespace vantelo::sim
