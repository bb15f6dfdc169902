#include "sim/exec/schedule.hpp"

#include <algorithm>
#include <limits>

namespace vantelo::sim {

namespace {

std::span<const Qubit> qubits_of(const ExecItem& item) {
    if (item.kind == ExecItem::Kind::General) return item.op->targets;
    return {&item.qubit, 1};
}

// For every logical qubit, the items that use it, with a cursor that only
// moves forward as the plan advances.
class NextUses {
public:
    NextUses(std::span<const ExecItem> items, std::uint32_t n) : uses_(n), cursor_(n, 0) {
        for (std::size_t i = 0; i < items.size(); ++i)
            for (Qubit q : qubits_of(items[i])) uses_[q].push_back(i);
    }

    // The first item at or after i that uses q; "never" when none does.
    std::size_t at_or_after(Qubit q, std::size_t i) {
        const std::vector<std::size_t>& u = uses_[q];
        std::size_t& c = cursor_[q];
        while (c < u.size() && u[c] < i) ++c;
        return c < u.size() ? u[c] : kNever;
    }

    static constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

private:
    std::vector<std::vector<std::size_t>> uses_;
    std::vector<std::size_t> cursor_;
};

class Planner {
public:
    Planner(std::span<const ExecItem> items, std::uint32_t n, std::uint32_t b)
        : items_(items), n_(n), b_(b), map_(QubitMap::identity(n)), next_(items, n) {
        schedule_.block_qubits = b;
    }

    Schedule plan() {
        for (std::size_t i = 0; i < items_.size(); ++i) {
            const ExecItem& item = items_[i];
            if (item.kind == ExecItem::Kind::Measure || item.kind == ExecItem::Kind::Reset) {
                close_segment(i);
                restore();
                PlanStep step;
                step.kind = item.kind == ExecItem::Kind::Measure ? PlanStep::Kind::Measure
                                                                 : PlanStep::Kind::Reset;
                step.first = i;
                schedule_.steps.push_back(std::move(step));
                continue;
            }
            if (fits(item)) {
                if (segment_begin_ == kNone) segment_begin_ = i;
                continue;
            }
            close_segment(i);
            if (bring_low(item, i)) {
                segment_begin_ = i;
            } else {
                PlanStep step;
                step.kind = PlanStep::Kind::Whole;
                step.first = i;
                step.map = map_.physical;
                schedule_.steps.push_back(std::move(step));
            }
        }
        close_segment(items_.size());
        restore();
        return std::move(schedule_);
    }

private:
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

    bool fits(const ExecItem& item) const {
        for (Qubit q : qubits_of(item))
            if (map_.physical[q] >= b_) return false;
        return true;
    }

    void close_segment(std::size_t end) {
        if (segment_begin_ == kNone) return;
        PlanStep step;
        step.kind = PlanStep::Kind::Blocked;
        step.first = segment_begin_;
        step.last = end;
        step.map = map_.physical;
        schedule_.steps.push_back(std::move(step));
        segment_begin_ = kNone;
    }

    void restore() {
        for (std::vector<QubitSwap>& swaps : restoring_swaps(map_)) {
            map_.apply(swaps);
            PlanStep step;
            step.kind = PlanStep::Kind::Permute;
            step.swaps = std::move(swaps);
            schedule_.steps.push_back(std::move(step));
        }
    }

    // One remapping pass that makes item i fit; false when it cannot.
    bool bring_low(const ExecItem& item, std::size_t i) {
        const std::span<const Qubit> qs = qubits_of(item);
        if (qs.size() > b_) return false;
        auto in_item = [&](Qubit logical) { return std::find(qs.begin(), qs.end(), logical) != qs.end(); };
        std::vector<Qubit> needed;
        for (Qubit q : qs)
            if (map_.physical[q] >= b_) needed.push_back(q);
        // Slots: the upper half of the block positions not held by the item.
        std::vector<Qubit> slots;
        for (Qubit p = b_ / 2; p < b_; ++p)
            if (!in_item(map_.logical[p])) slots.push_back(p);
        if (needed.size() > slots.size()) return false;
        auto next_use = [&](Qubit logical) { return next_.at_or_after(logical, i); };
        // Latest next use first; the higher position first among equals.
        std::sort(slots.begin(), slots.end(), [&](Qubit x, Qubit y) {
            const std::size_t ux = next_use(map_.logical[x]);
            const std::size_t uy = next_use(map_.logical[y]);
            return ux != uy ? ux > uy : x > y;
        });
        std::vector<QubitSwap> swaps;
        std::size_t used = 0;
        for (Qubit q : needed) swaps.push_back({slots[used++], map_.physical[q]});
        std::vector<Qubit> waiting;
        for (Qubit p = b_; p < n_; ++p)
            if (!in_item(map_.logical[p])) waiting.push_back(map_.logical[p]);
        std::sort(waiting.begin(), waiting.end(),
                  [&](Qubit x, Qubit y) { return next_use(x) < next_use(y); });
        for (Qubit q : waiting) {
            if (used == slots.size() || next_use(q) >= next_use(map_.logical[slots[used]])) break;
            swaps.push_back({slots[used++], map_.physical[q]});
        }
        map_.apply(swaps);
        PlanStep step;
        step.kind = PlanStep::Kind::Permute;
        step.swaps = std::move(swaps);
        schedule_.steps.push_back(std::move(step));
        return true;
    }

    std::span<const ExecItem> items_;
    std::uint32_t n_;
    std::uint32_t b_;
    QubitMap map_;
    NextUses next_;
    Schedule schedule_;
    std::size_t segment_begin_ = kNone;
};

}  // namespace

Schedule make_schedule(std::span<const ExecItem> items, std::uint32_t n, std::uint32_t b) {
    return Planner(items, n, std::min(b, n)).plan();
}

}  // namespace vantelo::sim
