// Dense kernels for the blocks of fused execution (fusion=k), never used by
// the exact path. They compute with fused multiply-adds, so their values
// differ from the exact dense kernel's by rounding; docs/numerics.md gives
// the measured error. The scalar form here is their reference: the AVX2 form
// (fused_block_fma.cpp) gives exactly its bits, and so does every split of
// the groups among threads, because each group's sums run in one fixed order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/aligned_array.hpp"
#include "sim/amplitude.hpp"
#include "sim/gates/gate.hpp"
#include "sim/kernels/cpu_features.hpp"

namespace vantelo::sim {

// A dense operation on 2 to 5 targets. Groups are addressed with the targets
// sorted upwards (bit j of a group index is targets[j]); the sums run over
// the operation's own columns in increasing order, so the values do not
// depend on where the targets sit (the executor and the adjoint method move
// qubits around). For group row r and matrix column s, packed holds four
// floats: re, im, −im, re of M[row of r][s], and x = the input at group
// index order[s]. Each output part is the sum of two chains of
// multiply-adds over s, each from +0:
//   y.re = Σ fma(x.re, m.re, ·) + Σ fma(x.im, −m.im, ·),
//   y.im = Σ fma(x.re, m.im, ·) + Σ fma(x.im,  m.re, ·).
struct FusedPlan {
    std::size_t num_targets = 0;
    std::size_t dim = 0;
    std::size_t target_mask = 0;
    std::size_t targets[5] = {};
    std::size_t offsets[32] = {};  // offsets[c]: the index of group index c within a group
    std::uint8_t order[32] = {};   // order[s]: the group index of the matrix's column s
    AlignedArray<float> packed;
    // The AVX2 form's copy for up to 4 targets: each group of four floats of
    // packed repeated to fill 8 (two registers per entry).
    AlignedArray<float> lanes;
};

inline constexpr std::size_t kMinFusedTargets = 2;
inline constexpr std::size_t kMaxFusedTargets = 5;

// op's targets (first target the most significant bit of its matrix index)
// may sit on any bit positions; 2 to 5 targets, no controls.
FusedPlan make_fused_plan(const Operation& op);

// The groups [group_begin, group_end) (group g: the bits of g placed, lowest
// first, into the non-target positions) of a 2^n array, in place.
void fused_groups_scalar(Amplitude* a, const FusedPlan& plan, std::size_t group_begin,
                         std::size_t group_end);

// The AVX2 form works on quads: four groups that differ in the two lowest
// non-target bits, one per lane. A 2^n array has 2^(n−k−2) of them.
#if VANTELO_AVX2_KERNELS
// Quads [quad_begin, quad_end) in place (n ≥ k + 2); only call it when
// cpu_has_fma().
void fused_quads_fma(Amplitude* a, const FusedPlan& plan, std::uint32_t n, std::size_t quad_begin,
                     std::size_t quad_end);
#endif

// True when the AVX2 kernels run and the CPU has FMA.
bool cpu_has_fma();

// The whole operation on a 2^n array on this thread, with the fastest form
// this CPU runs.
void apply_fused_block(Amplitude* a, std::uint32_t n, const FusedPlan& plan);

// The same on the worker pool.
void apply_fused_block_pooled(Amplitude* a, std::uint32_t n, const FusedPlan& plan);

}  // namespace vantelo::sim
