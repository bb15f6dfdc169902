#include "sim/exec/executor.hpp"

#include <algorithm>
#include <atomic>

#include "pool/pool.hpp"
#include "sim/aligned_array.hpp"
#include "sim/exec/block_size.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/measure/measure.hpp"
#include "sim/messages.hpp"

namespace vantelo::sim {

namespace {

std::atomic<bool> g_per_gate{false};

// An item with its qubits renamed to bit positions of a block buffer (or
// left as they are, for the whole state).
struct PhysicalItem {
    const ExecItem* item;
    Qubit qubit = 0;
    Operation op;  // General only
};

// position[q]: the bit of qubit q in the buffer (every qubit of the items
// must have one).
std::vector<PhysicalItem> rename(std::span<const ExecItem> items, std::size_t first,
                                 std::size_t last, const std::vector<Qubit>& position) {
    std::vector<PhysicalItem> out;
    out.reserve(last - first);
    for (std::size_t i = first; i < last; ++i) {
        const ExecItem& item = items[i];
        PhysicalItem p{&item, 0, {}};
        if (item.kind == ExecItem::Kind::General) {
            p.op.targets.reserve(item.op->targets.size());
            for (Qubit t : item.op->targets) p.op.targets.push_back(position[t]);
            p.op.matrix = item.op->matrix;
        } else {
            p.qubit = position[item.qubit];
        }
        out.push_back(std::move(p));
    }
    return out;
}

// The kernels of the gate-by-gate path, on a 2^num_qubits array (a block
// buffer or the whole state).
void apply(const PhysicalItem& p, Amplitude* a, std::uint32_t num_qubits) {
    if (p.item->kind == ExecItem::Kind::General)
        apply_general(a, num_qubits, p.op);
    else
        apply_single_qubit(a, num_qubits, p.qubit, p.item->matrix);
}

void apply_whole(const ExecItem& item, StateVector& state) {
    if (item.kind == ExecItem::Kind::General)
        apply_general(state.amplitudes.data(), state.num_qubits, *item.op);
    else
        apply_single_qubit(state.amplitudes.data(), state.num_qubits, item.qubit, item.matrix);
}

// The addressing of one segment's blocks. The active qubits below `run` are
// 0 … run−1, so a block is 2^(b−run) runs of 2^run contiguous amplitudes;
// block k sits at the index whose inactive bits are the bits of k.
struct BlockLayout {
    std::uint32_t b = 0;
    std::uint32_t run = 0;
    std::size_t inactive = 0;     // mask of the qubits that number the blocks
    std::size_t active_high = 0;  // mask of the active qubits from `run` up

    explicit BlockLayout(const std::vector<Qubit>& active, std::uint32_t n)
        : b(static_cast<std::uint32_t>(active.size())) {
        while (run < b && active[run] == run) ++run;
        std::size_t mask = 0;
        for (Qubit q : active) mask |= std::size_t{1} << q;
        inactive = ((std::size_t{1} << n) - 1) & ~mask;
        active_high = mask & ~((std::size_t{1} << run) - 1);
    }

    bool in_place() const { return run == b; }

