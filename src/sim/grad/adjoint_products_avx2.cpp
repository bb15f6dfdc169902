// The generator products with the eight lanes of a block in one register.
// Eight consecutive amplitudes deinterleave into lanes in the order
// 0, 1, 4, 5, 2, 3, 6, 7 of their index mod 8; every lane adds its addends
// in the scalar order, and the lanes are put back in index order before the
// same tree adds them.
// Empty off x86-64 (CMake leaves it out there too).
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <immintrin.h>

#include <cstdint>
#include <span>

#include "sim/grad/adjoint_products.hpp"

namespace vantelo::sim {

namespace {

// Real and imaginary parts of amplitudes a[0..7], in the lane order above.
inline void load_parts(const Amplitude* a, __m256& re, __m256& im) {
    const __m256 lo = _mm256_loadu_ps(reinterpret_cast<const float*>(a));
    const __m256 hi = _mm256_loadu_ps(reinterpret_cast<const float*>(a + 4));
    re = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
    im = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
}

template <RotationKind Kind>
float block_partial(const Amplitude* phi, const Amplitude* psi, std::size_t first, std::size_t len,
                    std::size_t bit) {
    constexpr bool pairs = Kind == RotationKind::Rx || Kind == RotationKind::Ry;
    const __m256 sign = _mm256_set1_ps(-0.0f);
    __m256 acc = _mm256_setzero_ps();
    for (std::size_t x = first; x < first + len; x += 8) {
        const bool bit_set = (x & bit) != 0;
        // P adds +0 where the bit is clear, which leaves a lane (never −0) as it is.
        if (Kind == RotationKind::P && !bit_set) continue;
        __m256 fr, fi, pr, pi;
        load_parts(phi + x, fr, fi);
        load_parts(psi + (pairs ? x ^ bit : x), pr, pi);
        __m256 t;
        if (Kind == RotationKind::Ry)
            t = _mm256_add_ps(_mm256_mul_ps(fr, pr), _mm256_mul_ps(fi, pi));
        else
            t = _mm256_sub_ps(_mm256_mul_ps(fr, pi), _mm256_mul_ps(fi, pr));
        if ((Kind == RotationKind::Ry && !bit_set) || (Kind == RotationKind::Rz && bit_set))
            t = _mm256_xor_ps(t, sign);
        acc = _mm256_add_ps(acc, t);
    }
    alignas(32) float v[8];
    _mm256_store_ps(v, acc);
    const float lanes[8] = {v[0], v[1], v[4], v[5], v[2], v[3], v[6], v[7]};
    return add_lanes(lanes);
}

// Targets 0, 1 and 2: both amplitudes of a pair sit among the same eight, so
// ψ at x ^ bit is a lane permutation of ψ's own parts, and which lanes have
// the bit set is fixed: a sign mask (Ry negates where it is clear, Rz where
// it is set) or, for P, a mask that keeps only those lanes (the +0 the others
// add leaves a lane as it is, as above).
struct LowTarget {
    __m256i partner;  // lane of the amplitude x ^ bit
    __m256 clear;     // −0 in the lanes whose bit is clear
    __m256 set;       // −0 in the lanes whose bit is set
    __m256 keep;      // all bits set in the lanes whose bit is set
};

LowTarget low_target(std::size_t bit) {
    // Lane l holds index kLane[l] (mod 8); the order is its own inverse.
    static constexpr int kLane[8] = {0, 1, 4, 5, 2, 3, 6, 7};
    alignas(32) int partner[8];
    alignas(32) float clear[8], set[8];
    alignas(32) int keep[8];
    for (int l = 0; l < 8; ++l) {
        const bool on = (kLane[l] & static_cast<int>(bit)) != 0;
        partner[l] = kLane[kLane[l] ^ static_cast<int>(bit)];
        clear[l] = on ? 0.0f : -0.0f;
        set[l] = on ? -0.0f : 0.0f;
        keep[l] = on ? -1 : 0;
    }
    return {_mm256_load_si256(reinterpret_cast<const __m256i*>(partner)), _mm256_load_ps(clear),
            _mm256_load_ps(set), _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(keep)))};
}

template <RotationKind Kind>
float low_block_partial(const Amplitude* phi, const Amplitude* psi, std::size_t first, std::size_t len,
                        const LowTarget& low) {
    __m256 acc = _mm256_setzero_ps();
    for (std::size_t x = first; x < first + len; x += 8) {
        __m256 fr, fi, pr, pi;
        load_parts(phi + x, fr, fi);
        load_parts(psi + x, pr, pi);
        if (Kind == RotationKind::Rx || Kind == RotationKind::Ry) {
            pr = _mm256_permutevar8x32_ps(pr, low.partner);
            pi = _mm256_permutevar8x32_ps(pi, low.partner);
        }
        __m256 t;
        if (Kind == RotationKind::Ry)
            t = _mm256_add_ps(_mm256_mul_ps(fr, pr), _mm256_mul_ps(fi, pi));
        else
            t = _mm256_sub_ps(_mm256_mul_ps(fr, pi), _mm256_mul_ps(fi, pr));
        if (Kind == RotationKind::Ry) t = _mm256_xor_ps(t, low.clear);
        if (Kind == RotationKind::Rz) t = _mm256_xor_ps(t, low.set);
        if (Kind == RotationKind::P) t = _mm256_and_ps(t, low.keep);
        acc = _mm256_add_ps(acc, t);
    }
    alignas(32) float v[8];
    _mm256_store_ps(v, acc);
    const float lanes[8] = {v[0], v[1], v[4], v[5], v[2], v[3], v[6], v[7]};
    return add_lanes(lanes);
}

