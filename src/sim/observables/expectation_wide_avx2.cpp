// Empty off x86-64 (CMake leaves it out there too).
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <immintrin.h>

#include "sim/observables/expectation_wide.hpp"

namespace vantelo::sim {

namespace {

// The pairwise add of two registers of two amplitudes each leaves the addend
// of amplitude j of a group of four in lane kLaneOf[j] (its own inverse).
constexpr int kLaneOf[4] = {0, 2, 1, 3};

inline __m256d sign_lanes(const std::uint64_t bits[4]) {
    return _mm256_castsi256_pd(_mm256_setr_epi64x(static_cast<long long>(bits[0]),
                                                  static_cast<long long>(bits[1]),
                                                  static_cast<long long>(bits[2]),
                                                  static_cast<long long>(bits[3])));
}

}  // namespace

void wide_block_sums_avx2(const Amplitude* psi, std::size_t first, std::size_t len,
                          const PauliTermMasks* terms, std::size_t count, double* out) {
    const float* f = reinterpret_cast<const float*>(psi);
    const __m256d sign_bit = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(0x8000000000000000ull)));
    for (std::size_t t = 0; t < count; ++t) {
        const PauliTermMasks& m = terms[t];
        const std::size_t flip_hi = m.flip & ~std::uint64_t{3};
        const unsigned lo = static_cast<unsigned>(m.flip & 3);
        alignas(32) int idx[8];
        for (int k = 0; k < 4; ++k) {
            const int src = k ^ static_cast<int>(lo);
            idx[2 * k] = 2 * src;
            idx[2 * k + 1] = 2 * src + 1;
        }
        const __m256i permute = _mm256_load_si256(reinterpret_cast<const __m256i*>(idx));
        // The lanes of an imaginary term hold y.re·x.im − y.im·x.re, the
        // negation of the scalar addend (exactly); the sign absorbs it.
        std::uint64_t low[4];
        for (std::uint32_t j = 0; j < 4; ++j) {
            const bool neg = m.negated != static_cast<bool>(__builtin_parityll(j & m.parity));
            low[kLaneOf[j]] = (neg != m.imaginary) ? 0x8000000000000000ull : 0;
        }
        const __m256d low_sign = sign_lanes(low);
        const std::uint64_t high_parity = m.parity & ~std::uint64_t{3};
        __m256d acc = _mm256_setzero_pd();
        for (std::size_t h = first; h < first + len; h += 4) {
            const __m256 xf = _mm256_loadu_ps(f + 2 * h);
            const __m256 yf = _mm256_permutevar8x32_ps(_mm256_loadu_ps(f + 2 * (h ^ flip_hi)), permute);
            __m256d x0 = _mm256_cvtps_pd(_mm256_castps256_ps128(xf));
            __m256d x1 = _mm256_cvtps_pd(_mm256_extractf128_ps(xf, 1));
            const __m256d y0 = _mm256_cvtps_pd(_mm256_castps256_ps128(yf));
            const __m256d y1 = _mm256_cvtps_pd(_mm256_extractf128_ps(yf, 1));
            __m256d a;
            if (m.imaginary) {
                x0 = _mm256_permute_pd(x0, 0x5);
                x1 = _mm256_permute_pd(x1, 0x5);
                a = _mm256_hsub_pd(_mm256_mul_pd(y0, x0), _mm256_mul_pd(y1, x1));
            } else {
                a = _mm256_hadd_pd(_mm256_mul_pd(y0, x0), _mm256_mul_pd(y1, x1));
            }
            __m256d sign = low_sign;
            if (__builtin_parityll(h & high_parity)) sign = _mm256_xor_pd(sign, sign_bit);
            acc = _mm256_add_pd(acc, _mm256_xor_pd(a, sign));
        }
        alignas(32) double lanes[4];
        _mm256_store_pd(lanes, acc);
        const double c0 = lanes[kLaneOf[0]], c1 = lanes[kLaneOf[1]];
        const double c2 = lanes[kLaneOf[2]], c3 = lanes[kLaneOf[3]];
        out[t] = (c0 + c1) + (c2 + c3);
    }
}

}  // namespace vantelo::sim

#endif  // VANTELO_AVX2_KERNELS
