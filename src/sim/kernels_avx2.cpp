// AVX2 kernels (built with -mavx2 -mno-fma). A 256-bit register holds four
// amplitudes as (re, im) float pairs. Every lane does exactly the scalar
// operations of cmul/cadd: two products, one subtract (real) or add
// (imaginary), then component-wise sums in the scalar order. _mm256_addsub_ps
// subtracts in even (real) lanes and adds in odd (imaginary) lanes, which is
// that scalar step when its operands hold the right products; float products
// and sums are commutative bit for bit, so operand order within one product
// or one addition does not matter.
#include <immintrin.h>

#include <algorithm>
#include <array>

#include "sim/kernels.hpp"

namespace vantelo::sim {

namespace {

// A matrix entry broadcast to every lane: all real parts, all imaginary parts.
struct Entry {
    __m256 re;
    __m256 im;
};

Entry broadcast(Amplitude m) { return {_mm256_set1_ps(m.re), _mm256_set1_ps(m.im)}; }

// (re, im) -> (im, re) in every amplitude.
inline __m256 swap_re_im(__m256 x) { return _mm256_permute_ps(x, 0xB1); }

// x·m per amplitude, given x and swap_re_im(x):
// real x.re·m.re − x.im·m.im, imaginary x.im·m.re + x.re·m.im.
inline __m256 mul(__m256 x, __m256 x_swapped, const Entry& m) {
    return _mm256_addsub_ps(_mm256_mul_ps(x, m.re), _mm256_mul_ps(x_swapped, m.im));
}

// The one-qubit update of four pairs held lane by lane in x0 (bit q = 0) and
// x1 (bit q = 1): y0 = m00·x0 + m01·x1, y1 = m10·x0 + m11·x1.
inline void update(__m256& x0, __m256& x1, const std::array<Entry, 4>& m) {
    const __m256 s0 = swap_re_im(x0);
    const __m256 s1 = swap_re_im(x1);
    const __m256 y0 = _mm256_add_ps(mul(x0, s0, m[0]), mul(x1, s1, m[1]));
    const __m256 y1 = _mm256_add_ps(mul(x0, s0, m[2]), mul(x1, s1, m[3]));
    x0 = y0;
    x1 = y1;
}

inline __m256 load(const Amplitude* p) { return _mm256_loadu_ps(reinterpret_cast<const float*>(p)); }
inline void store(Amplitude* p, __m256 v) { _mm256_storeu_ps(reinterpret_cast<float*>(p), v); }

inline __m256 unpack_lo(__m256 a, __m256 b) {
    return _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}
inline __m256 unpack_hi(__m256 a, __m256 b) {
    return _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}

// Target 0: a pair is two neighbouring amplitudes. Eight amplitudes (four
// chunks) at a time: the 64-bit unpacks move the even ones into x0 and the
// odd ones into x1, and the same unpacks put the results back in order.
std::size_t target0(Amplitude* p, std::size_t count, const std::array<Entry, 4>& m) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 r0 = load(p + i);      // a0 a1 | a2 a3
        const __m256 r1 = load(p + i + 4);  // a4 a5 | a6 a7
        __m256 x0 = unpack_lo(r0, r1);      // a0 a4 | a2 a6
        __m256 x1 = unpack_hi(r0, r1);      // a1 a5 | a3 a7
        update(x0, x1, m);
        store(p + i, unpack_lo(x0, x1));
        store(p + i + 4, unpack_hi(x0, x1));
    }
    return i;
}

// Target 1: a chunk is four amplitudes whose pairs are (0, 2) and (1, 3), so
// x0 is the low 128-bit half of a register and x1 the high half. Two chunks
// at a time.
std::size_t target1(Amplitude* p, std::size_t count, const std::array<Entry, 4>& m) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 r0 = load(p + i);
        const __m256 r1 = load(p + i + 4);
        __m256 x0 = _mm256_permute2f128_ps(r0, r1, 0x20);
        __m256 x1 = _mm256_permute2f128_ps(r0, r1, 0x31);
        update(x0, x1, m);
        store(p + i, _mm256_permute2f128_ps(x0, x1, 0x20));
        store(p + i + 4, _mm256_permute2f128_ps(x0, x1, 0x31));
    }
    return i;
}

