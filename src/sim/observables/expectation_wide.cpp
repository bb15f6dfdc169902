#include "sim/observables/expectation_wide.hpp"

#include <algorithm>
#include <vector>

#include "pool/pool.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/observables/expectation_wide_diagonal.hpp"

namespace vantelo::sim {

namespace {

constexpr std::uint32_t kPoolMinQubits = 14;

}  // namespace

void wide_block_sums_scalar(const Amplitude* psi, std::size_t first, std::size_t len,
                            const PauliTermMasks* terms, std::size_t count, double* out) {
    for (std::size_t t = 0; t < count; ++t) {
        const PauliTermMasks& m = terms[t];
        double chain[4] = {0.0, 0.0, 0.0, 0.0};
        for (std::size_t b = first; b < first + len; ++b) {
            const Amplitude y = psi[b ^ m.flip];
            const Amplitude x = psi[b];
            // Products of two floats are exact in double; one rounding per
            // addend, in the add.
            double a = m.imaginary ? double(y.im) * double(x.re) - double(y.re) * double(x.im)
                                   : double(y.re) * double(x.re) + double(y.im) * double(x.im);
            if (m.negated != static_cast<bool>(__builtin_parityll(b & m.parity))) a = -a;
            chain[b & 3] = chain[b & 3] + a;
        }
        out[t] = (chain[0] + chain[1]) + (chain[2] + chain[3]);
    }
}

std::size_t wide_blocks(std::uint32_t num_qubits) {
    return num_qubits > kWideBlockBits ? std::size_t{1} << (num_qubits - kWideBlockBits) : 1;
}

namespace {

// The per-term kernel for the block of len amplitudes at first.
void term_block_sums(const Amplitude* psi, std::size_t first, std::size_t len,
                     const PauliTermMasks* terms, std::size_t count, double* out) {
#if VANTELO_AVX2_KERNELS
    if (len >= 4 && cpu_has_avx2()) return wide_block_sums_avx2(psi, first, len, terms, count, out);
#endif
    wide_block_sums_scalar(psi, first, len, terms, count, out);
}

void diagonal_block_sums(const Amplitude* psi, std::size_t first, std::size_t len,
                         const PauliTermMasks* terms, std::size_t count, double* work, double* out) {
#if VANTELO_AVX2_KERNELS
    if (len >= 16 && cpu_has_avx2())
        return wide_diagonal_block_sums_avx2(psi, first, len, terms, count, work, out);
#endif
    wide_diagonal_block_sums_scalar(psi, first, len, terms, count, work, out);
}

}  // namespace

void wide_block_partials(const Amplitude* psi, std::uint32_t num_qubits,
                         std::span<const PauliTermMasks> terms, std::size_t begin, std::size_t end,
                         double* partials) {
    const std::size_t block = (std::size_t{1} << num_qubits) / wide_blocks(num_qubits);
    const std::size_t T = terms.size();
    const auto diagonal = static_cast<std::size_t>(std::count_if(terms.begin(), terms.end(), is_diagonal));
    if (diagonal < kDiagonalSweepMinTerms) {
        for (std::size_t k = begin; k < end; ++k)
            term_block_sums(psi, k * block, block, terms.data(), T, partials + k * T);
        return;
    }
    // The diagonal terms first, then the others; each value goes back to
    // its term's place.
    std::vector<PauliTermMasks> sorted;
    std::vector<std::size_t> place;
    sorted.reserve(T);
    place.reserve(T);
    for (const bool want : {true, false})
        for (std::size_t t = 0; t < T; ++t)
            if (is_diagonal(terms[t]) == want) {
                sorted.push_back(terms[t]);
                place.push_back(t);
            }
    std::vector<double> work(block), values(T);
    for (std::size_t k = begin; k < end; ++k) {
        diagonal_block_sums(psi, k * block, block, sorted.data(), diagonal, work.data(), values.data());
        if (diagonal < T)
            term_block_sums(psi, k * block, block, sorted.data() + diagonal, T - diagonal,
                            values.data() + diagonal);
        for (std::size_t i = 0; i < T; ++i) partials[k * T + place[i]] = values[i];
    }
}

void wide_combine(const double* partials, std::size_t blocks, std::size_t count, double* sums) {
    for (std::size_t t = 0; t < count; ++t) {
        double s = partials[t];
        for (std::size_t k = 1; k < blocks; ++k) s = s + partials[k * count + t];
        sums[t] = s;
    }
}

void wide_term_sums(const Amplitude* psi, std::uint32_t num_qubits,
                    std::span<const PauliTermMasks> terms, double* sums) {
    const std::size_t blocks = wide_blocks(num_qubits);
    if (terms.empty()) return;
    std::vector<double> partials(blocks * terms.size());
    auto run = [&](std::size_t begin, std::size_t end) {
        wide_block_partials(psi, num_qubits, terms, begin, end, partials.data());
    };
    if (blocks >= 2 && num_qubits >= kPoolMinQubits)
        pool::for_each_piece(blocks, run);
    else
        run(0, blocks);
    wide_combine(partials.data(), blocks, terms.size(), sums);
}

double wide_expectation_total(const Observable& observable, std::span<const double> sums) {
    double total = 0.0;
    for (std::size_t t = 0; t < observable.terms.size(); ++t)
        total = total + sums[t] * double(observable.terms[t].coefficient);
    return total;
}

std::size_t with_norm_term(std::vector<PauliTermMasks>& masks) {
    for (std::size_t t = 0; t < masks.size(); ++t)
        if (masks[t].flip == 0 && masks[t].parity == 0 && !masks[t].imaginary && !masks[t].negated)
            return t;
    masks.push_back(PauliTermMasks{});
    return masks.size() - 1;
}

double wide_normalised(double total, double norm_squared) {
    return norm_squared > 0.0 ? total / norm_squared : total;
}

Result<double> wide_expectation(const StateVector& state, const Observable& observable) {
    VANTELO_TRY(check_observable_qubits(observable, state.num_qubits));
    std::vector<PauliTermMasks> masks(observable.terms.size());
    for (std::size_t t = 0; t < masks.size(); ++t) masks[t] = term_masks(observable.terms[t]);
    const std::size_t norm = with_norm_term(masks);
    std::vector<double> sums(masks.size());
    wide_term_sums(state.amplitudes.data(), state.num_qubits, masks, sums.data());
    return wide_normalised(wide_expectation_total(observable, sums), sums[norm]);
}

}  // namespace vantelo::sim

namespace vantelo::sim {

Result<double> expectation_in(const StateVector& state, const Observable& observable,
                              SumPrecision sums) {
    if (sums == SumPrecision::Float64) return wide_expectation(state, observable);
    VANTELO_ASSIGN_OR_RETURN(const float value, expectation(state, observable));
    return double(value);
}

}  // namespace vantelo::sim
