// The fused dense kernel with AVX2 and FMA (the only file built with
// -mfma; the check on the module's code allows fused multiply-adds in the
// fused_fma namespace alone). Four groups run side by side, one per lane, in
// the interleaved (re, im) layout of the state; each lane does exactly the
// operations of fused_groups_scalar, in its order.
// Empty off x86-64 (CMake leaves it out there too).
#include "sim/kernels/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <immintrin.h>

#include <cstring>

#include "sim/kernels/fused_block.hpp"

namespace vantelo::sim {

namespace fused_fma {

inline __m256 load(const Amplitude* p) { return _mm256_loadu_ps(reinterpret_cast<const float*>(p)); }
inline void store(Amplitude* p, __m256 v) { _mm256_storeu_ps(reinterpret_cast<float*>(p), v); }
// The pair of floats at p in every 64-bit lane.
inline __m256 pair(const float* p) {
    return _mm256_castpd_ps(_mm256_broadcast_sd(reinterpret_cast<const double*>(p)));
}
inline __m256 unpack_lo(__m256 a, __m256 b) {
    return _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}
inline __m256 unpack_hi(__m256 a, __m256 b) {
    return _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}

// Where a quad's inputs sit. The lanes are the two lowest non-target bits
// (s0 < s1); Low is how many targets lie in bits 0 and 1 (they are then the
// lowest targets, so bit 0 of a column index, or bits 0 and 1).
//   Low 0: column c of the four groups is four consecutive amplitudes.
//   Low 1: the register at offsets[2h] and the one a spare step (the lowest
//     free bit ≥ 2) above hold columns 2h and 2h+1 of the quad, split by
//     the low target's bit.
//   Low 2: the four registers at offsets[4h] + {0, s0, s1, s0+s1} hold
//     columns 4h … 4h+3; a 4 × 4 transpose of amplitudes sorts them.
// Each rearrangement is its own inverse, so outputs go back the same way.
template <int Low, int LowBit>
struct Layout {
    std::size_t step0 = 0;  // Low 1: the spare step; Low 2: s0
    std::size_t step1 = 0;  // Low 2: s1

    static void split(__m256 u0, __m256 u1, __m256& l0, __m256& l1) {
        if constexpr (LowBit == 0) {
            l0 = unpack_lo(u0, u1);
            l1 = unpack_hi(u0, u1);
        } else {
            l0 = _mm256_permute2f128_ps(u0, u1, 0x20);
            l1 = _mm256_permute2f128_ps(u0, u1, 0x31);
        }
    }
    static void transpose(__m256& r0, __m256& r1, __m256& r2, __m256& r3) {
        const __m256 t0 = unpack_lo(r0, r1);
        const __m256 t1 = unpack_hi(r0, r1);
        const __m256 t2 = unpack_lo(r2, r3);
        const __m256 t3 = unpack_hi(r2, r3);
        r0 = _mm256_permute2f128_ps(t0, t2, 0x20);
        r1 = _mm256_permute2f128_ps(t1, t3, 0x20);
        r2 = _mm256_permute2f128_ps(t0, t2, 0x31);
        r3 = _mm256_permute2f128_ps(t1, t3, 0x31);
    }

