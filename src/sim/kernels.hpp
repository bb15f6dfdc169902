// Gate application kernels. The scalar versions are the reference; faster
// paths must give the same values (up to the sign of zero).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/amplitude.hpp"
#include "sim/gate.hpp"
#include "sim/gate_catalog.hpp"

namespace vantelo::sim {

// One-qubit update of the chunks [chunk_begin, chunk_end) of length 2^(q+1):
// within a chunk, pair j (j < 2^q) is (j, j + 2^q) and
//   y0 = m00·x0 + m01·x1, y1 = m10·x0 + m11·x1.
void apply_single_qubit_chunks_scalar(Amplitude* a, Qubit q, const Matrix2& m,
                                      std::size_t chunk_begin, std::size_t chunk_end);

// The whole one-qubit update on the worker pool, dispatched to the fastest
// kernel this CPU supports.
void apply_single_qubit_kernel(Amplitude* a, std::uint32_t num_qubits, Qubit q, const Matrix2& m);

// The dense path for an operation on k targets (validated by the caller):
// every output amplitude is Σ_col M[row][col]·a[idx(col)], summed from +0 in
// increasing column order.
void apply_general(Amplitude* a, std::uint32_t num_qubits, const Operation& op);

}  // namespace vantelo::sim
