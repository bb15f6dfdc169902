#include "sim/exec/executor.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "pool/pool.hpp"
#include "sim/aligned_array.hpp"
#include "sim/exec/block_size.hpp"
#include "sim/kernels/block_kernel.hpp"
#include "sim/kernels/controlled.hpp"
#include "sim/kernels/fused_planar.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/measure/measure.hpp"
#include "sim/messages.hpp"
#include "sim/stop.hpp"

namespace vantelo::sim {

namespace {

std::atomic<bool> g_per_gate{false};

// An item with its qubits renamed to bit positions of a block buffer (or
// left as they are, for the whole state).
// Items i, i + 1 and i + 2 of a segment as a light pair with swaps of runs
// on its two qubits before or after it (light_pair_swaps_fit).
struct PairWithSwaps {
    bool before = false;  // the swaps come first, the pair is i + 1, i + 2
    QuadMoves moves{};
    int growth = 0;
};

struct PhysicalItem {
    explicit PhysicalItem(const ExecItem* from) : item(from) {}

    const ExecItem* item;
    Qubit qubit = 0;
    Operation op;  // General only
    BlockKernel kernel;
    bool joins = false;  // starts such a three (join), found once per segment
    PairWithSwaps join;
};

// The items at positions [first, last) of the schedule's order, with
// position[q] the bit of qubit q in the buffer (every qubit of the items
// must have one).
std::vector<PhysicalItem> rename(const Schedule& schedule, std::span<const ExecItem> items, std::size_t first,
                                 std::size_t last, const std::vector<Qubit>& position) {
    // Made in place (reserved up front), so the kernels' borrowed matrices
    // and operations stay put.
    std::vector<PhysicalItem> out;
    out.reserve(last - first);
    for (std::size_t i = first; i < last; ++i) {
        const ExecItem& item = items[schedule.item(i)];
        PhysicalItem& p = out.emplace_back(&item);
        if (item.kind == ExecItem::Kind::General) {
            p.op.targets.reserve(item.op->targets.size());
            for (Qubit t : item.op->targets) p.op.targets.push_back(position[t]);
            p.op.matrix = item.op->matrix;
            p.kernel = item.fused ? block_kernel_fused(p.op) : block_kernel_general(p.op);
        } else {
            p.qubit = position[item.qubit];
            p.kernel = block_kernel_single(p.qubit, item.matrix);
        }
    }
    return out;
}

void apply_whole(const ExecItem& item, Amplitude* amplitudes, std::uint32_t n) {
    if (item.kind == ExecItem::Kind::Controlled)
        apply_controlled(amplitudes, n, *item.op);
    else if (item.kind == ExecItem::Kind::General && item.fused && takes_fused_kernel(*item.op))
        apply_fused_block_pooled(amplitudes, n, make_fused_plan(*item.op));
    else if (item.kind == ExecItem::Kind::General)
        apply_general(amplitudes, n, *item.op);
    else
        apply_single_qubit(amplitudes, n, item.qubit, item.matrix);
}

// The segment on one block of 2^b amplitudes: every amplitude sees its items
// in order, as on the whole state. Items with a light kernel take it while
// the block is known to stay finite: a bound check passed at most
// kLightBudget units of growth ago (see light.hpp). A block that fails the
// check (an infinity or a NaN, or huge values) keeps the dense kernels.
// `budget` is the growth left from a check made before the segment (< 0:
// none); the budget left after it is returned (< 0 once a check failed).
bool pair_with_swaps(const std::vector<PhysicalItem>& segment, std::size_t i, std::uint32_t b,
                     PairWithSwaps& out) {
    if (i + 2 >= segment.size()) return false;
    const BlockKernel& x = segment[i].kernel;
    const BlockKernel& y = segment[i + 1].kernel;
    const BlockKernel& z = segment[i + 2].kernel;
    out.growth = x.growth + y.growth + z.growth;
    out.before = !light_pair_swaps_fit(x, y, z, false, b, out.moves);
    return !out.before || light_pair_swaps_fit(y, z, x, true, b, out.moves);
}

int apply_segment(const std::vector<PhysicalItem>& segment, Amplitude* a, std::uint32_t b,
                  Amplitude* scratch, int budget) {
    bool failed = false;
    for (std::size_t i = 0; i < segment.size(); ++i) {
        const BlockKernel& k = segment[i].kernel;
        if (k.has_light() && !failed && budget < k.growth) {
            failed = !light_bound_ok(a, std::size_t{1} << b);
            budget = failed ? -1 : kLightBudget;
        }
        // A light pair beside a cx, a swap or a cz on its two qubits takes
        // one sweep for the three (the swaps only move where the pair reads
        // or writes, or flip signs) when the budget covers all three, as it
        // would each in turn.
        if (segment[i].joins && budget >= k.growth && budget >= segment[i].join.growth) {
            const PairWithSwaps& joined = segment[i].join;
            const std::size_t first = joined.before ? i + 1 : i;
            apply_light_pair_moved(segment[first].kernel, segment[first + 1].kernel, joined.moves, a, b);
            budget -= joined.growth;
            i += 2;
            continue;
        }
        // Two light one-qubit items in a row share one sweep of the block
        // when the budget covers both, as it would cover each in turn; not
        // where the second starts such a three, which saves a sweep more.
        if (i + 1 < segment.size() && budget >= k.growth) {
            const BlockKernel& next = segment[i + 1].kernel;
            if (light_pair_fits(k, next, b) && budget - k.growth >= next.growth && !segment[i + 1].joins) {
                apply_light_pair(k, next, a, b);
                budget -= k.growth + next.growth;
                ++i;
                continue;
            }
        }
        apply_block_kernel(k, a, b, scratch, budget >= k.growth);
        budget = budget >= k.growth ? budget - k.growth : -1;
    }
    return failed ? -1 : budget;
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

    // The inactive qubits that number the blocks a pass visits: a block
    // with any of `zero` set is all zero, and stays so under items on the
    // active qubits (see run_items), so the pass leaves it alone.
    std::size_t visited(std::size_t zero) const { return inactive & ~zero; }

    // The index of block k of those numbered by `blocks` (inactive qubits):
    // the bits of k placed in its positions.
    static std::size_t base(std::size_t k, std::size_t blocks) {
        std::size_t out = 0;
        for (std::size_t m = blocks; k != 0 && m != 0; m &= m - 1, k >>= 1)
            if (k & 1u) out |= m & (~m + 1);
        return out;
    }
    // The next subset of `mask` in increasing order.
    static std::size_t next(std::size_t x, std::size_t mask) { return ((x | ~mask) + 1) & mask; }
};

// Copies the runs of one block between the state and the buffer (Gather:
// state to buffer). Runs are short (often one 64-byte line), so the common
// lengths get a fixed-size copy the compiler inlines instead of a library
// call per run.
template <bool Gather, std::size_t Len>
void copy_runs(Amplitude* a, const BlockLayout& l, std::size_t base, Amplitude* buffer) {
    const std::size_t runs = std::size_t{1} << (l.b - l.run);
    std::size_t offset = 0;
    for (std::size_t r = 0; r < runs; ++r, offset = BlockLayout::next(offset, l.active_high)) {
        Amplitude* s = a + base + offset;
        Amplitude* d = buffer + r * Len;
        if constexpr (Gather)
            std::memcpy(static_cast<void*>(d), static_cast<const void*>(s), Len * sizeof(Amplitude));
        else
            std::memcpy(static_cast<void*>(s), static_cast<const void*>(d), Len * sizeof(Amplitude));
    }
}

template <bool Gather>
void copy_block(Amplitude* a, const BlockLayout& l, std::size_t base, Amplitude* buffer) {
    switch (l.run) {
        case 0: return copy_runs<Gather, 1>(a, l, base, buffer);
        case 1: return copy_runs<Gather, 2>(a, l, base, buffer);
        case 2: return copy_runs<Gather, 4>(a, l, base, buffer);
        case 3: return copy_runs<Gather, 8>(a, l, base, buffer);
        case 4: return copy_runs<Gather, 16>(a, l, base, buffer);
        case 5: return copy_runs<Gather, 32>(a, l, base, buffer);
        default: break;
    }
    const std::size_t len = std::size_t{1} << l.run;
    const std::size_t runs = std::size_t{1} << (l.b - l.run);
    std::size_t offset = 0;
    for (std::size_t r = 0; r < runs; ++r, offset = BlockLayout::next(offset, l.active_high)) {
        if constexpr (Gather)
            std::copy_n(a + base + offset, len, buffer + (r << l.run));
        else
            std::copy_n(buffer + (r << l.run), len, a + base + offset);
    }
}

// The qubits an item acts on.
std::size_t item_qubits(const ExecItem& item) {
    if (item.op == nullptr) return std::size_t{1} << item.qubit;
    std::size_t mask = 0;
    for (Qubit q : item.op->targets) mask |= std::size_t{1} << q;
    for (Qubit q : item.op->controls) mask |= std::size_t{1} << q;
    return mask;
}

bool item_finite(const ExecItem& item) {
    auto finite = [](const Amplitude& a) { return std::isfinite(a.re) && std::isfinite(a.im); };
    if (item.op != nullptr) return std::all_of(item.op->matrix.begin(), item.op->matrix.end(), finite);
    return item.kind != ExecItem::Kind::Single || std::all_of(item.matrix.begin(), item.matrix.end(), finite);
}

// One Blocked step made ready to run: its items renamed to the block's bit
// positions, their kernels prepared, the blocks' addressing. The kernels
// borrow the items' matrices and the renamed operations in `segment`, whose
// storage stays put when the step moves. A segment of fused dense items
// only runs on planes where the CPU allows (planar); it computes the same
// values.
struct PreparedStep {
    PlanStep::Kind kind = PlanStep::Kind::Blocked;
    const ExecItem* item = nullptr;  // Whole
    std::vector<PhysicalItem> segment;
    BlockLayout layout;
    std::size_t widest = 1;
    std::vector<PlanarPlan> planar;
    // The qubits its items act on, and whether every entry of their
    // matrices is finite: only then do all-zero blocks stay zero (a NaN
    // times zero is not), so that the pass may skip them.
    std::size_t touched = 0;
    bool finite = true;
};

// Whether a prepared segment runs on planes: every item a fused dense block
// with a planar form, and runs of at least 8 amplitudes (half a register).
bool runs_on_planes(const PreparedStep& step) {
    if (step.segment.empty() || step.layout.run < 3 || !planar_fused_enabled(step.layout.b)) return false;
    for (const PhysicalItem& p : step.segment)
        if (p.kernel.kind != BlockKernel::Kind::Fused || !planar_fits(p.kernel.fused, step.layout.b)) return false;
    return true;
}

PreparedStep prepare_step(const Schedule& schedule, const PlanStep& step, std::span<const ExecItem> items,
                          std::uint32_t n) {
    PreparedStep out{step.kind, nullptr, {}, BlockLayout(step.active, n), 1, {}};
    if (step.kind != PlanStep::Kind::Blocked) {
        out.item = &items[schedule.item(step.first)];
        return out;
    }
    std::vector<Qubit> position(n, 0);
    for (Qubit i = 0; i < step.active.size(); ++i) position[step.active[i]] = i;
    out.segment = rename(schedule, items, step.first, step.last, position);
    for (std::size_t i = 0; i < out.segment.size(); ++i)
        out.segment[i].joins = pair_with_swaps(out.segment, i, out.layout.b, out.segment[i].join);
    for (const PhysicalItem& p : out.segment) out.widest = std::max(out.widest, p.kernel.plan.dim);
    for (std::size_t i = step.first; i < step.last; ++i) {
        const ExecItem& item = items[schedule.item(i)];
        out.touched |= item_qubits(item);
        out.finite = out.finite && item_finite(item);
    }
    if (runs_on_planes(out))
        for (const PhysicalItem& p : out.segment) out.planar.push_back(make_planar_plan(p.kernel.fused));
    return out;
}

// run_blocked for a segment on planes. Its fused kernels check no bound,
// so every block leaves the budget apply_segment would leave it.
Status run_planar(const PreparedStep& prepared, std::span<Amplitude* const> arrays, std::size_t visited,
                  std::span<int> budgets, StopToken& token) {
    const BlockLayout& layout = prepared.layout;
    const std::size_t len = std::size_t{1} << layout.b;
    const std::size_t blocks = std::size_t{1} << __builtin_popcountll(visited);
    const std::size_t runs = std::size_t{1} << (layout.b - layout.run);
    for (std::size_t v = 0; v < arrays.size(); ++v) {
        Amplitude* const amplitudes = arrays[v];
        pool::for_each_piece(blocks, [&](std::size_t first, std::size_t last) {
            StopTokenScope on_worker(token);
            AlignedArray<float> planes = AlignedArray<float>::uninitialized(2 * len);
            float* const re = planes.data();
            float* const im = planes.data() + len;
            std::size_t base = BlockLayout::base(first, visited);
            for (std::size_t block = first; block < last; ++block) {
                if (stop_requested()) return;
                split_runs(amplitudes, base, layout.active_high, layout.run, runs, re, im);
                for (const PlanarPlan& plan : prepared.planar) apply_fused_planar(re, im, layout.b, plan);
                join_runs(re, im, amplitudes, base, layout.active_high, layout.run, runs);
                base = BlockLayout::next(base, visited);
            }
        });
        for (const PhysicalItem& p : prepared.segment)
            budgets[v] = budgets[v] >= p.kernel.growth ? budgets[v] - p.kernel.growth : -1;
        if (stop_requested()) return stopped_error();
    }
    return {};
}

// The segment over every block of each of `arrays` (registers of n qubits
// that take the same items). budgets[v] is as for apply_segment, for every
// block of arrays[v]; afterwards the budget every block has left, or −1 if
// any block failed its check. The bound a check proves holds for the whole
// register, so it carries over to the next segment's blocks, however these
// are cut. Blocks with a qubit of `zero` set are all zero, and are skipped
// where the items keep them so (see PreparedStep::finite).
Status run_blocked(const PreparedStep& prepared, std::span<Amplitude* const> arrays, std::size_t zero,
                   std::span<int> budgets) {
    const std::vector<PhysicalItem>& segment = prepared.segment;
    const BlockLayout& layout = prepared.layout;
    const std::uint32_t b = layout.b;
    const std::size_t widest = prepared.widest;
    const std::size_t visited = layout.visited(prepared.finite ? zero : 0);
    const std::size_t blocks = std::size_t{1} << __builtin_popcountll(visited);
    // Each piece applies the whole segment to one block before the next, so
    // the block stays in cache; the kernels inside run on this thread. A
    // single block (a small state) never leaves the calling thread. The
    // pieces share the stop token of the loop around them (a batch), or one
    // of their own, so a stop the caller sees ends the pass between blocks.
    StopToken own_token;
    StopToken& token = current_stop_token() != nullptr ? *current_stop_token() : own_token;
    StopTokenScope caller(token);
    if (!prepared.planar.empty()) return run_planar(prepared, arrays, visited, budgets, token);
    for (std::size_t v = 0; v < arrays.size(); ++v) {
        Amplitude* const amplitudes = arrays[v];
        const int budget_in = budgets[v];
        std::atomic<int> budget_out{budget_in};
        std::atomic<bool> failed{false};
        pool::for_each_piece(blocks, [&](std::size_t first, std::size_t last) {
            StopTokenScope on_worker(token);
            pool::InlineLoops on_this_thread;
            // The kernels' scratch (a few amplitudes) stays with the thread.
            thread_local std::vector<Amplitude> scratch;
            if (scratch.size() < widest) scratch.resize(widest);
            AlignedArray<Amplitude> buffer;
            if (!layout.in_place()) buffer = AlignedArray<Amplitude>::uninitialized(std::size_t{1} << b);
            std::size_t base = BlockLayout::base(first, visited);
            for (std::size_t block = first; block < last; ++block) {
                if (stop_requested()) return;
                Amplitude* a = amplitudes + base;
                if (!layout.in_place()) {
                    copy_block<true>(amplitudes, layout, base, buffer.data());
                    a = buffer.data();
                }
                const int left = apply_segment(segment, a, b, scratch.data(), budget_in);
                if (left < 0) failed.store(true, std::memory_order_relaxed);
                else budget_out.store(left, std::memory_order_relaxed);
                if (!layout.in_place()) copy_block<false>(amplitudes, layout, base, buffer.data());
                base = BlockLayout::next(base, visited);
            }
        });
        budgets[v] = failed.load() ? -1 : budget_out.load();
        if (stop_requested()) return stopped_error();
    }
    return {};
}

// A prepared step on each of `arrays`.
Status run_prepared_step(const PreparedStep& step, std::span<Amplitude* const> arrays,
                         std::uint32_t n, std::span<int> budgets) {
    if (step.kind == PlanStep::Kind::Blocked) return run_blocked(step, arrays, 0, budgets);
    for (std::size_t v = 0; v < arrays.size(); ++v) {
        apply_whole(*step.item, arrays[v], n);
        budgets[v] = -1;
    }
    return {};
}

Status measure_step(const ExecItem& item, StateVector& state, Rng* rng, std::vector<bool>* outcomes) {
    if (item.kind == ExecItem::Kind::Reset) return reset_qubit(state, item.qubit, *rng, item.sums);
    VANTELO_ASSIGN_OR_RETURN(const bool outcome, measure_qubit(state, item.qubit, *rng, item.sums));
    if (outcomes != nullptr) outcomes->push_back(outcome);
    return {};
}

}  // namespace

ExecItem unitary_item(const Operation& op) {
    ExecItem item;
    if (!op.controls.empty()) {
        item.kind = ExecItem::Kind::Controlled;
        item.op = &op;
    } else if (op.targets.size() == 1 && op.matrix.size() == 4) {
        item.qubit = op.targets[0];
        item.matrix = {op.matrix[0], op.matrix[1], op.matrix[2], op.matrix[3]};
    } else {
        item.kind = ExecItem::Kind::General;
        item.op = &op;
    }
    return item;
}

Status check_item(const ExecItem& item, const StateVector& state) {
    if (item.kind != ExecItem::Kind::General && item.kind != ExecItem::Kind::Controlled)
        return validate_targets(state, std::span<const Qubit>(&item.qubit, 1));
    return validate_operation(state, *item.op);
}

Status run_schedule(const Schedule& schedule, std::span<const ExecItem> items, StateVector& state,
                    Rng* rng, std::vector<bool>* outcomes, std::size_t zero_qubits) {
    // The light kernels' bound carries from pass to pass until something
    // other than a Blocked step writes the state. A qubit stays known zero
    // until an item acts on it, or one with a NaN or an infinity runs (zero
    // times those is not zero), or a measurement scales the state.
    int budget = -1;
    std::size_t zero = zero_qubits;
    for (const PlanStep& step : schedule.steps) {
        if (stop_requested()) return stopped_error();
        switch (step.kind) {
            case PlanStep::Kind::Blocked: {
                Amplitude* const array = state.amplitudes.data();
                const PreparedStep prepared = prepare_step(schedule, step, items, state.num_qubits);
                VANTELO_TRY(run_blocked(prepared, {&array, 1}, zero, {&budget, 1}));
                zero = prepared.finite ? zero & ~prepared.touched : 0;
                break;
            }
            case PlanStep::Kind::Whole: {
                const ExecItem& item = items[schedule.item(step.first)];
                apply_whole(item, state.amplitudes.data(), state.num_qubits);
                budget = -1;
                zero = item_finite(item) ? zero & ~item_qubits(item) : 0;
                break;
            }
            case PlanStep::Kind::Measure:
            case PlanStep::Kind::Reset:
                VANTELO_TRY(measure_step(items[schedule.item(step.first)], state, rng, outcomes));
                budget = -1;
                zero = 0;
                break;
        }
    }
    return {};
}

Status run_unitary_schedule(const Schedule& schedule, std::span<const ExecItem> items,
                            std::span<Amplitude* const> arrays, std::uint32_t n,
                            std::span<int> light_budgets) {
    for (const PlanStep& step : schedule.steps) {
        if (stop_requested()) return stopped_error();
        VANTELO_TRY(run_prepared_step(prepare_step(schedule, step, items, n), arrays, n, light_budgets));
    }
    return {};
}

struct PreparedSchedule::Steps {
    std::vector<PreparedStep> steps;
};

PreparedSchedule::PreparedSchedule() = default;
PreparedSchedule::~PreparedSchedule() = default;
PreparedSchedule::PreparedSchedule(PreparedSchedule&&) noexcept = default;
PreparedSchedule& PreparedSchedule::operator=(PreparedSchedule&&) noexcept = default;

PreparedSchedule::PreparedSchedule(const Schedule& schedule, std::span<const ExecItem> items,
                                   std::uint32_t n)
    : n_(n), steps_(std::make_unique<Steps>()) {
    steps_->steps.reserve(schedule.steps.size());
    for (const PlanStep& step : schedule.steps) steps_->steps.push_back(prepare_step(schedule, step, items, n));
}

Status run_prepared(const PreparedSchedule& schedule, std::span<Amplitude* const> arrays,
                    std::span<int> light_budgets) {
    for (const PreparedStep& step : schedule.steps_->steps) {
        if (stop_requested()) return stopped_error();
        VANTELO_TRY(run_prepared_step(step, arrays, schedule.n_, light_budgets));
    }
    return {};
}

Status run_items(std::span<const ExecItem> items, StateVector& state, Rng* rng,
                 std::vector<bool>* outcomes, std::size_t zero_qubits) {
    if (items.empty()) return {};
    const std::uint32_t b = block_qubits_for(state.num_qubits);
    return run_schedule(make_schedule(items, state.num_qubits, b, gather_blocks_for(state.num_qubits)),
                        items, state, rng, outcomes, zero_qubits);
}

std::size_t zero_qubits_after(std::span<const ExecItem> items, std::size_t zero_qubits) {
    for (const ExecItem& item : items) {
        if (item.kind == ExecItem::Kind::Measure || item.kind == ExecItem::Kind::Reset || !item_finite(item))
            return 0;
        zero_qubits &= ~item_qubits(item);
    }
    return zero_qubits;
}

void force_per_gate_path_for_testing(bool on) { g_per_gate.store(on, std::memory_order_relaxed); }

bool per_gate_path_forced() { return g_per_gate.load(std::memory_order_relaxed); }

std::size_t planned_passes(std::span<const ExecItem> items, std::uint32_t n) {
    const std::uint32_t b = block_qubits_for(n);
    return make_schedule(items, n, b, gather_blocks_for(n)).passes();
}

}  // namespace vantelo::sim
