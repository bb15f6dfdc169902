// The transform with four doubles per register: the first four butterfly
// stages run on sixteen amplitudes held in registers, the later ones two at a
// time over the work array. Each entry sees the scalar reference's additions
// in the same order, so the bits are its bits.
// Empty off x86-64 (CMake leaves it out there too).
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <immintrin.h>

#include "sim/observables/expectation_wide_diagonal.hpp"

namespace vantelo::sim {

namespace {

// |ψ|² of four amplitudes, in index order.
inline __m256d squares(const float* f) {
    const __m256 x = _mm256_loadu_ps(f);
    const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(x));
    const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1));
    // hadd leaves amplitudes 0, 2, 1, 3.
    const __m256d p = _mm256_hadd_pd(_mm256_mul_pd(lo, lo), _mm256_mul_pd(hi, hi));
    return _mm256_permute4x64_pd(p, 0xD8);
}

// Stages s = 1 and 2 inside one register.
inline __m256d low_stages(__m256d r) {
    r = _mm256_blend_pd(_mm256_hadd_pd(r, r), _mm256_hsub_pd(r, r), 0xA);
    const __m256d q = _mm256_permute2f128_pd(r, r, 0x01);
    return _mm256_blend_pd(_mm256_add_pd(r, q), _mm256_sub_pd(q, r), 0xC);
}

inline void butterfly(__m256d& a, __m256d& b) {
    const __m256d s = _mm256_add_pd(a, b);
    b = _mm256_sub_pd(a, b);
    a = s;
}

}  // namespace

void wide_diagonal_block_sums_avx2(const Amplitude* psi, std::size_t first, std::size_t len,
                                   const PauliTermMasks* terms, std::size_t count, double* work,
                                   double* out) {
    const float* f = reinterpret_cast<const float*>(psi + first);
    for (std::size_t j = 0; j < len; j += 16) {
        __m256d r[4];
        for (int k = 0; k < 4; ++k) r[k] = low_stages(squares(f + 2 * (j + 4 * k)));
        butterfly(r[0], r[1]);
        butterfly(r[2], r[3]);
        butterfly(r[0], r[2]);
        butterfly(r[1], r[3]);
        for (int k = 0; k < 4; ++k) _mm256_storeu_pd(work + j + 4 * k, r[k]);
    }
    std::size_t s = 16;
    for (; 4 * s <= len; s *= 4)
        for (std::size_t base = 0; base < len; base += 4 * s)
            for (std::size_t j = base; j < base + s; j += 4) {
                __m256d a = _mm256_loadu_pd(work + j), b = _mm256_loadu_pd(work + j + s);
                __m256d c = _mm256_loadu_pd(work + j + 2 * s), d = _mm256_loadu_pd(work + j + 3 * s);
                butterfly(a, b);
                butterfly(c, d);
                butterfly(a, c);
                butterfly(b, d);
                _mm256_storeu_pd(work + j, a);
                _mm256_storeu_pd(work + j + s, b);
                _mm256_storeu_pd(work + j + 2 * s, c);
                _mm256_storeu_pd(work + j + 3 * s, d);
            }
    if (s < len)
        for (std::size_t j = 0; j < s; j += 4) {
            __m256d a = _mm256_loadu_pd(work + j), b = _mm256_loadu_pd(work + j + s);
            butterfly(a, b);
            _mm256_storeu_pd(work + j, a);
            _mm256_storeu_pd(work + j + s, b);
        }
    wide_diagonal_pick(work, first, len, terms, count, out);
}

}  // namespace vantelo::sim

#endif  // VANTELO_AVX2_KERNELS
