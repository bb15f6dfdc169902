#include "sim/exec/schedule.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "sim/cpu/cpu_features.hpp"
#include "sim/kernels/light.hpp"

namespace vantelo::sim {

namespace {

std::span<const Qubit> qubits_of(const ExecItem& item) {
    if (item.kind == ExecItem::Kind::General || item.kind == ExecItem::Kind::Controlled)
        return item.op->targets;
    return {&item.qubit, 1};
}

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

// For every qubit, the items that use it, with a cursor that only moves
// forward as the plan advances.
class NextUses {
public:
    NextUses(std::span<const ExecItem> items, std::uint32_t n) : uses_(n), cursor_(n, 0) {
        for (std::size_t i = 0; i < items.size(); ++i)
            for (Qubit q : qubits_of(items[i])) uses_[q].push_back(i);
    }

    // The first item at or after i that uses q, or kNever.
    std::size_t at_or_after(Qubit q, std::size_t i) {
        const std::vector<std::size_t>& u = uses_[q];
        std::size_t& c = cursor_[q];
        while (c < u.size() && u[c] < i) ++c;
        return c < u.size() ? u[c] : kNever;
    }

private:
    std::vector<std::vector<std::size_t>> uses_;
    std::vector<std::size_t> cursor_;
};

// One block holds the whole state: every run of unitary items is one segment
// with every qubit active (in place), the plan the greedy rule below makes
// then, without its bookkeeping.
Schedule one_block_schedule(std::span<const ExecItem> items, std::uint32_t n) {
    Schedule schedule;
    schedule.block_qubits = n;
    std::vector<Qubit> all(n);
    std::iota(all.begin(), all.end(), Qubit{0});
    std::size_t open = kNever;
    for (std::size_t i = 0; i <= items.size(); ++i) {
        const bool unitary = i < items.size() && (items[i].kind == ExecItem::Kind::Single ||
                                                  items[i].kind == ExecItem::Kind::General);
        if (unitary) {
            if (open == kNever) open = i;
            continue;
        }
        if (open != kNever) {
            PlanStep step;
            step.first = open;
            step.last = i;
            step.active = all;
            schedule.steps.push_back(std::move(step));
            open = kNever;
        }
        if (i == items.size()) break;
        PlanStep step;
        step.kind = items[i].kind == ExecItem::Kind::Measure ? PlanStep::Kind::Measure
                    : items[i].kind == ExecItem::Kind::Reset ? PlanStep::Kind::Reset
                                                             : PlanStep::Kind::Whole;
        step.first = i;
        schedule.steps.push_back(std::move(step));
    }
    return schedule;
}

// The greedy plan of make_schedule for the items in their given order.
Schedule plan_in_order(std::span<const ExecItem> items, std::uint32_t n, std::uint32_t b, bool gather) {
    b = std::min(b, n);
    if (b == n) return one_block_schedule(items, n);
    const std::uint32_t run = std::min(kRunQubits, b / 2);
    Schedule schedule;
    schedule.block_qubits = b;
    NextUses next(items, n);
    std::vector<bool> active(n, false);
    std::size_t open = kNever;  // first item of the open segment
    auto close = [&](std::size_t end) {
        if (open == kNever) return;
        PlanStep step;
        step.first = open;
        step.last = end;
        if (end - open == 1 && b < n) {
            // One item gains nothing from blocks and would pay for the copies;
            // on a state that is one block (no copies) it still gains the
            // light kernels.
            step.kind = PlanStep::Kind::Whole;
        } else {
            for (Qubit q = 0; q < n; ++q)
                if (active[q]) step.active.push_back(q);
        }
        schedule.steps.push_back(std::move(step));
        open = kNever;
    };
    std::vector<Qubit> others;
    // Opens a segment at item i whose active set holds qs, if one can.
    auto open_at = [&](std::size_t i, std::span<const Qubit> qs) {
        std::fill(active.begin(), active.end(), false);
        if (!gather) {
            if (!std::all_of(qs.begin(), qs.end(), [&](Qubit q) { return q < b; })) return false;
            std::fill(active.begin(), active.begin() + b, true);
            open = i;
            return true;
        }
        std::uint32_t count = 0;
        for (Qubit q = 0; q < run; ++q) active[q] = true;
        for (Qubit q : qs) active[q] = true;
        for (Qubit q = 0; q < n; ++q) count += active[q] ? 1 : 0;
        if (count > b) return false;
        others.clear();
        for (Qubit q = 0; q < n; ++q)
            if (!active[q]) others.push_back(q);
        std::stable_sort(others.begin(), others.end(), [&](Qubit x, Qubit y) {
            return next.at_or_after(x, i) < next.at_or_after(y, i);
        });
        for (std::size_t k = 0; count < b; ++k, ++count) active[others[k]] = true;
        open = i;
        return true;
    };
    for (std::size_t i = 0; i < items.size(); ++i) {
        const ExecItem& item = items[i];
        const std::span<const Qubit> qs = qubits_of(item);
        if (item.kind == ExecItem::Kind::Single || item.kind == ExecItem::Kind::General) {
            if (open != kNever && std::all_of(qs.begin(), qs.end(), [&](Qubit q) { return active[q]; }))
                continue;
            close(i);
            if (open_at(i, qs)) continue;
        } else {
            close(i);
        }
        PlanStep step;
        step.kind = item.kind == ExecItem::Kind::Measure ? PlanStep::Kind::Measure
                    : item.kind == ExecItem::Kind::Reset ? PlanStep::Kind::Reset
                                                         : PlanStep::Kind::Whole;
        step.first = i;
        schedule.steps.push_back(std::move(step));
    }
    close(items.size());
    return schedule;
}

// How far a pure swap looks for its pair, in items either way: planning
// stays linear in the items.
constexpr std::size_t kSwapReach = 64;

bool unitary(const ExecItem& item) {
    return item.kind == ExecItem::Kind::Single || item.kind == ExecItem::Kind::General;
}

// Whether the item reads or writes qubit a or b (targets and controls).
bool touches(const ExecItem& item, Qubit a, Qubit b) {
    auto on = [&](Qubit q) { return q == a || q == b; };
    const std::span<const Qubit> qs = qubits_of(item);
    if (std::any_of(qs.begin(), qs.end(), on)) return true;
    const bool has_op = item.kind == ExecItem::Kind::General || item.kind == ExecItem::Kind::Controlled;
    return has_op && std::any_of(item.op->controls.begin(), item.op->controls.end(), on);
}

// A two-target item without controls whose matrix has one entry ±1 in each
// row, the rest 0, swapping rows in pairs (entries 1) or keeping them (1 or
// −1): the executor's pure swaps of runs (light_runs_avx2) on qubits ≥ 2, a
// cx, a swap or a cz. A sign flip is exact too.
bool pure_swaps(const ExecItem& item) {
    if (item.kind != ExecItem::Kind::General || item.op->targets.size() != 2 || !item.op->controls.empty() ||
        item.op->targets[0] < 2 || item.op->targets[1] < 2)
        return false;
    const Amplitude* m = item.op->matrix.data();
    std::size_t to[4];
    for (std::size_t r = 0; r < 4; ++r) {
        std::size_t ones = 0;
        for (std::size_t c = 0; c < 4; ++c) {
            const Amplitude e = m[4 * r + c];
            if (e.im != 0.0f || (e.re != 0.0f && e.re != 1.0f && e.re != -1.0f)) return false;
            if (e.re != 0.0f) to[r] = c, ++ones;
        }
        if (ones != 1 || (to[r] != r && m[4 * r + to[r]].re != 1.0f)) return false;
    }
    for (std::size_t r = 0; r < 4; ++r)
        if (to[to[r]] != r) return false;
    return true;
}

// A one-qubit item that takes a light kernel (block_kernel_single).
bool light_single(const ExecItem& item) {
    return item.kind == ExecItem::Kind::Single && cpu_has_avx2() &&
           growth_units(item.matrix.data(), 4, 2) != kUnboundedGrowth &&
           light_pattern(item.matrix) != LightPattern::None;
}

// Whether items[order[i]] and items[order[i + 1]] are light one-qubit items,
// one on a and one on b.
bool pair_on(std::span<const ExecItem> items, const std::vector<std::size_t>& order, std::size_t i, Qubit a,
             Qubit b) {
    if (i + 1 >= order.size()) return false;
    const ExecItem& x = items[order[i]];
    const ExecItem& y = items[order[i + 1]];
    return light_single(x) && light_single(y) &&
           ((x.qubit == a && y.qubit == b) || (x.qubit == b && y.qubit == a));
}

// The order make_schedule plans in, or empty where nothing moves.
std::vector<std::size_t> swaps_beside_pairs(std::span<const ExecItem> items) {
    std::vector<std::size_t> order;
    std::vector<std::size_t> where;  // where[i]: the position of item i in order
    // Moves the item at position `from` to position `to`, shifting the ones
    // between (at most kSwapReach of them).
    auto move = [&](std::size_t from, std::size_t to) {
        const auto at = [&](std::size_t k) { return order.begin() + static_cast<std::ptrdiff_t>(k); };
        if (to < from) std::rotate(at(to), at(from), at(from + 1));
        else std::rotate(at(from), at(from + 1), at(to + 1));
        for (std::size_t k = std::min(from, to); k <= std::max(from, to); ++k) where[order[k]] = k;
    };
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!pure_swaps(items[i])) continue;
        if (order.empty()) {
            order.resize(items.size());
            std::iota(order.begin(), order.end(), std::size_t{0});
            where = order;
        }
        const Qubit a = items[i].op->targets[0];
        const Qubit b = items[i].op->targets[1];
        auto passable = [&](std::size_t k) {
            return unitary(items[order[k]]) && !touches(items[order[k]], a, b);
        };
        const std::size_t at = where[i];
        std::size_t back = at;
        while (back > 0 && at - back < kSwapReach && passable(back - 1)) --back;
        if (back >= 2 && pair_on(items, order, back - 2, a, b)) {
            move(at, back);
            continue;
        }
        std::size_t ahead = at + 1;
        while (ahead < order.size() && ahead - at < kSwapReach && passable(ahead)) ++ahead;
        if (ahead > at + 1 && pair_on(items, order, ahead, a, b)) move(at, ahead - 1);
    }
    if (std::is_sorted(order.begin(), order.end())) order.clear();
    return order;
}

}  // namespace

Schedule make_schedule(std::span<const ExecItem> items, std::uint32_t n, std::uint32_t b, bool gather) {
    std::vector<std::size_t> order = swaps_beside_pairs(items);
    if (order.empty()) return plan_in_order(items, n, b, gather);
    std::vector<ExecItem> moved;
    moved.reserve(items.size());
    for (std::size_t i : order) moved.push_back(items[i]);
    Schedule schedule = plan_in_order(moved, n, b, gather);
    schedule.order = std::move(order);
    return schedule;
}

}  // namespace vantelo::sim