// Targets ≥ 2: the two halves of a chunk are contiguous runs of 2^q ≥ 4
// amplitudes, updated four pairs at a time (eight while the run allows, to
// keep two independent chains in flight).
void high_target_chunk(Amplitude* lo, std::size_t half, const std::array<Entry, 4>& m) {
    Amplitude* hi = lo + half;
    std::size_t j = 0;
    for (; j + 8 <= half; j += 8) {
        __m256 a0 = load(lo + j);
        __m256 a1 = load(hi + j);
        __m256 b0 = load(lo + j + 4);
        __m256 b1 = load(hi + j + 4);
        update(a0, a1, m);
        update(b0, b1, m);
        store(lo + j, a0);
        store(hi + j, a1);
        store(lo + j + 4, b0);
        store(hi + j + 4, b1);
    }
    for (; j < half; j += 4) {
        __m256 x0 = load(lo + j);
        __m256 x1 = load(hi + j);
        update(x0, x1, m);
        store(lo + j, x0);
        store(hi + j, x1);
    }
}

// Targets whose chunks span 1 KiB to 128 KiB: the two halves of a chunk are
// short interleaved streams that the hardware prefetchers follow poorly (up to
// three times slower than one sequential pass). Fetching the data ahead, in
// address order and at the rate the update consumes it, keeps the memory
// traffic sequential: `ahead` bytes beyond the current position of the lower
// half, two lines per step of eight pairs, never past `end`.
constexpr Qubit kStreamedMinTarget = 6;
constexpr Qubit kStreamedMaxTarget = 13;

template <int Hint>
void streamed_chunk(Amplitude* lo, std::size_t half, const std::array<Entry, 4>& m,
                    std::size_t ahead, const char* end) {
    Amplitude* hi = lo + half;
    const char* next = reinterpret_cast<const char*>(lo) + ahead;
    for (std::size_t j = 0; j < half; j += 8, next += 128) {
        if (next < end) {
            _mm_prefetch(next, static_cast<_mm_hint>(Hint));
            _mm_prefetch(next + 64, static_cast<_mm_hint>(Hint));
        }
        __m256 a0 = load(lo + j);
        __m256 a1 = load(hi + j);
        __m256 b0 = load(lo + j + 4);
        __m256 b1 = load(hi + j + 4);
        update(a0, a1, m);
        update(b0, b1, m);
        store(lo + j, a0);
        store(hi + j, a1);
        store(lo + j + 4, b0);
        store(hi + j + 4, b1);
    }
}

}  // namespace

void apply_single_qubit_chunks_avx2(Amplitude* a, Qubit q, const Matrix2& m,
                                    std::size_t chunk_begin, std::size_t chunk_end) {
    const std::array<Entry, 4> e{broadcast(m[0]), broadcast(m[1]), broadcast(m[2]), broadcast(m[3])};
    if (q <= 1) {
        // Low targets: the chunks of the range are one contiguous run.
        const std::size_t chunk_len = std::size_t{2} << q;
        Amplitude* p = a + chunk_begin * chunk_len;
        const std::size_t count = (chunk_end - chunk_begin) * chunk_len;
        const std::size_t done = q == 0 ? target0(p, count, e) : target1(p, count, e);
        apply_single_qubit_chunks_scalar(a, q, m, chunk_begin + done / chunk_len, chunk_end);
        return;
    }
    const std::size_t half = std::size_t{1} << q;
    if (q >= kStreamedMinTarget && q <= kStreamedMaxTarget) {
        // Stay at least a chunk ahead so the whole next chunk arrives in
        // order; data fetched more than 8 KiB ahead is kept out of the small
        // L1 (the hint that measured best for 16 KiB to 128 KiB chunks).
        const std::size_t chunk_bytes = (std::size_t{2} << q) * sizeof(Amplitude);
        const std::size_t ahead = chunk_bytes > 4096 ? chunk_bytes : 4096;
        const char* end = reinterpret_cast<const char*>(a + (chunk_end << (q + 1)));
        for (std::size_t c = chunk_begin; c < chunk_end; ++c) {
            Amplitude* lo = a + (c << (q + 1));
            if (ahead <= 8192)
                streamed_chunk<_MM_HINT_T0>(lo, half, e, ahead, end);
            else
                streamed_chunk<_MM_HINT_T2>(lo, half, e, ahead, end);
        }
        return;
    }
    for (std::size_t c = chunk_begin; c < chunk_end; ++c) high_target_chunk(a + (c << (q + 1)), half, e);
}

