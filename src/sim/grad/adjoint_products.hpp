// The amplitude loops of adjoint differentiation that are not gate
// applications: φ = H ψ for a Pauli observable, and the block partials of
// the inner products that give a rotation's derivative.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "sim/amplitude.hpp"
#include "sim/cpu/cpu_features.hpp"
#include "sim/exec/circuit_spec.hpp"
#include "sim/observables/expectation_kernels.hpp"

namespace vantelo::sim {

// Inner products are sums of partials over blocks of this many amplitudes
// (fewer when the whole register is smaller), combined in block order. The
// blocks depend on the register only, never on the pool.
inline constexpr std::uint32_t kProductBlockBits = 8;

inline std::size_t product_blocks(std::uint32_t num_qubits) {
    return num_qubits > kProductBlockBits ? std::size_t{1} << (num_qubits - kProductBlockBits) : 1;
}

// φ[y] = Σ_t c_t · phase_t(y ^ flip_t) · ψ[y ^ flip_t] over the terms in
// order, each addend a separate single-precision product and sum, starting
// from +0. Runs on the worker pool; φ must not alias ψ.
void apply_observable(const Amplitude* psi, Amplitude* phi, std::uint32_t num_qubits,
                      std::span<const PauliTermMasks> masks, std::span<const float> coefficients);

// The same for φ[first, last) on this thread, with the fastest code that
// applies.
void apply_observable_range(const Amplitude* psi, Amplitude* phi, std::size_t first,
                            std::size_t last, std::span<const PauliTermMasks> masks,
                            std::span<const float> coefficients);

// The same one y at a time: the reference.
void apply_observable_scalar(const Amplitude* psi, Amplitude* phi, std::size_t first,
                             std::size_t last, std::span<const PauliTermMasks> masks,
                             std::span<const float> coefficients);

// The same values, bit for bit, term by term over four amplitudes per
// register (each y still adds its terms in order). first and last are
// multiples of 4; only call it when cpu_has_avx2().
#if VANTELO_AVX2_KERNELS
void apply_observable_avx2(const Amplitude* psi, Amplitude* phi, std::size_t first, std::size_t last,
                           std::span<const PauliTermMasks> masks, std::span<const float> coefficients);
#endif

// partials[b] for blocks [block_begin, block_end) of the sum whose total is
// d⟨ψ|H|ψ⟩/dθ for a rotation of `kind` on qubit q at this point of the sweep
// (φ = the observable's backward state, ψ the forward state after the
// rotation): Im⟨φ|Xψ⟩, Im⟨φ|Yψ⟩, Im⟨φ|Zψ⟩ for Rx, Ry, Rz, and
// Σ over amplitudes with bit q set of Im(conj(φ)·ψ) for P, whose total is
// then multiplied by −2. Each block sums eight lanes (index mod 8) serially
// and adds the lanes pairwise in a fixed tree. The scalar reference:
void generator_partials_scalar(const Amplitude* phi, const Amplitude* psi, std::uint32_t num_qubits,
                               RotationKind kind, Qubit q, std::size_t block_begin,
                               std::size_t block_end, float* partials);

// The same partials, bit for bit, with the eight lanes in one AVX2 register.
// Needs at least three qubits (whole groups of eight) and a CPU with AVX2;
// below q = 3 a lane's partner and sign come from fixed lane masks.
#if VANTELO_AVX2_KERNELS
void generator_partials_avx2(const Amplitude* phi, const Amplitude* psi, std::uint32_t num_qubits,
                             RotationKind kind, Qubit q, std::size_t block_begin,
                             std::size_t block_end, float* partials);
#endif

// The fastest of the two that applies.
void generator_partials(const Amplitude* phi, const Amplitude* psi, std::uint32_t num_qubits,
                        RotationKind kind, Qubit q, std::size_t block_begin, std::size_t block_end,
                        float* partials);

// The tree that adds a block's eight lanes.
inline float add_lanes(const float* lanes) {
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) +
           ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
}

// Amplitudes per block for this register.
inline std::size_t product_block_len(std::uint32_t num_qubits) {
    return std::size_t{1} << (num_qubits > kProductBlockBits ? kProductBlockBits : num_qubits);
}

// The partials combined: the first, then each later one added in block order;
// times −2 for P.
float combine_partials(RotationKind kind, const float* partials, std::size_t count);

}  // namespace vantelo::sim
