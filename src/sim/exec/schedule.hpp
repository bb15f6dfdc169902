// The items of a run as the executor sees them, and the schedule that turns
// them into passes over the state: cache-blocked segments, remapping passes,
// operations too wide for a block, measurements and resets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/exec/remap.hpp"
#include "sim/gates/gate.hpp"
#include "sim/gates/gate_catalog.hpp"

namespace vantelo::sim {

// One step of a run. A rotation of a compiled plan is a Single item whose
// matrix was computed from its parameter before the run started.
struct ExecItem {
    enum class Kind : std::uint8_t { Single, General, Measure, Reset };
    Kind kind = Kind::Single;
    Qubit qubit = 0;                // Single, Measure, Reset
    Matrix2 matrix{};               // Single
    const Operation* op = nullptr;  // General: borrowed, logical targets
};

struct PlanStep {
    enum class Kind : std::uint8_t { Blocked, Whole, Permute, Measure, Reset };
    Kind kind = Kind::Blocked;
    // Blocked: items [first, last), every qubit below the block width under
    // `map`; Whole: the item `first` on the whole state under `map`;
    // Measure, Reset: the item `first`, in logical order.
    std::size_t first = 0;
    std::size_t last = 0;
    std::vector<Qubit> map;         // logical → physical (Blocked, Whole)
    std::vector<QubitSwap> swaps;   // Permute
};

// Every step is one pass over the state.
struct Schedule {
    std::uint32_t block_qubits = 0;
    std::vector<PlanStep> steps;

    std::size_t passes() const { return steps.size(); }
};

// Plans a run of n qubits in blocks of 2^b amplitudes (b ≤ n). Items whose
// qubits all live below b join the current segment. Otherwise a remapping
// pass moves the item's high qubits into the upper half of the block
// positions (so the pass exchanges long contiguous runs), evicting the
// qubits used furthest in the future, and in the same pass swaps in any
// other high qubit that is needed sooner than the qubit it would evict. An
// item that cannot be brought into a block runs alone on the whole state.
// The logical order is restored before every measurement or reset and at
// the end.
Schedule make_schedule(std::span<const ExecItem> items, std::uint32_t n, std::uint32_t b);

}  // namespace vantelo::sim
