#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <vector>

#include "pool/pool.hpp"
#include "sim/kernels/controlled.hpp"

namespace vantelo::sim {

namespace {

// The qubits of the expanded operation, controls first: bit j of an
// expanded index (counted from the most significant) is qubit qubits[j].
struct ControlledLayout {
    std::vector<Qubit> qubits;  // controls ++ targets
    std::size_t mask = 0;       // their bits in a state index
    std::size_t control_mask = 0;
    std::size_t num_targets = 0;
    std::vector<std::size_t> target_offsets;  // 2^t, by U's row index

    explicit ControlledLayout(const Operation& op) : qubits(op.controls), num_targets(op.targets.size()) {
        qubits.insert(qubits.end(), op.targets.begin(), op.targets.end());
        for (Qubit q : op.controls) control_mask |= std::size_t{1} << q;
        mask = control_mask;
        for (Qubit q : op.targets) mask |= std::size_t{1} << q;
        const std::size_t dim = std::size_t{1} << num_targets;
        target_offsets.assign(dim, 0);
        for (std::size_t r = 0; r < dim; ++r)
            for (std::size_t j = 0; j < num_targets; ++j)
                if ((r >> (num_targets - 1 - j)) & 1u) target_offsets[r] |= std::size_t{1} << op.targets[j];
    }

    // State offset of expanded index e.
    std::size_t offset(std::size_t e) const {
        const std::size_t k = qubits.size();
        std::size_t s = 0;
        for (std::size_t j = 0; j < k; ++j)
            if ((e >> (k - 1 - j)) & 1u) s |= std::size_t{1} << qubits[j];
        return s;
    }
    // Expanded index of state offset s (s within mask).
    std::size_t expanded(std::size_t s) const {
        const std::size_t k = qubits.size();
        std::size_t e = 0;
        for (std::size_t j = 0; j < k; ++j)
            if ((s >> qubits[j]) & 1u) e |= std::size_t{1} << (k - 1 - j);
        return e;
    }
    // Base of free group g: the bits of g placed, lowest first, outside mask.
    std::size_t group_base(std::size_t g) const {
        std::size_t base = 0;
        for (std::size_t bit = 0; g != 0; ++bit) {
            if ((mask >> bit) & 1u) continue;
            base |= (g & 1u) << bit;
            g >>= 1;
        }
        return base;
    }
};

bool finite(Amplitude x) { return std::isfinite(x.re) && std::isfinite(x.im); }

// True when len consecutive amplitudes are all finite: no component has an
// exponent of all ones. Branch-free, so the compiler can vectorise it.
bool finite_run(const Amplitude* p, std::size_t len) {
    constexpr std::uint32_t kExponent = 0x7f800000u;
    std::uint32_t bad = 0;
    for (std::size_t i = 0; i < len; ++i) {
        bad |= static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(p[i].re) & kExponent) == kExponent);
        bad |= static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(p[i].im) & kExponent) == kExponent);
    }
    return bad == 0;
}

// True when every amplitude of the group at base is finite. The group's
// lowest mask bits, when they start at bit 0, address runs of consecutive
// amplitudes, which are tested run by run.
bool group_finite(const Amplitude* a, std::size_t mask, std::size_t base) {
    const std::size_t run = ~mask & (mask + 1);  // 2^(trailing ones of mask)
    const std::size_t outer = mask & ~(run - 1);
    std::size_t s = 0;
    do {
        if (!finite_run(a + (base | s), run)) return false;
        s = (s - outer) & outer;
    } while (s != 0);
    return true;
}

bool both_nan(Amplitude x) { return std::isnan(x.re) && std::isnan(x.im); }

