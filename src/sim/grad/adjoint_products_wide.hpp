// The block partials of the adjoint method's inner products with
// double-precision sums (SumPrecision::Float64): the blocks and the
// single-precision addends of adjoint_products.hpp (one rounding each, which
// averages out over a sum), each widened exactly to double and added into
// one of eight double chains (index mod 8) in increasing index from +0; the
// chains add in add_lanes' tree, in double. The partials combine in block
// order, so the pool's size never changes a bit. Adding in double is what
// removes the growth of the error with the register; the addends cost what
// the single-precision kernels' do.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/amplitude.hpp"
#include "sim/exec/circuit_spec.hpp"

namespace vantelo::sim {

// partials[b] for blocks [block_begin, block_end): the sums that
// generator_partials forms in single precision. The scalar reference:
void wide_generator_partials_scalar(const Amplitude* phi, const Amplitude* psi,
                                    std::uint32_t num_qubits, RotationKind kind, Qubit q,
                                    std::size_t block_begin, std::size_t block_end,
                                    double* partials);

// The same, bit for bit, eight amplitudes per AVX2 register. Needs at least
// three qubits and a CPU with AVX2.
void wide_generator_partials_avx2(const Amplitude* phi, const Amplitude* psi,
                                  std::uint32_t num_qubits, RotationKind kind, Qubit q,
                                  std::size_t block_begin, std::size_t block_end, double* partials);

// The fastest of the two that applies.
void wide_generator_partials(const Amplitude* phi, const Amplitude* psi, std::uint32_t num_qubits,
                             RotationKind kind, Qubit q, std::size_t block_begin,
                             std::size_t block_end, double* partials);

// The partials combined in block order, times −2 for P.
double wide_combine_partials(RotationKind kind, const double* partials, std::size_t count);

}  // namespace vantelo::sim
