// Gate application kernels. The scalar versions are the reference; the AVX2
// versions beside them do exactly the same single-precision operations per
// amplitude and are tested bit for bit against them. kernels.cpp picks one at
// run time and runs it on the worker pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/aligned_array.hpp"
#include "sim/amplitude.hpp"
#include "sim/cpu/cpu_features.hpp"
#include "sim/gates/gate.hpp"
#include "sim/gates/gate_catalog.hpp"

namespace vantelo::sim {

// ---- One-qubit path ------------------------------------------------------

// One-qubit update of the chunks [chunk_begin, chunk_end) of length 2^(q+1):
// within a chunk, pair j (j < 2^q) is (j, j + 2^q) and
//   y0 = m00·x0 + m01·x1, y1 = m10·x0 + m11·x1.
void apply_single_qubit_chunks_scalar(Amplitude* a, Qubit q, const Matrix2& m,
                                      std::size_t chunk_begin, std::size_t chunk_end);
// The same update for the pairs [pair_begin, pair_end) in order (pair p is
// chunk p >> q, j = p mod 2^q); the chunk form runs through this one.
void single_qubit_pairs_scalar(Amplitude* a, Qubit q, const Matrix2& m, std::size_t pair_begin,
                               std::size_t pair_end);
#if VANTELO_AVX2_KERNELS
// The same update with AVX2; only call it when cpu_has_avx2().
void apply_single_qubit_chunks_avx2(Amplitude* a, Qubit q, const Matrix2& m,
                                    std::size_t chunk_begin, std::size_t chunk_end);
#endif

// The whole one-qubit update on the worker pool, dispatched to the fastest
// kernel this CPU supports. The items of the pool's loop are the chunks.
void apply_single_qubit_kernel(Amplitude* a, std::uint32_t num_qubits, Qubit q, const Matrix2& m);

// ---- Dense path ----------------------------------------------------------

// How the dense path addresses one operation. A group is one setting of the
// non-target bits; its 2^k amplitudes sit at base + offsets[c], where c is
// the matrix row or column index (the first target is its most significant
// bit). Output row r of a group depends on that group's inputs only, so each
// group can be updated in place once its inputs are saved.
struct GeneralPlan {
    std::size_t num_targets = 0;  // k
    std::size_t dim = 0;          // 2^k
    std::size_t target_mask = 0;
    std::vector<std::size_t> offsets;
    const Amplitude* matrix = nullptr;  // dim × dim, row-major, borrowed
};

GeneralPlan make_general_plan(const Operation& op);

// Base index of group g: the bits of g placed, lowest first, into the
// non-target bit positions. Groups in increasing g have increasing bases.
std::size_t group_base(const GeneralPlan& plan, std::size_t g);

// Base index of the group that follows the one at base.
inline std::size_t next_group_base(const GeneralPlan& plan, std::size_t base) {
    return ((base | plan.target_mask) + 1) & ~plan.target_mask;
}

// Rows [row_begin, row_end) of the group at base:
//   a[base + offsets[r]] = Σ_c M[r][c]·x[c], summed from +0 in increasing c,
// with x the group's saved inputs (x[c] = old a[base + offsets[c]]).
void general_rows_scalar(Amplitude* a, const GeneralPlan& plan, std::size_t base,
                         const Amplitude* x, std::size_t row_begin, std::size_t row_end);

// Groups [group_begin, group_end) in place. scratch holds dim amplitudes.
void general_groups_scalar(Amplitude* a, const GeneralPlan& plan, std::size_t group_begin,
                           std::size_t group_end, Amplitude* scratch);

// An operation on one to three targets whose matrix has exactly one nonzero
// entry in every row: diagonal gates (z, s, t, p, rz, cz, cp, crz, ccz, …)
// and permutations with phases (x, y, cx, swap, iswap, ccx, cswap, …). For a
// group whose inputs are all finite, the dense sums reduce to
//   out[r] = entry[r]·x[source[r]]
// up to the sign of zero: every other product is a zero entry times a finite
// input, ±0, and adding ±0 to a nonzero value changes nothing. The one
// product left is computed exactly as the dense sums compute it; when the
// entry is 1, i, −1 or −i it is exactly a copy, a swap of the parts and sign
// changes, again up to the sign of zero. A group holding an infinity or a NaN
// takes the dense sums (0·∞ is NaN there), in the one-qubit kernel's form for
// one target.
struct MonomialPlan {
    std::size_t dim = 0;  // 2, 4 or 8
    std::size_t source[8];
    std::uint8_t unit[8];  // 0: 1, 1: i, 2: −1, 3: −i, 4: another value
    Amplitude entry[8];
};

// The monomial form of a plan of one to three targets, if its matrix has one.
bool make_monomial_plan(const GeneralPlan& plan, MonomialPlan& out);

// The monomial kernel works on register groups: the 2^h runs of four
// consecutive amplitudes (bits 0 and 1) that differ only in the h targets at
// qubits ≥ 2. Register group j holds the consecutive groups
// j·2^(2−l) … (j + 1)·2^(2−l) − 1, l being the number of targets below 2.
// Their number in a state of len ≥ 4 amplitudes:
std::size_t monomial_register_groups(const GeneralPlan& plan, std::size_t len);

#if VANTELO_AVX2_KERNELS
// Register groups [begin, end) in place. Groups with a non-finite input run
// the dense scalar sums. With `finite` the caller knows every input finite
// (a block that passed the light kernels' bound check, see light.hpp) and
// the per-register test is left out: the same values. Only call it when
// cpu_has_avx2().
void monomial_groups_avx2(Amplitude* a, const GeneralPlan& plan, const MonomialPlan& mono,
                          std::size_t begin, std::size_t end, bool finite = false);

// The matrix rearranged for the AVX2 dense kernel (needs dim ≥ 4): for each
// block of four rows and each column c, 16 floats: the four entries M[r][c]
// as (re, im), then the same four as (im, re).
AlignedArray<float> pack_matrix_avx2(const GeneralPlan& plan);

// general_rows_scalar for the rows of the four-row blocks
// [block_begin, block_end); only call it when cpu_has_avx2().
void general_row_blocks_avx2(Amplitude* a, const GeneralPlan& plan, const float* packed,
                             std::size_t base, const Amplitude* x, std::size_t block_begin,
                             std::size_t block_end);

// general_groups_scalar with AVX2 (dim ≥ 4); only call it when cpu_has_avx2().
void general_groups_avx2(Amplitude* a, const GeneralPlan& plan, const float* packed,
                         std::size_t group_begin, std::size_t group_end, Amplitude* scratch);
#endif

// The dense path for an operation on k targets (validated by the caller), in
// place on the worker pool: every output amplitude is Σ_col M[row][col]·a[idx]
// over the old amplitudes, summed from +0 in increasing column order.
void apply_general(Amplitude* a, std::uint32_t num_qubits, const Operation& op);

// ---- Filling ---------------------------------------------------------------

// Writes |0…0⟩ into a 2^n amplitude array (n ≥ 0).
void fill_zero_state(Amplitude* a, std::size_t len);

}  // namespace vantelo::sim
