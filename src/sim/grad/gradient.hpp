// Expectation values with their gradients by the parameter-shift rule, one
// rotation at a time: for each parameterized rotation r (plan order), E with
// r alone turned by +s and by −s (s = π/2 in single precision) gives the
// term (E₊ − E₋) · 0.5, and g_k is the single-precision sum, in plan order,
// of the terms of the rotations that read parameter k (0 when there are
// none). A call makes 1 + 2M runs for M parameterized rotations.
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

// Memory a gradient computation reuses between calls: the plan's rotation
// positions, which entries have a first term, and one state vector beyond
// the context's. A batch keeps one per piece so its rows allocate nothing.
struct GradientScratch {
    std::vector<std::size_t> rotations;
    std::vector<std::uint8_t> started;
    std::vector<double> wide;  // per parameter, with Float64 sums
    StateVector work;
};

// Checks the parameter length, then the observable's qubits against the
// circuit's width, before anything runs. Afterwards the context's state is
// that of the last run made: the −s run of the plan's last parameterized
// rotation, or the run at params when there is none. gradient.size() must be
// parameter_count.
Status value_and_gradient_into(const CompiledCircuit& circuit, std::span<const float> params,
                               const Observable& observable, ExecutionContext& context,
                               GradientScratch& scratch, float& value, std::span<float> gradient);

// The same values by runs from |0…0⟩ only (no shared prefix): the path of
// plans with measurements or resets and of very wide registers, callable on
// its own so both paths can be compared. Does not check its arguments.
Status plain_rule_into(const CompiledCircuit& circuit, std::span<const float> params,
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
