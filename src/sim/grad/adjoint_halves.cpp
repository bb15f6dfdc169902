#include "sim/grad/adjoint_halves.hpp"

#include <algorithm>
#include <limits>

#include "sim/exec/block_size.hpp"
#include "sim/exec/executor.hpp"
#include "sim/grad/adjoint.hpp"
#include "sim/grad/adjoint_products.hpp"
#include "sim/grad/adjoint_products_wide.hpp"

namespace vantelo::sim {

namespace {

// Measured on two threads against the sweep that gives each thread a whole
// vector per stage (adjoint.cpp) and that sweep on one thread, with
// bench/compiled_bench.py's ansatz: from 12 qubits a stage is too short to
// hand between threads but a run of stages on one half is not. From 18 to
// 20 qubits the plain sweep is 2–8 % ahead where the two cores exchange
// cache lines quickly, but each of its stages reads the other thread's
// vector: on a VM whose two vCPUs sit far apart (core-to-core round trips
// of 300–400 ns instead of 50–80) it ran 3 times slower than the halves,
// and slower than one thread. From 21 the plain sweep is ahead by 10 % and
// more. The forward run pays for its exchanges from 16 qubits.
constexpr std::uint32_t kHalvesMinQubits = 12;
constexpr std::uint32_t kHalvesMaxQubits = 20;
constexpr std::uint32_t kHalvesForwardMinQubits = 16;

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

// A step before renaming: an item, or the partials of a rotation (counted
// from the end of the plan).
struct Event {
    bool partial = false;
    std::size_t index = 0;  // item, or rotation
    Qubit target = 0;       // partial
    RotationKind kind = RotationKind::Rx;
};

void append_qubits(const ExecItem& item, std::vector<Qubit>& out) {
    if (item.kind == ExecItem::Kind::Single) {
        out.push_back(item.qubit);
        return;
    }
    out.insert(out.end(), item.op->targets.begin(), item.op->targets.end());
    out.insert(out.end(), item.op->controls.begin(), item.op->controls.end());
}

void rename(std::vector<Qubit>& qubits, const std::vector<Qubit>& physical) {
    for (Qubit& q : qubits) q = physical[q];
}

// The logical block of each physical product block under `physical`
// (logical qubit → position), which moves only qubits from
// kProductBlockBits up.
void append_block_map(const std::vector<Qubit>& physical, std::size_t blocks,
                      std::vector<std::uint32_t>& out) {
    const auto n = static_cast<Qubit>(physical.size());
    for (std::size_t k = 0; k < blocks; ++k) {
        const std::size_t y = k << kProductBlockBits;
        std::size_t x = 0;
        for (Qubit q = kProductBlockBits; q < n; ++q)
            x |= ((y >> physical[q]) & 1u) << q;
        out.push_back(static_cast<std::uint32_t>(x >> kProductBlockBits));
    }
}

// Exchanges the top qubit with qubit p < top: the amplitudes whose top bit
// is 0 and bit p is 1 trade places with those whose top bit is 1 and bit p 0.
// Runs are at least 2^kProductBlockBits amplitudes; the loop over their
// floats is one the compiler vectorises.
void swap_with_top(Amplitude* a, std::uint32_t n, Qubit p) {
    const std::size_t half = std::size_t{1} << (n - 1);
    const std::size_t run = std::size_t{1} << p;
    float* const f = reinterpret_cast<float*>(a);
    for (std::size_t base = run; base < half; base += 2 * run) {
        float* __restrict x = f + 2 * base;
        float* __restrict y = f + 2 * (base - run + half);
        for (std::size_t i = 0; i < 2 * run; ++i) {
            const float t = x[i];
            x[i] = y[i];
            y[i] = t;
        }
    }
}

// The steps and stages of plan.items (logical qubits, renamed here) with
// the partials of `events`. With `restore`, exchanges at the end put the
// qubits back in logical order.
void plan_steps(HalvesPlan& plan, const std::vector<Event>& events, bool restore) {
    const std::uint32_t n = plan.num_qubits;
    const Qubit top = n - 1;
    // The events that use each logical qubit, in order.
    std::vector<std::vector<std::size_t>> uses(n);
    std::vector<Qubit> qubits;
    auto qubits_of = [&](const Event& ev) {
        qubits.clear();
        if (ev.partial) qubits.push_back(ev.target);
        else append_qubits(plan.items[ev.index], qubits);
    };
    for (std::size_t e = 0; e < events.size(); ++e) {
        qubits_of(events[e]);
        for (Qubit q : qubits) uses[q].push_back(e);
    }
    std::vector<std::size_t> cursor(n, 0);
    auto next_use = [&](Qubit q, std::size_t e) {
        while (cursor[q] < uses[q].size() && uses[q][cursor[q]] < e) ++cursor[q];
        return cursor[q] < uses[q].size() ? uses[q][cursor[q]] : kNever;
    };

    plan.steps.clear();
    plan.stages.clear();
    plan.block_maps.clear();
    std::vector<Qubit> physical(n), logical(n);
    for (Qubit q = 0; q < n; ++q) physical[q] = logical[q] = q;
    const std::size_t blocks = product_blocks(n);
    std::size_t map = kNever;  // offset of the current block map
    std::size_t run_first = kNever;
    std::size_t items_before = 0;  // items ahead of the current event
    std::size_t schedules = 0;
    auto schedule = [&](std::size_t first, std::size_t last, std::uint32_t width) {
        if (plan.schedules.size() <= schedules) plan.schedules.resize(schedules + 1);
        const std::span<const ExecItem> items =
            std::span<const ExecItem>(plan.items).subspan(first, last - first);
        plan.schedules[schedules] = PreparedSchedule(
            make_schedule(items, width, block_qubits_for(width), gather_blocks_for(width)), items,
            width);
        return schedules++;
    };
    auto close_run = [&] {
        if (run_first == kNever) return;
        HalvesStep step;
        step.first = run_first;
        step.last = items_before;
        step.schedule = schedule(run_first, items_before, n - 1);
        plan.steps.push_back(step);
        run_first = kNever;
    };
    auto exchange = [&](Qubit p) {
        close_run();
        HalvesStep step;
        step.kind = HalvesStep::Kind::Swap;
        step.qubit = p;
        plan.steps.push_back(step);
        std::swap(logical[top], logical[p]);
        physical[logical[top]] = top;
        physical[logical[p]] = p;
        map = kNever;
    };
    for (std::size_t e = 0; e < events.size(); ++e) {
        const Event& ev = events[e];
        qubits_of(ev);
        const auto needed = [&](Qubit q) { return std::find(qubits.begin(), qubits.end(), q) != qubits.end(); };
        bool joint = false;
        if (needed(logical[top])) {
            // The position below the top whose qubit is used last.
            Qubit best = top;
            std::size_t best_use = 0;
            for (Qubit p = kProductBlockBits; p < top; ++p) {
                if (needed(logical[p])) continue;
                const std::size_t use = next_use(logical[p], e);
                if (best == top || use > best_use) {
                    best = p;
                    best_use = use;
                }
            }
            if (best == top) {
                close_run();
                joint = true;
            } else {
                exchange(best);
            }
        }
        if (ev.partial) {
            close_run();
            if (map == kNever) {
                map = plan.block_maps.size();
                append_block_map(physical, blocks, plan.block_maps);
            }
            HalvesStep step;
            step.kind = HalvesStep::Kind::Partial;
            step.rotation = ev.kind;
            step.qubit = physical[ev.target];
            step.first = ev.index;
            step.last = map;
            plan.steps.push_back(step);
            continue;
        }
        ExecItem& item = plan.items[ev.index];
        if (item.kind == ExecItem::Kind::Single) {
            item.qubit = physical[item.qubit];
        } else {
            // The item borrows one of plan.ops, which the plan owns.
            auto* op = const_cast<Operation*>(item.op);
            rename(op->targets, physical);
            rename(op->controls, physical);
        }
        if (joint) {
            HalvesStep step;
            step.kind = HalvesStep::Kind::Joint;
            step.first = ev.index;
            step.last = ev.index + 1;
            step.schedule = schedule(ev.index, ev.index + 1, n);
            plan.steps.push_back(step);
        } else if (run_first == kNever) {
            run_first = ev.index;
        }
        items_before = ev.index + 1;
    }
    close_run();
    // Each exchange puts the qubit at the top in its place, or moves a
    // misplaced one up.
    for (Qubit p = kProductBlockBits; restore && p <= top;) {
        if (logical[top] != top) exchange(logical[top]);
        else if (logical[p] != p) exchange(p);
        else ++p;
    }

    using Stage = HalvesStage::Kind;
    for (std::size_t i = 0; i < plan.steps.size(); ++i) {
        switch (plan.steps[i].kind) {
            case HalvesStep::Kind::Run:
            case HalvesStep::Kind::Partial:
                if (!plan.stages.empty() && plan.stages.back().kind == Stage::Halves)
                    plan.stages.back().last = i + 1;
                else
                    plan.stages.push_back({Stage::Halves, i, i + 1});
                break;
            case HalvesStep::Kind::Swap:
            case HalvesStep::Kind::Joint:
                plan.stages.push_back({Stage::Vectors, i, i + 1});
                break;
        }
    }
    plan.block_partials.resize(blocks);
    plan.wide_block_partials.resize(2 * blocks);
}

// Room for `count` operations the items borrow (sized before any item is
// made, so they stay put).
void reserve_ops(HalvesPlan& plan, const CompiledCircuit& circuit, std::size_t first) {
    std::size_t count = 0;
    for (std::size_t i = first; i < circuit.ops.size(); ++i)
        if (const auto* f = std::get_if<FixedOp>(&circuit.ops[i]))
            count += std::holds_alternative<Unitary>(f->gate) ? 1 : 0;
    if (plan.ops.size() < count) plan.ops.resize(count);
    plan.items.clear();
}

}  // namespace

bool halves_for(std::uint32_t n) { return n >= kHalvesMinQubits && n <= kHalvesMaxQubits; }

bool halves_forward_for(std::uint32_t n) { return halves_for(n) && n >= kHalvesForwardMinQubits; }

void build_halves_forward(const CompiledCircuit& circuit, std::span<const float> params,
                          HalvesPlan& plan) {
    plan.num_qubits = circuit.num_qubits;
    plan.vectors = 1;
    reserve_ops(plan, circuit, 0);
    std::vector<Event> events;
    std::size_t k = 0;
    for (const CompiledOp& op : circuit.ops) {
        ExecItem item;
        if (const auto* p = std::get_if<ParamOp>(&op)) {
            item.qubit = p->target;
            item.matrix = rotation_matrix(p->kind, params[p->slot]);
        } else if (const auto* u = std::get_if<Unitary>(&std::get<FixedOp>(op).gate)) {
            Operation& copy = plan.ops[k++];
            copy.targets.assign(u->op.targets.begin(), u->op.targets.end());
            copy.controls.assign(u->op.controls.begin(), u->op.controls.end());
            copy.matrix = u->op.matrix;
            item = unitary_item(copy);
            // The forward state as run_steps makes it.
            item.fused = circuit.numerics.fusion != 0;
        } else {
            continue;  // barriers; measurements and resets were refused
        }
        events.push_back({false, plan.items.size(), 0, RotationKind::Rx});
        plan.items.push_back(item);
    }
    plan_steps(plan, events, true);
}

void build_halves_sweep(const CompiledCircuit& circuit, std::span<const float> params,
                        std::span<const std::size_t> rotations, HalvesPlan& plan) {
    const std::size_t R = rotations.size();
    plan.num_qubits = circuit.num_qubits;
    plan.vectors = 2;
    reserve_ops(plan, circuit, rotations.front() + 1);
    std::vector<Event> events;
    std::size_t k = 0;
    for (std::size_t stage = 0; stage < R; ++stage) {
        const std::size_t first = rotations[R - 1 - stage] + 1;
        const std::size_t last = stage == 0 ? circuit.ops.size() : rotations[R - stage] + 1;
        for (std::size_t i = last; i-- > first;) {
            const CompiledOp& op = circuit.ops[i];
            ExecItem item;
            if (const auto* p = std::get_if<ParamOp>(&op)) {
                item.qubit = p->target;
                item.matrix = rotation_matrix(p->kind, -params[p->slot]);
            } else if (const auto* u = std::get_if<Unitary>(&std::get<FixedOp>(op).gate)) {
                adjoint_into(u->op, plan.ops[k]);
                item = unitary_item(plan.ops[k++]);
            } else {
                continue;
            }
            events.push_back({false, plan.items.size(), 0, RotationKind::Rx});
            plan.items.push_back(item);
        }
        const ParamOp& r = std::get<ParamOp>(circuit.ops[rotations[R - 1 - stage]]);
        events.push_back({true, stage, r.target, r.kind});
    }
    plan_steps(plan, events, false);
    plan.wide = circuit.numerics.wide_sums();
    if (plan.wide) {
        plan.wide_rotation_partials.resize(R * product_blocks(plan.num_qubits));
        plan.wide_rotation_norms.resize((R + kWideNormEvery - 1) / kWideNormEvery *
                                        product_blocks(plan.num_qubits));
    }
    else
        plan.rotation_partials.resize(R * product_blocks(plan.num_qubits));
}

HalvesRun::HalvesRun(HalvesPlan& plan, Amplitude* const* vectors, unsigned count)
    : plan_(plan), vectors_{vectors[0], count > 1 ? vectors[1] : nullptr} {}

Status HalvesRun::task(std::size_t stage_index, unsigned side) {
    const std::uint32_t n = plan_.num_qubits;
    const std::size_t half = std::size_t{1} << (n - 1);
    const std::size_t blocks = product_blocks(n);
    const unsigned count = plan_.vectors;
    const HalvesStage& stage = plan_.stages[stage_index];
    if (stage.kind == HalvesStage::Kind::Vectors && side >= count) return {};
    for (std::size_t i = stage.first; i < stage.last; ++i) {
        const HalvesStep& step = plan_.steps[i];
        switch (step.kind) {
            case HalvesStep::Kind::Run: {
                Amplitude* const halves[2] = {vectors_[0] + side * half,
                                              count > 1 ? vectors_[1] + side * half : nullptr};
                VANTELO_TRY(run_prepared(plan_.schedules[step.schedule], {halves, count},
                                         {budgets_[side], count}));
                break;
            }
            case HalvesStep::Kind::Partial: {
                const std::size_t begin = side * (blocks / 2), end = begin + blocks / 2;
                if (plan_.wide) {
                    const bool norm = wide_norm_at(step.first);
                    double* const block_norms = plan_.wide_block_partials.data() + blocks;
                    wide_generator_partials(vectors_[1], vectors_[0], n, step.rotation, step.qubit,
                                            begin, end, plan_.wide_block_partials.data(),
                                            norm ? block_norms : nullptr);
                    double* out = plan_.wide_rotation_partials.data() + step.first * blocks;
                    for (std::size_t b = begin; b < end; ++b)
                        out[plan_.block_maps[step.last + b]] = plan_.wide_block_partials[b];
                    if (!norm) break;
                    double* norms = plan_.wide_rotation_norms.data() + step.first / kWideNormEvery * blocks;
                    for (std::size_t b = begin; b < end; ++b)
                        norms[plan_.block_maps[step.last + b]] = block_norms[b];
                    break;
                }
                generator_partials(vectors_[1], vectors_[0], n, step.rotation, step.qubit, begin, end,
                                   plan_.block_partials.data());
                float* out = plan_.rotation_partials.data() + step.first * blocks;
                for (std::size_t b = begin; b < end; ++b)
                    out[plan_.block_maps[step.last + b]] = plan_.block_partials[b];
                break;
            }
            case HalvesStep::Kind::Swap:
                // Each half now holds amplitudes of both: the smaller bound of
                // the two holds for either.
                swap_with_top(vectors_[side], n, step.qubit);
                budgets_[0][side] = budgets_[1][side] = std::min(budgets_[0][side], budgets_[1][side]);
                break;
            case HalvesStep::Kind::Joint: {
                int whole = std::min(budgets_[0][side], budgets_[1][side]);
                VANTELO_TRY(run_prepared(plan_.schedules[step.schedule], {&vectors_[side], 1},
                                         {&whole, 1}));
                budgets_[0][side] = budgets_[1][side] = whole;
                break;
            }
        }
    }
    return {};
}

}  // namespace vantelo::sim
