// The fused dense kernel on a block held as two planes, the real parts in
// one array and the imaginary parts in another, for the executor's passes
// whose items all take the fused kernels. With the planes, sixteen groups
// fill a 512-bit register straight from memory: the interleaved form spends
// a shuffle on every input and output to split and rejoin them, and the
// executor splits the block once when it gathers it and joins it once when
// it scatters it. Each lane does the operations of fused_groups_scalar in
// its order, so the values are its bits exactly.
//
// The lanes are bits 0 to 3 of a plane. Targets on bit 4 and above pick
// whole registers. Targets among bits 0 to 3 (lane targets) are moved out of
// the lanes first, and back after the sums, by trading places with free
// bits from bit 4 up (their partners): for two targets, each lane target
// with a partner of its own; for three, the pair of lane bits holding them
// (or all four) by transposing registers a partner step apart. Four and
// five targets take planes only without lane targets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/aligned_array.hpp"
#include "sim/amplitude.hpp"
#include "sim/kernels/fused_block.hpp"

namespace vantelo::sim {

struct PlanarPlan {
    std::size_t dim = 0;  // the matrix's columns
    // Three targets: which lane bits are transposed with partners: 0 none,
    // 1 bits 0 and 1, 2 bits 2 and 3, 3 all four (16 registers to a
    // transpose).
    int swap = 0;
    std::size_t high_mask = 0;     // the targets on bit 4 and above
    std::size_t partner_mask = 0;  // the partners' bits
    std::size_t partners = 0;      // how many
    std::size_t lane_targets = 0;
    std::size_t lane_bits = 0;     // the lane targets' bits
    bool order_swapped = false;    // two targets, columns listed from the lower
    // A tile is `loads` registers, register i starting at load[i] (the
    // partners of a swap numbering each transposed group of 4 or 16).
    // Register column[g·dim + s] holds matrix column s and register
    // row[g·dim + r] takes row r, for the g-th setting of the swapped lane
    // bits that are not targets (groups of them).
    std::size_t loads = 0;
    std::size_t groups = 1;
    // At most 32 of each: five targets have no lane targets, and three
    // with lane targets in both pairs of lane bits take 2 × 16 registers.
    std::size_t load[32] = {};
    std::uint16_t column[32] = {};
    std::uint16_t row[32] = {};
    AlignedArray<float> packed;  // the fused plan's entries, broadcast
};

// Whether blocks of 2^b amplitudes can take the planar kernels at all: the
// CPU runs the 512-bit fused form (fused_wide_enabled), a test has not
// turned them off, and the planes are at least a register wide.
bool planar_fused_enabled(std::uint32_t b);

// Whether plan's operation runs on planes of 2^b floats: four and five
// targets only without lane targets; besides its targets, enough free bits
// from bit 4 up for the partners its lane targets need.
bool planar_fits(const FusedPlan& plan, std::uint32_t b);

// Turns the planar kernels off (false) or back to the CPU's answer (true),
// so tests compare both paths on one machine.
void set_planar_fused_for_testing(bool allowed);

// The partners are the lowest free bits from bit 4 up; run the plan only on
// planes where planar_fits.
PlanarPlan make_planar_plan(const FusedPlan& plan);

// The operation on planes of 2^b floats, on this thread. Only call it
// where planar_fused_enabled(b) and planar_fits(plan, b).
void apply_fused_planar(float* re, float* im, std::uint32_t b, const PlanarPlan& plan);

// The runs of an executor's block to and from the planes: `runs` runs of
// 2^run amplitudes (run ≥ 3), the r-th at base plus the r-th subset of
// `high` (in increasing order), run r at r·2^run in the planes.
void split_runs(const Amplitude* a, std::size_t base, std::size_t high, std::uint32_t run, std::size_t runs,
                float* re, float* im);
void join_runs(const float* re, const float* im, Amplitude* a, std::size_t base, std::size_t high,
               std::uint32_t run, std::size_t runs);

// len amplitudes (a multiple of 16) to and from the planes.
inline void split_planes(const Amplitude* from, float* re, float* im, std::size_t len) {
    split_runs(from, 0, (len - 1) & ~std::size_t{15}, 4, len / 16, re, im);
}
inline void join_planes(const float* re, const float* im, Amplitude* to, std::size_t len) {
    join_runs(re, im, to, 0, (len - 1) & ~std::size_t{15}, 4, len / 16);
}

}  // namespace vantelo::sim