// The expanded sums of a group holding non-finite amplitudes. Row e of the
// expansion is Σ_c M[e][c]·x[c] from +0 in increasing c. Only three kinds of
// term can change the sum beyond the sign of zero: the entries that are not
// zero (the diagonal outside the block, U inside it), the block's own terms,
// and a zero entry against a non-finite input, which gives NaN in both parts.
// A zero entry against a finite input adds ±0 and is skipped. Once both parts
// are NaN the sum keeps that NaN, so the row ends there.
void expanded_sums(Amplitude* a, const ControlledLayout& layout, const Operation& op,
                   std::size_t base) {
    struct Bad {
        std::size_t e;
        Amplitude x;
    };
    std::vector<Bad> bad;
    std::size_t s = 0;
    do {
        const Amplitude x = a[base | s];
        if (!finite(x)) bad.push_back({layout.expanded(s), x});
        s = (s - layout.mask) & layout.mask;
    } while (s != 0);
    std::sort(bad.begin(), bad.end(), [](const Bad& l, const Bad& r) { return l.e < r.e; });

    const std::size_t k = layout.qubits.size();
    const std::size_t dim = std::size_t{1} << layout.num_targets;
    const std::size_t rows = std::size_t{1} << k;
    const std::size_t block = rows - dim;
    std::vector<Amplitude> block_x(dim);
    for (std::size_t j = 0; j < dim; ++j) block_x[j] = a[base | layout.control_mask | layout.target_offsets[j]];
    const Amplitude zero{0.0f, 0.0f};
    const Amplitude one{1.0f, 0.0f};

    for (std::size_t e = 0; e < rows; ++e) {
        const std::size_t at = base | layout.offset(e);
        Amplitude acc{0.0f, 0.0f};
        auto bad_it = bad.begin();
        // Zero entries against non-finite inputs before column `limit`.
        auto bad_before = [&](std::size_t limit, std::size_t skip) {
            for (; bad_it != bad.end() && bad_it->e < limit && !both_nan(acc); ++bad_it)
                if (bad_it->e != skip) acc = cadd(acc, cmul(zero, bad_it->x));
        };
        if (e < block) {
            bad_before(e, rows);
            if (!both_nan(acc)) acc = cadd(acc, cmul(one, a[at]));
            if (bad_it != bad.end() && bad_it->e == e) ++bad_it;
            bad_before(rows, rows);
        } else {
            bad_before(block, rows);
            const Amplitude* row = op.matrix.data() + (e - block) * dim;
            for (std::size_t j = 0; j < dim && !both_nan(acc); ++j) acc = cadd(acc, cmul(row[j], block_x[j]));
        }
        a[at] = acc;
    }
}

}  // namespace

void controlled_groups_scalar(Amplitude* a, const Operation& op, std::size_t group_begin,
                              std::size_t group_end) {
    const ControlledLayout layout(op);
    const std::size_t dim = std::size_t{1} << layout.num_targets;
    std::vector<Amplitude> x(dim);
    std::size_t next = layout.group_base(group_begin);
    for (std::size_t g = group_begin; g < group_end; ++g) {
        // Bases in increasing g: add one to the bits outside the mask.
        const std::size_t base = next;
        next = ((base | layout.mask) + 1) & ~layout.mask;
        if (!group_finite(a, layout.mask, base)) {
            expanded_sums(a, layout, op, base);
            continue;
        }
        const std::size_t block = base | layout.control_mask;
        for (std::size_t c = 0; c < dim; ++c) x[c] = a[block | layout.target_offsets[c]];
        for (std::size_t r = 0; r < dim; ++r) {
            const Amplitude* row = op.matrix.data() + r * dim;
            Amplitude acc{0.0f, 0.0f};
            for (std::size_t c = 0; c < dim; ++c) acc = cadd(acc, cmul(row[c], x[c]));
            a[block | layout.target_offsets[r]] = acc;
        }
    }
}

void apply_controlled(Amplitude* a, std::uint32_t num_qubits, const Operation& op) {
    const std::size_t width = op.controls.size() + op.targets.size();
    const std::size_t groups = (std::size_t{1} << num_qubits) >> width;
    pool::for_each_piece(groups, [&](std::size_t b, std::size_t e) { controlled_groups_scalar(a, op, b, e); });
}

}  // namespace vantelo::sim
