// The items of a run as the executor sees them, and the schedule that turns
// them into passes over the state.
//
// A segment picks b active qubits; its blocks are the sets of 2^b
// amplitudes that share the values of all other qubits. A block is gathered
// into a buffer with the active qubits as its bit positions 0 … b−1 (in
// increasing order), every item of the segment runs on the buffer, and the
// block is scattered back: one pass over the state per segment, whichever
// qubits are active. Moving qubits this way only permutes amplitudes, so it
// introduces no rounding, and the state never leaves its logical order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/gates/gate.hpp"
#include "sim/numerics.hpp"
#include "sim/gates/gate_catalog.hpp"

namespace vantelo::sim {

// One step of a run. A rotation of a compiled plan is a Single item whose
// matrix was computed from its parameter before the run started.
struct ExecItem {
    // Controlled: an operation that keeps its controls (too wide to expand);
    // it takes a pass of its own over the whole state.
    enum class Kind : std::uint8_t { Single, General, Controlled, Measure, Reset };
    Kind kind = Kind::Single;
    Qubit qubit = 0;                // Single, Measure, Reset
    Matrix2 matrix{};               // Single
    const Operation* op = nullptr;  // General, Controlled: borrowed
    SumPrecision sums = SumPrecision::Float32;  // Measure, Reset: how the probability sums
    // General: part of a fused circuit (fusion=k), so a dense matrix of 2 to
    // 5 targets may take the fused kernels (fused_block.hpp).
    bool fused = false;
};

struct PlanStep {
    enum class Kind : std::uint8_t { Blocked, Whole, Measure, Reset };
    Kind kind = Kind::Blocked;
    // Blocked: items [first, last), whose qubits are all active; Whole,
    // Measure, Reset: the item `first` on the whole state.
    std::size_t first = 0;
    std::size_t last = 0;
    std::vector<Qubit> active;  // Blocked: b qubits, increasing
};

// Every step is one pass over the state.
struct Schedule {
    std::uint32_t block_qubits = 0;
    std::vector<PlanStep> steps;
    // The order of the items that the steps count in (their first and last
    // are positions in it): items[order[0]], items[order[1]], …, or the
    // items as given when empty (see make_schedule).
    std::vector<std::size_t> order;

    std::size_t passes() const { return steps.size(); }
    // The index into the items of the one at `position` of the order.
    std::size_t item(std::size_t position) const { return order.empty() ? position : order[position]; }
};

// The low qubits every segment keeps active (fewer for tiny blocks), so a
// gather copies runs of at least 2^3 amplitudes, one 64-byte line.
inline constexpr std::uint32_t kRunQubits = 3;

// Plans a run of n qubits in blocks of 2^b amplitudes (b ≤ n), greedily:
// an item whose qubits are all active joins the current segment; otherwise
// a new segment starts whose active set is the item's qubits, the run
// qubits, and the qubits used soonest after it (Belady's rule; unused
// qubits last, lowest first). Measurements, resets and items too wide for a
// block are steps of their own, and so is a segment of one item.
//
// Without `gather` every segment keeps the low qubits 0 … b−1 active, so its
// blocks are contiguous and run in place; an item on a higher qubit takes a
// pass of its own. That is the better plan for a state that fits in the
// last-level cache, where the copies of a gather cost more than the passes
// they save.
//
// First, each item that only trades values on two qubits ≥ 2 or flips their
// sign (a cx, a swap, a cz: pure swaps of runs) moves, past unitary items on other qubits only, to
// just after the two light one-qubit items on its qubits that last touched
// them, or else to just before the two that next will, where a block then
// runs the three in one sweep. It moves values without rounding, so it
// commutes bit for bit with the items it passes, and the run's values are
// those of the given order. The schedule's order says where it went.
Schedule make_schedule(std::span<const ExecItem> items, std::uint32_t n, std::uint32_t b,
                       bool gather = true);

}  // namespace vantelo::sim
