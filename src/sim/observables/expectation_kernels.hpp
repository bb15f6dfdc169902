// Per-term sums of an expectation value. A Pauli product P maps |b⟩ to
// phase(b)·|b XOR flip⟩ with phase(b) = i^nY · (−1)^popcount(b & parity),
// where flip holds the X and Y qubits and parity the Y and Z qubits. A term's
// sum is
//   S = Σ_b Re(conj(ψ[b ^ flip]) · phase(b) · ψ[b]),
// added into S one b at a time in increasing order, starting from +0. With
// y = ψ[b ^ flip] and x = ψ[b], the addend is ±(y.re·x.re + y.im·x.im) for a
// real phase and ±(y.im·x.re − y.re·x.im) for an imaginary one: the products
// of conj(y)·w with w = phase·x an exact exchange and negation of x's parts.
//
// The serial order of the additions fixes the result, so the kernels only
// gain speed by running several terms' chains side by side and by computing
// the addends of a block of b in vector lanes; each chain still adds its
// addends one at a time in increasing b.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/amplitude.hpp"
#include "sim/cpu/cpu_features.hpp"

namespace vantelo::sim {

struct PauliTermMasks {
    std::uint64_t flip = 0;    // X and Y qubits
    std::uint64_t parity = 0;  // Y and Z qubits
    bool imaginary = false;    // odd number of Y factors: phase ±i
    bool negated = false;      // i^nY contributes a factor −1 (nY mod 4 is 2 or 3)
};

struct PauliTerm;

// The masks of a term whose qubits were checked against the register (all
// below 32).
PauliTermMasks term_masks(const PauliTerm& term);

// The most terms one kernel call advances together.
inline constexpr std::size_t kTermGroup = 8;

// sums[t] = S of terms[t] for t < count (1 ≤ count ≤ kTermGroup) over the
// 2^num_qubits amplitudes psi.
void term_sums_scalar(const Amplitude* psi, std::uint32_t num_qubits, const PauliTermMasks* terms,
                      std::size_t count, float* sums);

// The same sums, bit for bit, with the addends of eight consecutive b computed
// in AVX2 lanes. Up to four terms add them into scalar chains; five or more
// run as one chain per lane of a vector accumulator. Needs num_qubits ≥ 3 and
// a CPU with AVX2.
#if VANTELO_AVX2_KERNELS
void term_sums_avx2(const Amplitude* psi, std::uint32_t num_qubits, const PauliTermMasks* terms,
                    std::size_t count, float* sums);
#endif

// The fastest of the two this CPU supports.
void term_sums(const Amplitude* psi, std::uint32_t num_qubits, const PauliTermMasks* terms,
               std::size_t count, float* sums);

// Sign bit (as float bits) of phase(b) / i^(nY mod 2) for b < 8, i.e. for the
// low three bits of b; the higher bits contribute parity(b & ~7 & parity).
inline std::uint32_t low_sign_bits(const PauliTermMasks& t, std::uint32_t j) {
    const std::uint32_t odd = static_cast<std::uint32_t>(__builtin_parityll(j & t.parity));
    return (odd ^ (t.negated ? 1u : 0u)) << 31;
}

inline std::uint32_t high_sign_bits(const PauliTermMasks& t, std::uint64_t block) {
    return static_cast<std::uint32_t>(__builtin_parityll(block & t.parity)) << 31;
}

}  // namespace vantelo::sim
