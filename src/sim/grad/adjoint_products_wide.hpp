// The block partials of the adjoint method's inner products with
// double-precision sums (SumPrecision::Float64): the blocks and the
// single-precision addends of adjoint_products.hpp (one rounding each, which
// averages out over a sum). Each block is cut into stretches of
// kWideStretch amplitudes; over a stretch, eight single-precision chains
// (index mod 8) add their addends in increasing index from +0, so each
// chain adds kWideStretch / 8 of them and its rounding stays near the
// addends' own; each chain is then widened exactly and added into its
// double chain, in stretch order from +0; the double chains add in
// add_lanes' tree. The partials combine in block order, so the pool's size
// never changes a bit. Adding the stretches in double is what removes the
// growth of the error with the register; the single-precision chains make
// the addends cost about what the single-precision kernels' do.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/amplitude.hpp"
#include "sim/exec/circuit_spec.hpp"

namespace vantelo::sim {

// Amplitudes per single-precision stretch: a multiple of 8.
inline constexpr std::size_t kWideStretch = 64;

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
// chains (index mod 8) over the whole block that are widened and added in
// double in the products' tree. Over all blocks every amplitude counts
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
