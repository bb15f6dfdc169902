// Operations (dense unitaries on ordered target lists) and gates (the items
// of a circuit). In an operation's matrix the first listed target is the most
// significant bit of the row and column index.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "sim/amplitude.hpp"
#include "sim/result.hpp"

namespace vantelo::sim {

using Qubit = std::uint32_t;

struct Operation {
    std::vector<Qubit> targets;
    std::vector<Amplitude> matrix;  // 2^k × 2^k, row-major

    // Checks, in order: targets present, no duplicates, fewer than 32
    // targets, 4^k entries, unitary within 1e-3.
    static Result<Operation> create(std::vector<Qubit> targets, std::vector<Amplitude> matrix);

    std::size_t num_targets() const { return targets.size(); }
};

struct Unitary {
    Operation op;
};
struct Measure {
    Qubit qubit;
};
struct Reset {
    Qubit qubit;
};
struct Barrier {};

// Variants in this order: Unitary, Measure, Reset, Barrier.
using Gate = std::variant<Unitary, Measure, Reset, Barrier>;

// True when M·M† is the identity within 1e-3 entry by entry (NaN distances do
// not fail). dim = 0 is unitary.
bool is_unitary(std::span<const Amplitude> matrix, std::size_t dim);

// The first duplicated qubit of a list (by the first position that has a later
// equal entry), or nothing.
const Qubit* find_duplicate(std::span<const Qubit> qubits);

// Expands U (2^t × 2^t) to one dense operation on controls ++ targets whose
// matrix is the identity except the block where every control is 1.
Result<Gate> make_controlled_unitary_gate(std::vector<Qubit> controls, std::vector<Qubit> targets,
                                          std::vector<Amplitude> matrix);

// The checks of Operation::create for an operation read back from storage.
// When the matrix is the identity outside a trailing 2^t × 2^t block (the form
// controlled gates expand to), the unitarity test runs on that block only:
// the verdict is the same, in O(8^t) instead of O(8^k).
Result<Operation> restore_operation(std::vector<Qubit> targets, std::vector<Amplitude> matrix);

// Wraps a built operation as a Unitary gate, or passes its error on.
Result<Gate> unitary_gate(Result<Operation> op);

// True for a Unitary with one target and a 2 × 2 matrix (the fusable kind).
bool is_single_qubit_unitary(const Gate& gate);

}  // namespace vantelo::sim
