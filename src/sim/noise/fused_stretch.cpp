#include "sim/noise/fused_stretch.hpp"

#include <algorithm>
#include <bit>

#include "sim/exec/executor.hpp"
#include "sim/exec/reorder.hpp"
#include "sim/fault.hpp"
#include "sim/gates/block_fusion.hpp"

namespace vantelo::sim {

namespace {

// b · a for 2 × 2 matrices, in double, rounded once.
std::vector<Amplitude> product(const SharedMatrix& b, const SharedMatrix& a) {
    std::vector<Amplitude> out(4);
    for (std::size_t r = 0; r < 2; ++r)
        for (std::size_t c = 0; c < 2; ++c) {
            double re = 0.0, im = 0.0;
            for (std::size_t k = 0; k < 2; ++k) {
                const Amplitude x = b[r * 2 + k], y = a[k * 2 + c];
                re += static_cast<double>(x.re) * y.re - static_cast<double>(x.im) * y.im;
                im += static_cast<double>(x.re) * y.im + static_cast<double>(x.im) * y.re;
            }
            out[r * 2 + c] = Amplitude{static_cast<float>(re), static_cast<float>(im)};
        }
    return out;
}

bool one_qubit(const Operation& op) { return op.targets.size() == 1 && op.controls.empty(); }

// The qubits of an item as bits, as qubit_mask gives them for its gate.
std::uint64_t item_mask(const ExecItem& item) {
    switch (item.kind) {
    case ExecItem::Kind::Single:
        return item.qubit < 64 ? std::uint64_t{1} << item.qubit : kUnplanned;
    case ExecItem::Kind::General:
    case ExecItem::Kind::Controlled: {
        std::uint64_t m = 0;
        for (const std::vector<Qubit>* qs : {&item.op->targets, &item.op->controls})
            for (Qubit q : *qs) {
                if (q >= 64) return kUnplanned;
                m |= std::uint64_t{1} << q;
            }
        return m;
    }
    case ExecItem::Kind::Measure:
    case ExecItem::Kind::Reset:
        break;
    }
    return 0;
}

}  // namespace

FusedStretch fuse_stretch(std::span<const Operation* const> ops, std::span<const std::uint8_t> branch,
                          unsigned max_qubits) {
    constexpr std::size_t kNone = ~std::size_t{0};
    Qubit top = 0;
    for (const Operation* op : ops) {
        for (Qubit q : op->targets) top = std::max(top, q);
        for (Qubit q : op->controls) top = std::max(top, q);
    }
    std::vector<std::size_t> last(std::size_t{top} + 1, kNone);  // per qubit: its pending one-qubit gate
    std::vector<std::uint8_t> holds_branch;
    std::vector<Gate> gates;
    gates.reserve(ops.size());
    for (std::size_t i = 0; i < ops.size(); ++i) {
        const Operation& op = *ops[i];
        if (one_qubit(op)) {
            const std::size_t j = last[op.targets[0]];
            if (j != kNone && (branch[i] || holds_branch[j])) {
                Operation& into = std::get<Unitary>(gates[j]).op;
                into.matrix = SharedMatrix(product(op.matrix, into.matrix));
                holds_branch[j] = 1;
                continue;
            }
            last[op.targets[0]] = gates.size();
        } else {
            for (Qubit q : op.targets) last[q] = kNone;
            for (Qubit q : op.controls) last[q] = kNone;
        }
        gates.push_back(Unitary{op});
        holds_branch.push_back(branch[i]);
    }
    FusedStretch out;
    out.gates = fuse_blocks(gates, max_qubits, /*kraus=*/true);
    out.items.reserve(out.gates.size());
    for (const Gate& g : out.gates) {
        ExecItem item = unitary_item(std::get<Unitary>(g).op);
        item.fused = true;
        out.items.push_back(item);
    }
    return out;
}

std::vector<std::size_t> order_for_passes(std::vector<ExecItem>& items, std::span<const std::size_t> fences,
                                          std::uint32_t num_qubits, std::uint32_t block) {
    if (num_qubits <= block || items.size() < 2) return {};
    // A fence is an entry of its own in the masks, standing for no item.
    constexpr std::size_t kFence = ~std::size_t{0};
    std::vector<std::uint64_t> masks;
    std::vector<std::size_t> item_of;
    masks.reserve(items.size() + fences.size());
    item_of.reserve(items.size() + fences.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i <= items.size(); ++i) {
        for (; next < fences.size() && fences[next] == i; ++next) {
            masks.push_back(0);
            item_of.push_back(kFence);
        }
        if (i == items.size()) break;
        masks.push_back(item_mask(items[i]));
        item_of.push_back(i);
    }
    std::vector<ExecItem> ordered;
    std::vector<std::size_t> from;
    ordered.reserve(items.size());
    from.reserve(items.size());
    for (std::size_t j : pass_order(masks, num_qubits, block)) {
        if (item_of[j] == kFence) continue;
        ordered.push_back(items[item_of[j]]);
        from.push_back(item_of[j]);
    }
    if (ordered.size() != items.size()) raise_fault("a reordered schedule lost items");
    items.swap(ordered);
    return from;
}

std::uint32_t reorder_width(std::span<const Gate> gates) {
    std::uint32_t width = 0;
    for (const Gate& g : gates) {
        const std::uint64_t m = qubit_mask(g);
        if (m == kUnplanned) return 65;  // past every plan: pass_order keeps the order
        if (m != 0) width = std::max(width, 64u - static_cast<std::uint32_t>(std::countl_zero(m)));
    }
    return width;
}

std::shared_ptr<const FusedStretch> StretchCache::get(std::span<const Operation* const> ops,
                                                      std::span<const std::uint8_t> branch) {
    std::vector<const Operation*> key(ops.begin(), ops.end());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto it = plans_.find(key); it != plans_.end()) return it->second;
    }
    // Planned outside the lock: two workers may plan the same stretch at
    // once, and both plans are equal.
    auto plan = std::make_shared<const FusedStretch>(fuse_stretch(ops, branch, max_qubits_));
    std::size_t entries = 0;
    for (const Gate& g : plan->gates) entries += std::get<Unitary>(g).op.matrix.size();
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_ + entries <= kMaxCachedEntries && plans_.emplace(std::move(key), plan).second) entries_ += entries;
    return plan;
}

}  // namespace vantelo::sim
