// Exact qubit remapping: where each logical qubit currently lives in the
// amplitude array, and the passes that move qubits between bit positions.
// Moving a qubit only permutes amplitudes, so it introduces no rounding.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/amplitude.hpp"
#include "sim/gates/gate.hpp"

namespace vantelo::sim {

// Exchange of the contents of two bit positions of the amplitude index.
struct QubitSwap {
    Qubit a;
    Qubit b;
};

// The logical-to-physical map of a register and its inverse.
struct QubitMap {
    std::vector<Qubit> physical;  // by logical qubit
    std::vector<Qubit> logical;   // by physical position

    static QubitMap identity(std::uint32_t n);

    bool is_identity() const;
    // Records one pass of disjoint swaps of physical positions.
    void apply(std::span<const QubitSwap> swaps);
};

// One pass that exchanges the bit positions of every swap at once (the
// swaps must not share positions). In place: the index permutation is an
// involution, so every amplitude pair is exchanged once, by the piece that
// owns the lower index. Runs on the worker pool.
void permute_qubits(Amplitude* a, std::uint32_t num_qubits, std::span<const QubitSwap> swaps);

// Passes of disjoint swaps (none, one, or two) that bring every logical
// qubit back to its own position. Every permutation is the product of two
// involutions: within a cycle c0 → c1 → … of contents, reflect the cycle
// (c_j ↔ c_−j), then reflect it shifted by one (c_i ↔ c_1−i); one pass
// suffices when every cycle has at most two positions.
std::vector<std::vector<QubitSwap>> restoring_swaps(const QubitMap& map);

}  // namespace vantelo::sim
