#include "sim/density/density_matrix.hpp"

#include <bit>
#include <deque>
#include <vector>

#include "sim/density/superoperator.hpp"
#include "sim/exec/executor.hpp"
#include "sim/messages.hpp"
#include "sim/noise/trajectory.hpp"

namespace vantelo::sim {

namespace {

Matrix2 conjugate(const Matrix2& m) {
    return {Amplitude{m[0].re, -m[0].im}, Amplitude{m[1].re, -m[1].im}, Amplitude{m[2].re, -m[2].im},
            Amplitude{m[3].re, -m[3].im}};
}

std::vector<Qubit> shifted(const std::vector<Qubit>& qubits, std::uint32_t by) {
    std::vector<Qubit> out(qubits);
    for (Qubit& q : out) q += by;
    return out;
}

// The executor items that evolve ρ, with the operations they point to (a
// deque, so the items' pointers stay valid as it grows).
struct DensityItems {
    std::vector<ExecItem> items;
    std::deque<Operation> ops;

    void add(ExecItem::Kind kind, Operation op) {
        ops.push_back(std::move(op));
        ExecItem item;
        item.kind = kind;
        item.op = &ops.back();
        items.push_back(item);
    }

    // U on the row qubits, conj(U) on the column qubits.
    void unitary(const ExecItem& item, std::uint32_t n) {
        if (item.kind == ExecItem::Kind::Single) {
            ExecItem row = item;
            row.qubit += n;
            items.push_back(row);
            ExecItem column = item;
            column.matrix = conjugate(item.matrix);
            items.push_back(column);
            return;
        }
        const Operation& op = *item.op;
        std::vector<Amplitude> conj(op.matrix.begin(), op.matrix.end());
        for (Amplitude& a : conj) a.im = -a.im;
        add(item.kind, Operation{shifted(op.targets, n), op.matrix, shifted(op.controls, n)});
        add(item.kind, Operation{op.targets, SharedMatrix(std::move(conj)), op.controls});
    }
};

// Fills `out` (empty) with the items of `noisy` on a register of n qubits.
void density_items(std::span<const NoisyItem> noisy, std::uint32_t n, DensityItems& out) {
    for (const NoisyItem& it : noisy) {
        if (it.barrier) continue;
        if (it.channel != nullptr) {
            out.add(ExecItem::Kind::General, channel_superoperator(*it.channel, n));
            continue;
        }
        switch (it.item.kind) {
        case ExecItem::Kind::Single:
        case ExecItem::Kind::General:
        case ExecItem::Kind::Controlled:
            out.unitary(it.item, n);
            break;
        case ExecItem::Kind::Measure:
            out.add(ExecItem::Kind::General, dephasing_superoperator(it.item.qubit, n));
            break;
        case ExecItem::Kind::Reset:
            out.add(ExecItem::Kind::General, reset_superoperator(it.item.qubit, n));
            break;
        }
    }
}

Status check_width(std::uint32_t n) {
    if (n > kMaxDensityQubits) return fail(msg::density_too_wide(n, kMaxDensityQubits));
    return {};
}

Result<StateVector> evolve(std::span<const NoisyItem> noisy, std::uint32_t n) {
    DensityItems plan;
    density_items(noisy, n, plan);
    // |0…0⟩⟨0…0| is the fresh |0…0⟩ on 2n qubits.
    StateVector rho = StateVector::create(2 * n);
    VANTELO_TRY(run_items(plan.items, rho, nullptr, nullptr, all_qubits(2 * n)));
    return rho;
}

// Re(phase · z) for phase = i^m, m in 0 … 3: exact, no products.
double rotated_real(Amplitude z, unsigned m) {
    switch (m & 3u) {
    case 0: return z.re;
    case 1: return -static_cast<double>(z.im);
    case 2: return -static_cast<double>(z.re);
    default: return z.im;
    }
}

}  // namespace

Result<StateVector> density_matrix(const Circuit& circuit, std::uint32_t num_qubits) {
    VANTELO_TRY(check_width(num_qubits));
    StateVector shape;
    shape.num_qubits = num_qubits;
    VANTELO_ASSIGN_OR_RETURN(const std::vector<NoisyItem> noisy, noisy_items(circuit, shape));
    return evolve(noisy, num_qubits);
}

Result<StateVector> density_matrix(const CompiledCircuit& circuit, std::span<const float> params) {
    VANTELO_TRY(check_width(circuit.num_qubits));
    StateVector shape;
    shape.num_qubits = circuit.num_qubits;
    VANTELO_ASSIGN_OR_RETURN(const std::vector<NoisyItem> noisy, noisy_items(circuit, params, shape));
    return evolve(noisy, circuit.num_qubits);
}

// A Pauli string P maps |c⟩ to i^{#Y} (−1)^{|c ∧ (Y|Z)|} |c ⊕ X|Y⟩, so
// Tr(Pρ) = Σ_c i^{#Y} (−1)^{|c ∧ (Y|Z)|} ρ[c, c ⊕ (X|Y)].
Result<double> density_expectation(const StateVector& rho, std::uint32_t n, const Observable& observable) {
    VANTELO_TRY(check_observable_qubits(observable, n));
    const std::size_t dim = std::size_t{1} << n;
    double total = 0.0;
    for (const PauliTerm& term : observable.terms) {
        std::size_t flip = 0, sign = 0;
        unsigned ys = 0;
        for (const PauliFactor& f : term.ops) {
            const std::size_t bit = std::size_t{1} << f.qubit;
            if (f.pauli != Pauli::Z) flip |= bit;
            if (f.pauli != Pauli::X) sign |= bit;
            if (f.pauli == Pauli::Y) ++ys;
        }
        double trace = 0.0;
        for (std::size_t c = 0; c < dim; ++c) {
            const unsigned m = ys + 2u * static_cast<unsigned>(std::popcount(c & sign) & 1);
            trace += rotated_real(rho.amplitudes[(c << n) | (c ^ flip)], m);
        }
        total += static_cast<double>(term.coefficient) * trace;
    }
    return total;
}

Result<double> density_expectation(const CompiledCircuit& circuit, std::span<const float> params,
                                   const Observable& observable) {
    VANTELO_TRY(check_observable_qubits(observable, circuit.num_qubits));
    VANTELO_ASSIGN_OR_RETURN(const StateVector rho, density_matrix(circuit, params));
    return density_expectation(rho, circuit.num_qubits, observable);
}

}  // namespace vantelo::sim
