#include "sim/exec/executor.hpp"

#include <atomic>

#include "pool/pool.hpp"
#include "sim/exec/block_size.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/measure/measure.hpp"
#include "sim/messages.hpp"

namespace vantelo::sim {

namespace {

std::atomic<bool> g_per_gate{false};

// An item with its qubits moved to the physical positions of its step.
struct PhysicalItem {
    const ExecItem* item;
    Qubit qubit = 0;
    Operation op;  // General only
};

std::vector<PhysicalItem> to_physical(std::span<const ExecItem> items, std::size_t first,
                                      std::size_t last, const std::vector<Qubit>& map) {
    std::vector<PhysicalItem> out;
    out.reserve(last - first);
    for (std::size_t i = first; i < last; ++i) {
        const ExecItem& item = items[i];
        PhysicalItem p{&item, 0, {}};
        if (item.kind == ExecItem::Kind::General) {
            p.op.targets.reserve(item.op->targets.size());
            for (Qubit t : item.op->targets) p.op.targets.push_back(map[t]);
            p.op.matrix = item.op->matrix;
        } else {
            p.qubit = map[item.qubit];
        }
        out.push_back(std::move(p));
    }
    return out;
}

// The kernels of the gate-by-gate path, on a 2^num_qubits array (a block or
// the whole state).
void apply(const PhysicalItem& p, Amplitude* a, std::uint32_t num_qubits) {
    if (p.item->kind == ExecItem::Kind::General)
        apply_general(a, num_qubits, p.op);
    else
        apply_single_qubit(a, num_qubits, p.qubit, p.item->matrix);
}

void run_blocked(const PlanStep& step, std::span<const ExecItem> items, StateVector& state,
                 std::uint32_t b) {
    const std::vector<PhysicalItem> segment = to_physical(items, step.first, step.last, step.map);
    Amplitude* amplitudes = state.amplitudes.data();
    const std::size_t blocks = state.size() >> b;
    // Each piece applies the whole segment to one block before the next, so
    // the block stays in cache; the kernels inside run on this thread. A
    // single block (a small state) never leaves the calling thread.
    pool::for_each_piece(blocks, [&](std::size_t first, std::size_t last) {
        pool::InlineLoops on_this_thread;
        for (std::size_t block = first; block < last; ++block) {
            // Between blocks: the place for a cancellation check.
            Amplitude* a = amplitudes + (block << b);
            for (const PhysicalItem& p : segment) apply(p, a, b);
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
                run_blocked(step, items, state, schedule.block_qubits);
                break;
            case PlanStep::Kind::Whole:
                for (const PhysicalItem& p : to_physical(items, step.first, step.first + 1, step.map))
                    apply(p, state.amplitudes.data(), state.num_qubits);
                break;
            case PlanStep::Kind::Permute:
                permute_qubits(state.amplitudes.data(), state.num_qubits, step.swaps);
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
