#include "sim/observables/observable.hpp"

#include <algorithm>
#include <vector>

#include "pool/pool.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/observables/expectation_kernels.hpp"
#include "sim/messages.hpp"

namespace vantelo::sim {

Result<PauliTerm> PauliTerm::create(std::vector<PauliFactor> ops, float coefficient) {
    std::vector<Qubit> qubits(ops.size());
    for (std::size_t j = 0; j < ops.size(); ++j) qubits[j] = ops[j].qubit;
    if (const Qubit* dup = find_duplicate(qubits)) return fail(msg::duplicate_qubit(*dup));
    std::stable_sort(ops.begin(), ops.end(),
                     [](PauliFactor a, PauliFactor b) { return a.qubit < b.qubit; });
    return PauliTerm{std::move(ops), coefficient};
}

Result<Observable> Observable::create(std::vector<PauliTerm> terms) {
    if (terms.empty()) return fail(msg::empty_observable());
    return Observable{std::move(terms)};
}

Result<Observable> Observable::single(Pauli pauli, Qubit qubit, float coefficient) {
    VANTELO_ASSIGN_OR_RETURN(PauliTerm term, PauliTerm::create({PauliFactor{qubit, pauli}}, coefficient));
    std::vector<PauliTerm> terms;
    terms.push_back(std::move(term));
    return Observable::create(std::move(terms));
}

Status check_observable_qubits(const Observable& observable, std::uint32_t num_qubits) {
    for (const PauliTerm& term : observable.terms)
        for (PauliFactor f : term.ops)
            if (f.qubit >= num_qubits)
                return fail(msg::observable_qubit_out_of_range(f.qubit, num_qubits));
    return {};
}

PauliTermMasks term_masks(const PauliTerm& term) {
    PauliTermMasks m;
    unsigned num_y = 0;
    for (PauliFactor f : term.ops) {
        const std::uint64_t bit = std::uint64_t{1} << f.qubit;
        if (f.pauli != Pauli::Z) m.flip |= bit;
        if (f.pauli != Pauli::X) m.parity |= bit;
        if (f.pauli == Pauli::Y) ++num_y;
    }
    m.imaginary = (num_y & 1u) != 0;
    m.negated = (num_y & 2u) != 0;
    return m;
}


namespace {

constexpr std::uint32_t kPoolTermSumsMinQubits = 14;

}  // namespace

void term_sums(const Amplitude* psi, std::uint32_t num_qubits, const PauliTermMasks* terms,
               std::size_t count, float* sums) {
#if VANTELO_AVX2_KERNELS
    if (num_qubits >= 3 && cpu_has_avx2()) return term_sums_avx2(psi, num_qubits, terms, count, sums);
#endif
    term_sums_scalar(psi, num_qubits, terms, count, sums);
}

Result<float> expectation(const StateVector& state, const Observable& observable) {
    VANTELO_TRY(check_observable_qubits(observable, state.num_qubits));
    // Each term's sum is an independent chain, so groups of terms are summed
    // side by side, and the groups on the pool; the total still takes them
    // in term order.
    const std::vector<PauliTerm>& terms = observable.terms;
    const std::size_t groups = (terms.size() + kTermGroup - 1) / kTermGroup;
    std::vector<PauliTermMasks> masks(terms.size());
    for (std::size_t t = 0; t < terms.size(); ++t) masks[t] = term_masks(terms[t]);
    std::vector<float> sums(terms.size());
    auto run = [&](std::size_t begin, std::size_t end) {
        for (std::size_t g = begin; g < end; ++g) {
            const std::size_t first = g * kTermGroup;
            const std::size_t count = std::min(kTermGroup, terms.size() - first);
            term_sums(state.amplitudes.data(), state.num_qubits, masks.data() + first, count,
                      sums.data() + first);
        }
    };
    // A group over fewer amplitudes takes less time than handing it to a
    // worker.
    if (groups >= 2 && state.num_qubits >= kPoolTermSumsMinQubits)
        pool::for_each_piece(groups, run);
    else
        run(0, groups);
    return expectation_total(observable, sums);
}

float expectation_total(const Observable& observable, std::span<const float> sums) {
    float total = 0.0f;
    for (std::size_t t = 0; t < observable.terms.size(); ++t)
        total = total + sums[t] * observable.terms[t].coefficient;
    return total;
}

}  // namespace vantelo::sim
