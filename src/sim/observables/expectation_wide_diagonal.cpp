#include "sim/observables/expectation_wide_diagonal.hpp"

namespace vantelo::sim {

void wide_diagonal_pick(const double* work, std::size_t first, std::size_t len,
                        const PauliTermMasks* terms, std::size_t count, double* out) {
    for (std::size_t t = 0; t < count; ++t) {
        const PauliTermMasks& m = terms[t];
        const double v = work[m.parity & (len - 1)];
        const bool negate = m.negated != static_cast<bool>(__builtin_parityll(first & m.parity));
        out[t] = negate ? -v : v;
    }
}

void wide_diagonal_block_sums_scalar(const Amplitude* psi, std::size_t first, std::size_t len,
                                     const PauliTermMasks* terms, std::size_t count, double* work,
                                     double* out) {
    for (std::size_t j = 0; j < len; ++j) {
        const Amplitude a = psi[first + j];
        work[j] = double(a.re) * double(a.re) + double(a.im) * double(a.im);
    }
    for (std::size_t s = 1; s < len; s <<= 1)
        for (std::size_t j = 0; j < len; ++j) {
            if (j & s) continue;
            const double a = work[j], b = work[j | s];
            work[j] = a + b;
            work[j | s] = a - b;
        }
    wide_diagonal_pick(work, first, len, terms, count, out);
}

}  // namespace vantelo::sim
