#include "sim/exec/schedule.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

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

}  // namespace

Schedule make_schedule(std::span<const ExecItem> items, std::uint32_t n, std::uint32_t b,
                       bool gather) {
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

}  // namespace vantelo::sim
