// Expectation values with their gradients by the parameter-shift rule: for
// each parameter k, E at θ with θ_k + s and with θ_k − s (s = π/2 in single
// precision), and g_k = (E₊ − E₋) · 0.5.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/aligned_array.hpp"
#include "sim/exec/compiled.hpp"
#include "sim/observables/observable.hpp"
#include "sim/result.hpp"

namespace vantelo::sim {

inline constexpr float kParameterShift = 1.5707964f;  // π/2 rounded to single precision

struct ValueAndGradient {
    float value = 0.0f;
    AlignedArray<float> gradient;  // parameter_count entries
};

// Memory a gradient computation reuses between calls: the shifted parameter
// copy, the plan's first-use table, and up to two state vectors beyond the
// context's. A batch keeps one per piece so its rows allocate nothing.
struct GradientScratch {
    std::vector<float> shifted;
    std::vector<std::size_t> first_use;
    std::vector<std::uint32_t> order;
    StateVector work;
    StateVector keep;
};

// Checks the parameter length, then the observable's qubits against the
// circuit's width, before anything runs. Afterwards the context's state is
// that of the last shifted run (parameter P − 1 shifted by −s), or the state
// at params when P = 0. gradient.size() must be parameter_count.
Status value_and_gradient_into(const CompiledCircuit& circuit, std::span<const float> params,
                               const Observable& observable, ExecutionContext& context,
                               GradientScratch& scratch, float& value, std::span<float> gradient);

Result<ValueAndGradient> value_and_gradient_with_context(const CompiledCircuit& circuit,
                                                         std::span<const float> params,
                                                         const Observable& observable,
                                                         ExecutionContext& context);

// The same with a temporary context of the circuit's width.
Result<ValueAndGradient> value_and_gradient(const CompiledCircuit& circuit,
                                            std::span<const float> params,
                                            const Observable& observable);

// value_and_gradient without the value.
Result<AlignedArray<float>> gradient(const CompiledCircuit& circuit, std::span<const float> params,
                                     const Observable& observable);

}  // namespace vantelo::sim
