// Lighter one-qubit kernels for matrices whose entries are zero, real or
// imaginary in a few common patterns (rx, ry, rz, h, p, s, t, x, y, z, …).
//
// The dense kernel forms every product x·m as (x.re·m.re − x.im·m.im,
// x.im·m.re + x.re·m.im). Where m.im is ±0 and x is finite, x.im·m.im and
// x.re·m.im are ±0, and adding or subtracting ±0 leaves the other term as it
// is, up to the sign of zero; the same holds for m.re = ±0, and for a zero
// entry, whose whole product is ±0. The light kernels therefore drop those
// products and keep the others, computed as the dense kernel computes them:
// for a finite input they give the dense results up to the sign of zero.
// A non-finite input would make a dropped product NaN (0·∞), so the caller
// runs them only on arrays it has proven finite (see light_bound_ok).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/amplitude.hpp"
#include "sim/cpu/cpu_features.hpp"
#include "sim/gates/gate.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/kernels/kernels.hpp"

namespace vantelo::sim {

// Which products of m00, m01, m10, m11 each pattern keeps: Z none (a zero
// entry), R the real part, I the imaginary part, C both.
enum class LightPattern : std::uint8_t {
    None,
    RealDiagonal,  // R Z Z R: z
    Diagonal,      // C Z Z C: rz, p, s, t
    Real,          // R R R R: ry, h
    RealImag,      // R I I R: rx
    AntiReal,      // Z R R Z: x
    Anti,          // Z C C Z: y
};

// The cheapest pattern m fits, or None.
LightPattern light_pattern(const Matrix2& m);

// How far one application of a matrix (row-major, rows of `cols` entries)
// can grow the largest component of a state, in sixteenths of a binary order
// of magnitude. A component of a row's result is a sum of products of the
// row's parts with the input's, so it is at most the row's sum of |re| + |im|
// over its entries times the largest input component; amplitudes a
// controlled item leaves alone keep theirs. The units are
// ceil(16·log2(max(1, largest row sum)·(1 + 2^-10))), at least 1: the margin
// covers the rounding of the sums and of the entries the kernels derive.
// kUnboundedGrowth when an entry is not finite or larger than 2^16.
inline constexpr int kGrowthUnitsPerBit = 16;
inline constexpr int kUnboundedGrowth = 1 << 20;
int growth_units(const Amplitude* matrix, std::size_t entries, std::size_t cols);

// Components of at most 2^32 in magnitude pass the check below; after
// items whose growth adds up to at most kLightBudget units (90 binary
// orders) they stay below 2^124, finite, so every item in between may run a
// light kernel.
inline constexpr int kLightBudget = 90 * kGrowthUnitsPerBit;

// True when every component of a[0, len) is finite and at most 2^32 in
// magnitude. The scalar form is the reference.
bool light_bound_ok_scalar(const Amplitude* a, std::size_t len);
#if VANTELO_AVX2_KERNELS
bool light_bound_ok_avx2(const Amplitude* a, std::size_t len);

// The one-qubit update of a 2^n array (len ≥ 8, q < n) with pattern p
// (not None); only call it when cpu_has_avx2() and the array passed the
// bound check within the budget.
void light_single_qubit_avx2(Amplitude* a, std::size_t len, Qubit q, const Matrix2& m,
                             LightPattern p);

// light_single_qubit_avx2 with (qa, ma, pa) and then with (qb, mb, pb), in
// one sweep and with the same values; qa and qb are distinct and len ≥ 16.
void light_pair_avx2(Amplitude* a, std::size_t len, Qubit qa, const Matrix2& ma, LightPattern pa, Qubit qb,
                     const Matrix2& mb, LightPattern pb);
#endif

// Where a light pair on qubits qa, qb ≥ 2 reads and writes the four
// amplitudes of each group, as offsets from the group's first: register 0
// holds the amplitude with neither bit set, 1 the one with bit qa, 2 with
// bit qb, 3 with both. Runs that trade places on those two qubits alone (a
// cx, a swap), or change sign (a cz), move no value through arithmetic, so
// a pair beside them reads from where they would have moved its inputs (the
// swaps before it) or writes to where they would move its outputs (after
// it), flipping the sign bits they would flip, and the swaps cost no sweep
// of their own.
struct QuadMoves {
    std::size_t from[4];
    std::size_t to[4];
    std::uint8_t flip_in = 0;   // bit k: register k's inputs change sign as read
    std::uint8_t flip_out = 0;  // bit k: its outputs change sign as written
};

inline QuadMoves quad_in_place(Qubit qa, Qubit qb) {
    const std::size_t sa = std::size_t{1} << qa;
    const std::size_t sb = std::size_t{1} << qb;
    return {{0, sa, sb, sa + sb}, {0, sa, sb, sa + sb}, 0, 0};
}

#if VANTELO_AVX2_KERNELS
// light_pair_avx2 (qa, qb ≥ 2) reading and writing where `moves` says.
void light_pair_moved_avx2(Amplitude* a, std::size_t len, Qubit qa, const Matrix2& ma, LightPattern pa, Qubit qb,
                           const Matrix2& mb, LightPattern pb, const QuadMoves& moves);
#endif

// A monomial operation (see MonomialPlan) whose targets are all qubits ≥ 2,
// so a group's amplitudes are runs of 2^low ≥ 4 contiguous ones. Most rows
// either swap in pairs with entry 1 (cx, swap, ccx, cswap, …) or keep their
// own input times their entry (cz, cp, crz, ccz, …); any other permutation
// with phases (iswap, cy, a cx fused with phases) is `moved`: every row that
// is not the identity takes its source run times its entry. For finite
// inputs the monomial kernel's values, without its per-register checks.
struct LightRuns {
    std::size_t low = 0;          // the lowest target
    std::size_t num_swaps = 0;
    std::size_t swap[4][2];       // offsets of the runs that trade places
    std::size_t num_scaled = 0;   // with moved: the number of rows it lists
    std::size_t scaled[8];        // offsets of the runs multiplied by an entry
    std::uint8_t unit[8];         // as MonomialPlan::unit
    Amplitude entry[8];
    bool moved = false;           // scaled[i] takes source[i]'s run times entry[i]
    std::size_t source[8];        // moved: offsets of the runs read
};

bool make_light_runs(const GeneralPlan& plan, const MonomialPlan& mono, LightRuns& out);

// The update of a 2^n array (len ≥ 2^(low + 1)); only call it when
// cpu_has_avx2() and the array passed the bound check within the budget.
#if VANTELO_AVX2_KERNELS
void light_runs_avx2(Amplitude* a, std::size_t len, const GeneralPlan& plan, const LightRuns& runs);
#endif

}  // namespace vantelo::sim
