// The controlled kernel: an operation with controls (Operation::controls)
// applied without its dense expansion. Memory is O(4^targets) for the matrix
// plus O(2^targets) scratch per worker; time is one read of every amplitude
// (the finiteness test) and the target update of those whose controls are
// all 1.
//
// A dense group is one setting of the bits outside controls ∪ targets: the
// 2^(c+t) amplitudes the expanded matrix would mix. When all of a group's
// amplitudes are finite, the expanded sums reduce exactly to U's sums on the
// block where every control is 1 (the zero entries before the block add ±0
// to +0) and to the unchanged amplitude elsewhere (1·x plus ±0 terms), so
// the results agree with the expansion up to the sign of zero. A group with
// an infinity or a NaN takes the expanded sums instead, evaluated term by
// term in column order without building the matrix.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/amplitude.hpp"
#include "sim/gates/gate.hpp"

namespace vantelo::sim {

// Groups [group_begin, group_end) of `op` (validated, with controls) on a
// 2^num_qubits amplitude array; groups in increasing order of their base.
void controlled_groups_scalar(Amplitude* a, const Operation& op, std::size_t group_begin,
                              std::size_t group_end);

// The whole operation on the worker pool.
void apply_controlled(Amplitude* a, std::uint32_t num_qubits, const Operation& op);

}  // namespace vantelo::sim
