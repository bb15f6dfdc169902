// One-off circuits: an immutable list of gates run against a state vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "sim/gates/gate.hpp"
#include "sim/result.hpp"
#include "sim/measure/rng.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {

struct MeasurementOutcome {
    Qubit qubit;
    bool outcome;
};
using MeasurementRecord = std::vector<MeasurementOutcome>;

struct Circuit {
    // Lists with more one-qubit operations than this are fused.
    static constexpr std::ptrdiff_t kFusionThreshold = 15;

    std::vector<Gate> gates;

    // Fuses the list when it holds more than 15 one-qubit operations.
    static Circuit create(std::vector<Gate> gates);
};

// Applies the items in order; stops at the first failing item.
// Draws from the calling thread's generator, obtained once per run.
Result<MeasurementRecord> run_circuit(const Circuit& circuit, StateVector& state);
// The same with a supplied generator.
Result<MeasurementRecord> run_circuit(const Circuit& circuit, StateVector& state, Rng& rng);

}  // namespace vantelo::sim