AlignedArray<float> pack_matrix_avx2(const GeneralPlan& plan) {
    const std::size_t dim = plan.dim;
    AlignedArray<float> packed = AlignedArray<float>::uninitialized((dim / 4) * dim * 16);
    float* out = packed.data();
    for (std::size_t block = 0; block < dim / 4; ++block) {
        for (std::size_t c = 0; c < dim; ++c) {
            for (std::size_t i = 0; i < 4; ++i) {
                const Amplitude v = plan.matrix[(block * 4 + i) * dim + c];
                out[2 * i] = v.re;
                out[2 * i + 1] = v.im;
                out[8 + 2 * i] = v.im;
                out[8 + 2 * i + 1] = v.re;
            }
            out += 16;
        }
    }
    return packed;
}

namespace {

// One product per lane for four rows of one column: lane i of `entries` is
// M[r_i][c] as (re, im) and of `swapped` as (im, re); x is the input x[c].
// Real: x.re·m.re − x.im·m.im, imaginary: x.re·m.im + x.im·m.re.
inline __m256 column_product(const Amplitude* x, __m256 entries, __m256 swapped) {
    const __m256 xr = _mm256_broadcast_ss(&x->re);
    const __m256 xi = _mm256_broadcast_ss(&x->im);
    return _mm256_addsub_ps(_mm256_mul_ps(xr, entries), _mm256_mul_ps(xi, swapped));
}

// Writes the four amplitudes of v to a[base + off[0..3]].
inline void scatter4(Amplitude* a, std::size_t base, const std::size_t* off, __m256 v) {
    const __m128 lo = _mm256_castps256_ps128(v);
    const __m128 hi = _mm256_extractf128_ps(v, 1);
    _mm_storel_pi(reinterpret_cast<__m64*>(a + base + off[0]), lo);
    _mm_storeh_pi(reinterpret_cast<__m64*>(a + base + off[1]), lo);
    _mm_storel_pi(reinterpret_cast<__m64*>(a + base + off[2]), hi);
    _mm_storeh_pi(reinterpret_cast<__m64*>(a + base + off[3]), hi);
}

// Two targets: the four rows are one block and every input is read straight
// from the state before any output is written, so no scratch copy is needed.
void groups_two_targets(Amplitude* a, const GeneralPlan& plan, const float* packed,
                        std::size_t group_begin, std::size_t group_end) {
    __m256 ent[4];
    __m256 swp[4];
    for (std::size_t c = 0; c < 4; ++c) {
        ent[c] = _mm256_load_ps(packed + 16 * c);
        swp[c] = _mm256_load_ps(packed + 16 * c + 8);
    }
    const std::size_t off[4] = {plan.offsets[0], plan.offsets[1], plan.offsets[2], plan.offsets[3]};
    std::size_t base = group_base(plan, group_begin);
    for (std::size_t g = group_begin; g < group_end; ++g) {
        const Amplitude* x = a + base;
        __m256 acc = _mm256_setzero_ps();
        acc = _mm256_add_ps(acc, column_product(x + off[0], ent[0], swp[0]));
        acc = _mm256_add_ps(acc, column_product(x + off[1], ent[1], swp[1]));
        acc = _mm256_add_ps(acc, column_product(x + off[2], ent[2], swp[2]));
        acc = _mm256_add_ps(acc, column_product(x + off[3], ent[3], swp[3]));
        scatter4(a, base, off, acc);
        base = next_group_base(plan, base);
    }
}

// The bit of the (skip+1)-th lowest position not in mask (0 if none below 64).
std::size_t lowest_free_bit(std::size_t mask, int skip) {
    for (std::size_t bit = 1; bit != 0; bit <<= 1) {
        if (mask & bit) continue;
        if (skip-- == 0) return bit;
    }
    return 0;
}

// Dense operations four groups at a time, one group per lane. The groups
// g … g+3 (g a multiple of four) differ in the two lowest non-target bits;
// a layout loads their inputs so that x[c] holds column c of all four groups,
// and stores the rows back the same way. Each lane then does exactly the
// scalar sums of its own group.

// Every target ≥ 2: the four groups are four contiguous amplitudes, so x[c]
// is one load.
template <std::size_t Dim>
struct HighTargets {
    std::size_t off[Dim];

