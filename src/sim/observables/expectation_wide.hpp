// Expectation values with double-precision sums (SumPrecision::Float64). The
// state stays single precision; each addend of a term's sum (see
// expectation_kernels.hpp) is formed from the exact double products of its
// amplitudes' parts, and the addends are accumulated in double:
//   - the register is cut into blocks of 2^kWideBlockBits amplitudes (the
//     whole register when smaller);
//   - inside a block, four chains (index mod 4) each add their addends in
//     increasing index from +0, and the block's value is
//     (chain0 + chain1) + (chain2 + chain3);
//   - a term's sum is the first block's value plus each later one in block
//     order; the total is Σ coefficient · sum in term order, from +0;
//   - the value is the total divided by the state's norm squared, the sum of
//     the identity, formed in the same pass (see wide_normalised).
// From kDiagonalSweepMinTerms diagonal terms (the identity included) on, the
// diagonal terms' block values come from one transform of the block instead
// (expectation_wide_diagonal.hpp): the same addends, summed in its tree.
// The blocks depend on the register only, so the pool's size never changes
// a bit of the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "sim/amplitude.hpp"
#include "sim/observables/expectation_kernels.hpp"
#include "sim/observables/observable.hpp"

namespace vantelo::sim {

inline constexpr std::uint32_t kWideBlockBits = 12;

// Block values of `count` terms for the block of len amplitudes at first
// (len a power of two no larger than 2^kWideBlockBits, first a multiple of
// len): out[t] for term t. The scalar reference:
void wide_block_sums_scalar(const Amplitude* psi, std::size_t first, std::size_t len,
                            const PauliTermMasks* terms, std::size_t count, double* out);
// The same, bit for bit, four amplitudes per AVX2 register. len ≥ 4; only
// when cpu_has_avx2().
void wide_block_sums_avx2(const Amplitude* psi, std::size_t first, std::size_t len,
                          const PauliTermMasks* terms, std::size_t count, double* out);

// The number of blocks of a register of n qubits.
std::size_t wide_blocks(std::uint32_t num_qubits);

// The block values of blocks [begin, end) of the register, all terms:
// partials[k · T + t] for block k and term t (T = terms.size()).
void wide_block_partials(const Amplitude* psi, std::uint32_t num_qubits,
                         std::span<const PauliTermMasks> terms, std::size_t begin, std::size_t end,
                         double* partials);

// sums[t] from the partials of every block, combined in block order.
void wide_combine(const double* partials, std::size_t blocks, std::size_t count, double* sums);

// sums[t] for every term over the whole register, the blocks on the pool
// from 2^14 amplitudes.
void wide_term_sums(const Amplitude* psi, std::uint32_t num_qubits,
                    std::span<const PauliTermMasks> terms, double* sums);

// Σ coefficient · sums[t] in term order, in double.
double wide_expectation_total(const Observable& observable, std::span<const double> sums);

// Appends the identity's masks to masks (an observable's, in term order)
// unless a term there is the identity already, and returns the index of the
// identity: its sum is Σ|ψ_b|², the norm squared of the state.
std::size_t with_norm_term(std::vector<PauliTermMasks>& masks);

// total / norm_squared, or total when the norm is zero. Each rotation's
// cosine and sine are rounded to float32 once and applied to every
// amplitude alike, so the float32 state's norm drifts coherently, by about
// 1e-6 after a few hundred gates, and would scale every value by that much;
// the states this divides are all ones the exact circuit keeps normalised.
double wide_normalised(double total, double norm_squared);

// The expectation with wide sums, checked as expectation() checks.
Result<double> wide_expectation(const StateVector& state, const Observable& observable);

}  // namespace vantelo::sim
