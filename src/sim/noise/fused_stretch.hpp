// Fused trajectories (fusion=k). Once a trajectory's draws are known, the
// items between two draws that need a norm are a fixed list of operations,
// the drawn branches among them (identity branches drop out), and block
// fusion runs on that list as on any stretch of gates. A stretch is named by
// its operations, borrowed from the circuit and its channels for one call,
// so trajectories that drew the same branches share one plan: most
// trajectories of a weak channel draw only identities.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/exec/schedule.hpp"
#include "sim/gates/gate.hpp"

namespace vantelo::sim {

// fuse_blocks of a stretch, and its executor items (they borrow `gates`).
struct FusedStretch {
    std::vector<Gate> gates;
    std::vector<ExecItem> items;
};

// fuse_blocks(ops, max_qubits) as executor items, with Kraus operators allowed.
FusedStretch fuse_stretch(const std::vector<const Operation*>& ops, unsigned max_qubits);

// The plans of one call's trajectories, safe to share between workers. A
// plan depends only on its operations and the width, so whether it came
// from the cache never changes a value.
class StretchCache {
public:
    explicit StretchCache(unsigned max_qubits) : max_qubits_(max_qubits) {}

    unsigned max_qubits() const { return max_qubits_; }

    // The plan of these operations, made on first use. Plans are kept until
    // they hold kMaxCachedEntries matrix entries in all; later ones are made
    // for each use.
    std::shared_ptr<const FusedStretch> get(const std::vector<const Operation*>& ops);

    static constexpr std::size_t kMaxCachedEntries = std::size_t{1} << 20;

private:
    unsigned max_qubits_;
    std::mutex mutex_;
    std::map<std::vector<const Operation*>, std::shared_ptr<const FusedStretch>> plans_;
    std::size_t entries_ = 0;
};

}  // namespace vantelo::sim
