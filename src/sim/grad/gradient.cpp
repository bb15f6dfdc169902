#include "sim/grad/gradient.hpp"

#include <cstring>
#include <new>
#include <utility>

#include "sim/messages.hpp"

namespace vantelo::sim {

namespace {

// Shared prefixes hold up to two state vectors besides the context's; above
// this width (2 GiB per state) the plain rule's single state is kept.
constexpr std::uint32_t kMaxSharedPrefixQubits = 28;

// The rule as stated: 1 + 2P complete runs from |0…0⟩ in the context. Plans
// with measurements or resets take this path, since their runs are random.
Status plain_rule(const CompiledCircuit& circuit, std::span<const float> params,
                  const Observable& observable, ExecutionContext& context, GradientScratch& scratch,
                  float& value, std::span<float> gradient) {
    VANTELO_ASSIGN_OR_RETURN(value, expectation_with_context(circuit, params, observable, context));
    std::vector<float>& v = scratch.shifted;
    v.assign(params.begin(), params.end());
    for (std::size_t k = 0; k < v.size(); ++k) {
        const float t = v[k];
        v[k] = t + kParameterShift;
        VANTELO_ASSIGN_OR_RETURN(const float plus,
                                 expectation_with_context(circuit, v, observable, context));
        v[k] = t + (-kParameterShift);
        VANTELO_ASSIGN_OR_RETURN(const float minus,
                                 expectation_with_context(circuit, v, observable, context));
        v[k] = t;
        gradient[k] = (plus - minus) * 0.5f;
    }
    return {};
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

// Continues the prefix state (the run at unshifted parameters up to step
// `from`) with the shifted vector v through the rest of the plan, in `out`.
Result<float> shifted_run(const CompiledCircuit& circuit, std::span<const float> v,
                          const Observable& observable, const StateVector& prefix, std::size_t from,
                          StateVector& out) {
    std::memcpy(out.amplitudes.data(), prefix.amplitudes.data(),
                prefix.size() * sizeof(Amplitude));
    VANTELO_TRY(run_steps(circuit, v, out, from, circuit.ops.size(), nullptr));
    return expectation(out, observable);
}

// The rule with shared prefixes. Shifting parameter k changes nothing before
// the first step that reads it, and every step is a deterministic function
// of its input state and parameters, so a shifted run can start from a copy
// of the unshifted run at that step and still produce exactly the floats of
// a run from |0…0⟩. One unshifted prefix state advances through the plan
// (parameters in order of first use) and ends as the state at params.
Status checkpointed_rule(const CompiledCircuit& circuit, std::span<const float> params,
                         const Observable& observable, ExecutionContext& context,
                         GradientScratch& scratch, float& value, std::span<float> gradient) {
    const std::size_t num_steps = circuit.ops.size();
    const std::uint32_t count = circuit.parameter_count;
    std::vector<std::size_t>& first_use = scratch.first_use;
    std::vector<std::uint32_t>& order = scratch.order;
    first_use.assign(count, num_steps);
    order.clear();
    for (std::size_t i = 0; i < num_steps; ++i)
        if (const auto* p = std::get_if<ParamOp>(&circuit.ops[i]))
            if (first_use[p->slot] == num_steps) {
                first_use[p->slot] = i;
                order.push_back(p->slot);
            }

    // The context must end with the last parameter's −s run. When that
    // parameter is not the last one visited, its run is kept aside.
    const std::uint32_t last = count - 1;
    const bool last_used = first_use[last] < num_steps;
    const bool keep_last = last_used && order.back() != last;
    const std::uint32_t n = circuit.num_qubits;
    if ((!order.empty() && !ensure_width(scratch.work, n)) ||
        (keep_last && !ensure_width(scratch.keep, n))) {
        scratch.work = StateVector{};
        scratch.keep = StateVector{};
        return plain_rule(circuit, params, observable, context, scratch, value, gradient);
    }

    prepare_context(circuit, context);
    StateVector& prefix = context.state;
    std::vector<float>& v = scratch.shifted;
    v.assign(params.begin(), params.end());
    std::size_t done = 0;
    for (const std::uint32_t k : order) {
        const std::size_t from = first_use[k];
        VANTELO_TRY(run_steps(circuit, params, prefix, done, from, nullptr));
        done = from;
        const float t = v[k];
        v[k] = t + kParameterShift;
        VANTELO_ASSIGN_OR_RETURN(const float plus,
                                 shifted_run(circuit, v, observable, prefix, from, scratch.work));
        StateVector& minus_state = keep_last && k == last ? scratch.keep : scratch.work;
        v[k] = t + (-kParameterShift);
        VANTELO_ASSIGN_OR_RETURN(const float minus,
                                 shifted_run(circuit, v, observable, prefix, from, minus_state));
        v[k] = t;
        gradient[k] = (plus - minus) * 0.5f;
    }
    VANTELO_TRY(run_steps(circuit, params, prefix, done, num_steps, nullptr));
    VANTELO_ASSIGN_OR_RETURN(value, expectation(prefix, observable));
    // An unused parameter's shifted runs are the run at params itself.
    for (std::uint32_t k = 0; k < count; ++k)
        if (first_use[k] == num_steps) gradient[k] = (value - value) * 0.5f;
    if (last_used) std::swap(context.state, keep_last ? scratch.keep : scratch.work);
    return {};
}

}  // namespace

Status value_and_gradient_into(const CompiledCircuit& circuit, std::span<const float> params,
                               const Observable& observable, ExecutionContext& context,
                               GradientScratch& scratch, float& value, std::span<float> gradient) {
    if (params.size() != circuit.parameter_count)
        return fail(msg::parameter_length(params.size(), circuit.parameter_count));
    VANTELO_TRY(check_observable_qubits(observable, circuit.num_qubits));
    if (circuit.parameter_count == 0 || has_random_steps(circuit) ||
        circuit.num_qubits > kMaxSharedPrefixQubits)
        return plain_rule(circuit, params, observable, context, scratch, value, gradient);
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