    template <std::size_t Dim>
    void load_inputs(const Amplitude* p, const std::size_t* off, __m256* x) const {
        if constexpr (Low == 0) {
            for (std::size_t c = 0; c < Dim; ++c) x[c] = load(p + off[c]);
        } else if constexpr (Low == 1) {
            for (std::size_t h = 0; h < Dim; h += 2)
                split(load(p + off[h]), load(p + off[h] + step0), x[h], x[h + 1]);
        } else {
            for (std::size_t h = 0; h < Dim; h += 4) {
                const Amplitude* q = p + off[h];
                x[h] = load(q);
                x[h + 1] = load(q + step0);
                x[h + 2] = load(q + step1);
                x[h + 3] = load(q + step0 + step1);
                transpose(x[h], x[h + 1], x[h + 2], x[h + 3]);
            }
        }
    }
    template <std::size_t Dim>
    void store_outputs(Amplitude* p, const std::size_t* off, __m256* y) const {
        if constexpr (Low == 0) {
            for (std::size_t r = 0; r < Dim; ++r) store(p + off[r], y[r]);
        } else if constexpr (Low == 1) {
            for (std::size_t h = 0; h < Dim; h += 2) {
                __m256 u0, u1;
                split(y[h], y[h + 1], u0, u1);
                store(p + off[h], u0);
                store(p + off[h] + step0, u1);
            }
        } else {
            for (std::size_t h = 0; h < Dim; h += 4) {
                transpose(y[h], y[h + 1], y[h + 2], y[h + 3]);
                Amplitude* q = p + off[h];
                store(q, y[h]);
                store(q + step0, y[h + 1]);
                store(q + step1, y[h + 2]);
                store(q + step0 + step1, y[h + 3]);
            }
        }
    }
};

// Rows per pass over the columns: their eight sums stay in registers, with
// room left for a column's inputs.
template <std::size_t Dim>
inline constexpr std::size_t kRows = 4;

// Where the column order comes from: the plan (Runtime), or, for two
// targets, known when compiled: listed from the higher bit (Identity) or
// the lower (Swapped), where only the group indices 1 and 2 trade places.
enum class Order { Runtime, Identity, Swapped };

template <Order O>
inline std::size_t column(const std::uint8_t* order, std::size_t s) {
    if constexpr (O == Order::Identity) return s;
    else if constexpr (O == Order::Swapped) return ((s & 1u) << 1) | (s >> 1);
    else return order[s];
}

template <std::size_t Dim, Order O, class L>
void quads(Amplitude* a, const FusedPlan& plan, const L& layout, std::size_t quad_mask,
           std::size_t quad_begin, std::size_t quad_end) {
    constexpr std::size_t R = kRows<Dim>;
    // The entries as whole registers, so each multiply-add takes its entry
    // straight from memory; a local copy of the offsets, as the state's
    // stores may alias anything and would force a reload for every quad.
    // Five targets take the compact form instead (64 KiB of registers would
    // not stay in the first-level cache) and broadcast each entry.
    const __m256* entries = reinterpret_cast<const __m256*>(plan.lanes.data());
    const float* packed = plan.packed.data();
    std::size_t off[Dim];
    std::memcpy(off, plan.offsets, sizeof(off));
    std::uint8_t order[Dim];
    std::memcpy(order, plan.order, sizeof(order));
    std::size_t base = 0;
    for (std::size_t m = quad_mask, bits = quad_begin; bits != 0; m &= m - 1, bits >>= 1)
        if (bits & 1u) base |= m & (~m + 1);
    for (std::size_t q = quad_begin; q < quad_end; ++q) {
        __m256 x[Dim];
        layout.template load_inputs<Dim>(a + base, off, x);
        __m256 re[Dim];
        __m256 im[Dim];
        for (std::size_t c = 0; c < Dim; ++c) {
            re[c] = _mm256_moveldup_ps(x[c]);
            im[c] = _mm256_movehdup_ps(x[c]);
        }
        for (std::size_t r0 = 0; r0 < Dim; r0 += R) {
            // Two chains per row halve the wait on each multiply-add.
            __m256 from_re[R];
            __m256 from_im[R];
            for (std::size_t i = 0; i < R; ++i) from_re[i] = from_im[i] = _mm256_setzero_ps();
            for (std::size_t s = 0; s < Dim; ++s) {
                const __m256 in_re = re[column<O>(order, s)];
                const __m256 in_im = im[column<O>(order, s)];
                for (std::size_t i = 0; i < R; ++i) {
                    if constexpr (Dim < 32) {
                        const __m256* e = entries + 2 * ((r0 + i) * Dim + s);
                        from_re[i] = _mm256_fmadd_ps(in_re, e[0], from_re[i]);
                        from_im[i] = _mm256_fmadd_ps(in_im, e[1], from_im[i]);
                    } else {
                        const float* e = packed + 4 * ((r0 + i) * Dim + s);
                        from_re[i] = _mm256_fmadd_ps(in_re, pair(e), from_re[i]);
                        from_im[i] = _mm256_fmadd_ps(in_im, pair(e + 2), from_im[i]);
                    }
                }
            }
            for (std::size_t i = 0; i < R; ++i) x[r0 + i] = _mm256_add_ps(from_re[i], from_im[i]);
        }
        layout.template store_outputs<Dim>(a + base, off, x);
        base = ((base | ~quad_mask) + 1) & quad_mask;
    }
}

template <std::size_t Dim, Order O>
void quads_for(Amplitude* a, const FusedPlan& plan, std::size_t quad_mask, std::size_t s0,
               std::size_t s1, std::size_t begin, std::size_t end) {
    const std::size_t low = plan.target_mask & 3u;
    if (low == 0) return quads<Dim, O>(a, plan, Layout<0, 0>{}, quad_mask, begin, end);
    if (low == 3) return quads<Dim, O>(a, plan, Layout<2, 0>{s0, s1}, quad_mask, begin, end);
    // One low target; the lanes are the other low bit and s1, the spare.
    if (low == 1) return quads<Dim, O>(a, plan, Layout<1, 0>{s1, 0}, quad_mask, begin, end);
    return quads<Dim, O>(a, plan, Layout<1, 1>{s1, 0}, quad_mask, begin, end);
}

}  // namespace fused_fma

void fused_quads_fma(Amplitude* a, const FusedPlan& plan, std::uint32_t n, std::size_t quad_begin,
                     std::size_t quad_end) {
    const std::size_t all = (std::size_t{1} << n) - 1;
    const std::size_t free = all & ~plan.target_mask;
    const std::size_t s0 = free & (~free + 1);
    const std::size_t rest = free & ~s0;
    const std::size_t s1 = rest & (~rest + 1);
    const std::size_t quad_mask = rest & ~s1;
    using namespace fused_fma;
    switch (plan.num_targets) {
        case 2:
            if (plan.order[1] == 1)
                return quads_for<4, Order::Identity>(a, plan, quad_mask, s0, s1, quad_begin, quad_end);
            return quads_for<4, Order::Swapped>(a, plan, quad_mask, s0, s1, quad_begin, quad_end);
        case 3: return quads_for<8, Order::Runtime>(a, plan, quad_mask, s0, s1, quad_begin, quad_end);
        case 4: return quads_for<16, Order::Runtime>(a, plan, quad_mask, s0, s1, quad_begin, quad_end);
        default: return quads_for<32, Order::Runtime>(a, plan, quad_mask, s0, s1, quad_begin, quad_end);
    }
}

}  // namespace vantelo::sim

#endif  // VANTELO_AVX2_KERNELS
