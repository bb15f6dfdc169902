// The block of the unitarity sums with AVX2 (built with -mavx2 -mno-fma):
// the four rows' eight accumulators stay in registers for the whole run of
// k, each panel step is loaded once for the four rows, and every lane does
// the portable block's operations in its order.
// Empty off x86-64 (CMake leaves it out there too).
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <immintrin.h>

#include "sim/unitarity/gram.hpp"

namespace vantelo::sim {

namespace {

// One row's step: s += a · conj(b) lane by lane, with a's parts broadcast.
inline void step(const Amplitude* a, __m256 b_re, __m256 b_im, __m256& s_re, __m256& s_im) {
    const __m256 a_re = _mm256_broadcast_ss(&a->re);
    const __m256 a_im = _mm256_broadcast_ss(&a->im);
    const __m256 re = _mm256_add_ps(_mm256_mul_ps(a_re, b_re), _mm256_mul_ps(a_im, b_im));
    const __m256 im = _mm256_sub_ps(_mm256_mul_ps(a_im, b_re), _mm256_mul_ps(a_re, b_im));
    s_re = _mm256_add_ps(s_re, re);
    s_im = _mm256_add_ps(s_im, im);
}

}  // namespace

static_assert(kGramRows == 4 && kGramLanes == 8, "the block below holds four rows of eight lanes");

void gram_block_avx2(const Amplitude* const* rows, const float* panel, std::size_t kc, float* acc) {
    __m256 s0r = _mm256_load_ps(acc + 0), s0i = _mm256_load_ps(acc + 8);
    __m256 s1r = _mm256_load_ps(acc + 16), s1i = _mm256_load_ps(acc + 24);
    __m256 s2r = _mm256_load_ps(acc + 32), s2i = _mm256_load_ps(acc + 40);
    __m256 s3r = _mm256_load_ps(acc + 48), s3i = _mm256_load_ps(acc + 56);
    const Amplitude* r0 = rows[0];
    const Amplitude* r1 = rows[1];
    const Amplitude* r2 = rows[2];
    const Amplitude* r3 = rows[3];
    for (std::size_t k = 0; k < kc; ++k) {
        const float* b = panel + k * kGramPanelStep;
        const __m256 b_re = _mm256_load_ps(b);
        const __m256 b_im = _mm256_load_ps(b + kGramLanes);
        step(r0 + k, b_re, b_im, s0r, s0i);
        step(r1 + k, b_re, b_im, s1r, s1i);
        step(r2 + k, b_re, b_im, s2r, s2i);
        step(r3 + k, b_re, b_im, s3r, s3i);
    }
    _mm256_store_ps(acc + 0, s0r), _mm256_store_ps(acc + 8, s0i);
    _mm256_store_ps(acc + 16, s1r), _mm256_store_ps(acc + 24, s1i);
    _mm256_store_ps(acc + 32, s2r), _mm256_store_ps(acc + 40, s2i);
    _mm256_store_ps(acc + 48, s3r), _mm256_store_ps(acc + 56, s3i);
}

}  // namespace vantelo::sim

#endif  // VANTELO_AVX2_KERNELS