// One block's partial: the low-target form where low is given.
template <RotationKind Kind>
float partial(const Amplitude* phi, const Amplitude* psi, std::size_t first, std::size_t len,
              std::size_t bit, const LowTarget* low) {
    return low != nullptr ? low_block_partial<Kind>(phi, psi, first, len, *low)
                          : block_partial<Kind>(phi, psi, first, len, bit);
}

}  // namespace

void apply_observable_avx2(const Amplitude* psi, Amplitude* phi, std::size_t first, std::size_t last,
                           std::span<const PauliTermMasks> masks, std::span<const float> coefficients) {
    const __m256 zero = _mm256_setzero_ps();
    for (std::size_t y = first; y < last; y += 4) _mm256_storeu_ps(reinterpret_cast<float*>(phi + y), zero);
    const __m256 sign_bit = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(0x80000000u)));
    const __m256 re_sign = _mm256_castsi256_ps(_mm256_setr_epi32(
        static_cast<int>(0x80000000u), 0, static_cast<int>(0x80000000u), 0,
        static_cast<int>(0x80000000u), 0, static_cast<int>(0x80000000u), 0));
    for (std::size_t t = 0; t < masks.size(); ++t) {
        const PauliTermMasks& m = masks[t];
        // Output amplitude k of a register reads source amplitude k ^ lo of
        // the register at (y ^ flip) & ~3, with the sign of its low bits
        // (and of negated); the bits above add parity((x & ~3) & parity).
        const unsigned lo = static_cast<unsigned>(m.flip & 3);
        alignas(32) int idx[8];
        alignas(32) std::uint32_t sign[8];
        for (unsigned k = 0; k < 4; ++k) {
            const unsigned src = k ^ lo;
            idx[2 * k] = static_cast<int>(2 * src);
            idx[2 * k + 1] = static_cast<int>(2 * src + 1);
            const std::uint32_t bit =
                (static_cast<std::uint32_t>(__builtin_parityll(src & m.parity)) ^ (m.negated ? 1u : 0u)) << 31;
            sign[2 * k] = sign[2 * k + 1] = bit;
        }
        const __m256i permute = _mm256_load_si256(reinterpret_cast<const __m256i*>(idx));
        const __m256 low_sign = _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(sign)));
        const __m256 c = _mm256_set1_ps(coefficients[t]);
        const std::uint64_t flip_hi = m.flip & ~std::uint64_t{3};
        const std::uint64_t parity_hi = m.parity & ~std::uint64_t{3};
        for (std::size_t y = first; y < last; y += 4) {
            const std::size_t x = y ^ flip_hi;
            __m256 w = _mm256_loadu_ps(reinterpret_cast<const float*>(psi + x));
            if (lo != 0) w = _mm256_permutevar8x32_ps(w, permute);
            // i·w = (−w.im, w.re), then the sign of the phase.
            if (m.imaginary) w = _mm256_xor_ps(_mm256_permute_ps(w, 0xB1), re_sign);
            __m256 s = low_sign;
            if (__builtin_parityll(x & parity_hi)) s = _mm256_xor_ps(s, sign_bit);
            w = _mm256_xor_ps(w, s);
            float* out = reinterpret_cast<float*>(phi + y);
            _mm256_storeu_ps(out, _mm256_add_ps(_mm256_loadu_ps(out), _mm256_mul_ps(c, w)));
        }
    }
}

void generator_partials_avx2(const Amplitude* phi, const Amplitude* psi, std::uint32_t num_qubits,
                             RotationKind kind, Qubit q, std::size_t block_begin,
                             std::size_t block_end, float* partials) {
    const std::size_t len = product_block_len(num_qubits);
    const std::size_t bit = std::size_t{1} << q;
    LowTarget low_masks;
    const LowTarget* low = nullptr;
    if (q < 3) {
        low_masks = low_target(bit);
        low = &low_masks;
    }
    for (std::size_t b = block_begin; b < block_end; ++b) {
        const std::size_t first = b * len;
        switch (kind) {
            case RotationKind::Rx:
                partials[b] = partial<RotationKind::Rx>(phi, psi, first, len, bit, low);
                break;
            case RotationKind::Ry:
                partials[b] = partial<RotationKind::Ry>(phi, psi, first, len, bit, low);
                break;
            case RotationKind::Rz:
                partials[b] = partial<RotationKind::Rz>(phi, psi, first, len, bit, low);
                break;
            case RotationKind::P:
                partials[b] = partial<RotationKind::P>(phi, psi, first, len, bit, low);
                break;
        }
    }
}

}  // namespace vantelo::sim

#endif  // VANTELO_AVX2_KERNELS
