// Item lists run as a tree. Lists of one call that start alike (the
// trajectories of a weak channel, which agree up to their first drawn
// branch) apply their common prefix once: the state after a prefix is a
// fixed function of its items, since the executor gives every amplitude the
// same arithmetic however a list is cut into runs (up to the sign of zero,
// which no nonzero value inherits). The state at a branching point is kept
// as a copy under a memory budget; without room, a branch recomputes from
// the deepest copy it has. A copy costs about a pass over the state; the
// trajectories of a weak channel branch off a chain of ever longer prefixes,
// which needs one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "sim/exec/schedule.hpp"
#include "sim/result.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {

// A total order of executor items (0 for equal ones): the same kind, qubit
// and matrix bits; operations equal by their targets, controls and matrix
// bits, so equal blocks of two fused plans compare equal.
int compare_items(const ExecItem& a, const ExecItem& b);

// What a tree run did, in items: `applied` ran, `total` would have run one
// list at a time.
struct PrefixTreeWork {
    std::size_t lists = 0;
    std::size_t applied = 0;
    std::size_t total = 0;
    std::size_t copies = 0;
};

// The lists' indices in lexicographic order: lists that share a prefix
// come together.
std::vector<std::size_t> prefix_order(std::span<const std::vector<ExecItem>> lists);

// Applies every list (unitary items only) to a copy of `start` (|0…0⟩ of n
// qubits when null), keeping at most `copies` copies of the state at
// branching points (fewer where they would pass 512 MiB), and calls
// visit(i, state) with the state after list i, which visit may change; the
// lists are visited in their lexicographic order. The first error stops the
// run.
using PrefixVisit = std::function<Status(std::size_t, StateVector&)>;
Status run_prefix_tree(std::span<const std::vector<ExecItem>> lists, std::uint32_t n,
                       const StateVector* start, std::size_t copies, const PrefixVisit& visit,
                       PrefixTreeWork* work = nullptr);

}  // namespace vantelo::sim