    // The index of block k: the bits of k placed in the inactive positions.
    std::size_t base(std::size_t k) const {
        std::size_t out = 0;
        for (std::size_t m = inactive; k != 0 && m != 0; m &= m - 1, k >>= 1)
            if (k & 1u) out |= m & (~m + 1);
        return out;
    }
    // The next subset of `mask` in increasing order.
    static std::size_t next(std::size_t x, std::size_t mask) { return ((x | ~mask) + 1) & mask; }
};

void gather(const Amplitude* a, const BlockLayout& l, std::size_t base, Amplitude* buffer) {
    const std::size_t len = std::size_t{1} << l.run;
    const std::size_t runs = std::size_t{1} << (l.b - l.run);
    std::size_t offset = 0;
    for (std::size_t r = 0; r < runs; ++r, offset = BlockLayout::next(offset, l.active_high))
        std::copy_n(a + base + offset, len, buffer + (r << l.run));
}

void scatter(const Amplitude* buffer, const BlockLayout& l, std::size_t base, Amplitude* a) {
    const std::size_t len = std::size_t{1} << l.run;
    const std::size_t runs = std::size_t{1} << (l.b - l.run);
    std::size_t offset = 0;
    for (std::size_t r = 0; r < runs; ++r, offset = BlockLayout::next(offset, l.active_high))
        std::copy_n(buffer + (r << l.run), len, a + base + offset);
}

void run_blocked(const PlanStep& step, std::span<const ExecItem> items, StateVector& state) {
    std::vector<Qubit> position(state.num_qubits, 0);
    for (Qubit i = 0; i < step.active.size(); ++i) position[step.active[i]] = i;
    const std::vector<PhysicalItem> segment = rename(items, step.first, step.last, position);
    const BlockLayout layout(step.active, state.num_qubits);
    const std::uint32_t b = layout.b;
    Amplitude* amplitudes = state.amplitudes.data();
    const std::size_t blocks = state.size() >> b;
    // Each piece applies the whole segment to one block before the next, so
    // the block stays in cache; the kernels inside run on this thread. A
    // single block (a small state) never leaves the calling thread.
    pool::for_each_piece(blocks, [&](std::size_t first, std::size_t last) {
        pool::InlineLoops on_this_thread;
        AlignedArray<Amplitude> buffer;
        if (!layout.in_place()) buffer = AlignedArray<Amplitude>::uninitialized(std::size_t{1} << b);
        std::size_t base = layout.base(first);
        for (std::size_t block = first; block < last; ++block) {
            // Between blocks: the place for a cancellation check.
            Amplitude* a = amplitudes + base;
            if (!layout.in_place()) {
                gather(amplitudes, layout, base, buffer.data());
                a = buffer.data();
            }
            for (const PhysicalItem& p : segment) apply(p, a, b);
            if (!layout.in_place()) scatter(buffer.data(), layout, base, amplitudes);
            base = BlockLayout::next(base, layout.inactive);
        }
    });
}

Status measure_step(const ExecItem& item, StateVector& state, Rng* rng, std::vector<bool>* outcomes) {
    if (item.kind == ExecItem::Kind::Reset) return reset_qubit(state, item.qubit, *rng);
    VANTELO_ASSIGN_OR_RETURN(const bool outcome, measure_qubit(state, item.qubit, *rng));
    if (outcomes != nullptr) outcomes->push_back(outcome);
    return {};
}

}  // namespace

ExecItem unitary_item(const Operation& op) {
    ExecItem item;
    if (op.targets.size() == 1 && op.matrix.size() == 4) {
        item.qubit = op.targets[0];
        item.matrix = {op.matrix[0], op.matrix[1], op.matrix[2], op.matrix[3]};
    } else {
        item.kind = ExecItem::Kind::General;
        item.op = &op;
    }
    return item;
}

Status check_item(const ExecItem& item, const StateVector& state) {
    if (item.kind != ExecItem::Kind::General)
        return validate_targets(state, std::span<const Qubit>(&item.qubit, 1));
    VANTELO_TRY(validate_targets(state, item.op->targets));
    const std::size_t k = item.op->targets.size();
    if (k >= 32) return fail(msg::too_many_qubits_in_operation(k));
    return {};
}

Status run_schedule(const Schedule& schedule, std::span<const ExecItem> items, StateVector& state,
                    Rng* rng, std::vector<bool>* outcomes) {
    for (const PlanStep& step : schedule.steps) {
        // Between passes: the place for a cancellation check.
        switch (step.kind) {
            case PlanStep::Kind::Blocked:
                run_blocked(step, items, state);
                break;
            case PlanStep::Kind::Whole:
                apply_whole(items[step.first], state);
                break;
            case PlanStep::Kind::Measure:
            case PlanStep::Kind::Reset:
                VANTELO_TRY(measure_step(items[step.first], state, rng, outcomes));
                break;
        }
    }
    return {};
}

Status run_items(std::span<const ExecItem> items, StateVector& state, Rng* rng,
                 std::vector<bool>* outcomes) {
    if (items.empty()) return {};
    const std::uint32_t b = block_qubits_for(state.num_qubits, pool::current_num_threads());
    return run_schedule(make_schedule(items, state.num_qubits, b), items, state, rng, outcomes);
}

void force_per_gate_path_for_testing(bool on) { g_per_gate.store(on, std::memory_order_relaxed); }

bool per_gate_path_forced() { return g_per_gate.load(std::memory_order_relaxed); }

std::size_t planned_passes(std::span<const ExecItem> items, std::uint32_t n) {
    const std::uint32_t b = block_qubits_for(n, pool::current_num_threads());
    return make_schedule(items, n, b).passes();
}

}  // namespace vantelo::sim
