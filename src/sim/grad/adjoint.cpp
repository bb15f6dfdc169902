#include "sim/grad/adjoint.hpp"

#include <algorithm>
#include <atomic>
#include <utility>

#include "pool/pool.hpp"
#include "sim/exec/block_size.hpp"
#include "sim/exec/executor.hpp"
#include "sim/grad/adjoint_products.hpp"
#include "sim/grad/adjoint_products_wide.hpp"
#include "sim/observables/expectation_wide.hpp"
#include "sim/grad/paired_stages.hpp"
#include "sim/messages.hpp"
#include "sim/observables/observable.hpp"
#include "sim/stop.hpp"

namespace vantelo::sim {

void adjoint_into(const Operation& op, Operation& undo) {
    const std::size_t dim = std::size_t{1} << op.targets.size();
    undo.targets.assign(op.targets.begin(), op.targets.end());
    undo.controls.assign(op.controls.begin(), op.controls.end());
    std::vector<Amplitude>& matrix = undo.matrix.edit();
    matrix.resize(dim * dim);
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t c = 0; c < dim; ++c) {
            const Amplitude m = op.matrix[c * dim + r];
            matrix[r * dim + c] = Amplitude{m.re, -m.im};
        }
}

namespace {

// Un-applies plan items [first, last) from the state, last item first,
// through the same apply functions a forward run uses.
Status unapply_steps(const CompiledCircuit& circuit, std::span<const float> params,
                     StateVector& state, std::size_t first, std::size_t last, Operation& undo) {
    for (std::size_t i = last; i-- > first;) {
        if (stop_requested()) return stopped_error();
        const CompiledOp& op = circuit.ops[i];
        if (const auto* p = std::get_if<ParamOp>(&op)) {
            apply_single_qubit(state.amplitudes.data(), state.num_qubits, p->target,
                               rotation_matrix(p->kind, -params[p->slot]));
        } else if (const auto* u = std::get_if<Unitary>(&std::get<FixedOp>(op).gate)) {
            adjoint_into(u->op, undo);
            VANTELO_TRY(apply_operation(state, undo));
        }
        // Barriers do nothing; measurements and resets were refused.
    }
    return {};
}

// The adjoint items of every stage of the sweep and their schedules, built
// once per call into storage the scratch keeps, so the sweep allocates
// nothing per item. A stage's items are in the order they are un-applied.
void build_runs(const CompiledCircuit& circuit, std::span<const float> params,
                AdjointScratch& s) {
    const std::vector<std::size_t>& rotations = s.rotations;
    std::size_t fixed = 0;
    for (std::size_t i = rotations.front() + 1; i < circuit.ops.size(); ++i)
        if (const auto* f = std::get_if<FixedOp>(&circuit.ops[i]))
            fixed += std::holds_alternative<Unitary>(f->gate) ? 1 : 0;
    if (s.undo_ops.size() < fixed) s.undo_ops.resize(fixed);
    s.undo_items.clear();
    s.run_starts.clear();
    std::size_t k = 0;
    for (std::size_t stage = 0; stage < rotations.size(); ++stage) {
        s.run_starts.push_back(s.undo_items.size());
        const std::size_t first = rotations[rotations.size() - 1 - stage] + 1;
        const std::size_t last =
            stage == 0 ? circuit.ops.size() : rotations[rotations.size() - stage] + 1;
        for (std::size_t i = last; i-- > first;) {
            const CompiledOp& op = circuit.ops[i];
            if (const auto* p = std::get_if<ParamOp>(&op)) {
                ExecItem item;
                item.qubit = p->target;
                item.matrix = rotation_matrix(p->kind, -params[p->slot]);
                s.undo_items.push_back(item);
            } else if (const auto* u = std::get_if<Unitary>(&std::get<FixedOp>(op).gate)) {
                adjoint_into(u->op, s.undo_ops[k]);
                s.undo_items.push_back(unitary_item(s.undo_ops[k++]));
            }
        }
    }
    s.run_starts.push_back(s.undo_items.size());
    const std::uint32_t n = circuit.num_qubits;
    const std::uint32_t b = block_qubits_for(n);
    s.schedules.resize(rotations.size());
    for (std::size_t stage = 0; stage < rotations.size(); ++stage) {
        const std::span<const ExecItem> items = std::span<const ExecItem>(s.undo_items).subspan(
            s.run_starts[stage], s.run_starts[stage + 1] - s.run_starts[stage]);
        s.schedules[stage] = PreparedSchedule(make_schedule(items, n, b, gather_blocks_for(n)), items, n);
    }
}

constexpr std::uint32_t kOneThreadSweepMaxQubits = 13;

// The backward sweep as pairs of tasks (see paired_stages.hpp): stage 2s
// un-applies the items between rotation s − 1 and rotation s (counted from
// the end of the plan) from ψ (task 0) and from φ (task 1); stage 2s + 1
// computes the block partials of rotation s's inner product, the first half
// of the blocks in task 0 and the second in task 1. Task 0 of stage 2s + 2
// first combines rotation s's partials, in block order.
class Sweep {
public:
    Sweep(const CompiledCircuit& circuit, std::span<const float> params, StateVector& psi,
          AdjointScratch& scratch)
        : circuit_(circuit), params_(params), psi_(psi), s_(scratch),
          blocks_(product_blocks(psi.num_qubits)), per_item_(per_gate_path_forced()),
          wide_(circuit.numerics.wide_sums()) {}

