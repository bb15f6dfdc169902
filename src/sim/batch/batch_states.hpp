// Final state vectors of one compiled plan for a batch of parameter vectors,
// for callers that need whole states per row (sampling with their own random
// source). Rows run in parallel on the worker pool; row r's state is exactly
// what run_statevector gives for it.
#pragma once

#include <cstddef>
#include <span>

#include "sim/aligned_array.hpp"
#include "sim/amplitude.hpp"
#include "sim/exec/compiled.hpp"
#include "sim/result.hpp"

namespace vantelo::sim {

// rows × 2^num_qubits amplitudes, row-major, in row order. The batch holds
// rows × parameter_count values; a circuit without parameters takes any
// batch and repeats its one state.
Result<AlignedArray<Amplitude>> batch_statevectors(const CompiledCircuit& circuit,
                                                   std::span<const float> batch, std::size_t rows);

}  // namespace vantelo::sim
