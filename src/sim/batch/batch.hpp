// Evaluation of one compiled plan for a batch of parameter vectors: R rows
// of parameter_count floats, row-major. Rows run in parallel on the worker
// pool; each piece of rows reuses one execution context, and every row gives
// exactly what the single-vector operation gives for it.
#pragma once

#include <cstddef>
#include <span>

#include "sim/aligned_array.hpp"
#include "sim/exec/compiled.hpp"
#include "sim/observables/observable.hpp"
#include "sim/result.hpp"

namespace vantelo::sim {

struct BatchValuesAndGradients {
    AlignedArray<float> values;     // one per row
    AlignedArray<float> gradients;  // rows × parameter_count, row-major
};

// The expectation value of every row, in row order.
Result<AlignedArray<float>> batch_expectation(const CompiledCircuit& circuit,
                                              std::span<const float> batch, std::size_t rows,
                                              const Observable& observable);

// Every row's value and gradient, in row order.
Result<BatchValuesAndGradients> batch_value_and_gradient(const CompiledCircuit& circuit,
                                                         std::span<const float> batch,
                                                         std::size_t rows,
                                                         const Observable& observable);

// The same by adjoint differentiation. Plans with measurements or resets are
// refused after the observable's check, before any row runs.
Result<BatchValuesAndGradients> batch_adjoint_value_and_gradient(const CompiledCircuit& circuit,
                                                                 std::span<const float> batch,
                                                                 std::size_t rows,
                                                                 const Observable& observable);

}  // namespace vantelo::sim
