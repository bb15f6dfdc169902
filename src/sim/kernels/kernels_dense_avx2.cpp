// The dense kernel with AVX2 (built with -mavx2 -mno-fma); lane arithmetic as
// described in kernels_avx2.hpp.
// Empty off x86-64 (CMake leaves it out there too).
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <algorithm>

#include "sim/kernels/kernels.hpp"
#include "sim/kernels/kernels_avx2.hpp"

namespace vantelo::sim {

using namespace avx2;

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

#endif  // VANTELO_AVX2_KERNELS