    Status run() {
        // On small registers a stage is a microsecond or two of work, less
        // than moving the states between two cores' caches costs, so one
        // thread runs every task (measured on 2 threads: n = 12 0.68x of one
        // thread, n = 14 1.18x, n = 16 1.18x).
        const bool two_threads = psi_.num_qubits > kOneThreadSweepMaxQubits;
        VANTELO_TRY(run_paired_stages(2 * s_.rotations.size(), two_threads,
                                      [this](std::size_t stage, unsigned side) {
                                          return run_task(stage, side);
                                      }));
        finish_rotation(s_.rotations.size() - 1);
        return {};
    }

private:
    // The plan position of rotation s counted from the end.
    std::size_t position(std::size_t s) const {
        return s_.rotations[s_.rotations.size() - 1 - s];
    }

    void finish_rotation(std::size_t s) {
        const ParamOp& p = std::get<ParamOp>(circuit_.ops[position(s)]);
        double& out = s_.contributions[s_.rotations.size() - 1 - s];
        if (!wide_) {
            out = combine_partials(p.kind, s_.partials.data(), blocks_);
            return;
        }
        if (wide_norm_at(s)) norm_ = wide_combine_blocks(s_.wide_partials.data() + blocks_, blocks_);
        out = wide_contribution(p.kind, wide_combine_blocks(s_.wide_partials.data(), blocks_), norm_);
    }

    Status run_task(std::size_t stage, unsigned side) {
        const std::size_t s = stage / 2;
        if (stage % 2 == 0) {
            if (s > 0 && side == 0) finish_rotation(s - 1);
            StateVector& state = side == 0 ? psi_ : s_.phi;
            if (!per_item_) {
                Amplitude* const array = state.amplitudes.data();
                return run_prepared(s_.schedules[s], {&array, 1}, {&budgets_[side], 1});
            }
            // The per-item reference the executor's runs are tested against.
            const std::size_t last = s == 0 ? circuit_.ops.size() : position(s - 1) + 1;
            return unapply_steps(circuit_, params_, state, position(s) + 1, last,
                                 side == 0 ? s_.undo_psi : s_.undo_phi);
        }
        const ParamOp& p = std::get<ParamOp>(circuit_.ops[position(s)]);
        const std::size_t half = blocks_ / 2;
        if (wide_) {
            wide_generator_partials(s_.phi.amplitudes.data(), psi_.amplitudes.data(),
                                    psi_.num_qubits, p.kind, p.target, side == 0 ? 0 : half,
                                    side == 0 ? half : blocks_, s_.wide_partials.data(),
                                    wide_norm_at(s) ? s_.wide_partials.data() + blocks_ : nullptr);
            return {};
        }
        generator_partials(s_.phi.amplitudes.data(), psi_.amplitudes.data(), psi_.num_qubits,
                           p.kind, p.target, side == 0 ? 0 : half, side == 0 ? half : blocks_,
                           s_.partials.data());
        return {};
    }

