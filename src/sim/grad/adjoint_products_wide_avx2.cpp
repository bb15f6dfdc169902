#include <immintrin.h>

#include "sim/grad/adjoint_products.hpp"
#include "sim/grad/adjoint_products_wide.hpp"

namespace vantelo::sim {

namespace {

// The pairwise add or subtract of two registers of two amplitudes each
// leaves amplitude j of a group of four in lane kLaneOf[j].
constexpr int kLaneOf[4] = {0, 2, 1, 3};

inline __m256d lane_bits(const std::uint64_t bits[4]) {
    return _mm256_castsi256_pd(_mm256_setr_epi64x(
        static_cast<long long>(bits[0]), static_cast<long long>(bits[1]),
        static_cast<long long>(bits[2]), static_cast<long long>(bits[3])));
}

inline __m256d widen_low(__m256 v) { return _mm256_cvtps_pd(_mm256_castps256_ps128(v)); }
inline __m256d widen_high(__m256 v) { return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)); }

// Per-lane masks for a group of four at index h: `set` has all bits in the
// lanes whose index has bit q set.
inline __m256d bit_set_lanes(std::size_t h, std::size_t bit) {
    std::uint64_t m[4];
    for (std::uint32_t j = 0; j < 4; ++j) m[kLaneOf[j]] = ((h + j) & bit) != 0 ? ~std::uint64_t{0} : 0;
    return lane_bits(m);
}

template <RotationKind Kind>
double block_partial(const float* phi, const float* psi, std::size_t first, std::size_t len,
                     std::size_t bit, __m256i permute, __m256d low_set) {
    constexpr bool pairs = Kind == RotationKind::Rx || Kind == RotationKind::Ry;
    const std::size_t far = pairs && bit >= 4 ? bit : 0;
    const __m256d sign_bit = _mm256_set1_pd(-0.0);
    const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    __m256d acc = _mm256_setzero_pd();
    for (std::size_t h = first; h < first + len; h += 4) {
        const __m256 ff = _mm256_loadu_ps(phi + 2 * h);
        __m256 pf = _mm256_loadu_ps(psi + 2 * (h ^ far));
        if (pairs && bit < 4) pf = _mm256_permutevar8x32_ps(pf, permute);
        const __m256d f0 = widen_low(ff), f1 = widen_high(ff);
        __m256d p0 = widen_low(pf), p1 = widen_high(pf);
        __m256d a;
        if constexpr (Kind == RotationKind::Ry) {
            a = _mm256_hadd_pd(_mm256_mul_pd(f0, p0), _mm256_mul_pd(f1, p1));
        } else {
            p0 = _mm256_permute_pd(p0, 0x5);
            p1 = _mm256_permute_pd(p1, 0x5);
            a = _mm256_hsub_pd(_mm256_mul_pd(f0, p0), _mm256_mul_pd(f1, p1));
        }
        // Lanes whose index has bit q set.
        const __m256d set = bit >= 4 ? ((h & bit) != 0 ? all : _mm256_setzero_pd()) : low_set;
        if constexpr (Kind == RotationKind::Ry) a = _mm256_xor_pd(a, _mm256_andnot_pd(set, sign_bit));
        if constexpr (Kind == RotationKind::Rz) a = _mm256_xor_pd(a, _mm256_and_pd(set, sign_bit));
        if constexpr (Kind == RotationKind::P) a = _mm256_and_pd(a, set);
        acc = _mm256_add_pd(acc, a);
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, acc);
    return (lanes[kLaneOf[0]] + lanes[kLaneOf[1]]) + (lanes[kLaneOf[2]] + lanes[kLaneOf[3]]);
}

}  // namespace

void wide_generator_partials_avx2(const Amplitude* phi, const Amplitude* psi,
                                  std::uint32_t num_qubits, RotationKind kind, Qubit q,
                                  std::size_t block_begin, std::size_t block_end, double* partials) {
    const std::size_t len = product_block_len(num_qubits);
    const std::size_t bit = std::size_t{1} << q;
    const float* f = reinterpret_cast<const float*>(phi);
    const float* p = reinterpret_cast<const float*>(psi);
    alignas(32) int idx[8];
    const int lo = static_cast<int>(bit & 3);
    for (int k = 0; k < 4; ++k) {
        idx[2 * k] = 2 * (k ^ lo);
        idx[2 * k + 1] = 2 * (k ^ lo) + 1;
    }
    const __m256i permute = _mm256_load_si256(reinterpret_cast<const __m256i*>(idx));
    // Below bit 2 the lanes' bit q is the same in every group of four.
    const __m256d low_set = bit_set_lanes(0, bit & 3);
    for (std::size_t b = block_begin; b < block_end; ++b) {
        const std::size_t first = b * len;
        switch (kind) {
            case RotationKind::Rx:
                partials[b] = block_partial<RotationKind::Rx>(f, p, first, len, bit, permute, low_set);
                break;
            case RotationKind::Ry:
                partials[b] = block_partial<RotationKind::Ry>(f, p, first, len, bit, permute, low_set);
                break;
            case RotationKind::Rz:
                partials[b] = block_partial<RotationKind::Rz>(f, p, first, len, bit, permute, low_set);
                break;
            case RotationKind::P:
                partials[b] = block_partial<RotationKind::P>(f, p, first, len, bit, permute, low_set);
                break;
        }
    }
}

}  // namespace vantelo::sim
