// The block partials of the adjoint method's inner products with
// double-precision sums (SumPrecision::Float64): the blocks (at most 256
// amplitudes) and the single-precision addends of adjoint_products.hpp (one
// rounding each, which averages out over a sum), added as there in eight
// single-precision chains (index mod 8) from +0 in increasing index, so
// each chain adds at most 32 addends and its rounding stays near theirs;
// the chains are widened exactly and added in double in add_lanes' tree,
// and the blocks combine in double in block order, so the pool's size never
// changes a bit. Adding the blocks in double is what removes the growth of
// the error with the register (widening every 64 amplitudes instead gave
// the same errors to two digits, at about a fifth more time in this
// kernel), and the addends cost what the single-precision kernels' do.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/amplitude.hpp"
#include "sim/exec/circuit_spec.hpp"

namespace vantelo::sim {

// ψ's norm squared is taken where the sweep meets rotation r (counted from
// the end of the plan) when r is a multiple of kWideNormEvery, and the
// contributions up to the next such rotation are divided by it. Between two
// of them the norm moves by the rounding of a few gates only (about 1e-8
// each), far below what a contribution resolves, and the sweep skips most
// of the norms' sums.
inline constexpr std::size_t kWideNormEvery = 8;

inline bool wide_norm_at(std::size_t r) { return r % kWideNormEvery == 0; }

// For blocks [block_begin, block_end): products[b] the sum that
// generator_partials forms in single precision, and, unless norms is null,
// norms[b] the block's share of ψ's norm squared, Σ|ψ_y|² over the
// amplitudes y its addends read (the partners x ^ bit for Rx and Ry, x
// itself for Rz and P, for every x of the block, P's included where the bit
// is clear), each |ψ_y|² formed and added in single precision, in eight
// chains (index mod 8) that are widened and added in double in the
// products' tree. Over all blocks every amplitude counts
// once. The scalar reference:
void wide_generator_partials_scalar(const Amplitude* phi, const Amplitude* psi,
                                    std::uint32_t num_qubits, RotationKind kind, Qubit q,
                                    std::size_t block_begin, std::size_t block_end,
                                    double* products, double* norms);

// The same, bit for bit, eight amplitudes per AVX2 register. Needs at least
// three qubits and a CPU with AVX2.
void wide_generator_partials_avx2(const Amplitude* phi, const Amplitude* psi,
                                  std::uint32_t num_qubits, RotationKind kind, Qubit q,
                                  std::size_t block_begin, std::size_t block_end, double* products,
                                  double* norms);

// The fastest of the two that applies.
void wide_generator_partials(const Amplitude* phi, const Amplitude* psi, std::uint32_t num_qubits,
                             RotationKind kind, Qubit q, std::size_t block_begin,
                             std::size_t block_end, double* products, double* norms);

// The first of `count` block values plus each later one in block order.
double wide_combine_blocks(const double* values, std::size_t count);

// A rotation's contribution from its combined product and the norm squared
// in force: the product, times −2 for P, divided by the norm. The sweep
// un-applies rounded gates from ψ and φ alike, which scales both by the
// same coherent drift of the norm (each rotation's rounded cosine and sine
// scale every vector by cos² + sin²); the exact circuit keeps ψ's norm at 1.
double wide_contribution(RotationKind kind, double product, double norm_squared);

}  // namespace vantelo::sim
