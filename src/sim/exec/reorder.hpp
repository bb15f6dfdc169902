// Reordering of a fused circuit so that one pass over the state covers more
// of its gates. Two gates on disjoint qubits commute in exact arithmetic but
// not bit for bit in single precision, so only fused lists (fusion=k, whose
// error is bounded in docs/numerics.md) are reordered; the exact path keeps
// the order it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/gates/gate.hpp"

namespace vantelo::sim {

// The block width the reordering plans for. It is fixed, not read from the
// machine's cache, so a fused list runs with the same values on every
// machine and pool; the executor's own blocks may be wider or narrower and
// then make somewhat more passes, never different values.
inline constexpr std::uint32_t kReorderQubits = 16;

// Builds segments as the executor's schedule does (a segment's active
// qubits: the first remaining gate's, the low run qubits, then those used
// soonest, one traded for a qubit left out while that lets more gates
// join), and moves forward into each segment every later unitary whose
// qubits are all active and disjoint from those of every gate it passes.
// Measurements, resets, barriers and channels are fences: nothing moves
// past them. Gates sharing a qubit keep their order, so every qubit sees
// its gates in the given order. A register of at most `width` qubits (the
// larger of `num_qubits` and the highest qubit named + 1) is one block, and
// its list is returned as given.
std::vector<Gate> reorder_for_passes(std::vector<Gate> gates, std::uint32_t num_qubits = 0,
                                     std::uint32_t width = kReorderQubits);

// The qubits of a unitary as bits (bit q: qubit q); 0 for a fence (any
// other gate), kUnplanned for a unitary on a qubit above 63.
inline constexpr std::uint64_t kUnplanned = ~std::uint64_t{0};
std::uint64_t qubit_mask(const Gate& gate);

// The order reorder_for_passes gives a list whose entry i acts on the
// qubits of masks[i] (0: a fence); the list is left in its order when an
// entry is kUnplanned.
std::vector<std::size_t> pass_order(std::span<const std::uint64_t> masks, std::uint32_t num_qubits,
                                    std::uint32_t width = kReorderQubits);

}  // namespace vantelo::sim
