// A quantum channel as an item of a circuit: plain data. The catalogue that
// builds and checks channels, the draws and the trajectory runner live in
// sim/noise; circuits only carry them.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/gates/gate.hpp"

namespace vantelo::sim {

// Branch k maps the state to branches[k]·ψ (a dense operation on `qubits`,
// first qubit the most significant bit of the matrix index).
//
// Mixture: branches[k] is unitary and is taken with probability weights[k]
// (the Kraus operator is √weights[k]·branches[k]); no norm is needed to draw.
// General: branches[k] are the Kraus operators themselves; weights[k] is a
// lower bound of ⟨ψ|K†K|ψ⟩ over normalised ψ, so a draw below the bounds'
// sum needs no norm either.
struct Channel {
    std::vector<Qubit> qubits;
    bool mixture = false;
    std::vector<double> weights;
    std::vector<Operation> branches;
    // Mixture branches that are exactly the identity (nothing to apply).
    std::vector<std::uint8_t> identity;
    // General: K†K of each branch in double, row-major, 2·dim² reals (re, im).
    std::vector<std::vector<double>> gram;
};

}  // namespace vantelo::sim
