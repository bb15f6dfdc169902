// Scalar reference kernels: the plain loops every faster path must match.
#include <array>

#include "sim/kernels/kernels.hpp"

namespace vantelo::sim {

void single_qubit_pairs_scalar(Amplitude* a, Qubit q, const Matrix2& m, std::size_t pair_begin,
                               std::size_t pair_end) {
    const std::size_t half = std::size_t{1} << q;
    for (std::size_t p = pair_begin; p < pair_end; ++p) {
        // Pair p: the bits of p with a zero inserted at position q.
        Amplitude* lo = a + (((p >> q) << (q + 1)) | (p & (half - 1)));
        Amplitude* hi = lo + half;
        const Amplitude x0 = *lo;
        const Amplitude x1 = *hi;
        *lo = cadd(cmul(x0, m[0]), cmul(x1, m[1]));
        *hi = cadd(cmul(x0, m[2]), cmul(x1, m[3]));
    }
}

void apply_single_qubit_chunks_scalar(Amplitude* a, Qubit q, const Matrix2& m,
                                      std::size_t chunk_begin, std::size_t chunk_end) {
    single_qubit_pairs_scalar(a, q, m, chunk_begin << q, chunk_end << q);
}

GeneralPlan make_general_plan(const Operation& op) {
    GeneralPlan plan;
    plan.num_targets = op.targets.size();
    plan.dim = std::size_t{1} << plan.num_targets;
    plan.matrix = op.matrix.data();
    const std::size_t k = plan.num_targets;
    for (Qubit t : op.targets) plan.target_mask |= std::size_t{1} << t;
    plan.offsets.assign(plan.dim, 0);
    for (std::size_t c = 0; c < plan.dim; ++c)
        for (std::size_t j = 0; j < k; ++j)
            if ((c >> (k - 1 - j)) & 1u) plan.offsets[c] |= std::size_t{1} << op.targets[j];
    return plan;
}

std::size_t group_base(const GeneralPlan& plan, std::size_t g) {
    std::size_t base = 0;
    for (std::size_t bit = 0; g != 0; ++bit) {
        if ((plan.target_mask >> bit) & 1u) continue;
        base |= (g & 1u) << bit;
        g >>= 1;
    }
    return base;
}

void general_rows_scalar(Amplitude* a, const GeneralPlan& plan, std::size_t base,
                         const Amplitude* x, std::size_t row_begin, std::size_t row_end) {
    const std::size_t dim = plan.dim;
    for (std::size_t r = row_begin; r < row_end; ++r) {
        const Amplitude* row = plan.matrix + r * dim;
        Amplitude acc{0.0f, 0.0f};
        for (std::size_t c = 0; c < dim; ++c) acc = cadd(acc, cmul(row[c], x[c]));
        a[base + plan.offsets[r]] = acc;
    }
}

namespace {

// general_groups_scalar for a dimension known at compile time, so the small
// cases (two- and three-qubit gates) run fully unrolled from registers.
template <std::size_t Dim>
void groups_fixed(Amplitude* a, const GeneralPlan& plan, std::size_t group_begin,
                  std::size_t group_end) {
    std::array<std::size_t, Dim> off;
    std::array<Amplitude, Dim * Dim> m;
    for (std::size_t c = 0; c < Dim; ++c) off[c] = plan.offsets[c];
    for (std::size_t e = 0; e < Dim * Dim; ++e) m[e] = plan.matrix[e];
    std::size_t base = group_base(plan, group_begin);
    for (std::size_t g = group_begin; g < group_end; ++g) {
        std::array<Amplitude, Dim> x;
        for (std::size_t c = 0; c < Dim; ++c) x[c] = a[base + off[c]];
        for (std::size_t r = 0; r < Dim; ++r) {
            Amplitude acc{0.0f, 0.0f};
            for (std::size_t c = 0; c < Dim; ++c) acc = cadd(acc, cmul(m[r * Dim + c], x[c]));
            a[base + off[r]] = acc;
        }
        base = next_group_base(plan, base);
    }
}

}  // namespace

bool make_monomial_plan(const GeneralPlan& plan, MonomialPlan& out) {
    if (plan.dim < 2 || plan.dim > 8) return false;
    static constexpr Amplitude kUnits[4] = {{1.0f, 0.0f}, {0.0f, 1.0f}, {-1.0f, 0.0f}, {0.0f, -1.0f}};
    const std::size_t dim = plan.dim;
    out.dim = dim;
    for (std::size_t r = 0; r < dim; ++r) {
        std::size_t nonzero = 0;
        for (std::size_t c = 0; c < dim; ++c) {
            const Amplitude m = plan.matrix[r * dim + c];
            // Either part may be −0; a NaN part counts as nonzero.
            if (m.re == 0.0f && m.im == 0.0f) continue;
            if (++nonzero > 1) return false;
            std::uint8_t u = 0;
            while (u < 4 && !(m == kUnits[u])) ++u;
            out.source[r] = c;
            out.unit[r] = u;
            out.entry[r] = m;
        }
        if (nonzero != 1) return false;
    }
    return true;
}

void general_groups_scalar(Amplitude* a, const GeneralPlan& plan, std::size_t group_begin,
                           std::size_t group_end, Amplitude* scratch) {
    switch (plan.dim) {
        case 2: return groups_fixed<2>(a, plan, group_begin, group_end);
        case 4: return groups_fixed<4>(a, plan, group_begin, group_end);
        case 8: return groups_fixed<8>(a, plan, group_begin, group_end);
        default: break;
    }
    std::size_t base = group_base(plan, group_begin);
    for (std::size_t g = group_begin; g < group_end; ++g) {
        for (std::size_t c = 0; c < plan.dim; ++c) scratch[c] = a[base + plan.offsets[c]];
        general_rows_scalar(a, plan, base, scratch, 0, plan.dim);
        base = next_group_base(plan, base);
    }
}

}  // namespace vantelo::sim
