#include "sim/kernels/fused_planar.hpp"

#include <algorithm>
#include <atomic>

namespace vantelo::sim {

namespace {
std::atomic<bool> g_planar_allowed{true};
}  // namespace

bool planar_fused_enabled(std::uint32_t b) {
#if VANTELO_AVX2_KERNELS
    return b >= 4 && fused_wide_enabled() && g_planar_allowed.load(std::memory_order_relaxed);
#else
    (void)b;
    return false;
#endif
}

void set_planar_fused_for_testing(bool allowed) { g_planar_allowed.store(allowed, std::memory_order_relaxed); }

namespace {

// The lane bits swapped out for lane targets on lane_mask (see PlanarPlan).
int swap_for(std::size_t lane_mask) {
    if (lane_mask == 0) return 0;
    if ((lane_mask & ~std::size_t{3}) == 0) return 1;
    if ((lane_mask & 3u) == 0) return 2;
    return 3;
}

std::size_t swapped_lanes(int swap) { return swap == 1 ? 3 : swap == 2 ? 12 : swap == 3 ? 15 : 0; }

std::size_t partners_for(int swap) { return swap == 0 ? 0 : swap == 3 ? 4 : 2; }

// The partners a plan needs: one per lane target for two targets, else
// those of its transposes.
std::size_t partners_needed(const FusedPlan& plan) {
    const std::size_t lane_mask = plan.target_mask & 15;
    if (plan.num_targets == 2) return static_cast<std::size_t>(__builtin_popcountll(lane_mask));
    return partners_for(swap_for(lane_mask));
}

}  // namespace

bool planar_fits(const FusedPlan& plan, std::uint32_t b) {
    if (b < 4 || b >= 8 * sizeof(std::size_t) || plan.targets[plan.num_targets - 1] >= b) return false;
    // Four and five targets with lane targets ran slower on planes than
    // interleaved (bench/blocks_bench.cpp --kernels 1), so they have no
    // planar form.
    if (plan.num_targets > 3 && (plan.target_mask & 15) != 0) return false;
    const std::size_t free_high = ((std::size_t{1} << b) - 1) & ~std::size_t{15} & ~plan.target_mask;
    return static_cast<std::size_t>(__builtin_popcountll(free_high)) >= partners_needed(plan);
}

PlanarPlan make_planar_plan(const FusedPlan& plan) {
    PlanarPlan out;
    const std::size_t dim = plan.dim;
    out.dim = dim;
    const std::size_t lane_mask = plan.target_mask & 15;
    out.high_mask = plan.target_mask & ~lane_mask;
    out.swap = swap_for(lane_mask);
    out.lane_bits = lane_mask;
    out.order_swapped = dim == 4 && plan.order[1] != 1;
    out.packed = AlignedArray<float>::uninitialized(dim * dim * 4);
    std::copy_n(plan.packed.data(), dim * dim * 4, out.packed.data());
    if (out.swap == 0) {
        for (std::size_t c = 0; c < dim; ++c) out.load[c] = plan.offsets[c];
        for (std::size_t s = 0; s < dim; ++s) out.column[s] = plan.order[s];
        for (std::size_t r = 0; r < dim; ++r) out.row[r] = static_cast<std::uint16_t>(r);
        out.loads = dim;
        return out;
    }
    // Lane targets are the lowest targets: the low bits of a group index.
    std::size_t lane_targets = 0;
    while (lane_targets < plan.num_targets && plan.targets[lane_targets] < 4) ++lane_targets;
    out.lane_targets = lane_targets;
    const std::size_t partners = partners_needed(plan);
    std::size_t partner[4] = {};
    for (std::size_t k = 0, bit = 4; k < partners; ++bit)
        if (((plan.target_mask >> bit) & 1u) == 0) partner[k++] = bit;
    for (std::size_t k = 0; k < partners; ++k) out.partner_mask |= std::size_t{1} << partner[k];
    out.partners = partners;
    if (dim == 4) {
        // Lane target j trades places with partner j: register c is taken
        // with partner j set where bit j of c is.
        for (std::size_t c = 0; c < 4; ++c) {
            std::size_t at = plan.offsets[c & ~((std::size_t{1} << lane_targets) - 1)];
            for (std::size_t j = 0; j < lane_targets; ++j)
                if ((c >> j) & 1u) at |= std::size_t{1} << partner[j];
            out.load[c] = at;
        }
        out.loads = 4;
        return out;
    }
    // Register bit k of a transposed group stands for lane bit lane[k], and
    // before the transpose for partner bit partner[k].
    std::size_t lane[4] = {};
    for (std::size_t k = 0, m = swapped_lanes(out.swap); k < partners; ++k, m &= m - 1)
        lane[k] = static_cast<std::size_t>(__builtin_ctzll(m));
    const std::size_t regs = std::size_t{1} << partners;
    out.loads = (dim >> lane_targets) * regs;
    for (std::size_t i = 0; i < out.loads; ++i) {
        std::size_t at = plan.offsets[(i / regs) << lane_targets];
        for (std::size_t k = 0; k < partners; ++k)
            if ((i >> k) & 1u) at |= std::size_t{1} << partner[k];
        out.load[i] = at;
    }
    // The register holding group index c, for setting g of the swapped
    // lane bits that are not targets.
    std::size_t target_reg_bit[4] = {};
    std::size_t free_reg_bits[4] = {};
    std::size_t free_count = 0;
    for (std::size_t k = 0; k < partners; ++k) {
        if (((lane_mask >> lane[k]) & 1u) == 0) {
            free_reg_bits[free_count++] = k;
            continue;
        }
        for (std::size_t j = 0; j < lane_targets; ++j)
            if (plan.targets[j] == lane[k]) target_reg_bit[j] = k;
    }
    out.groups = std::size_t{1} << free_count;
    auto reg = [&](std::size_t c, std::size_t g) {
        std::size_t r = (c >> lane_targets) * regs;
        for (std::size_t j = 0; j < lane_targets; ++j) r |= ((c >> j) & 1u) << target_reg_bit[j];
        for (std::size_t f = 0; f < free_count; ++f) r |= ((g >> f) & 1u) << free_reg_bits[f];
        return static_cast<std::uint16_t>(r);
    };
    for (std::size_t g = 0; g < out.groups; ++g)
        for (std::size_t s = 0; s < dim; ++s) {
            out.column[g * dim + s] = reg(plan.order[s], g);
            out.row[g * dim + s] = reg(s, g);
        }
    return out;
}

#if !VANTELO_AVX2_KERNELS
// Never called: planar_fused_enabled is false off x86-64.
void apply_fused_planar(float*, float*, std::uint32_t, const PlanarPlan&) {}
void split_runs(const Amplitude*, std::size_t, std::size_t, std::uint32_t, std::size_t, float*, float*) {}
void join_runs(const float*, const float*, Amplitude*, std::size_t, std::size_t, std::uint32_t, std::size_t) {}
#endif

}  // namespace vantelo::sim