    void load_inputs(const Amplitude* p, __m256* x) const {
        for (std::size_t c = 0; c < Dim; ++c) x[c] = load(p + off[c]);
    }
    void store_outputs(Amplitude* p, const __m256* y) const {
        for (std::size_t r = 0; r < Dim; ++r) store(p + off[r], y[r]);
    }
};

// Matrix index c as the register slot of a two-target layout: slot bit 1 is
// the bit of the higher-placed target. When the first listed target is the
// lower one, the two bits of c trade places.
template <bool Swapped>
constexpr std::size_t slot(std::size_t c) {
    return Swapped ? ((c & 1u) << 1) | (c >> 1) : c;
}

// Targets 0 and 1: a group is one register (position = bit 0 + 2·bit 1), and
// the four groups are four consecutive registers; a 4 × 4 transpose of the
// 64-bit amplitudes turns positions into registers and groups into lanes.
template <bool Swapped>
struct BothLowTargets {
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
    void load_inputs(const Amplitude* p, __m256* x) const {
        __m256 r[4] = {load(p), load(p + 4), load(p + 8), load(p + 12)};
        transpose(r[0], r[1], r[2], r[3]);
        for (std::size_t c = 0; c < 4; ++c) x[c] = r[slot<Swapped>(c)];
    }
    void store_outputs(Amplitude* p, const __m256* y) const {
        __m256 r[4];
        for (std::size_t c = 0; c < 4; ++c) r[slot<Swapped>(c)] = y[c];
        transpose(r[0], r[1], r[2], r[3]);
        for (std::size_t j = 0; j < 4; ++j) store(p + 4 * j, r[j]);
    }
};

// One target Low ∈ {0, 1} and one at bit high ≥ 2. The other low bit and the
// lowest free bit ≥ 2 (spare) tell the four groups apart. Register (h, u) is
// the four amplitudes at bits 0 and 1 with the high target = h and spare = u;
// splitting each pair of registers by the low target's bit (as the one-qubit
// kernels do for targets 0 and 1) gives slot 2·h + l.
template <int Low, bool Swapped>
struct OneLowTarget {
    std::size_t high_step;   // 2^high
    std::size_t spare_step;  // 2^spare

    static void split(__m256 u0, __m256 u1, __m256& l0, __m256& l1) {
        if constexpr (Low == 0) {
            l0 = unpack_lo(u0, u1);
            l1 = unpack_hi(u0, u1);
        } else {
            l0 = _mm256_permute2f128_ps(u0, u1, 0x20);
            l1 = _mm256_permute2f128_ps(u0, u1, 0x31);
        }
    }
    // split is its own inverse on the pair.
    void load_inputs(const Amplitude* p, __m256* x) const {
        __m256 r[4];
        for (std::size_t h = 0; h < 2; ++h)
            split(load(p + h * high_step), load(p + h * high_step + spare_step), r[2 * h],
                  r[2 * h + 1]);
        for (std::size_t c = 0; c < 4; ++c) x[c] = r[slot<Swapped>(c)];
    }
    void store_outputs(Amplitude* p, const __m256* y) const {
        __m256 r[4];
        for (std::size_t c = 0; c < 4; ++c) r[slot<Swapped>(c)] = y[c];
        for (std::size_t h = 0; h < 2; ++h) {
            __m256 u0, u1;
            split(r[2 * h], r[2 * h + 1], u0, u1);
            store(p + h * high_step, u0);
            store(p + h * high_step + spare_step, u1);
        }
    }
};

// entries[2·(r·Dim + c)] holds M[r][c].re in every lane, the next vector
// M[r][c].im.
template <std::size_t Dim, class Layout>
void group_quad(Amplitude* a, const Layout& layout, const __m256* entries, std::size_t base) {
    __m256 x[Dim];
    __m256 s[Dim];
    layout.load_inputs(a + base, x);
    for (std::size_t c = 0; c < Dim; ++c) s[c] = swap_re_im(x[c]);
    __m256 y[Dim];
    for (std::size_t r = 0; r < Dim; ++r) {
        __m256 acc = _mm256_setzero_ps();
        for (std::size_t c = 0; c < Dim; ++c) {
            const __m256* m = entries + 2 * (r * Dim + c);
            acc = _mm256_add_ps(acc, _mm256_addsub_ps(_mm256_mul_ps(x[c], m[0]),
                                                      _mm256_mul_ps(s[c], m[1])));
        }
        y[r] = acc;
    }
    layout.store_outputs(a + base, y);
}

// Groups [group_begin, group_end) four at a time; a head or tail of fewer
// than four goes through `single`.
template <std::size_t Dim, class Layout, class Single>
void groups_by_quads(Amplitude* a, const GeneralPlan& plan, const Layout& layout,
                     std::size_t group_begin, std::size_t group_end, Single single) {
    alignas(32) __m256 entries[2 * Dim * Dim];
    for (std::size_t e = 0; e < Dim * Dim; ++e) {
        entries[2 * e] = _mm256_set1_ps(plan.matrix[e].re);
        entries[2 * e + 1] = _mm256_set1_ps(plan.matrix[e].im);
    }
    std::size_t g = group_begin;
    const std::size_t head_end = std::min(group_end, (group_begin + 3) & ~std::size_t{3});
    if (g < head_end) single(g, head_end);
    g = head_end;
    // The last group of a quad has both of the two lowest free bits set.
    const std::size_t last_of_quad = lowest_free_bit(plan.target_mask, 0) |
                                     lowest_free_bit(plan.target_mask, 1);
    std::size_t base = group_base(plan, g);
    for (; g + 4 <= group_end; g += 4) {
        group_quad<Dim>(a, layout, entries, base);
        base = next_group_base(plan, base | last_of_quad);
    }
    if (g < group_end) single(g, group_end);
}

}  // namespace

