// Double-precision block values of diagonal terms (Z strings and the
// identity: no X or Y factor) in one sweep for all of them. A diagonal
// term's addend at b is ±p_b with p_b = |ψ_b|² formed in double (both
// squares exact, one rounding in their sum), so over a block of len
// amplitudes at first
//   S_t = ± Σ_j p_{first+j} · (−1)^popcount(j & parity_t)
// with the sign of negated and of parity(first & parity_t). Every such sum
// is one entry of the Walsh–Hadamard transform of the block's p, formed in
// place by the butterflies
//   (a, b) → (a + b, a − b) at (j, j | s), j & s = 0,
// for s = 1, 2, 4, …, len/2 in that order; entry m is then the sum for the
// low parity m, each entry a tree of log2(len) double additions. One
// transform costs about log2(len) additions per amplitude whatever the
// number of terms, where a sweep per term costs one addend per amplitude
// each, so observables with many diagonal terms take this path
// (kDiagonalSweepMinTerms).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/amplitude.hpp"
#include "sim/observables/expectation_kernels.hpp"

namespace vantelo::sim {

// From this many diagonal terms (the norm's identity included) a block's
// diagonal terms share one transform.
inline constexpr std::size_t kDiagonalSweepMinTerms = 4;

inline bool is_diagonal(const PauliTermMasks& m) { return m.flip == 0; }

// out[t] = S_t of the diagonal terms[t], t < count, for the block of len
// amplitudes at first (len a power of two, first a multiple of len); work
// holds len doubles. The scalar reference:
void wide_diagonal_block_sums_scalar(const Amplitude* psi, std::size_t first, std::size_t len,
                                     const PauliTermMasks* terms, std::size_t count, double* work,
                                     double* out);
// The same, bit for bit, four amplitudes per AVX2 register. len ≥ 16; only
// when cpu_has_avx2().
void wide_diagonal_block_sums_avx2(const Amplitude* psi, std::size_t first, std::size_t len,
                                   const PauliTermMasks* terms, std::size_t count, double* work,
                                   double* out);

// The block's entries of the diagonal terms read from the transform in work.
void wide_diagonal_pick(const double* work, std::size_t first, std::size_t len,
                        const PauliTermMasks* terms, std::size_t count, double* out);

}  // namespace vantelo::sim
