#include "sim/grad/gradient.hpp"

#include <cstring>
#include <new>
#include <utility>

#include "sim/measure/rng.hpp"
#include "sim/messages.hpp"

namespace vantelo::sim {

namespace {

// Shared prefixes hold one state vector besides the context's; above this
// width (2 GiB per state) the plain rule's single state is kept.
constexpr std::uint32_t kMaxSharedPrefixQubits = 28;

// The plan positions of the parameterized rotations, in plan order.
void list_rotations(const CompiledCircuit& circuit, std::vector<std::size_t>& rotations) {
    rotations.clear();
    for (std::size_t i = 0; i < circuit.ops.size(); ++i)
        if (std::holds_alternative<ParamOp>(circuit.ops[i])) rotations.push_back(i);
}

// Applies rotation i with its angle moved by `shift`, then the rest of the
// plan at the unshifted parameters.
Status run_shifted(const CompiledCircuit& circuit, std::span<const float> params, std::size_t i,
                   float shift, StateVector& state, Rng* rng) {
    const ParamOp& p = std::get<ParamOp>(circuit.ops[i]);
    apply_single_qubit(state.amplitudes.data(), state.num_qubits, p.target,
                       rotation_matrix(p.kind, params[p.slot] + shift));
    return run_steps(circuit, params, state, i + 1, circuit.ops.size(), rng);
}

// Adds one rotation's term to its parameter's entry. The first term of an
// entry replaces it, so an entry of one rotation is that term exactly (a −0
// stays −0) and an entry of no rotation stays the +0 it was set to.
// With Float64 sums the expectations arrive in double and the terms and
// their sums stay in double (in `wide`) until finish_gradient rounds them.
void add_term(const CompiledCircuit& circuit, std::span<float> gradient, GradientScratch& scratch,
              std::uint32_t slot, double plus, double minus) {
    std::vector<std::uint8_t>& started = scratch.started;
    if (circuit.numerics.wide_sums()) {
        const double term = (plus - minus) * 0.5;
        scratch.wide[slot] = started[slot] ? scratch.wide[slot] + term : term;
    } else {
        const float term = (static_cast<float>(plus) - static_cast<float>(minus)) * 0.5f;
        gradient[slot] = started[slot] ? gradient[slot] + term : term;
    }
    started[slot] = 1;
}

void start_gradient(std::span<float> gradient, GradientScratch& scratch) {
    for (float& g : gradient) g = 0.0f;
    scratch.started.assign(gradient.size(), 0);
    scratch.wide.assign(gradient.size(), 0.0);
}

void finish_gradient(const CompiledCircuit& circuit, std::span<float> gradient,
                     const GradientScratch& scratch) {
    if (!circuit.numerics.wide_sums()) return;
    for (std::size_t k = 0; k < gradient.size(); ++k)
        if (scratch.started[k]) gradient[k] = static_cast<float>(scratch.wide[k]);
}

// Gives the state the width n; its contents are left unspecified. False when
// the memory cannot be had.
bool ensure_width(StateVector& state, std::uint32_t n) {
    if (state.num_qubits == n && !state.amplitudes.empty()) return true;
    state = StateVector{};
    try {
        state.amplitudes = AlignedArray<Amplitude>::uninitialized(std::size_t{1} << n);
    } catch (const std::bad_alloc&) {
        return false;
    }
    state.num_qubits = n;
    return true;
}

void copy_state(const StateVector& from, StateVector& to) {
    std::memcpy(to.amplitudes.data(), from.amplitudes.data(), from.size() * sizeof(Amplitude));
}

// The rule with a shared prefix. Shifting rotation r changes nothing before
// r, and every step is a deterministic function of its input state and
// parameters, so r's shifted runs can start from a copy of the unshifted run
// just before r and still produce exactly the floats of runs from |0…0⟩.
// One unshifted prefix (the context's state) advances through the plan. The
// last rotation's −s run is made in the prefix itself, after its copy has
// finished the unshifted run, so that run is the one the context keeps.
Status checkpointed_rule(const CompiledCircuit& circuit, std::span<const float> params,
                         const Observable& observable, ExecutionContext& context,
                         GradientScratch& scratch, float& value, std::span<float> gradient) {
    const std::vector<std::size_t>& rotations = scratch.rotations;
    const std::size_t num_steps = circuit.ops.size();
    StateVector& work = scratch.work;
    prepare_context(circuit, context);
    StateVector& prefix = context.state;
    const SumPrecision sums = circuit.numerics.sums;
    std::size_t done = 0;
    for (std::size_t j = 0; j < rotations.size(); ++j) {
        const std::size_t i = rotations[j];
        VANTELO_TRY(run_steps(circuit, params, prefix, done, i, nullptr, done == 0 ? all_qubits(circuit.num_qubits) : 0));
        done = i;
        const std::uint32_t slot = std::get<ParamOp>(circuit.ops[i]).slot;
        copy_state(prefix, work);
        VANTELO_TRY(run_shifted(circuit, params, i, kParameterShift, work, nullptr));
        VANTELO_ASSIGN_OR_RETURN(const double plus, expectation_in(work, observable, sums));
        if (j + 1 < rotations.size()) {
            copy_state(prefix, work);
            VANTELO_TRY(run_shifted(circuit, params, i, -kParameterShift, work, nullptr));
            VANTELO_ASSIGN_OR_RETURN(const double minus, expectation_in(work, observable, sums));
            add_term(circuit, gradient, scratch, slot, plus, minus);
            continue;
        }
        copy_state(prefix, work);
        VANTELO_TRY(run_steps(circuit, params, work, i, num_steps, nullptr));
        VANTELO_ASSIGN_OR_RETURN(const double unshifted, expectation_in(work, observable, sums));
        value = static_cast<float>(unshifted);
        VANTELO_TRY(run_shifted(circuit, params, i, -kParameterShift, prefix, nullptr));
        VANTELO_ASSIGN_OR_RETURN(const double minus, expectation_in(prefix, observable, sums));
        add_term(circuit, gradient, scratch, slot, plus, minus);
    }
    finish_gradient(circuit, gradient, scratch);
    return {};
}

}  // namespace

Status plain_rule_into(const CompiledCircuit& circuit, std::span<const float> params,
                       const Observable& observable, ExecutionContext& context,
                       GradientScratch& scratch, float& value, std::span<float> gradient) {
    VANTELO_ASSIGN_OR_RETURN(value, expectation_with_context(circuit, params, observable, context));
    list_rotations(circuit, scratch.rotations);
    start_gradient(gradient, scratch);
    Rng& rng = thread_rng();
    for (const std::size_t i : scratch.rotations) {
        double e[2] = {0.0, 0.0};
        for (int side = 0; side < 2; ++side) {
            prepare_context(circuit, context);
            VANTELO_TRY(run_steps(circuit, params, context.state, 0, i, &rng, all_qubits(circuit.num_qubits)));
            VANTELO_TRY(run_shifted(circuit, params, i, side == 0 ? kParameterShift : -kParameterShift,
                                    context.state, &rng));
            VANTELO_ASSIGN_OR_RETURN(e[side],
                                     expectation_in(context.state, observable, circuit.numerics.sums));
        }
        add_term(circuit, gradient, scratch, std::get<ParamOp>(circuit.ops[i]).slot, e[0], e[1]);
    }
    finish_gradient(circuit, gradient, scratch);
    return {};
}

Status value_and_gradient_into(const CompiledCircuit& circuit, std::span<const float> params,
                               const Observable& observable, ExecutionContext& context,
                               GradientScratch& scratch, float& value, std::span<float> gradient) {
    if (params.size() != circuit.parameter_count)
        return fail(msg::parameter_length(params.size(), circuit.parameter_count));
    VANTELO_TRY(check_observable_qubits(observable, circuit.num_qubits));
    list_rotations(circuit, scratch.rotations);
    if (scratch.rotations.empty() || has_random_steps(circuit) ||
        circuit.num_qubits > kMaxSharedPrefixQubits || !ensure_width(scratch.work, circuit.num_qubits)) {
        scratch.work = StateVector{};
        return plain_rule_into(circuit, params, observable, context, scratch, value, gradient);
    }
    start_gradient(gradient, scratch);
    return checkpointed_rule(circuit, params, observable, context, scratch, value, gradient);
}

Result<ValueAndGradient> value_and_gradient_with_context(const CompiledCircuit& circuit,
                                                         std::span<const float> params,
                                                         const Observable& observable,
                                                         ExecutionContext& context) {
    ValueAndGradient result;
    result.gradient = AlignedArray<float>::zeroed(circuit.parameter_count);
    GradientScratch scratch;
    VANTELO_TRY(value_and_gradient_into(circuit, params, observable, context, scratch, result.value,
                                        result.gradient.span()));
    return result;
}

Result<ValueAndGradient> value_and_gradient(const CompiledCircuit& circuit,
                                            std::span<const float> params,
                                            const Observable& observable) {
    ExecutionContext context = ExecutionContext::create(circuit.num_qubits);
    return value_and_gradient_with_context(circuit, params, observable, context);
}

Result<AlignedArray<float>> gradient(const CompiledCircuit& circuit, std::span<const float> params,
                                     const Observable& observable) {
    VANTELO_ASSIGN_OR_RETURN(ValueAndGradient result, value_and_gradient(circuit, params, observable));
    return std::move(result.gradient);
}

}  // namespace vantelo::sim
