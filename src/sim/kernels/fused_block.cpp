#include "sim/kernels/fused_block.hpp"

#include <atomic>

#include <algorithm>
#include <cmath>

#include "pool/pool.hpp"
#include "sim/kernels/kernels.hpp"

namespace vantelo::sim {

FusedPlan make_fused_plan(const Operation& op) {
    FusedPlan plan;
    const std::size_t k = op.targets.size();
    plan.num_targets = k;
    plan.dim = std::size_t{1} << k;
    for (std::size_t j = 0; j < k; ++j) plan.targets[j] = op.targets[j];
    std::sort(plan.targets, plan.targets + k);
    // source[c]: the operation's own index of our column c.
    std::size_t source[32] = {};
    for (std::size_t c = 0; c < plan.dim; ++c) {
        for (std::size_t j = 0; j < k; ++j) {
            if (((c >> j) & 1u) == 0) continue;
            plan.offsets[c] |= std::size_t{1} << plan.targets[j];
            const std::size_t i = static_cast<std::size_t>(
                std::find(op.targets.begin(), op.targets.end(), plan.targets[j]) - op.targets.begin());
            source[c] |= std::size_t{1} << (k - 1 - i);
        }
    }
    for (std::size_t j = 0; j < k; ++j) plan.target_mask |= std::size_t{1} << plan.targets[j];
    plan.packed = AlignedArray<float>::uninitialized(plan.dim * plan.dim * 4);
    float* out = plan.packed.data();
    for (std::size_t c = 0; c < plan.dim; ++c) plan.order[source[c]] = static_cast<std::uint8_t>(c);
    for (std::size_t r = 0; r < plan.dim; ++r)
        for (std::size_t s = 0; s < plan.dim; ++s, out += 4) {
            const Amplitude m = op.matrix[source[r] * plan.dim + s];
            out[0] = m.re;
            out[1] = m.re + m.im;
            out[2] = m.im - m.re;
            out[3] = 0.0f;
        }
    if (plan.dim > kLaneDim) return plan;
    plan.lanes = AlignedArray<float>::uninitialized(plan.dim * plan.dim * 24);
    for (std::size_t e = 0; e < plan.dim * plan.dim; ++e)
        for (std::size_t i = 0; i < 24; ++i)
            plan.lanes.data()[24 * e + i] = plan.packed.data()[4 * e + i / 8];
    return plan;
}

void fused_groups_scalar(Amplitude* a, const FusedPlan& plan, std::size_t group_begin,
                         std::size_t group_end) {
    const std::size_t dim = plan.dim;
    const std::size_t free = ~plan.target_mask;
    Amplitude x[32];
    for (std::size_t g = group_begin; g < group_end; ++g) {
        std::size_t base = 0;
        for (std::size_t m = free, bits = g; bits != 0; m &= m - 1, bits >>= 1)
            if (bits & 1u) base |= m & (~m + 1);
        for (std::size_t c = 0; c < dim; ++c) x[c] = a[base + plan.offsets[c]];
        float sum[32];
        for (std::size_t c = 0; c < dim; ++c) sum[c] = x[c].re + x[c].im;
        const float* e = plan.packed.data();
        for (std::size_t r = 0; r < dim; ++r) {
            float k1 = 0.0f, k2 = 0.0f, k3 = 0.0f;
            for (std::size_t s = 0; s < dim; ++s, e += 4) {
                const std::size_t c = plan.order[s];
                k1 = std::fma(sum[c], e[0], k1);
                k3 = std::fma(x[c].im, e[1], k3);
                k2 = std::fma(x[c].re, e[2], k2);
            }
            a[base + plan.offsets[r]] = Amplitude{k1 - k3, k1 + k2};
        }
    }
}

bool cpu_has_fma() {
    static const bool has = cpu_has_avx2() && cpu_supports_fma();
    return has;
}

namespace {
std::atomic<bool> g_wide_allowed{true};
}  // namespace

bool fused_wide_enabled() {
    static const bool has = cpu_has_fma() && cpu_supports_avx512f();
    return has && g_wide_allowed.load(std::memory_order_relaxed);
}

void set_fused_wide_for_testing(bool allowed) { g_wide_allowed.store(allowed, std::memory_order_relaxed); }

void apply_fused_block(Amplitude* a, std::uint32_t n, const FusedPlan& plan) {
#if VANTELO_AVX2_KERNELS
    if (n >= plan.num_targets + 2 && cpu_has_fma())
        return fused_quads_fma(a, plan, n, 0, std::size_t{1} << (n - plan.num_targets - 2));
#endif
    fused_groups_scalar(a, plan, 0, std::size_t{1} << (n - plan.num_targets));
}

void apply_fused_block_pooled(Amplitude* a, std::uint32_t n, const FusedPlan& plan) {
#if VANTELO_AVX2_KERNELS
    if (n >= plan.num_targets + 2 && cpu_has_fma()) {
        pool::for_each_piece(std::size_t{1} << (n - plan.num_targets - 2),
                             [&](std::size_t b, std::size_t e) { fused_quads_fma(a, plan, n, b, e); });
        return;
    }
#endif
    pool::for_each_piece(std::size_t{1} << (n - plan.num_targets),
                         [&](std::size_t b, std::size_t e) { fused_groups_scalar(a, plan, b, e); });
}

}  // namespace vantelo::sim
