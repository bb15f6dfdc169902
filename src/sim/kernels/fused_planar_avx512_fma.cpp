// The planar kernels of fused_planar.hpp with 512-bit registers, and the
// splitting and joining of the planes. Built with -mavx512f besides -mfma
// and run only where planar_fused_enabled(); FMA is allowed here as in the
// other fused-only files (namespace fused_fma). Empty off x86-64.
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <type_traits>

#include "sim/kernels/avx512_intrinsics.hpp"
#include "sim/kernels/fused_planar.hpp"

// GCC cannot tell that a tile's transposes read only the registers its
// loads filled (a whole number of groups), and warns for the rest.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace vantelo::sim {

namespace fused_fma {
namespace {

// Rows per pass over the columns, as measured fastest (bench/blocks_bench.cpp
// --kernels 1): one of two targets' (the three sums of a row beside twelve
// inputs in registers), two of three targets' (whose 24 inputs stay in
// registers), four of wider matrices', whose inputs sit on the stack.
template <std::size_t Dim>
inline constexpr std::size_t kPlanarRows = Dim == 4 ? 1 : Dim == 8 ? 2 : 4;

// One group's rows: inputs x_re, x_im, sum in matrix column order, every
// lane computing its own group's row with the chains of
// fused_groups_scalar, operation for operation; row r goes to out_re[r],
// out_im[r] (a register, or a place in the plane through Store).
template <std::size_t Dim, class Store>
inline void rows(const __m512* x_re, const __m512* x_im, const __m512* sum, const float* packed, Store store) {
    constexpr std::size_t Rows = kPlanarRows<Dim>;
    for (std::size_t r0 = 0; r0 < Dim; r0 += Rows) {
        __m512 k1[Rows];
        __m512 k2[Rows];
        __m512 k3[Rows];
        for (std::size_t i = 0; i < Rows; ++i) k1[i] = k2[i] = k3[i] = _mm512_setzero_ps();
        for (std::size_t s = 0; s < Dim; ++s) {
            for (std::size_t i = 0; i < Rows; ++i) {
                const float* e = packed + 4 * ((r0 + i) * Dim + s);
                k1[i] = _mm512_fmadd_ps(sum[s], _mm512_set1_ps(e[0]), k1[i]);
                k3[i] = _mm512_fmadd_ps(x_im[s], _mm512_set1_ps(e[1]), k3[i]);
                k2[i] = _mm512_fmadd_ps(x_re[s], _mm512_set1_ps(e[2]), k2[i]);
            }
        }
        for (std::size_t i = 0; i < Rows; ++i)
            store(r0 + i, _mm512_sub_ps(k1[i], k3[i]), _mm512_add_ps(k1[i], k2[i]));
    }
}

// No lane targets: column s of sixteen groups is one register of each plane.
template <std::size_t Dim>
void direct_tiles(float* re, float* im, std::uint32_t b, const PlanarPlan& plan) {
    const std::size_t tiles = ((std::size_t{1} << b) - 1) & ~plan.high_mask & ~std::size_t{15};
    std::size_t column[Dim];
    std::size_t row[Dim];
    for (std::size_t s = 0; s < Dim; ++s) column[s] = plan.load[plan.column[s]];
    for (std::size_t r = 0; r < Dim; ++r) row[r] = plan.load[plan.row[r]];
    const float* packed = plan.packed.data();
    std::size_t base = 0;
    do {
        // Every input is read before the first output is stored.
        __m512 x_re[Dim];
        __m512 x_im[Dim];
        __m512 sum[Dim];
        for (std::size_t s = 0; s < Dim; ++s) {
            x_re[s] = _mm512_loadu_ps(re + base + column[s]);
            x_im[s] = _mm512_loadu_ps(im + base + column[s]);
            sum[s] = _mm512_add_ps(x_re[s], x_im[s]);
        }
        rows<Dim>(x_re, x_im, sum, packed, [&](std::size_t r, __m512 y_re, __m512 y_im) {
            _mm512_storeu_ps(re + base + row[r], y_re);
            _mm512_storeu_ps(im + base + row[r], y_im);
        });
        base = ((base | ~tiles) + 1) & tiles;
    } while (base != 0);
}

// A 4 × 4 transpose of the floats inside each 128-bit lane of four
// registers: register bits 0, 1 trade places with lane bits 0, 1.
inline void transpose_floats(__m512& a, __m512& b, __m512& c, __m512& d) {
    const __m512d t0 = _mm512_castps_pd(_mm512_unpacklo_ps(a, b));
    const __m512d t1 = _mm512_castps_pd(_mm512_unpackhi_ps(a, b));
    const __m512d t2 = _mm512_castps_pd(_mm512_unpacklo_ps(c, d));
    const __m512d t3 = _mm512_castps_pd(_mm512_unpackhi_ps(c, d));
    a = _mm512_castpd_ps(_mm512_unpacklo_pd(t0, t2));
    b = _mm512_castpd_ps(_mm512_unpackhi_pd(t0, t2));
    c = _mm512_castpd_ps(_mm512_unpacklo_pd(t1, t3));
    d = _mm512_castpd_ps(_mm512_unpackhi_pd(t1, t3));
}

// A 4 × 4 transpose of the 128-bit lanes of four registers: register bits
// 0, 1 trade places with lane bits 2, 3.
inline void transpose_quarters(__m512& a, __m512& b, __m512& c, __m512& d) {
    const __m512 t0 = _mm512_shuffle_f32x4(a, b, _MM_SHUFFLE(1, 0, 1, 0));
    const __m512 t1 = _mm512_shuffle_f32x4(a, b, _MM_SHUFFLE(3, 2, 3, 2));
    const __m512 t2 = _mm512_shuffle_f32x4(c, d, _MM_SHUFFLE(1, 0, 1, 0));
    const __m512 t3 = _mm512_shuffle_f32x4(c, d, _MM_SHUFFLE(3, 2, 3, 2));
    a = _mm512_shuffle_f32x4(t0, t2, _MM_SHUFFLE(2, 0, 2, 0));
    b = _mm512_shuffle_f32x4(t0, t2, _MM_SHUFFLE(3, 1, 3, 1));
    c = _mm512_shuffle_f32x4(t1, t3, _MM_SHUFFLE(2, 0, 2, 0));
    d = _mm512_shuffle_f32x4(t1, t3, _MM_SHUFFLE(3, 1, 3, 1));
}

// Each transposed group of registers (see PlanarPlan::swap); its own
// inverse.
template <int Swap>
inline void transpose_groups(__m512* x, std::size_t count) {
    constexpr std::size_t Regs = Swap == 3 ? 16 : 4;
    for (std::size_t h = 0; h < count; h += Regs) {
        __m512* g = x + h;
        if constexpr (Swap == 1) transpose_floats(g[0], g[1], g[2], g[3]);
        if constexpr (Swap == 2) transpose_quarters(g[0], g[1], g[2], g[3]);
        if constexpr (Swap == 3) {
            for (std::size_t m = 0; m < 16; m += 4) transpose_floats(g[m], g[m + 1], g[m + 2], g[m + 3]);
            for (std::size_t m = 0; m < 4; ++m) transpose_quarters(g[m], g[m + 4], g[m + 8], g[m + 12]);
        }
    }
}

// Three targets with lane targets: each tile's registers are loaded and
// transposed, so that a register holds one setting of the swapped lane
// bits for sixteen groups, and transposed back after the sums. Here the
// registers are picked at run time, through memory; that runs about as
// fast as the interleaved form (bench/blocks_bench.cpp --kernels 1).
template <std::size_t Dim, int Swap, std::size_t LaneTargets>
void swapped_tiles(float* re, float* im, std::uint32_t b, const PlanarPlan& plan) {
    constexpr std::size_t Regs = Swap == 3 ? 16 : 4;
    constexpr std::size_t Loads = (Dim >> LaneTargets) * Regs;
    constexpr std::size_t Groups = Regs >> LaneTargets;
    const std::size_t tiles =
        ((std::size_t{1} << b) - 1) & ~plan.high_mask & ~plan.partner_mask & ~std::size_t{15};
    std::size_t load[Loads];
    std::uint16_t column[Groups * Dim];
    std::uint16_t row[Groups * Dim];
    for (std::size_t i = 0; i < Loads; ++i) load[i] = plan.load[i];
    for (std::size_t i = 0; i < Groups * Dim; ++i) column[i] = plan.column[i], row[i] = plan.row[i];
    const float* packed = plan.packed.data();
    // The tile's registers, transposed, as floats: picked by the plan's
    // indices at run time, so they live in memory.
    alignas(64) float t_re[Loads * 16];
    alignas(64) float t_im[Loads * 16];
    std::size_t base = 0;
    do {
        {
            __m512 x_re[Loads];
            __m512 x_im[Loads];
            for (std::size_t i = 0; i < Loads; ++i) {
                x_re[i] = _mm512_loadu_ps(re + base + load[i]);
                x_im[i] = _mm512_loadu_ps(im + base + load[i]);
            }
            transpose_groups<Swap>(x_re, Loads);
            transpose_groups<Swap>(x_im, Loads);
            for (std::size_t i = 0; i < Loads; ++i) {
                _mm512_store_ps(t_re + 16 * i, x_re[i]);
                _mm512_store_ps(t_im + 16 * i, x_im[i]);
            }
        }
        for (std::size_t g = 0; g < Groups; ++g) {
            __m512 x_re[Dim];
            __m512 x_im[Dim];
            __m512 sum[Dim];
            for (std::size_t s = 0; s < Dim; ++s) {
                x_re[s] = _mm512_load_ps(t_re + 16 * column[g * Dim + s]);
                x_im[s] = _mm512_load_ps(t_im + 16 * column[g * Dim + s]);
                sum[s] = _mm512_add_ps(x_re[s], x_im[s]);
            }
            rows<Dim>(x_re, x_im, sum, packed, [&](std::size_t r, __m512 y_re, __m512 y_im) {
                _mm512_store_ps(t_re + 16 * row[g * Dim + r], y_re);
                _mm512_store_ps(t_im + 16 * row[g * Dim + r], y_im);
            });
        }
        __m512 y_re[Loads];
        __m512 y_im[Loads];
        for (std::size_t i = 0; i < Loads; ++i) {
            y_re[i] = _mm512_load_ps(t_re + 16 * i);
            y_im[i] = _mm512_load_ps(t_im + 16 * i);
        }
        transpose_groups<Swap>(y_re, Loads);
        transpose_groups<Swap>(y_im, Loads);
        for (std::size_t i = 0; i < Loads; ++i) {
            _mm512_storeu_ps(re + base + load[i], y_re[i]);
            _mm512_storeu_ps(im + base + load[i], y_im[i]);
        }
        base = ((base | ~tiles) + 1) & tiles;
    } while (base != 0);
}

// Registers a and b trade the halves of their lanes that differ in lane
// bit Bit: afterwards a holds the lanes of both with that bit clear, b
// those with it set, and the bit tells a's from b's. Its own inverse.
// Shuffles inside 128-bit lanes where the bit allows: on this CPU family
// they cost a third of a two-source permute.
template <std::size_t Bit>
inline void swap_lane_bit(__m512& a, __m512& b) {
    __m512 u;
    __m512 v;
    if constexpr (Bit == 0) {
        u = _mm512_mask_moveldup_ps(a, 0xAAAA, b);
        v = _mm512_mask_movehdup_ps(b, 0x5555, a);
    } else if constexpr (Bit == 1) {
        u = _mm512_castpd_ps(_mm512_unpacklo_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
        v = _mm512_castpd_ps(_mm512_unpackhi_pd(_mm512_castps_pd(a), _mm512_castps_pd(b)));
    } else if constexpr (Bit == 2) {
        u = _mm512_mask_shuffle_f32x4(a, 0xF0F0, b, b, _MM_SHUFFLE(2, 2, 0, 0));
        v = _mm512_mask_shuffle_f32x4(b, 0x0F0F, a, a, _MM_SHUFFLE(3, 3, 1, 1));
    } else {
        u = _mm512_shuffle_f32x4(a, b, _MM_SHUFFLE(1, 0, 1, 0));
        v = _mm512_shuffle_f32x4(a, b, _MM_SHUFFLE(3, 2, 3, 2));
    }
    a = u;
    b = v;
}

// Two targets with lane targets. Each lane target trades places with a
// partner bit of its own (swap_lane_bit on the registers that differ in
// the partner), after which register c of the tile holds group index c
// for sixteen groups. Every register is known when compiled: one picked at
// run time would go through memory, and reading it back straight after
// the stores costs more than the sums (2–3× slower). Lane targets on bits
// Bit0 (the lower target) and Bit1 (the higher; 4 when it is high).
template <std::size_t Bit0, std::size_t Bit1, bool SwappedOrder>
void pair_tiles(float* re, float* im, std::uint32_t b, const PlanarPlan& plan) {
    const std::size_t tiles =
        ((std::size_t{1} << b) - 1) & ~plan.high_mask & ~plan.partner_mask & ~std::size_t{15};
    std::size_t load[4];
    for (std::size_t c = 0; c < 4; ++c) load[c] = plan.load[c];
    auto swap_lanes = [](__m512* t) {
        swap_lane_bit<Bit0>(t[0], t[1]);
        swap_lane_bit<Bit0>(t[2], t[3]);
        if constexpr (Bit1 < 4) {
            swap_lane_bit<Bit1>(t[0], t[2]);
            swap_lane_bit<Bit1>(t[1], t[3]);
        }
    };
    const float* packed = plan.packed.data();
    // The matrix's columns listed from the higher target (group index s)
    // or from the lower (group indices 1 and 2 trade places).
    auto column = [](std::size_t s) { return SwappedOrder ? ((s & 1u) << 1) | (s >> 1) : s; };
    std::size_t base = 0;
    do {
        __m512 t_re[4];
        __m512 t_im[4];
        for (std::size_t c = 0; c < 4; ++c) {
            t_re[c] = _mm512_loadu_ps(re + base + load[c]);
            t_im[c] = _mm512_loadu_ps(im + base + load[c]);
        }
        swap_lanes(t_re);
        swap_lanes(t_im);
        __m512 x_re[4];
        __m512 x_im[4];
        __m512 sum[4];
        for (std::size_t s = 0; s < 4; ++s) {
            x_re[s] = t_re[column(s)];
            x_im[s] = t_im[column(s)];
            sum[s] = _mm512_add_ps(x_re[s], x_im[s]);
        }
        rows<4>(x_re, x_im, sum, packed, [&](std::size_t r, __m512 y_re, __m512 y_im) {
            t_re[r] = y_re;
            t_im[r] = y_im;
        });
        swap_lanes(t_re);
        swap_lanes(t_im);
        for (std::size_t c = 0; c < 4; ++c) {
            _mm512_storeu_ps(re + base + load[c], t_re[c]);
            _mm512_storeu_ps(im + base + load[c], t_im[c]);
        }
        base = ((base | ~tiles) + 1) & tiles;
    } while (base != 0);
}

template <std::size_t Bit0, std::size_t Bit1>
void pair_ordered(float* re, float* im, std::uint32_t b, const PlanarPlan& plan) {
    if (plan.order_swapped) return pair_tiles<Bit0, Bit1, true>(re, im, b, plan);
    return pair_tiles<Bit0, Bit1, false>(re, im, b, plan);
}

template <std::size_t Bit0>
void pair_second(float* re, float* im, std::uint32_t b, const PlanarPlan& plan) {
    const std::size_t second = plan.lane_bits & ~(std::size_t{1} << Bit0);
    if constexpr (Bit0 < 1) {
        if (second == 2) return pair_ordered<Bit0, 1>(re, im, b, plan);
    }
    if constexpr (Bit0 < 2) {
        if (second == 4) return pair_ordered<Bit0, 2>(re, im, b, plan);
    }
    if constexpr (Bit0 < 3) {
        if (second == 8) return pair_ordered<Bit0, 3>(re, im, b, plan);
    }
    return pair_ordered<Bit0, 4>(re, im, b, plan);
}

void pair_for(float* re, float* im, std::uint32_t b, const PlanarPlan& plan) {
    switch (__builtin_ctzll(plan.lane_bits)) {
        case 0: return pair_second<0>(re, im, b, plan);
        case 1: return pair_second<1>(re, im, b, plan);
        case 2: return pair_second<2>(re, im, b, plan);
        default: return pair_second<3>(re, im, b, plan);
    }
}

template <int Swap>
void swapped_for(float* re, float* im, std::uint32_t b, const PlanarPlan& plan) {
    // One or two lane targets in a pair of lane bits; two or three across
    // both pairs.
    if constexpr (Swap != 3) {
        if (plan.lane_targets == 1) return swapped_tiles<8, Swap, 1>(re, im, b, plan);
        return swapped_tiles<8, Swap, 2>(re, im, b, plan);
    } else {
        if (plan.lane_targets == 2) return swapped_tiles<8, 3, 2>(re, im, b, plan);
        return swapped_tiles<8, 3, 3>(re, im, b, plan);
    }
}

template <std::size_t Dim>
void planar_for(float* re, float* im, std::uint32_t b, const PlanarPlan& plan) {
    if constexpr (Dim == 4) {
        if (plan.lane_targets == 0) return direct_tiles<4>(re, im, b, plan);
        return pair_for(re, im, b, plan);
    } else if constexpr (Dim == 8) {
        switch (plan.swap) {
            case 0: return direct_tiles<8>(re, im, b, plan);
            case 1: return swapped_for<1>(re, im, b, plan);
            case 2: return swapped_for<2>(re, im, b, plan);
            default: return swapped_for<3>(re, im, b, plan);
        }
    } else {
        return direct_tiles<Dim>(re, im, b, plan);
    }
}

}  // namespace

void apply_planar(float* re, float* im, std::uint32_t b, const PlanarPlan& plan) {
    switch (plan.dim) {
        case 4: return planar_for<4>(re, im, b, plan);
        case 8: return planar_for<8>(re, im, b, plan);
        case 16: return planar_for<16>(re, im, b, plan);
        default: return planar_for<32>(re, im, b, plan);
    }
}

}  // namespace fused_fma

void apply_fused_planar(float* re, float* im, std::uint32_t b, const PlanarPlan& plan) {
    fused_fma::apply_planar(re, im, b, plan);
}

namespace {

// Eight amplitudes at p and eight at q to sixteen floats of each plane.
inline void split_pieces(const float* p, const float* q, float* re, float* im) {
    const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
    const __m512 lo = _mm512_loadu_ps(p);
    const __m512 hi = _mm512_loadu_ps(q);
    _mm512_storeu_ps(re, _mm512_permutex2var_ps(lo, even, hi));
    _mm512_storeu_ps(im, _mm512_permutex2var_ps(lo, odd, hi));
}

inline void join_pieces(const float* re, const float* im, float* p, float* q) {
    const __m512i lo = _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
    const __m512i hi = _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
    const __m512 r = _mm512_loadu_ps(re);
    const __m512 m = _mm512_loadu_ps(im);
    _mm512_storeu_ps(p, _mm512_permutex2var_ps(r, lo, m));
    _mm512_storeu_ps(q, _mm512_permutex2var_ps(r, hi, m));
}

inline std::size_t next_subset(std::size_t x, std::size_t mask) { return ((x | ~mask) + 1) & mask; }

// Runs of eight amplitudes go two to a register; longer ones sixteen
// amplitudes at a time. State is float (join) or const float (split).
template <class State, class Plane>
void copy_runs(State* f, std::size_t base, std::size_t high, std::uint32_t run, std::size_t runs, Plane* re,
               Plane* im) {
    constexpr bool kSplit = std::is_const_v<State>;
    auto piece = [&](State* p, State* q, Plane* r, Plane* m) {
        if constexpr (kSplit) split_pieces(p, q, r, m);
        else join_pieces(r, m, p, q);
    };
    std::size_t offset = 0;
    if (run == 3) {
        for (std::size_t r = 0; r < runs; r += 2) {
            const std::size_t second = next_subset(offset, high);
            piece(f + 2 * (base + offset), f + 2 * (base + second), re + 8 * r, im + 8 * r);
            offset = next_subset(second, high);
        }
        return;
    }
    const std::size_t len = std::size_t{1} << run;
    for (std::size_t r = 0; r < runs; ++r, offset = next_subset(offset, high)) {
        State* p = f + 2 * (base + offset);
        for (std::size_t i = 0; i < len; i += 16) piece(p + 2 * i, p + 2 * i + 16, re + r * len + i, im + r * len + i);
    }
}

}  // namespace

void split_runs(const Amplitude* a, std::size_t base, std::size_t high, std::uint32_t run, std::size_t runs,
                float* re, float* im) {
    copy_runs(reinterpret_cast<const float*>(a), base, high, run, runs, re, im);
}

void join_runs(const float* re, const float* im, Amplitude* a, std::size_t base, std::size_t high,
               std::uint32_t run, std::size_t runs) {
    copy_runs(reinterpret_cast<float*>(a), base, high, run, runs, re, im);
}

}  // namespace vantelo::sim

#endif  // VANTELO_AVX2_KERNELS
