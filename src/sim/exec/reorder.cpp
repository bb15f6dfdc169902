#include "sim/exec/reorder.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>

#include "sim/exec/schedule.hpp"

namespace vantelo::sim {

namespace {

using Mask = std::uint64_t;

Mask mask_of(const Operation& op) {
    Mask m = 0;
    for (Qubit q : op.targets) m |= Mask{1} << q;
    for (Qubit q : op.controls) m |= Mask{1} << q;
    return m;
}

// Reorders one stretch of unitaries (masks[i] the qubits of stretch[i]) in
// place. Every segment takes the first remaining gate; a later gate joins
// when its qubits are active and no gate left behind before it touches
// them. Once every active qubit is held back no later gate can join, so
// the scan stops there; the search for next uses stops once every qubit
// has been seen, so long lists cost about their passes times the gates of
// one pass.
void reorder_stretch(std::span<Gate> stretch, std::span<const Mask> masks, std::uint32_t width,
                     std::uint32_t n) {
    const std::uint32_t run = std::min(kRunQubits, width / 2);
    const Mask run_mask = (Mask{1} << run) - 1;
    std::vector<std::size_t> rest(stretch.size());
    std::iota(rest.begin(), rest.end(), std::size_t{0});
    std::vector<std::size_t> order;
    order.reserve(stretch.size());
    std::vector<std::size_t> kept;
    constexpr std::size_t kUnused = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> first_use(n);
    std::vector<Qubit> others;
    while (!rest.empty()) {
        const Mask head = masks[rest.front()];
        Mask active = head | run_mask;
        if (std::popcount(active) > static_cast<int>(width)) {
            // Too wide for a block: a pass of its own, in its place.
            order.push_back(rest.front());
            rest.erase(rest.begin());
            continue;
        }
        // Fill the block with the qubits the remaining gates use soonest
        // (unused ones last, lowest first), as the schedule's rule does.
        std::fill(first_use.begin(), first_use.end(), kUnused);
        Mask seen = 0;
        const Mask all = n == 64 ? ~Mask{0} : (Mask{1} << n) - 1;
        for (std::size_t p = 0; p < rest.size() && seen != all; ++p)
            for (Mask m = masks[rest[p]] & ~seen; m != 0; m &= m - 1) {
                const auto q = static_cast<std::size_t>(std::countr_zero(m));
                first_use[q] = p;
                seen |= Mask{1} << q;
            }
        others.clear();
        for (Qubit q = 0; q < n; ++q)
            if ((active >> q & 1) == 0) others.push_back(q);
        std::stable_sort(others.begin(), others.end(),
                         [&](Qubit x, Qubit y) { return first_use[x] < first_use[y]; });
        for (std::size_t k = 0; k < others.size() && std::popcount(active) < static_cast<int>(width);
             ++k)
            active |= Mask{1} << others[k];
        Mask held = 0;
        kept.clear();
        std::size_t p = 0;
        for (; p < rest.size() && (held & active) != active; ++p) {
            const Mask m = masks[rest[p]];
            if ((m & ~active) == 0 && (m & held) == 0) {
                order.push_back(rest[p]);
            } else {
                held |= m;
                kept.push_back(rest[p]);
            }
        }
        kept.insert(kept.end(), rest.begin() + static_cast<std::ptrdiff_t>(p), rest.end());
        rest.swap(kept);
    }
    std::vector<Gate> moved;
    moved.reserve(stretch.size());
    for (std::size_t i : order) moved.push_back(std::move(stretch[i]));
    std::move(moved.begin(), moved.end(), stretch.begin());
}

}  // namespace

std::vector<Gate> reorder_for_passes(std::vector<Gate> gates, std::uint32_t num_qubits,
                                     std::uint32_t width) {
    // Masks cover 64 qubits, far above the register limit; a list naming a
    // higher qubit fails its run anyway and is left alone.
    std::vector<Mask> masks(gates.size(), 0);
    if (num_qubits > 64) return gates;
    std::uint32_t n = num_qubits;
    for (std::size_t i = 0; i < gates.size(); ++i) {
        const auto* u = std::get_if<Unitary>(&gates[i]);
        if (u == nullptr) continue;
        for (const std::vector<Qubit>* qs : {&u->op.targets, &u->op.controls})
            for (Qubit q : *qs) {
                if (q >= 64) return gates;
                n = std::max(n, q + 1);
            }
        masks[i] = mask_of(u->op);
    }
    if (n <= width) return gates;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= gates.size(); ++i) {
        if (i < gates.size() && std::holds_alternative<Unitary>(gates[i])) continue;
        if (i - start > 1)
            reorder_stretch(std::span<Gate>(gates).subspan(start, i - start),
                            std::span<const Mask>(masks).subspan(start, i - start), width, n);
        start = i + 1;
    }
    return gates;
}

}  // namespace vantelo::sim
