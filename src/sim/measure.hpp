// Measurement, reset and whole-register sampling.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/result.hpp"
#include "sim/rng.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {

// Projective measurement of qubit q with collapse; returns the outcome.
Result<bool> measure_qubit(StateVector& state, Qubit q, Rng& rng);

// Measures q and flips it back to 0 when the outcome was 1.
Status reset_qubit(StateVector& state, Qubit q, Rng& rng);

// `shots` basis-state indices drawn from |amplitude|² without changing the
// state. Unusable weights (NaN, all zero) are an internal fault naming the
// kind: "InvalidWeight", "AllWeightsZero", "NoItem".
std::vector<std::uint64_t> measure(const StateVector& state, std::uint64_t shots);

}  // namespace vantelo::sim
