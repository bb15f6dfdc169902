// The unitarity test of the gate constructors, blocked: the answer of the
// plain test (is_unitary) for every input, in a fraction of its time.
//
// Why the answer is the same: entry (j, i) of M·M† sums the same products as
// entry (i, j) with the imaginary parts' difference taken the other way
// round, so it is the conjugate of (i, j) bit for bit up to the sign of zero
// (a − b = −(b − a) under round-to-nearest, NaN stays NaN), and the distance
// test, hypot of the parts, ignores signs. So the diagonal is tested first
// (O(dim²), it refuses most matrices that are far from unitary) and then
// only the entries above it, each computed by the blocked kernels with the
// plain test's bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "sim/amplitude.hpp"
#include "sim/result.hpp"

namespace vantelo::sim {

// The plain test's verdict on one sum: its distance from e (1 on the
// diagonal, 0 elsewhere) is above the tolerance. NaN distances never fail.
inline bool gram_entry_fails(Amplitude s, float e) { return std::hypot(s.re - e, s.im) > 0.001f; }

// Which block kernels run: the process's choice (kernel_choice()) or, for
// the tests, either set.
enum class GramKernels { Chosen, Portable, Avx2 };

// Matrices from this dim up are tested blocked; smaller ones with the plain
// loop, which costs less than setting up a tile.
inline constexpr std::size_t kBlockedUnitaryDim = 16;

// Rows and columns per tile: matrices wider than this spread their tiles
// over the pool.
inline constexpr std::size_t kUnitaryTile = 64;

// is_unitary's answer for M (dim × dim, row-major), or stopped_error() once
// the stop poll (at least every few milliseconds of work, on every thread)
// says stop. The tiles above the diagonal are items of one pool loop in a
// fixed order; the first failing entry any of them finds ends the loop.
// Avx2 needs a CPU with AVX2 (it falls back to Portable in builds without
// the AVX2 kernels).
Result<bool> unitary_blocked(std::span<const Amplitude> m, std::size_t dim,
                             GramKernels kernels = GramKernels::Chosen);

// Entries (i, j), j ≥ i, of M·M† as the blocked test computes them, written
// to out[i·dim + j] (the others are left as they are); serial. For the tests.
void gram_upper_blocked(std::span<const Amplitude> m, std::size_t dim, GramKernels kernels,
                        Amplitude* out);

}  // namespace vantelo::sim
