// Classical control inside trajectories: a gate that runs only when earlier
// measurement outcomes of the same trajectory say so. Outcomes are named by
// their position in the trajectory's record (the k-th measurement of the
// circuit is outcome k), so a condition means the same thing in every
// trajectory whatever its draws.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "sim/exec/circuit.hpp"
#include "sim/result.hpp"

namespace vantelo::sim {

// Outcome `outcome` of the record equals `value`. Converts from a bare
// index, which tests for 1.
struct OutcomeIs {
    OutcomeIs(std::size_t k, bool v = true) : outcome(k), value(v) {}
    std::size_t outcome;
    bool value;
};

// Gate `gate` of a circuit runs only when every group holds at least one
// test that passes (a group of one test is a plain test of that bit).
struct GateCondition {
    std::size_t gate = 0;
    std::vector<std::vector<OutcomeIs>> groups;
};

// Each condition names a unitary gate of the circuit, no gate twice, and
// only measurements that come before its gate.
Status check_conditions(const Circuit& circuit, std::span<const GateCondition> conditions);

bool condition_holds(const GateCondition& condition, const std::vector<bool>& outcomes);

}  // namespace vantelo::sim
