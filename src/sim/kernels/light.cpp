#include "sim/kernels/light.hpp"

#include <bit>
#include <cmath>

namespace vantelo::sim {

namespace {

// Which parts of an entry are not ±0: bit 0 the real part, bit 1 the
// imaginary part.
unsigned parts(Amplitude m) { return (m.re != 0.0f ? 1u : 0u) | (m.im != 0.0f ? 2u : 0u); }

}  // namespace

LightPattern light_pattern(const Matrix2& m) {
    // For each pattern, the parts each entry may have (bit 0 real, bit 1
    // imaginary); the list runs from the cheapest.
    struct Candidate {
        LightPattern pattern;
        unsigned allowed[4];
    };
    static constexpr Candidate kCandidates[] = {
        {LightPattern::RealDiagonal, {1, 0, 0, 1}}, {LightPattern::AntiReal, {0, 1, 1, 0}},
        {LightPattern::Real, {1, 1, 1, 1}},         {LightPattern::RealImag, {1, 2, 2, 1}},
        {LightPattern::Diagonal, {3, 0, 0, 3}},     {LightPattern::Anti, {0, 3, 3, 0}},
    };
    for (const Candidate& c : kCandidates) {
        bool fits = true;
        for (int e = 0; e < 4; ++e) fits = fits && (parts(m[e]) & ~c.allowed[e]) == 0;
        if (fits) return c.pattern;
    }
    return LightPattern::None;
}

int growth_units(const Amplitude* matrix, std::size_t entries, std::size_t cols) {
    double largest_row = 1.0;
    for (std::size_t row = 0; row * cols < entries; ++row) {
        double sum = 0.0;
        for (std::size_t e = row * cols; e < (row + 1) * cols && e < entries; ++e) {
            const float re = std::fabs(matrix[e].re);
            const float im = std::fabs(matrix[e].im);
            // Written so a NaN fails it.
            if (!(re <= 65536.0f && im <= 65536.0f)) return kUnboundedGrowth;
            sum += static_cast<double>(re) + static_cast<double>(im);
        }
        largest_row = std::max(largest_row, sum);
    }
    const double units = std::ceil(kGrowthUnitsPerBit * std::log2(largest_row * (1.0 + 0x1p-10)));
    return std::max(1, static_cast<int>(units));
}

bool light_bound_ok_scalar(const Amplitude* a, std::size_t len) {
    constexpr float kLimit = 4294967296.0f;  // 2^32
    for (std::size_t i = 0; i < len; ++i)
        if (!(std::fabs(a[i].re) <= kLimit && std::fabs(a[i].im) <= kLimit)) return false;
    return true;
}

// Every row that is not the identity as a moved run.
void make_moved_runs(const GeneralPlan& plan, const MonomialPlan& mono, LightRuns& out) {
    out.num_swaps = 0;
    out.num_scaled = 0;
    out.moved = true;
    for (std::size_t r = 0; r < plan.dim; ++r) {
        if (mono.source[r] == r && mono.unit[r] == 0) continue;
        out.scaled[out.num_scaled] = plan.offsets[r];
        out.source[out.num_scaled] = plan.offsets[mono.source[r]];
        out.unit[out.num_scaled] = mono.unit[r];
        out.entry[out.num_scaled] = mono.entry[r];
        ++out.num_scaled;
    }
}

bool make_light_runs(const GeneralPlan& plan, const MonomialPlan& mono, LightRuns& out) {
    if ((plan.target_mask & 3u) != 0 || plan.dim > 8) return false;
    out = LightRuns{};
    out.low = static_cast<std::size_t>(__builtin_ctzll(plan.target_mask));
    for (std::size_t r = 0; r < plan.dim; ++r) {
        const std::size_t s = mono.source[r];
        if (s == r) {
            if (mono.unit[r] == 0) continue;  // entry 1: the run stays as it is
            out.scaled[out.num_scaled] = plan.offsets[r];
            out.unit[out.num_scaled] = mono.unit[r];
            out.entry[out.num_scaled] = mono.entry[r];
            ++out.num_scaled;
            continue;
        }
        if (mono.source[s] != r || mono.unit[r] != 0 || mono.unit[s] != 0) {
            make_moved_runs(plan, mono, out);
            return true;
        }
        if (s < r) continue;  // recorded with its partner
        out.swap[out.num_swaps][0] = plan.offsets[r];
        out.swap[out.num_swaps][1] = plan.offsets[s];
        ++out.num_swaps;
    }
    return true;
}

}  // namespace vantelo::sim
