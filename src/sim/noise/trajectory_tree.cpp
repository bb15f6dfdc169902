#include "sim/noise/trajectory_tree.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <numeric>
#include <utility>

#include "pool/pool.hpp"
#include "sim/exec/executor.hpp"
#include "sim/fault.hpp"
#include "sim/stop.hpp"

namespace vantelo::sim {

namespace {

// The copies of the state one tree keeps take at most this many bytes.
constexpr std::size_t kCopyBytes = std::size_t{1} << 29;

template <class T>
int three_way(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

int compare_bits(const void* a, const void* b, std::size_t bytes) {
    const int c = std::memcmp(a, b, bytes);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int compare_qubits(const std::vector<Qubit>& a, const std::vector<Qubit>& b) {
    if (a.size() != b.size()) return three_way(a.size(), b.size());
    return a.empty() ? 0 : compare_bits(a.data(), b.data(), a.size() * sizeof(Qubit));
}

int compare_operations(const Operation& a, const Operation& b) {
    if (&a == &b) return 0;
    if (int c = compare_qubits(a.targets, b.targets)) return c;
    if (int c = compare_qubits(a.controls, b.controls)) return c;
    if (a.matrix.size() != b.matrix.size()) return three_way(a.matrix.size(), b.matrix.size());
    return a.matrix.size() == 0 ? 0 : compare_bits(a.matrix.data(), b.matrix.data(), a.matrix.size() * sizeof(Amplitude));
}

std::size_t common_prefix(const std::vector<ExecItem>& a, const std::vector<ExecItem>& b) {
    const std::size_t m = std::min(a.size(), b.size());
    std::size_t k = 0;
    while (k < m && compare_items(a[k], b[k]) == 0) ++k;
    return k;
}

void copy_state(const StateVector& from, StateVector& to) {
    constexpr std::size_t kPiece = std::size_t{1} << 16;
    const Amplitude* src = from.amplitudes.data();
    Amplitude* dst = to.amplitudes.data();
    const std::size_t size = from.size();
    pool::for_each_piece((size + kPiece - 1) / kPiece, [&](std::size_t begin, std::size_t end) {
        const std::size_t last = std::min(size, end * kPiece);
        std::copy(src + begin * kPiece, src + last, dst + begin * kPiece);
    });
}

}  // namespace

int compare_items(const ExecItem& a, const ExecItem& b) {
    if (a.kind != b.kind) return three_way(a.kind, b.kind);
    if (a.fused != b.fused) return three_way(a.fused, b.fused);
    if (a.sums != b.sums) return three_way(a.sums, b.sums);
    if (a.kind == ExecItem::Kind::General || a.kind == ExecItem::Kind::Controlled)
        return compare_operations(*a.op, *b.op);
    if (a.qubit != b.qubit) return three_way(a.qubit, b.qubit);
    if (a.kind != ExecItem::Kind::Single) return 0;
    return compare_bits(a.matrix.data(), b.matrix.data(), sizeof(Matrix2));
}

std::vector<std::size_t> prefix_order(std::span<const std::vector<ExecItem>> lists) {
    std::vector<std::size_t> order(lists.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const std::vector<ExecItem>& x = lists[a];
        const std::vector<ExecItem>& y = lists[b];
        const std::size_t k = common_prefix(x, y);
        if (k == x.size() || k == y.size()) return x.size() < y.size();
        return compare_items(x[k], y[k]) < 0;
    });
    return order;
}

Status run_prefix_tree(std::span<const std::vector<ExecItem>> lists, std::uint32_t n,
                       const StateVector* start, std::size_t copies_allowed, const PrefixVisit& visit,
                       PrefixTreeWork* work) {
    for (const std::vector<ExecItem>& list : lists)
        for (const ExecItem& item : list)
            if (item.kind == ExecItem::Kind::Measure || item.kind == ExecItem::Kind::Reset)
                raise_fault("a measurement in a shared trajectory prefix");
    const std::vector<std::size_t> order = prefix_order(lists);
    // shared[j]: the prefix list order[j] has in common with order[j − 1].
    // In sorted order a list shares with a later one the least of the
    // shared[] between them, so a copy deeper than shared[j] serves no
    // list from j on.
    std::vector<std::size_t> shared(order.size() + 1, 0);
    for (std::size_t j = 1; j < order.size(); ++j) shared[j] = common_prefix(lists[order[j - 1]], lists[order[j]]);

    const std::size_t state_bytes = (std::size_t{1} << n) * sizeof(Amplitude);
    const std::size_t max_copies = std::min(copies_allowed, kCopyBytes / state_bytes);
    struct Copy {
        std::size_t depth;
        StateVector state;
    };
    std::vector<Copy> copies;
    std::vector<StateVector> spare;  // the buffers of copies no list needs any more
    const auto drop = [&] {
        spare.push_back(std::move(copies.back().state));
        copies.pop_back();
    };
    // Whether a list after j still starts from the newest copy once a copy
    // at depth `deeper` is made: some later list shares at least the
    // copy's depth, but less than `deeper`, with list j.
    const auto needed = [&](std::size_t j, std::size_t deeper) {
        std::size_t least = deeper;
        for (std::size_t k = j + 2; k < order.size(); ++k) {
            least = std::min(least, shared[k]);
            if (least < copies.back().depth) return false;
            if (least < deeper) return true;
        }
        return false;
    };
    PrefixTreeWork done;
    done.lists = lists.size();
    StateVector state = StateVector::create(n);
    if (start != nullptr) copy_state(*start, state);
    const auto apply = [&](const std::vector<ExecItem>& list, std::size_t from, std::size_t to) -> Status {
        done.applied += to - from;
        // From |0…0⟩, the qubits no earlier item of the list acted on are
        // still zero, whichever copy of its prefix the state came from.
        const std::size_t zero =
            start == nullptr ? zero_qubits_after(std::span<const ExecItem>(list).first(from), all_qubits(n)) : 0;
        return run_items(std::span<const ExecItem>(list).subspan(from, to - from), state, nullptr, nullptr, zero);
    };
    for (std::size_t j = 0; j < order.size(); ++j) {
        if (stop_requested()) return stopped_error();
        const std::vector<ExecItem>& list = lists[order[j]];
        done.total += list.size();
        while (!copies.empty() && copies.back().depth > shared[j]) drop();
        std::size_t depth = 0;
        if (copies.empty()) {
            if (j > 0 && start != nullptr) copy_state(*start, state);
            if (j > 0 && start == nullptr) reset_to_zero_state(state);
        } else if (shared[j + 1] >= copies.back().depth) {
            copy_state(copies.back().state, state);
            depth = copies.back().depth;
        } else {
            // No later list starts from this copy: take its buffer instead
            // of copying it.
            depth = copies.back().depth;
            std::swap(state, copies.back().state);
            drop();
        }
        const std::size_t branch = shared[j + 1];
        if (branch > depth) {
            VANTELO_TRY(apply(list, depth, branch));
            depth = branch;
            if (!copies.empty() && !needed(j, branch)) drop();
            if (copies.size() < max_copies) {
                try {
                    StateVector copy;
                    if (spare.empty()) {
                        copy = StateVector::create(n);
                    } else {
                        copy = std::move(spare.back());
                        spare.pop_back();
                    }
                    copy_state(state, copy);
                    copies.push_back({depth, std::move(copy)});
                    ++done.copies;
                } catch (const std::bad_alloc&) {
                    // Without room for a copy the later branches recompute.
                }
            }
        }
        VANTELO_TRY(apply(list, depth, list.size()));
        VANTELO_TRY(visit(order[j], state));
    }
    if (work != nullptr) *work = done;
    return {};
}

}  // namespace vantelo::sim
