#include "sim/exec/reorder.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>

#include "sim/exec/schedule.hpp"

namespace vantelo::sim {

namespace {

using Mask = std::uint64_t;

// How many gates of `rest` a pass over the qubits in `active` takes: a gate
// joins when its qubits are active and no gate left behind before it
// touches them.
std::size_t joining(std::span<const std::size_t> rest, std::span<const Mask> masks, Mask active) {
    Mask held = 0;
    std::size_t count = 0;
    for (std::size_t p = 0; p < rest.size() && (held & active) != active; ++p) {
        const Mask m = masks[rest[p]];
        if ((m & ~active) == 0 && (m & held) == 0) ++count;
        else held |= m;
    }
    return count;
}

// Filling a block with the qubits used soonest is a guess: trading one of
// them for a qubit left out often lets more gates join. Takes the first
// trade (lowest qubits first) that does, until none does (eight rounds at
// most); `fixed` (the first gate's qubits and the run) stays.
Mask improve_active(std::span<const std::size_t> rest, std::span<const Mask> masks, Mask active, Mask fixed,
                    Mask all) {
    constexpr int kRounds = 8;
    std::size_t best = joining(rest, masks, active);
    for (int round = 0; round < kRounds; ++round) {
        bool traded = false;
        for (Mask out = active & ~fixed; out != 0 && !traded; out &= out - 1) {
            const Mask drop = out & (~out + 1);
            for (Mask in = all & ~active; in != 0; in &= in - 1) {
                const Mask candidate = (active & ~drop) | (in & (~in + 1));
                const std::size_t count = joining(rest, masks, candidate);
                if (count > best) {
                    best = count;
                    active = candidate;
                    traded = true;
                    break;
                }
            }
        }
        if (!traded) break;
    }
    return active;
}

// Appends to `order` the order of one stretch of unitaries starting at
// `first` (masks[i] the qubits of its entry i). Every segment takes the
// first remaining gate; a later gate joins when its qubits are active and
// no gate left behind before it touches them. Once every active qubit is
// held back no later gate can join, so the scan stops there; the search
// for next uses stops once every qubit has been seen, so long lists cost
// about their passes times the gates of one pass.
void order_stretch(std::size_t first, std::span<const Mask> masks, std::uint32_t width,
                   std::uint32_t n, std::vector<std::size_t>& order) {
    const std::uint32_t run = std::min(kRunQubits, width / 2);
    const Mask run_mask = (Mask{1} << run) - 1;
    std::vector<std::size_t> rest(masks.size());
    std::iota(rest.begin(), rest.end(), std::size_t{0});
    std::vector<std::size_t> kept;
    constexpr std::size_t kUnused = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> first_use(n);
    std::vector<Qubit> others;
    while (!rest.empty()) {
        const Mask head = masks[rest.front()];
        Mask active = head | run_mask;
        if (std::popcount(active) > static_cast<int>(width)) {
            // Too wide for a block: a pass of its own, in its place.
            order.push_back(first + rest.front());
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
        const int wanted = static_cast<int>(width);
        for (std::size_t k = 0; k < others.size() && std::popcount(active) < wanted; ++k)
            active |= Mask{1} << others[k];
        active = improve_active(rest, masks, active, head | run_mask, all);
        Mask held = 0;
        kept.clear();
        std::size_t p = 0;
        for (; p < rest.size() && (held & active) != active; ++p) {
            const Mask m = masks[rest[p]];
            if ((m & ~active) == 0 && (m & held) == 0) {
                order.push_back(first + rest[p]);
            } else {
                held |= m;
                kept.push_back(rest[p]);
            }
        }
        kept.insert(kept.end(), rest.begin() + static_cast<std::ptrdiff_t>(p), rest.end());
        rest.swap(kept);
    }
}

}  // namespace

std::uint64_t qubit_mask(const Gate& gate) {
    const auto* u = std::get_if<Unitary>(&gate);
    if (u == nullptr) return 0;
    Mask m = 0;
    for (const std::vector<Qubit>* qs : {&u->op.targets, &u->op.controls})
        for (Qubit q : *qs) {
            if (q >= 64) return kUnplanned;
            m |= Mask{1} << q;
        }
    return m;
}

std::vector<std::size_t> pass_order(std::span<const std::uint64_t> masks, std::uint32_t num_qubits,
                                    std::uint32_t width) {
    std::vector<std::size_t> order;
    order.reserve(masks.size());
    std::uint32_t n = num_qubits;
    for (Mask m : masks)
        if (m != 0) n = std::max(n, 64u - static_cast<std::uint32_t>(std::countl_zero(m)));
    const bool planned =
        n <= 64 && std::find(masks.begin(), masks.end(), kUnplanned) == masks.end();
    if (!planned || n <= width) {
        for (std::size_t i = 0; i < masks.size(); ++i) order.push_back(i);
        return order;
    }
    std::size_t start = 0;
    for (std::size_t i = 0; i <= masks.size(); ++i) {
        if (i < masks.size() && masks[i] != 0) continue;
        if (i > start) order_stretch(start, masks.subspan(start, i - start), width, n, order);
        if (i < masks.size()) order.push_back(i);
        start = i + 1;
    }
    return order;
}

std::vector<Gate> reorder_for_passes(std::vector<Gate> gates, std::uint32_t num_qubits,
                                     std::uint32_t width) {
    std::vector<Mask> masks(gates.size());
    for (std::size_t i = 0; i < gates.size(); ++i) masks[i] = qubit_mask(gates[i]);
    std::vector<Gate> out;
    out.reserve(gates.size());
    for (std::size_t i : pass_order(masks, num_qubits, width)) out.push_back(std::move(gates[i]));
    return out;
}

}  // namespace vantelo::sim