void general_row_blocks_avx2(Amplitude* a, const GeneralPlan& plan, const float* packed,
                             std::size_t base, const Amplitude* x, std::size_t block_begin,
                             std::size_t block_end) {
    const std::size_t dim = plan.dim;
    for (std::size_t block = block_begin; block < block_end; ++block) {
        const float* col = packed + block * dim * 16;
        __m256 acc = _mm256_setzero_ps();
        for (std::size_t c = 0; c < dim; ++c, col += 16)
            acc = _mm256_add_ps(acc, column_product(x + c, _mm256_load_ps(col), _mm256_load_ps(col + 8)));
        scatter4(a, base, plan.offsets.data() + block * 4, acc);
    }
}

namespace {

// One group at a time, four rows per register, from saved inputs.
void groups_by_rows(Amplitude* a, const GeneralPlan& plan, const float* packed,
                    std::size_t group_begin, std::size_t group_end, Amplitude* scratch) {
    std::size_t base = group_base(plan, group_begin);
    for (std::size_t g = group_begin; g < group_end; ++g) {
        for (std::size_t c = 0; c < plan.dim; ++c) scratch[c] = a[base + plan.offsets[c]];
        general_row_blocks_avx2(a, plan, packed, base, scratch, 0, plan.dim / 4);
        base = next_group_base(plan, base);
    }
}

}  // namespace

void general_groups_avx2(Amplitude* a, const GeneralPlan& plan, const float* packed,
                         std::size_t group_begin, std::size_t group_end, Amplitude* scratch) {
    const std::size_t low = plan.target_mask & 3u;
    if (plan.dim == 4) {
        auto single = [&](std::size_t b, std::size_t e) {
            groups_two_targets(a, plan, packed, b, e);
        };
        const std::size_t* off = plan.offsets.data();
        if (low == 0) {
            const HighTargets<4> layout{{off[0], off[1], off[2], off[3]}};
            return groups_by_quads<4>(a, plan, layout, group_begin, group_end, single);
        }
        if (low == 3) {
            // Targets [1, 0] put qubit 1 in the high bit of c already.
            if (off[1] == 1)
                return groups_by_quads<4>(a, plan, BothLowTargets<false>{}, group_begin, group_end,
                                          single);
            return groups_by_quads<4>(a, plan, BothLowTargets<true>{}, group_begin, group_end,
                                      single);
        }
        // One low target: off[1] is the second-listed target's bit, so the
        // low target is listed second exactly when off[1] < 4.
        const std::size_t high_step = (off[1] < 4) ? off[2] : off[1];
        const std::size_t spare_step = lowest_free_bit(plan.target_mask | 3u, 0);
        if (low == 1) {
            if (off[1] < 4)
                return groups_by_quads<4>(a, plan, OneLowTarget<0, false>{high_step, spare_step},
                                          group_begin, group_end, single);
            return groups_by_quads<4>(a, plan, OneLowTarget<0, true>{high_step, spare_step},
                                      group_begin, group_end, single);
        }
        if (off[1] < 4)
            return groups_by_quads<4>(a, plan, OneLowTarget<1, false>{high_step, spare_step},
                                      group_begin, group_end, single);
        return groups_by_quads<4>(a, plan, OneLowTarget<1, true>{high_step, spare_step},
                                  group_begin, group_end, single);
    }
    if (plan.dim == 8 && low == 0) {
        HighTargets<8> layout;
        for (std::size_t c = 0; c < 8; ++c) layout.off[c] = plan.offsets[c];
        return groups_by_quads<8>(a, plan, layout, group_begin, group_end,
                                  [&](std::size_t b, std::size_t e) {
                                      groups_by_rows(a, plan, packed, b, e, scratch);
                                  });
    }
    groups_by_rows(a, plan, packed, group_begin, group_end, scratch);
}

}  // namespace vantelo::sim
