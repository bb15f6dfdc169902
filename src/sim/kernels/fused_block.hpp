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
#include "sim/cpu/cpu_features.hpp"
#include "sim/gates/gate.hpp"

namespace vantelo::sim {

// A dense operation on 2 to 5 targets. Groups are addressed with the targets
// sorted upwards (bit j of a group index is targets[j]); the sums run over
// the operation's own columns in increasing order, so the values do not
// depend on where the targets sit (the executor and the adjoint method move
// qubits around). Each product m·x takes three real multiplications, not
// four: with m = c + di and x = a + bi, k1 = c(a + b), and
//   re = k1 − b(c + d),  im = k1 + a(d − c).
// For group row r and matrix column s, packed holds four floats: c, c + d,
// d − c (each rounded once to single precision) and a zero, and x = the
// input at group index order[s], with sum = x.re + x.im. Each output is made
// of three chains of multiply-adds over s, each from +0:
//   k1 = Σ fma(sum, c, ·),  k3 = Σ fma(x.im, c + d, ·),  k2 = Σ fma(x.re, d − c, ·),
//   y.re = k1 − k3,  y.im = k1 + k2.
struct FusedPlan {
    std::size_t num_targets = 0;
    std::size_t dim = 0;
    std::size_t target_mask = 0;
    std::size_t targets[5] = {};
    std::size_t offsets[32] = {};  // offsets[c]: the index of group index c within a group
    std::uint8_t order[32] = {};   // order[s]: the group index of the matrix's column s
    AlignedArray<float> packed;
    // The AVX2 form's copy for up to 4 targets: each of the first three
    // floats of every group of packed repeated to fill a register.
    AlignedArray<float> lanes;
};

inline constexpr std::size_t kMinFusedTargets = 2;
inline constexpr std::size_t kMaxFusedTargets = 5;
// The widest matrix whose entries the AVX2 form reads as whole registers
// (lanes, 24 KiB for 4 targets); wider ones broadcast each float of packed,
// as their registers would crowd the state out of the first-level cache.
inline constexpr std::size_t kLaneDim = 16;

// op's targets (first target the most significant bit of its matrix index)
// may sit on any bit positions; 2 to 5 targets, no controls.
FusedPlan make_fused_plan(const Operation& op);

// The groups [group_begin, group_end) (group g: the bits of g placed, lowest
// first, into the non-target positions) of a 2^n array, in place.
void fused_groups_scalar(Amplitude* a, const FusedPlan& plan, std::size_t group_begin,
                         std::size_t group_end);

// The AVX2 form works on quads: four groups that differ in the two lowest
// non-target bits. A 2^n array has 2^(n−k−2) of them; the kernel takes two
// at a time, one group per lane.
#if VANTELO_AVX2_KERNELS
// Quads [quad_begin, quad_end) in place (n ≥ k + 2); only call it when
// cpu_has_fma().
void fused_quads_fma(Amplitude* a, const FusedPlan& plan, std::uint32_t n, std::size_t quad_begin,
                     std::size_t quad_end);
namespace fused_fma {
// The same with 512-bit registers; only call it when fused_wide_enabled().
void run_quads_avx512(Amplitude* a, const FusedPlan& plan, std::uint32_t n, std::size_t quad_begin,
                      std::size_t quad_end);
}  // namespace fused_fma
#endif

// True when the AVX2 kernels run and the CPU has FMA.
bool cpu_has_fma();

// Whether fused_quads_fma takes the 512-bit form: the CPU has AVX-512F
// (and FMA), unless a test turned it off. Both forms give the same bits.
bool fused_wide_enabled();

// Turns the 512-bit form off (false) or back to the CPU's answer (true),
// so tests compare both forms on one machine.
void set_fused_wide_for_testing(bool allowed);

// The whole operation on a 2^n array on this thread, with the fastest form
// this CPU runs.
void apply_fused_block(Amplitude* a, std::uint32_t n, const FusedPlan& plan);

// The same on the worker pool.
void apply_fused_block_pooled(Amplitude* a, std::uint32_t n, const FusedPlan& plan);

}  // namespace vantelo::sim
