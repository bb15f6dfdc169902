// Fusion of adjacent one-qubit operations on the same qubit.
#pragma once

#include <span>
#include <vector>

#include "sim/gates/gate.hpp"

namespace vantelo::sim {

// Multiplies every run of adjacent one-qubit operations on one qubit into a
// single operation (later · earlier). Everything else keeps its place.
std::vector<Gate> fuse_gates(std::span<const Gate> gates);

}  // namespace vantelo::sim
