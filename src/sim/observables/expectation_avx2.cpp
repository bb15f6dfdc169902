// Empty off x86-64 (CMake leaves it out there too).
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <immintrin.h>
#include <utility>

#include "sim/observables/expectation_kernels.hpp"

namespace vantelo::sim {

namespace {

// hadd/hsub of two registers of four amplitudes each leaves the addend of
// amplitude j of the block in lane kLaneOf[j] (the map is its own inverse).
constexpr int kLaneOf[8] = {0, 1, 4, 5, 2, 3, 6, 7};

// Per-term constants of the eight-lane loop. ψ[b ^ flip] for the block at h is
// the block at h ^ flip_hi with its amplitudes permuted by j → j ^ flip_lo:
// bit 2 of flip_lo swaps the two registers, bits 0 and 1 permute amplitudes
// inside each register.
struct LaneTerm {
    std::size_t flip_hi;
    bool swap_halves;
    bool imaginary;
    __m256i permute;
    __m256 low_sign;  // lane order
    std::uint64_t parity;
};

LaneTerm lane_term(const PauliTermMasks& t) {
    LaneTerm l;
    l.flip_hi = t.flip & ~std::uint64_t{7};
    const unsigned lo = static_cast<unsigned>(t.flip & 7);
    l.swap_halves = (lo & 4) != 0;
    l.imaginary = t.imaginary;
    alignas(32) int idx[8];
    for (int k = 0; k < 4; ++k) {
        const int src = k ^ static_cast<int>(lo & 3);
        idx[2 * k] = 2 * src;
        idx[2 * k + 1] = 2 * src + 1;
    }
    l.permute = _mm256_load_si256(reinterpret_cast<const __m256i*>(idx));
    // The lanes compute y.re·x.im − y.im·x.re for an imaginary phase, the
    // negation of the scalar addend; the sign table absorbs that.
    const std::uint32_t extra = t.imaginary ? 0x80000000u : 0u;
    alignas(32) std::uint32_t sign[8];
    for (std::uint32_t j = 0; j < 8; ++j) sign[kLaneOf[j]] = low_sign_bits(t, j) ^ extra;
    l.low_sign = _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(sign)));
    l.parity = t.parity;
    return l;
}

template <std::size_t G>
void sums_lanes(const Amplitude* psi, std::size_t len, const PauliTermMasks* terms, float* out) {
    const float* f = reinterpret_cast<const float*>(psi);
    LaneTerm lt[G];
    float s[G];
    for (std::size_t g = 0; g < G; ++g) {
        lt[g] = lane_term(terms[g]);
        s[g] = 0.0f;
    }
    const __m256 sign_bit = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(0x80000000u)));
    alignas(32) float addends[G][8];
    for (std::size_t h = 0; h < len; h += 8) {
        const __m256 x0 = _mm256_loadu_ps(f + 2 * h);
        const __m256 x1 = _mm256_loadu_ps(f + 2 * h + 8);
        // x with real and imaginary parts exchanged, for imaginary phases.
        const __m256 xs0 = _mm256_permute_ps(x0, 0xB1);
        const __m256 xs1 = _mm256_permute_ps(x1, 0xB1);
        for (std::size_t g = 0; g < G; ++g) {
            const float* yb = f + 2 * (h ^ lt[g].flip_hi);
            __m256 y0 = _mm256_loadu_ps(yb);
            __m256 y1 = _mm256_loadu_ps(yb + 8);
            if (lt[g].swap_halves) std::swap(y0, y1);
            y0 = _mm256_permutevar8x32_ps(y0, lt[g].permute);
            y1 = _mm256_permutevar8x32_ps(y1, lt[g].permute);
            __m256 t;
            if (lt[g].imaginary)
                t = _mm256_hsub_ps(_mm256_mul_ps(y0, xs0), _mm256_mul_ps(y1, xs1));
            else
                t = _mm256_hadd_ps(_mm256_mul_ps(y0, x0), _mm256_mul_ps(y1, x1));
            __m256 sign = lt[g].low_sign;
            if (__builtin_parityll(h & lt[g].parity)) sign = _mm256_xor_ps(sign, sign_bit);
            _mm256_store_ps(addends[g], _mm256_xor_ps(t, sign));
        }
        for (int j = 0; j < 8; ++j)
            for (std::size_t g = 0; g < G; ++g) s[g] = s[g] + addends[g][kLaneOf[j]];
    }
    for (std::size_t g = 0; g < G; ++g) out[g] = s[g];
}

// In-register transpose of an 8 × 8 tile: afterwards r[c] holds, in lane g,
// what r[g] held in lane c.
inline void transpose8(__m256 r[8]) {
    __m256 t[8];
    __m256 u[8];
    for (int i = 0; i < 4; ++i) {
        t[2 * i] = _mm256_unpacklo_ps(r[2 * i], r[2 * i + 1]);
        t[2 * i + 1] = _mm256_unpackhi_ps(r[2 * i], r[2 * i + 1]);
    }
    for (int i = 0; i < 2; ++i) {
        u[4 * i + 0] = _mm256_shuffle_ps(t[4 * i + 0], t[4 * i + 2], 0x44);
        u[4 * i + 1] = _mm256_shuffle_ps(t[4 * i + 0], t[4 * i + 2], 0xEE);
        u[4 * i + 2] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0x44);
        u[4 * i + 3] = _mm256_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0xEE);
    }
    for (int i = 0; i < 4; ++i) {
        r[i] = _mm256_permute2f128_ps(u[i], u[4 + i], 0x20);
        r[4 + i] = _mm256_permute2f128_ps(u[i], u[4 + i], 0x31);
    }
}

