// The populations of one qubit, Σ|ψ|² over the amplitudes with the qubit 0
// and with it 1, all that a channel whose K†K are diagonal (damping, resets)
// needs to draw past its bounds. Group r of the 2^(n−1) groups holds the
// pair with the qubit 0 and 1 and the other bits r. A piece of groups
// [first, last) is summed in double in four interleaved chains, group r
// into chain (r − first) mod 4, the last len mod 4 into chain 0, and the
// piece's sums are (c0 + c1) + (c2 + c3): a fixed order, several times
// faster than one dependent chain, and within a few units of double
// rounding of it.
#pragma once

#include <array>
#include <cstddef>

#include "sim/amplitude.hpp"
#include "sim/cpu/cpu_features.hpp"
#include "sim/gates/gate.hpp"

namespace vantelo::sim {

// The reference.
std::array<double, 2> population_sums_scalar(const Amplitude* psi, Qubit q, std::size_t first, std::size_t last);

// The same sums, bit for bit, with four groups in the lanes of a vector;
// needs first and last multiples of four and a CPU with AVX2.
#if VANTELO_AVX2_KERNELS
std::array<double, 2> population_sums_avx2(const Amplitude* psi, Qubit q, std::size_t first, std::size_t last);
#endif

// The fastest of the two this CPU supports.
std::array<double, 2> population_sums(const Amplitude* psi, Qubit q, std::size_t first, std::size_t last);

}  // namespace vantelo::sim
