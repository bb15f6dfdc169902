#include "sim/grad/adjoint.hpp"

#include <atomic>
#include <thread>
#include <utility>

#include "pool/pool.hpp"
#include "sim/grad/adjoint_products.hpp"
#include "sim/messages.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace vantelo::sim {

namespace {

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// The conjugate transpose of op written into undo, reusing its storage.
void adjoint_into(const Operation& op, Operation& undo) {
    const std::size_t dim = std::size_t{1} << op.targets.size();
    undo.targets.assign(op.targets.begin(), op.targets.end());
    undo.matrix.resize(dim * dim);
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t c = 0; c < dim; ++c) {
            const Amplitude m = op.matrix[c * dim + r];
            undo.matrix[r * dim + c] = Amplitude{m.re, -m.im};
        }
}

// Un-applies plan items [first, last) from the state, last item first,
// through the same apply functions a forward run uses.
Status unapply_steps(const CompiledCircuit& circuit, std::span<const float> params,
                     StateVector& state, std::size_t first, std::size_t last, Operation& undo) {
    for (std::size_t i = last; i-- > first;) {
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

// The backward sweep as a fixed sequence of stages, each of two independent
// tasks: stage 2s un-applies the items between rotation s − 1 and rotation s
// (counted from the end of the plan) from ψ (task 0) and from φ (task 1);
// stage 2s + 1 computes the block partials of rotation s's inner product,
// the first half of the blocks in task 0 and the second in task 1. A task
// may start once every task of the earlier stages has finished. Threads
// claim tasks in order from one counter, so one thread alone runs them all
// in sequence and two run both tasks of each stage side by side; no task
// ever waits for a particular thread. Task 0 of stage 2s + 2 first combines
// rotation s's partials, in block order.
class Sweep {
public:
    Sweep(const CompiledCircuit& circuit, std::span<const float> params, StateVector& psi,
          AdjointScratch& scratch)
        : circuit_(circuit), params_(params), psi_(psi), s_(scratch),
          blocks_(product_blocks(psi.num_qubits)),
          tasks_(4 * scratch.rotations.size()) {}

    Status run() {
        pool::for_each_piece(2, [this](std::size_t, std::size_t) { work(); });
        if (failed_.load(std::memory_order_acquire)) return std::move(error_);
        finish_rotation(s_.rotations.size() - 1);
        return {};
    }

private:
    void work() {
        for (;;) {
            const std::size_t t = next_.fetch_add(1, std::memory_order_relaxed);
            if (t >= tasks_) return;
            const std::size_t ready = t & ~std::size_t{1};  // tasks of earlier stages
            for (unsigned spins = 0; done_.load(std::memory_order_acquire) < ready; ++spins) {
                if (spins < 4096) cpu_relax();
                else std::this_thread::yield();
            }
            if (!failed_.load(std::memory_order_relaxed)) run_task(t / 2, t & 1);
            done_.fetch_add(1, std::memory_order_acq_rel);
        }
    }

    // The plan position of rotation s counted from the end.
    std::size_t position(std::size_t s) const {
        return s_.rotations[s_.rotations.size() - 1 - s];
    }

    void finish_rotation(std::size_t s) {
        const ParamOp& p = std::get<ParamOp>(circuit_.ops[position(s)]);
        s_.contributions[s_.rotations.size() - 1 - s] =
            combine_partials(p.kind, s_.partials.data(), blocks_);
    }

    void run_task(std::size_t stage, unsigned side) {
        const std::size_t s = stage / 2;
        if (stage % 2 == 0) {
            if (s > 0 && side == 0) finish_rotation(s - 1);
            const std::size_t last = s == 0 ? circuit_.ops.size() : position(s - 1) + 1;
            Status status = side == 0 ? unapply_steps(circuit_, params_, psi_, position(s) + 1,
                                                      last, s_.undo_psi)
                                      : unapply_steps(circuit_, params_, s_.phi, position(s) + 1,
                                                      last, s_.undo_phi);
            if (!status) record(std::move(status).error());
            return;
        }
        const ParamOp& p = std::get<ParamOp>(circuit_.ops[position(s)]);
        const std::size_t half = blocks_ / 2;
        generator_partials(s_.phi.amplitudes.data(), psi_.amplitudes.data(), psi_.num_qubits,
                           p.kind, p.target, side == 0 ? 0 : half, side == 0 ? half : blocks_,
                           s_.partials.data());
    }

    void record(Error error) {
        bool expected = false;
        if (claimed_.compare_exchange_strong(expected, true)) {
            error_ = std::move(error);
            failed_.store(true, std::memory_order_release);
        }
    }

    const CompiledCircuit& circuit_;
    std::span<const float> params_;
    StateVector& psi_;
    AdjointScratch& s_;
    const std::size_t blocks_;
    const std::size_t tasks_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> done_{0};
    std::atomic<bool> claimed_{false};
    std::atomic<bool> failed_{false};
    Error error_;
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
    if (has_random_steps(circuit)) return fail(msg::adjoint_needs_unitary_plan());

    VANTELO_ASSIGN_OR_RETURN(value, expectation_with_context(circuit, params, observable, context));
    for (float& g : gradient) g = 0.0f;
    std::vector<std::size_t>& rotations = scratch.rotations;
    rotations.clear();
    for (std::size_t i = 0; i < circuit.ops.size(); ++i)
        if (std::holds_alternative<ParamOp>(circuit.ops[i])) rotations.push_back(i);
    if (rotations.empty()) return {};

    StateVector& psi = context.state;
    const std::uint32_t n = circuit.num_qubits;
    ensure_width(scratch.phi, n);
    scratch.masks.clear();
    scratch.coefficients.clear();
    for (const PauliTerm& term : observable.terms) {
        scratch.masks.push_back(term_masks(term));
        scratch.coefficients.push_back(term.coefficient);
    }
    apply_observable(psi.amplitudes.data(), scratch.phi.amplitudes.data(), n, scratch.masks,
                     scratch.coefficients);
    scratch.partials.resize(product_blocks(n));
    scratch.contributions.resize(rotations.size());
    VANTELO_TRY(Sweep(circuit, params, psi, scratch).run());

    // Contributions in plan order; a parameter's first one replaces its +0.
    scratch.started.assign(gradient.size(), 0);
    for (std::size_t j = 0; j < rotations.size(); ++j) {
        const std::uint32_t slot = std::get<ParamOp>(circuit.ops[rotations[j]]).slot;
        const float c = scratch.contributions[j];
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
