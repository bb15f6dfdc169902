// Empty off x86-64 (CMake leaves it out there too).
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <immintrin.h>

#include "sim/noise/populations.hpp"

namespace vantelo::sim {

namespace {

// |a|² of amplitudes p[0], p[2], p[1], p[3] in double, in that lane order:
// each is ar·ar + ai·ai, rounded as the reference rounds it.
inline __m256d squares(const Amplitude* p) {
    const __m256 v = _mm256_loadu_ps(reinterpret_cast<const float*>(p));
    const __m256d a = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
    const __m256d b = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
    return _mm256_hadd_pd(_mm256_mul_pd(a, a), _mm256_mul_pd(b, b));
}

// Lanes (x0, x2, x1, x3) back to (x0, x1, x2, x3).
inline __m256d in_order(__m256d x) { return _mm256_permute4x64_pd(x, 0xD8); }

inline double combine(__m256d chains) {
    alignas(32) double c[4];
    _mm256_store_pd(c, chains);
    return (c[0] + c[1]) + (c[2] + c[3]);
}

}  // namespace

std::array<double, 2> population_sums_avx2(const Amplitude* psi, Qubit q, std::size_t first, std::size_t last) {
    __m256d zero = _mm256_setzero_pd();
    __m256d one = _mm256_setzero_pd();
    if (q >= 2) {
        // Groups r … r + 3 are four neighbours with the qubit 0, their
        // partners four neighbours 2^q further on.
        const std::size_t low = (std::size_t{1} << q) - 1;
        const std::size_t step = std::size_t{1} << q;
        for (std::size_t r = first; r < last; r += 4) {
            const std::size_t i = ((r & ~low) << 1) | (r & low);
            zero = _mm256_add_pd(zero, in_order(squares(psi + i)));
            one = _mm256_add_pd(one, in_order(squares(psi + i + step)));
        }
    } else if (q == 1) {
        // Groups 4k … 4k + 3 are amplitudes 8k + {0, 1, 4, 5}, partners
        // 8k + {2, 3, 6, 7}.
        for (std::size_t r = first; r < last; r += 4) {
            const __m256d lo = squares(psi + 2 * r);      // 0, 2, 1, 3
            const __m256d hi = squares(psi + 2 * r + 4);  // 4, 6, 5, 7
            zero = _mm256_add_pd(zero, in_order(_mm256_unpacklo_pd(lo, hi)));  // 0, 4, 1, 5
            one = _mm256_add_pd(one, in_order(_mm256_unpackhi_pd(lo, hi)));    // 2, 6, 3, 7
        }
    } else {
        // Groups r … r + 3 are amplitudes 2r + {0, 2, 4, 6}, partners the
        // odd ones.
        for (std::size_t r = first; r < last; r += 4) {
            const __m256d lo = squares(psi + 2 * r);      // 0, 2, 1, 3
            const __m256d hi = squares(psi + 2 * r + 4);  // 4, 6, 5, 7
            zero = _mm256_add_pd(zero, _mm256_permute2f128_pd(lo, hi, 0x20));  // 0, 2, 4, 6
            one = _mm256_add_pd(one, _mm256_permute2f128_pd(lo, hi, 0x31));    // 1, 3, 5, 7
        }
    }
    return {combine(zero), combine(one)};
}

}  // namespace vantelo::sim

#endif
