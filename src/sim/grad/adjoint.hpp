// Expectation values with their gradients by adjoint differentiation: one
// forward run to ψ, φ = H ψ, then one sweep backwards through the plan that
// un-applies every item from ψ and from φ and, at each parameterized
// rotation R(θ), takes its derivative 2·Re⟨φ| dR/dθ · R⁻¹ |ψ⟩. Contributions
// to one parameter are summed in plan order. The cost is a few passes per
// item whatever the number of parameters; the values differ from the
// parameter-shift rule's by single-precision rounding only.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/exec/compiled.hpp"
#include "sim/exec/schedule.hpp"
#include "sim/grad/adjoint_halves.hpp"
#include "sim/grad/gradient.hpp"
#include "sim/observables/expectation_kernels.hpp"
#include "sim/observables/observable.hpp"
#include "sim/result.hpp"

namespace vantelo::sim {

// Memory an adjoint computation reuses between calls: φ (the only state
// vector besides the context's), the adjoint matrices of the item being
// un-applied (one per vector, since both are swept at once), one inner
// product's block partials, and per-rotation contributions. A batch keeps
// one per piece so its rows allocate nothing once these have grown.
struct AdjointScratch {
    StateVector phi;
    Operation undo_psi;
    Operation undo_phi;
    std::vector<float> partials;
    std::vector<std::size_t> rotations;
    std::vector<double> contributions;  // single-precision values unless the sums are wide
    std::vector<double> wide_gradient;
    std::vector<std::uint8_t> started;
    std::vector<PauliTermMasks> masks;
    std::vector<float> coefficients;
    std::vector<float> term_sums;
    // With Float64 sums: one inner product's block partials (products, then
    // norms; see adjoint_products_wide.hpp), and the value's
    // masks (with the norm's), block partials and term sums (see
    // expectation_wide.hpp).
    std::vector<double> wide_partials;
    std::vector<PauliTermMasks> wide_masks;
    std::vector<double> wide_value_partials;
    std::vector<double> wide_term_sums;
    // The backward sweep as executor runs: the adjoint items of every stage
    // (stage s un-applies what lies between rotations s − 1 and s, counted
    // from the end) at [run_starts[s], run_starts[s + 1]), their prepared
    // schedules (run on ψ and on φ), and the conjugate transposes the items
    // borrow.
    std::vector<Operation> undo_ops;
    std::vector<ExecItem> undo_items;
    std::vector<std::size_t> run_starts;
    std::vector<PreparedSchedule> schedules;
    // The forward run and the sweep on halves of the vectors, for the
    // registers that take them.
    HalvesPlan forward;
    HalvesPlan sweep;
};

// The conjugate transpose of op written into undo, reusing its storage.
void adjoint_into(const Operation& op, Operation& undo);

// Checks the parameter length, then the observable's qubits against the
// circuit's width, then refuses plans with measurements or resets, before
// anything runs. The value is the expectation of the forward run, bit for
// bit what compiled_expectation gives. With Float64 sums the value is that
// of the normalised state, and each rotation's contribution is divided by
// ψ's norm squared as the sweep last took it, at most seven rotations
// earlier (adjoint_products_wide.hpp). Afterwards the context's state is
// scratch (partly un-applied). gradient.size() must be parameter_count. The
// results do not depend on the pool's size.
Status adjoint_value_and_gradient_into(const CompiledCircuit& circuit, std::span<const float> params,
                                       const Observable& observable, ExecutionContext& context,
                                       AdjointScratch& scratch, float& value,
                                       std::span<float> gradient);

Result<ValueAndGradient> adjoint_value_and_gradient_with_context(const CompiledCircuit& circuit,
                                                                 std::span<const float> params,
                                                                 const Observable& observable,
                                                                 ExecutionContext& context);

// The same with a temporary context of the circuit's width.
Result<ValueAndGradient> adjoint_value_and_gradient(const CompiledCircuit& circuit,
                                                    std::span<const float> params,
                                                    const Observable& observable);

}  // namespace vantelo::sim
