#include "sim/noise/populations.hpp"

namespace vantelo::sim {

std::array<double, 2> population_sums_scalar(const Amplitude* psi, Qubit q, std::size_t first, std::size_t last) {
    const std::size_t low = (std::size_t{1} << q) - 1;
    const std::size_t step = std::size_t{1} << q;
    double zero[4] = {}, one[4] = {};
    const auto add = [&](std::size_t r, std::size_t chain) {
        const std::size_t i = ((r & ~low) << 1) | (r & low);
        const double ar = psi[i].re, ai = psi[i].im;
        const double br = psi[i + step].re, bi = psi[i + step].im;
        zero[chain] += ar * ar + ai * ai;
        one[chain] += br * br + bi * bi;
    };
    std::size_t r = first;
    for (; r + 4 <= last; r += 4)
        for (std::size_t chain = 0; chain < 4; ++chain) add(r + chain, chain);
    for (; r < last; ++r) add(r, 0);
    return {(zero[0] + zero[1]) + (zero[2] + zero[3]), (one[0] + one[1]) + (one[2] + one[3])};
}

std::array<double, 2> population_sums(const Amplitude* psi, Qubit q, std::size_t first, std::size_t last) {
#if VANTELO_AVX2_KERNELS
    if (first % 4 == 0 && last % 4 == 0 && cpu_has_avx2()) return population_sums_avx2(psi, q, first, last);
#endif
    return population_sums_scalar(psi, q, first, last);
}

}  // namespace vantelo::sim
