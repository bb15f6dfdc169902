// Superoperators: the matrices that act on a density matrix stored as a
// vector of 2n qubits (see density_matrix.hpp: the row index in the high n
// bits, the column index in the low n bits).
//
// A map ρ ↦ Σ_i K_i ρ K_i† on qubits Q becomes the dense operation
// Σ_i K_i ⊗ conj(K_i) on the targets Q+n ++ Q: its row and column index is
// (r << k) | c, with r and c the local indices of the row and column qubits.
// It is not unitary, so it is built here directly, not through
// Operation::create; the kernels never rely on unitarity.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/gates/channel.hpp"
#include "sim/gates/gate.hpp"

namespace vantelo::sim {

// Σ_i K_i ⊗ conj(K_i) for a channel on a register of n qubits. The sum runs
// in branch order in double precision (a mixture's weights enter exactly)
// and is rounded once to single precision.
Operation channel_superoperator(const Channel& channel, std::uint32_t n);

// A measurement whose outcome is not recorded: the dephasing channel
// {|0⟩⟨0|, |1⟩⟨1|} on qubit q, which keeps the entries whose row and column
// agree on q and zeroes the others.
Operation dephasing_superoperator(Qubit q, std::uint32_t n);

// Reset of qubit q to |0⟩: the channel {|0⟩⟨0|, |0⟩⟨1|}.
Operation reset_superoperator(Qubit q, std::uint32_t n);

}  // namespace vantelo::sim
