// The fused dense kernel with AVX2 and FMA (the only file built with
// -mfma; the check on the module's code allows fused multiply-adds in the
// fused_fma namespace alone). Eight groups run side by side, one per lane,
// read from the interleaved (re, im) layout of the state and split into real
// and imaginary registers; each lane does exactly the operations of
// fused_groups_scalar, in its order.
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
    // Whether each output register goes straight to its place (no
    // rearrangement across rows), so it can be stored as soon as it is made.
    static constexpr bool kDirect = Low == 0;
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

// Rows per pass over the columns, as measured fastest (bench/blocks_bench.cpp
// --kernels 1). Two targets keep all twelve inputs in registers and take
// one row at a time (its three sums); three and four targets keep the twelve
// sums of four rows and stream their inputs; five, whose entries are
// broadcast one float at a time, take two rows.
template <std::size_t Dim>
inline constexpr std::size_t kRows = Dim == 4 ? 1 : Dim == 32 ? 2 : 4;

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

// Two quads, at bases a0 and a1, as fused_groups_scalar computes their
// groups. Their columns are split into real parts, imaginary parts and
// sums, eight groups to a register, in the lane order
//   [q0 g0, q0 g1, q1 g0, q1 g1 | q0 g2, q0 g3, q1 g2, q1 g3],
// which an unpack of the real and imaginary results turns back into each
// quad's interleaved registers. With `single` the second quad is the first
// again, and only the first is stored.
template <std::size_t Dim, Order O, class L>
inline void quad_pair(Amplitude* a0, Amplitude* a1, bool single, const float* entries, const L& layout,
                      const std::size_t* off, const std::uint8_t* order) {
    __m256 x0[Dim];
    __m256 x1[Dim];
    layout.template load_inputs<Dim>(a0, off, x0);
    if (single) {
        for (std::size_t c = 0; c < Dim; ++c) x1[c] = x0[c];
    } else {
        layout.template load_inputs<Dim>(a1, off, x1);
    }
    __m256 re[Dim];
    __m256 im[Dim];
    __m256 sum[Dim];
    for (std::size_t c = 0; c < Dim; ++c) {
        re[c] = _mm256_shuffle_ps(x0[c], x1[c], _MM_SHUFFLE(2, 0, 2, 0));
        im[c] = _mm256_shuffle_ps(x0[c], x1[c], _MM_SHUFFLE(3, 1, 3, 1));
        sum[c] = _mm256_add_ps(re[c], im[c]);
    }
    for (std::size_t r0 = 0; r0 < Dim; r0 += kRows<Dim>) {
        __m256 k1[kRows<Dim>];
        __m256 k2[kRows<Dim>];
        __m256 k3[kRows<Dim>];
        for (std::size_t i = 0; i < kRows<Dim>; ++i) k1[i] = k2[i] = k3[i] = _mm256_setzero_ps();
        for (std::size_t s = 0; s < Dim; ++s) {
            const std::size_t c = column<O>(order, s);
            for (std::size_t i = 0; i < kRows<Dim>; ++i) {
                __m256 m0, m1, m2;
                if constexpr (Dim <= kLaneDim) {
                    const __m256* e = reinterpret_cast<const __m256*>(entries) + 3 * ((r0 + i) * Dim + s);
                    m0 = e[0];
                    m1 = e[1];
                    m2 = e[2];
                } else {
                    const float* e = entries + 4 * ((r0 + i) * Dim + s);
                    m0 = _mm256_broadcast_ss(e);
                    m1 = _mm256_broadcast_ss(e + 1);
                    m2 = _mm256_broadcast_ss(e + 2);
                }
                k1[i] = _mm256_fmadd_ps(sum[c], m0, k1[i]);
                k3[i] = _mm256_fmadd_ps(im[c], m1, k3[i]);
                k2[i] = _mm256_fmadd_ps(re[c], m2, k2[i]);
            }
        }
        for (std::size_t i = 0; i < kRows<Dim>; ++i) {
            const __m256 y_re = _mm256_sub_ps(k1[i], k3[i]);
            const __m256 y_im = _mm256_add_ps(k1[i], k2[i]);
            x0[r0 + i] = _mm256_unpacklo_ps(y_re, y_im);
            x1[r0 + i] = _mm256_unpackhi_ps(y_re, y_im);
            if constexpr (L::kDirect) {
                // Every input is in registers already; storing now frees them.
                store(a0 + off[r0 + i], x0[r0 + i]);
                if (!single) store(a1 + off[r0 + i], x1[r0 + i]);
            }
        }
    }
    if constexpr (!L::kDirect) {
        layout.template store_outputs<Dim>(a0, off, x0);
        if (!single) layout.template store_outputs<Dim>(a1, off, x1);
    }
}

template <std::size_t Dim, Order O, class L>
void quads(Amplitude* a, const FusedPlan& plan, const L& layout, std::size_t quad_mask,
           std::size_t quad_begin, std::size_t quad_end) {
    // Entries as whole registers, so each multiply-add takes its entry
    // straight from memory, up to kLaneDim; a local copy of the offsets, as
    // the state's stores may alias anything and would force a reload for
    // every quad.
    const float* entries = Dim <= kLaneDim ? plan.lanes.data() : plan.packed.data();
    std::size_t off[Dim];
    std::memcpy(off, plan.offsets, sizeof(off));
    std::uint8_t order[Dim];
    std::memcpy(order, plan.order, sizeof(order));
    std::size_t base = 0;
    for (std::size_t m = quad_mask, bits = quad_begin; bits != 0; m &= m - 1, bits >>= 1)
        if (bits & 1u) base |= m & (~m + 1);
    auto next = [&](std::size_t b) { return ((b | ~quad_mask) + 1) & quad_mask; };
    std::size_t q = quad_begin;
    for (; q + 2 <= quad_end; q += 2) {
        const std::size_t second = next(base);
        quad_pair<Dim, O>(a + base, a + second, false, entries, layout, off, order);
        base = next(second);
    }
    if (q < quad_end) quad_pair<Dim, O>(a + base, a + base, true, entries, layout, off, order);
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
