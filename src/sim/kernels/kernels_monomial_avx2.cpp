// The monomial fast path for two-target operations (see MonomialPlan): a
// permutation of each group's amplitudes with exact unit phases, four groups
// per register.
#include <immintrin.h>

#include "sim/kernels/kernels.hpp"

namespace vantelo::sim {

namespace {

// unit · x for four amplitudes (re, im interleaved): 1 keeps x, −1 negates
// both parts, i maps (re, im) to (−im, re), −i to (im, −re).
inline __m256 times_unit(__m256 x, std::uint8_t unit) {
    const __m256 sign_all = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(0x80000000u)));
    const __m256 sign_re = _mm256_castsi256_ps(_mm256_setr_epi32(
        static_cast<int>(0x80000000u), 0, static_cast<int>(0x80000000u), 0,
        static_cast<int>(0x80000000u), 0, static_cast<int>(0x80000000u), 0));
    const __m256 sign_im = _mm256_castsi256_ps(_mm256_setr_epi32(
        0, static_cast<int>(0x80000000u), 0, static_cast<int>(0x80000000u), 0,
        static_cast<int>(0x80000000u), 0, static_cast<int>(0x80000000u)));
    switch (unit) {
        case 1: return _mm256_xor_ps(_mm256_permute_ps(x, 0xB1), sign_re);
        case 2: return _mm256_xor_ps(x, sign_all);
        case 3: return _mm256_xor_ps(_mm256_permute_ps(x, 0xB1), sign_im);
        default: return x;
    }
}

// True when some float of x is an infinity or a NaN (all exponent bits set).
inline bool any_non_finite(__m256 x) {
    const __m256i exponent = _mm256_set1_epi32(0x7f800000);
    const __m256i bits = _mm256_and_si256(_mm256_castps_si256(x), exponent);
    return _mm256_movemask_epi8(_mm256_cmpeq_epi32(bits, exponent)) != 0;
}

}  // namespace

void monomial_quads_avx2(Amplitude* a, const GeneralPlan& plan, const MonomialPlan& mono,
                         std::size_t quad_begin, std::size_t quad_end) {
    float* f = reinterpret_cast<float*>(a);
    const std::size_t off[4] = {plan.offsets[0], plan.offsets[1], plan.offsets[2], plan.offsets[3]};
    // Rows that keep their own amplitude with unit 1 need no store.
    bool moves[4];
    for (std::size_t r = 0; r < 4; ++r) moves[r] = mono.source[r] != r || mono.unit[r] != 0;
    // Both targets are ≥ 2, so the four groups of a quad have consecutive
    // bases and each column's inputs are one register of four amplitudes.
    std::size_t base = group_base(plan, 4 * quad_begin);
    for (std::size_t q = quad_begin; q < quad_end; ++q) {
        __m256 x[4];
        for (std::size_t c = 0; c < 4; ++c) {
            const float* p = f + 2 * (base + off[c]);
            // Four interleaved streams defeat the hardware prefetcher when
            // they sit a few pages apart; ask for 512 bytes ahead of each.
            _mm_prefetch(reinterpret_cast<const char*>(p + 128), _MM_HINT_T0);
            x[c] = _mm256_loadu_ps(p);
        }
        if (any_non_finite(x[0]) || any_non_finite(x[1]) || any_non_finite(x[2]) ||
            any_non_finite(x[3])) {
            general_groups_scalar(a, plan, 4 * q, 4 * q + 4, nullptr);
        } else {
            for (std::size_t r = 0; r < 4; ++r)
                if (moves[r])
                    _mm256_storeu_ps(f + 2 * (base + off[r]), times_unit(x[mono.source[r]], mono.unit[r]));
        }
        base = next_group_base(plan, base + 3);
    }
}

}  // namespace vantelo::sim
