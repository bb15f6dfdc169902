#include "sim/noise/fused_stretch.hpp"

#include "sim/exec/executor.hpp"
#include "sim/gates/block_fusion.hpp"

namespace vantelo::sim {

FusedStretch fuse_stretch(const std::vector<const Operation*>& ops, unsigned max_qubits) {
    std::vector<Gate> gates;
    gates.reserve(ops.size());
    for (const Operation* op : ops) gates.push_back(Unitary{*op});
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

std::shared_ptr<const FusedStretch> StretchCache::get(const std::vector<const Operation*>& ops) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto it = plans_.find(ops); it != plans_.end()) return it->second;
    }
    // Planned outside the lock: two workers may plan the same stretch at
    // once, and both plans are equal.
    auto plan = std::make_shared<const FusedStretch>(fuse_stretch(ops, max_qubits_));
    std::size_t entries = 0;
    for (const Gate& g : plan->gates) entries += std::get<Unitary>(g).op.matrix.size();
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_ + entries <= kMaxCachedEntries && plans_.emplace(ops, plan).second) entries_ += entries;
    return plan;
}

}  // namespace vantelo::sim