    const CompiledCircuit& circuit_;
    std::span<const float> params_;
    StateVector& psi_;
    AdjointScratch& s_;
    const std::size_t blocks_;
    const bool per_item_;
    const bool wide_;
    double norm_ = 0.0;  // ψ's norm squared in force (wide sums)
    // The light kernels' bound of ψ and φ, carried from stage to stage (see
    // run_unitary_schedule).
    int budgets_[2] = {-1, -1};
};

void ensure_width(StateVector& state, std::uint32_t n) {
    if (state.num_qubits == n && !state.amplitudes.empty()) return;
    state = StateVector{};
    state.amplitudes = AlignedArray<Amplitude>::uninitialized(std::size_t{1} << n);
    state.num_qubits = n;
}

}  // namespace

Status adjoint_value_and_gradient_into(const CompiledCircuit& circuit, std::span<const float> params,
                                       const Observable& observable, ExecutionContext& context,
                                       AdjointScratch& scratch, float& value,
                                       std::span<float> gradient) {
    if (params.size() != circuit.parameter_count)
        return fail(msg::parameter_length(params.size(), circuit.parameter_count));
    VANTELO_TRY(check_observable_qubits(observable, circuit.num_qubits));
    if (has_channel_steps(circuit)) return fail(msg::adjoint_refuses_channels());
    if (has_random_steps(circuit)) return fail(msg::adjoint_needs_unitary_plan());

    const std::uint32_t n = circuit.num_qubits;
    std::vector<std::size_t>& rotations = scratch.rotations;
    rotations.clear();
    for (std::size_t i = 0; i < circuit.ops.size(); ++i)
        if (std::holds_alternative<ParamOp>(circuit.ops[i])) rotations.push_back(i);
    for (float& g : gradient) g = 0.0f;
    if (rotations.empty()) {
        VANTELO_ASSIGN_OR_RETURN(value, expectation_with_context(circuit, params, observable, context));
        return {};
    }
    ensure_width(scratch.phi, n);
    scratch.masks.clear();
    scratch.coefficients.clear();
    for (const PauliTerm& term : observable.terms) {
        scratch.masks.push_back(term_masks(term));
        scratch.coefficients.push_back(term.coefficient);
    }
    scratch.contributions.resize(rotations.size());

    if (!per_gate_path_forced() && halves_for(n)) {
        // One hand-off to the pool for the whole call, so both threads stay
        // awake from stage to stage: the forward run (in halves, ending in
        // logical order, or on one thread while the other builds the
        // sweep), then its value (the terms' sums, as expectation makes
        // them) and φ = H ψ, half of each per thread, then the sweep.
        prepare_context(circuit, context);
        StateVector& psi = context.state;
        Amplitude* const vectors[2] = {psi.amplitudes.data(), scratch.phi.amplitudes.data()};
        const bool forward_in_halves = halves_forward_for(n);
        if (forward_in_halves) {
            build_halves_forward(circuit, params, scratch.forward);
            build_halves_sweep(circuit, params, rotations, scratch.sweep);
        }
        HalvesRun forward(scratch.forward, vectors, 1);
        HalvesRun sweep(scratch.sweep, vectors, 2);
        const std::size_t forward_stages = forward_in_halves ? forward.stages() : 1;
        std::atomic<std::size_t> stages{forward_stages + 1 + (forward_in_halves ? sweep.stages() : 0)};
        // The value's groups of terms split in two, and φ where the work
        // evens out: a term's sum costs about what applying it to a whole
        // vector does. φ's amplitudes are each formed alone, so the split
        // leaves its bits as they are.
        const std::size_t terms = scratch.masks.size();
        const std::size_t groups = (terms + kTermGroup - 1) / kTermGroup;
        const std::size_t terms0 = std::min(terms, groups / 2 * kTermGroup);
        const std::size_t split =
            terms == 0 ? psi.size() / 2 : (psi.size() / 8) * (terms - terms0) / terms * 8;
        scratch.term_sums.resize(terms);
        // With wide sums the value is divided by the forward state's norm
        // squared, as expectation does, and each rotation's contribution by
        // ψ's norm squared as the sweep last took it (wide_norm_at).
        const bool wide = circuit.numerics.wide_sums();
        const std::size_t value_blocks = wide_blocks(n);
        std::size_t norm_term = 0;
        if (wide) {
            scratch.wide_masks = scratch.masks;
            norm_term = with_norm_term(scratch.wide_masks);
            scratch.wide_value_partials.resize(value_blocks * scratch.wide_masks.size());
            scratch.wide_term_sums.resize(scratch.wide_masks.size());
        }
        auto task = [&](std::size_t stage, unsigned side) -> Status {
            if (stage < forward_stages) {
                if (forward_in_halves) return forward.task(stage, side);
                if (side == 0) return run_into(circuit, params, psi, all_qubits(n));
                build_halves_sweep(circuit, params, rotations, scratch.sweep);
                stages.store(forward_stages + 1 + sweep.stages(), std::memory_order_release);
                return {};
            }
            if (stage == forward_stages && wide) {
                const std::size_t half_blocks = value_blocks / 2;
                wide_block_partials(vectors[0], n, scratch.wide_masks, side == 0 ? 0 : half_blocks,
                                    side == 0 ? half_blocks : value_blocks,
                                    scratch.wide_value_partials.data());
                apply_observable_range(vectors[0], vectors[1], side == 0 ? 0 : psi.size() / 2,
                                       side == 0 ? psi.size() / 2 : psi.size(), scratch.masks,
                                       scratch.coefficients);
                return {};
            }
            if (stage == forward_stages) {
                const std::size_t first = side == 0 ? 0 : groups / 2;
                const std::size_t last = side == 0 ? groups / 2 : groups;
                for (std::size_t g = first; g < last; ++g) {
                    const std::size_t t = g * kTermGroup;
                    term_sums(vectors[0], n, scratch.masks.data() + t,
                              std::min(kTermGroup, scratch.masks.size() - t), scratch.term_sums.data() + t);
                }
                apply_observable_range(vectors[0], vectors[1], side == 0 ? 0 : split,
                                       side == 0 ? split : psi.size(), scratch.masks, scratch.coefficients);
                return {};
            }
            return sweep.task(stage - forward_stages - 1, side);
        };
        // A pool of one runs the stages on the calling thread, without a
        // hand-off, and so does a worker running a batch row: the other
        // workers have rows of their own. On the calling thread the loops
        // inside the stages (over the blocks of a half, from 18 qubits) stay
        // there too, rather than going to the pool's one worker each time.
        const bool two_threads = pool::current_num_threads() > 1 && !pool::on_worker_thread();
        if (two_threads || pool::on_worker_thread()) {
            VANTELO_TRY(run_paired_stages(stages, two_threads, task));
        } else {
            pool::InlineLoops on_this_thread;
            VANTELO_TRY(run_paired_stages(stages, two_threads, task));
        }
        const std::size_t R = rotations.size(), blocks = product_blocks(n);
        if (wide) {
            wide_combine(scratch.wide_value_partials.data(), value_blocks, scratch.wide_masks.size(),
                         scratch.wide_term_sums.data());
            value = static_cast<float>(wide_normalised(
                wide_expectation_total(observable, scratch.wide_term_sums), scratch.wide_term_sums[norm_term]));
            double norm = 0.0;
            for (std::size_t r = 0; r < R; ++r) {
                if (wide_norm_at(r))
                    norm = wide_combine_blocks(
                        scratch.sweep.wide_rotation_norms.data() + r / kWideNormEvery * blocks, blocks);
                scratch.contributions[R - 1 - r] = wide_contribution(
                    std::get<ParamOp>(circuit.ops[rotations[R - 1 - r]]).kind,
                    wide_combine_blocks(scratch.sweep.wide_rotation_partials.data() + r * blocks, blocks),
                    norm);
            }
        } else {
            value = expectation_total(observable, scratch.term_sums);
            for (std::size_t r = 0; r < R; ++r)
                scratch.contributions[R - 1 - r] =
                    combine_partials(std::get<ParamOp>(circuit.ops[rotations[R - 1 - r]]).kind,
                                     scratch.sweep.rotation_partials.data() + r * blocks, blocks);
        }
    } else {
        VANTELO_ASSIGN_OR_RETURN(value, expectation_with_context(circuit, params, observable, context));
        StateVector& psi = context.state;
        apply_observable(psi.amplitudes.data(), scratch.phi.amplitudes.data(), n, scratch.masks,
                         scratch.coefficients);
        if (circuit.numerics.wide_sums())
            scratch.wide_partials.resize(2 * product_blocks(n));
        else
            scratch.partials.resize(product_blocks(n));
        if (!per_gate_path_forced()) build_runs(circuit, params, scratch);
        VANTELO_TRY(Sweep(circuit, params, psi, scratch).run());
    }

    // Contributions in plan order; a parameter's first one replaces its +0.
    // With wide sums they add in double and round once.
    scratch.started.assign(gradient.size(), 0);
    if (circuit.numerics.wide_sums()) {
        scratch.wide_gradient.assign(gradient.size(), 0.0);
        for (std::size_t j = 0; j < rotations.size(); ++j) {
            const std::uint32_t slot = std::get<ParamOp>(circuit.ops[rotations[j]]).slot;
            const double c = scratch.contributions[j];
            scratch.wide_gradient[slot] = scratch.started[slot] ? scratch.wide_gradient[slot] + c : c;
            scratch.started[slot] = 1;
        }
        for (std::size_t k = 0; k < gradient.size(); ++k)
            if (scratch.started[k]) gradient[k] = static_cast<float>(scratch.wide_gradient[k]);
        return {};
    }
    for (std::size_t j = 0; j < rotations.size(); ++j) {
        const std::uint32_t slot = std::get<ParamOp>(circuit.ops[rotations[j]]).slot;
        const float c = static_cast<float>(scratch.contributions[j]);
        gradient[slot] = scratch.started[slot] ? gradient[slot] + c : c;
        scratch.started[slot] = 1;
    }
    return {};
}

Result<ValueAndGradient> adjoint_value_and_gradient_with_context(const CompiledCircuit& circuit,
                                                                 std::span<const float> params,
                                                                 const Observable& observable,
                                                                 ExecutionContext& context) {
    ValueAndGradient result;
    result.gradient = AlignedArray<float>::zeroed(circuit.parameter_count);
    AdjointScratch scratch;
    VANTELO_TRY(adjoint_value_and_gradient_into(circuit, params, observable, context, scratch,
                                                result.value, result.gradient.span()));
    return result;
}

Result<ValueAndGradient> adjoint_value_and_gradient(const CompiledCircuit& circuit,
                                                    std::span<const float> params,
                                                    const Observable& observable) {
    ExecutionContext context = ExecutionContext::create(circuit.num_qubits);
    return adjoint_value_and_gradient_with_context(circuit, params, observable, context);
}

}  // namespace vantelo::sim