// Eight terms with one chain per lane of a single accumulator: the addends
// of a block form an 8 × 8 tile (term × b), which is transposed so that each
// vector add advances all eight chains by one b, in increasing b. Slots past
// `count` repeat term 0 and are discarded.
void sums_tile(const Amplitude* psi, std::size_t len, const PauliTermMasks* terms,
               std::size_t count, float* out) {
    const float* f = reinterpret_cast<const float*>(psi);
    LaneTerm lt[8];
    __m256 odd_sign[8];
    alignas(32) std::uint32_t low[8][8];  // [j][g]
    alignas(32) std::uint32_t parity[8];
    for (std::size_t g = 0; g < 8; ++g) {
        const PauliTermMasks& t = terms[g < count ? g : 0];
        lt[g] = lane_term(t);
        // An imaginary term's lanes hold y.re·x.im and −(y.im·x.re), so the
        // pairwise add forms y.re·x.im − y.im·x.re, as the other kernel does.
        const int odd = t.imaginary ? static_cast<int>(0x80000000u) : 0;
        odd_sign[g] = _mm256_castsi256_ps(_mm256_setr_epi32(0, odd, 0, odd, 0, odd, 0, odd));
        const std::uint32_t extra = t.imaginary ? 0x80000000u : 0u;
        for (std::uint32_t j = 0; j < 8; ++j) low[j][g] = low_sign_bits(t, j) ^ extra;
        // Qubits are below 32 here, so the mask fits a lane.
        parity[g] = static_cast<std::uint32_t>(t.parity);
    }
    __m256 low_sign[8];
    for (int j = 0; j < 8; ++j)
        low_sign[j] = _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(low[j])));
    const __m256i parity_masks = _mm256_load_si256(reinterpret_cast<const __m256i*>(parity));
    __m256 acc = _mm256_setzero_ps();
    for (std::size_t h = 0; h < len; h += 8) {
        const __m256 x0 = _mm256_loadu_ps(f + 2 * h);
        const __m256 x1 = _mm256_loadu_ps(f + 2 * h + 8);
        const __m256 xs0 = _mm256_permute_ps(x0, 0xB1);
        const __m256 xs1 = _mm256_permute_ps(x1, 0xB1);
        __m256 r[8];
        for (int g = 0; g < 8; ++g) {
            const float* yb = f + 2 * (h ^ lt[g].flip_hi);
            __m256 y0 = _mm256_loadu_ps(yb);
            __m256 y1 = _mm256_loadu_ps(yb + 8);
            if (lt[g].swap_halves) std::swap(y0, y1);
            y0 = _mm256_permutevar8x32_ps(y0, lt[g].permute);
            y1 = _mm256_permutevar8x32_ps(y1, lt[g].permute);
            const __m256 p0 = _mm256_mul_ps(y0, lt[g].imaginary ? xs0 : x0);
            const __m256 p1 = _mm256_mul_ps(y1, lt[g].imaginary ? xs1 : x1);
            r[g] = _mm256_hadd_ps(_mm256_xor_ps(p0, odd_sign[g]), _mm256_xor_ps(p1, odd_sign[g]));
        }
        transpose8(r);
        // Lane g: parity of h & parity_g, as a sign bit.
        __m256i v = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(h)), parity_masks);
        v = _mm256_xor_si256(v, _mm256_srli_epi32(v, 16));
        v = _mm256_xor_si256(v, _mm256_srli_epi32(v, 8));
        v = _mm256_xor_si256(v, _mm256_srli_epi32(v, 4));
        v = _mm256_xor_si256(v, _mm256_srli_epi32(v, 2));
        v = _mm256_xor_si256(v, _mm256_srli_epi32(v, 1));
        const __m256 high_sign = _mm256_castsi256_ps(_mm256_slli_epi32(v, 31));
        for (int j = 0; j < 8; ++j)
            acc = _mm256_add_ps(acc, _mm256_xor_ps(r[kLaneOf[j]], _mm256_xor_ps(low_sign[j], high_sign)));
    }
    alignas(32) float sums[8];
    _mm256_store_ps(sums, acc);
    for (std::size_t g = 0; g < count; ++g) out[g] = sums[g];
}

}  // namespace

void term_sums_avx2(const Amplitude* psi, std::uint32_t num_qubits, const PauliTermMasks* terms,
                    std::size_t count, float* sums) {
    const std::size_t len = std::size_t{1} << num_qubits;
    // Five or more terms go through the transposed tile; fewer are cheaper as
    // separate scalar chains.
    if (count >= 5) return sums_tile(psi, len, terms, count, sums);
    switch (count) {
        case 4: return sums_lanes<4>(psi, len, terms, sums);
        case 3: return sums_lanes<3>(psi, len, terms, sums);
        case 2: return sums_lanes<2>(psi, len, terms, sums);
        case 1: return sums_lanes<1>(psi, len, terms, sums);
        default: return;
    }
}

}  // namespace vantelo::sim

#endif  // VANTELO_AVX2_KERNELS
