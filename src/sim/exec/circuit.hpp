// One-off circuits: an immutable list of gates run against a state vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "sim/gates/gate.hpp"
#include "sim/numerics.hpp"
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
    Numerics numerics;
    // The gates as the caller listed them, kept when `gates` differs from
    // them (fused): classical conditions name gates by their place in the
    // caller's list.
    std::vector<Gate> listed = {};
    // Read from a stored form whose list is not the caller's (fused before
    // it was stored, or with runs of barriers merged): its gates cannot be
    // named by place.
    bool renumbered = false;

    // Fuses the list when it holds more than 15 one-qubit operations, or,
    // with numerics.fusion set, into dense blocks (fuse_blocks) that are then
    // reordered to take fewer passes (reorder_for_passes); a fused circuit
    // keeps the list as given in `listed`.
    static Circuit create(std::vector<Gate> gates, Numerics numerics = {});
};

// The gates in the caller's order: `listed` when the circuit was fused.
inline const std::vector<Gate>& listed_gates(const Circuit& circuit) {
    return circuit.listed.empty() ? circuit.gates : circuit.listed;
}

// Applies the items in order; stops at the first failing item.
// Draws from the calling thread's generator, obtained once per run.
// Runs on the cache-blocked executor: the values, the draws and their order
// are those of run_circuit_per_gate.
Result<MeasurementRecord> run_circuit(const Circuit& circuit, StateVector& state);
// The same with a supplied generator; zero_qubits as for run_items (on a
// fresh state, all_qubits).
Result<MeasurementRecord> run_circuit(const Circuit& circuit, StateVector& state, Rng& rng,
                                      std::size_t zero_qubits = 0);

// The reference: one full pass over the state per item, in item order.
Result<MeasurementRecord> run_circuit_per_gate(const Circuit& circuit, StateVector& state, Rng& rng);

// The passes over the state that run_circuit makes for a register of n
// qubits with the current pool (items up to the first that fails its
// checks).
std::size_t circuit_passes(const Circuit& circuit, std::uint32_t num_qubits);

}  // namespace vantelo::sim
