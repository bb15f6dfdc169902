// Fusion of stretches of unitary gates into dense blocks of at most k qubits
// (the fusion=k option). Block matrices are products formed in double
// precision and rounded once to single precision, so a fused circuit's
// values differ from gate-by-gate evaluation by rounding: docs/numerics.md
// gives the measured error. The result depends on the gate list and k only.
#pragma once

#include <span>
#include <vector>

#include "sim/gates/gate.hpp"

namespace vantelo::sim {

inline constexpr unsigned kMinFusionQubits = 2;
inline constexpr unsigned kMaxFusionQubits = 5;

// Walks the list once, keeping open blocks on disjoint qubits. Measurements,
// resets, barriers and operations on more than max_qubits qubits close every
// open block and keep their place. A unitary joins the open blocks it
// touches when the union of their qubits has at most max_qubits and the cost
// model says the product is no dearer than they and the gate apart;
// otherwise those blocks are closed and the gate opens a new one. A closed
// block is emitted as one dense operation when that is cheaper than its
// gates, else as its gates unchanged (a lone gate always stays as it is).
// Gates move only past gates on other qubits. The costs are the measured
// cycles per amplitude of each kernel inside a cache block (block_fusion.cpp).
// With `kraus`, operations may be drawn Kraus operators of a trajectory
// (not unitary), and a block's product is emitted without the unitarity
// check of Operation::create.
std::vector<Gate> fuse_blocks(std::span<const Gate> gates, unsigned max_qubits, bool kraus = false);

}  // namespace vantelo::sim
