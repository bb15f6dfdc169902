// The double-sum partials with the single-precision addends of eight
// amplitudes in one register, as adjoint_products_avx2.cpp forms them (lanes
// in the order 0, 1, 4, 5, 2, 3, 6, 7 of the index mod 8), added in a
// single-precision register over the block and widened at its end; the
// norms add in a second register beside them.
// Empty off x86-64 (CMake leaves it out there too).
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <immintrin.h>

#include "sim/grad/adjoint_products.hpp"
#include "sim/grad/adjoint_products_wide.hpp"

namespace vantelo::sim {

namespace {

constexpr int kLane[8] = {0, 1, 4, 5, 2, 3, 6, 7};

inline void load_parts(const Amplitude* a, __m256& re, __m256& im) {
    const __m256 lo = _mm256_loadu_ps(reinterpret_cast<const float*>(a));
    const __m256 hi = _mm256_loadu_ps(reinterpret_cast<const float*>(a + 4));
    re = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
    im = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
}

// Masks for targets 0, 1 and 2, whose partner and bit sit among the same
// eight amplitudes.
struct LowTarget {
    __m256i partner;
    __m256 clear;  // −0 where the bit is clear
    __m256 set;    // −0 where the bit is set
    __m256 keep;   // all bits where the bit is set
};

LowTarget low_target(std::size_t bit) {
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

// The scalar chains, from lanes in kLane order, widened and added in
// double in their tree.
inline double widened_tree(__m256 lanes) {
    alignas(32) float v[8];
    _mm256_store_ps(v, lanes);
    double c[8];
    for (int l = 0; l < 8; ++l) c[kLane[l]] = double(v[l]);
    return ((c[0] + c[1]) + (c[2] + c[3])) + ((c[4] + c[5]) + (c[6] + c[7]));
}

template <RotationKind Kind, bool Norm>
void block_partial(const Amplitude* phi, const Amplitude* psi, std::size_t first, std::size_t len,
                   std::size_t bit, const LowTarget* low, double* product, double* norm_out) {
    constexpr bool pairs = Kind == RotationKind::Rx || Kind == RotationKind::Ry;
    const __m256 sign = _mm256_set1_ps(-0.0f);
    __m256 acc = _mm256_setzero_ps();
    __m256 norm = _mm256_setzero_ps();
    for (std::size_t x = first; x < first + len; x += 8) {
        const bool bit_set = (x & bit) != 0;
        __m256 fr, fi, pr, pi;
        if (low != nullptr) {
            load_parts(psi + x, pr, pi);
            if (pairs) {
                pr = _mm256_permutevar8x32_ps(pr, low->partner);
                pi = _mm256_permutevar8x32_ps(pi, low->partner);
            }
        } else {
            load_parts(psi + (pairs ? x ^ bit : x), pr, pi);
        }
        if (Norm) norm = _mm256_add_ps(norm, _mm256_add_ps(_mm256_mul_ps(pr, pr), _mm256_mul_ps(pi, pi)));
        if (low == nullptr && Kind == RotationKind::P && !bit_set) continue;
        load_parts(phi + x, fr, fi);
        __m256 t;
        if (Kind == RotationKind::Ry)
            t = _mm256_add_ps(_mm256_mul_ps(fr, pr), _mm256_mul_ps(fi, pi));
        else
            t = _mm256_sub_ps(_mm256_mul_ps(fr, pi), _mm256_mul_ps(fi, pr));
        if (low != nullptr) {
            if (Kind == RotationKind::Ry) t = _mm256_xor_ps(t, low->clear);
            if (Kind == RotationKind::Rz) t = _mm256_xor_ps(t, low->set);
            // +0 in the lanes that never have the bit: they stay +0.
            if (Kind == RotationKind::P) t = _mm256_and_ps(t, low->keep);
        } else if ((Kind == RotationKind::Ry && !bit_set) || (Kind == RotationKind::Rz && bit_set)) {
            t = _mm256_xor_ps(t, sign);
        }
        acc = _mm256_add_ps(acc, t);
    }
    *product = widened_tree(acc);
    if (Norm) *norm_out = widened_tree(norm);
}

template <RotationKind Kind>
void blocks_partials(const Amplitude* phi, const Amplitude* psi, std::size_t len, std::size_t bit,
                     const LowTarget* low, std::size_t block_begin, std::size_t block_end,
                     double* products, double* norms) {
    for (std::size_t b = block_begin; b < block_end; ++b) {
        if (norms != nullptr)
            block_partial<Kind, true>(phi, psi, b * len, len, bit, low, products + b, norms + b);
        else
            block_partial<Kind, false>(phi, psi, b * len, len, bit, low, products + b, nullptr);
    }
}

}  // namespace

void wide_generator_partials_avx2(const Amplitude* phi, const Amplitude* psi,
                                  std::uint32_t num_qubits, RotationKind kind, Qubit q,
                                  std::size_t block_begin, std::size_t block_end, double* products,
                                  double* norms) {
    const std::size_t len = product_block_len(num_qubits);
    const std::size_t bit = std::size_t{1} << q;
    const LowTarget low_value = low_target(bit < 8 ? bit : 0);
    const LowTarget* low = bit < 8 ? &low_value : nullptr;
    switch (kind) {
        case RotationKind::Rx:
            return blocks_partials<RotationKind::Rx>(phi, psi, len, bit, low, block_begin, block_end, products, norms);
        case RotationKind::Ry:
            return blocks_partials<RotationKind::Ry>(phi, psi, len, bit, low, block_begin, block_end, products, norms);
        case RotationKind::Rz:
            return blocks_partials<RotationKind::Rz>(phi, psi, len, bit, low, block_begin, block_end, products, norms);
        case RotationKind::P:
            return blocks_partials<RotationKind::P>(phi, psi, len, bit, low, block_begin, block_end, products, norms);
    }
}

}  // namespace vantelo::sim

#endif  // VANTELO_AVX2_KERNELS
