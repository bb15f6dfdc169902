// Fused trajectories (fusion=k). Once a trajectory's draws are known, the
// items between two draws that need a norm are a fixed list of operations,
// the drawn branches among them (identity branches drop out), and block
// fusion runs on that list as on any stretch of gates. A stretch is named by
// its operations, borrowed from the circuit and its channels for one call,
// so trajectories that drew the same branches share one plan: most
// trajectories of a weak channel draw only identities. What runs between two
// norms (the stretches' plans, a compiled plan's rotations between them) is
// then reordered as a fused circuit is, so one pass covers more of it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "sim/exec/reorder.hpp"
#include "sim/exec/schedule.hpp"
#include "sim/gates/gate.hpp"

namespace vantelo::sim {

// fuse_blocks of a stretch, and its executor items (they borrow `gates`).
struct FusedStretch {
    std::vector<Gate> gates;
    std::vector<ExecItem> items;
};

// A stretch's operations; branch[i] marks a drawn channel branch. Each
// one-qubit branch is first multiplied into the last one-qubit operation on
// its qubit when nothing since touched that qubit (and a one-qubit operation
// into such a branch), as the exact runner does: a damping channel's
// diagonal branch on every qubit after every layer would otherwise cost a
// pass through each block. Then fuse_blocks(…, max_qubits), Kraus operators
// allowed, as executor items. Stretches without branches are fused exactly
// as the noiseless circuit is.
FusedStretch fuse_stretch(std::span<const Operation* const> ops, std::span<const std::uint8_t> branch,
                          unsigned max_qubits);

// Reorders the items a fused trajectory runs in one schedule as
// reorder_for_passes orders a fused circuit planned for `num_qubits`:
// measurements, resets and the places in `fences` (item indices a barrier
// stood before) are fences, and items sharing a qubit keep their order. A
// drawn branch is not unitary, but it is a linear map on its own qubits, so
// it commutes exactly with maps on other qubits and only rounding changes,
// within the fused bound; the norm is taken after the schedule in any
// order. The order depends only on its arguments; with num_qubits at most
// `block` (kReorderQubits but in tests) the items are left as given.
// Returns where each item came from (items[i] was item from[i]), or
// nothing when the order is unchanged.
std::vector<std::size_t> order_for_passes(std::vector<ExecItem>& items, std::span<const std::size_t> fences,
                                          std::uint32_t num_qubits, std::uint32_t block = kReorderQubits);

// The width reorder_for_passes plans a list of these gates for: the
// highest qubit a unitary names, plus one. A one-off circuit's trajectories
// plan for it, a compiled plan's for its register, as their noiseless runs
// do, so trajectories that draw only identities give the bits of those.
std::uint32_t reorder_width(std::span<const Gate> gates);

// A stretch without drawn branches (the same in most trajectories) is fused
// whole. One with branches (new in most trajectories) is cut into windows at
// the items whose index is a multiple of this, each fused apart, so only the
// windows around the branches need a plan of their own. Planning costs one
// to two microseconds per item and a trajectory about 2^n · 0.1 ns per item,
// so the windows grow with the register: at 20 qubits they span 1024 items,
// about a depth-20 circuit with a channel on every qubit after every layer;
// at 14 qubits and fewer, 16 (fusion pays little there, since a dense block
// costs more than the passes it saves).
inline std::size_t stretch_window(std::uint32_t num_qubits) {
    return std::size_t{1} << (num_qubits > 14 ? num_qubits - 10 : 4);
}

// The plans of one call's trajectories, safe to share between workers. A
// plan depends only on its operations and the width, so whether it came
// from the cache never changes a value.
class StretchCache {
public:
    // `reorder_qubits`: the width every schedule is reordered for, in
    // blocks of `reorder_block` qubits (order_for_passes; tests narrow the
    // blocks to reorder small registers).
    explicit StretchCache(unsigned max_qubits, std::uint32_t reorder_qubits = 0,
                          std::uint32_t reorder_block = kReorderQubits)
        : max_qubits_(max_qubits), reorder_qubits_(reorder_qubits), reorder_block_(reorder_block) {}

    unsigned max_qubits() const { return max_qubits_; }
    std::uint32_t reorder_qubits() const { return reorder_qubits_; }
    std::uint32_t reorder_block() const { return reorder_block_; }

    // The plan of these operations, made on first use (`branch` follows
    // from the operations: a channel's branches are its own objects). Plans are kept until
    // they hold kMaxCachedEntries matrix entries in all; later ones are made
    // for each use.
    std::shared_ptr<const FusedStretch> get(std::span<const Operation* const> ops,
                                            std::span<const std::uint8_t> branch);

    static constexpr std::size_t kMaxCachedEntries = std::size_t{1} << 20;

private:
    unsigned max_qubits_;
    std::uint32_t reorder_qubits_;
    std::uint32_t reorder_block_;
    std::mutex mutex_;
    // std::less orders pointers to distinct objects totally, as the map needs.
    struct Before {
        bool operator()(const std::vector<const Operation*>& a, const std::vector<const Operation*>& b) const {
            return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), std::less<const Operation*>{});
        }
    };
    std::map<std::vector<const Operation*>, std::shared_ptr<const FusedStretch>, Before> plans_;
    std::size_t entries_ = 0;
};

}  // namespace vantelo::sim
