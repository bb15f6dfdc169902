// The block partials of the adjoint method's inner products with
// double-precision sums (SumPrecision::Float64): the blocks of
// adjoint_products.hpp, each addend formed from the exact double products of
// the amplitudes' parts, and inside a block four chains (index mod 4) that
// each add in increasing index from +0, giving
// (chain0 + chain1) + (chain2 + chain3). The partials combine in block
// order, so the pool's size never changes a bit.
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

// The same, bit for bit, four amplitudes per AVX2 register. Needs at least
// two qubits and a CPU with AVX2.
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
