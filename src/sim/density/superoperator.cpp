#include "sim/density/superoperator.hpp"

#include <cmath>
#include <complex>
#include <cstddef>

namespace vantelo::sim {

namespace {

// The targets Q+n ++ Q of a map on qubits Q.
std::vector<Qubit> doubled_targets(const std::vector<Qubit>& qubits, std::uint32_t n) {
    std::vector<Qubit> out;
    out.reserve(2 * qubits.size());
    for (Qubit q : qubits) out.push_back(q + n);
    for (Qubit q : qubits) out.push_back(q);
    return out;
}

using Complex = std::complex<double>;

// Adds w · K ⊗ conj(K) (K of dim × dim, row-major) to s (dim² × dim²).
void add_kraus_term(std::vector<Complex>& s, const std::vector<Amplitude>& k, std::size_t dim, double w) {
    const std::size_t d2 = dim * dim;
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t c = 0; c < dim; ++c)
            for (std::size_t r2 = 0; r2 < dim; ++r2)
                for (std::size_t c2 = 0; c2 < dim; ++c2) {
                    const Amplitude a = k[r * dim + r2];
                    const Amplitude b = k[c * dim + c2];
                    const Complex term = Complex(a.re, a.im) * std::conj(Complex(b.re, b.im));
                    s[(r * dim + c) * d2 + (r2 * dim + c2)] += w * term;
                }
}

Operation dense(std::vector<Qubit> targets, const std::vector<Complex>& s) {
    std::vector<Amplitude> m(s.size());
    for (std::size_t i = 0; i < s.size(); ++i)
        m[i] = {static_cast<float>(s[i].real()), static_cast<float>(s[i].imag())};
    return Operation{std::move(targets), SharedMatrix(std::move(m))};
}

// A one-qubit map given by the entries of its 4 × 4 superoperator that are 1
// (all others 0).
Operation one_qubit_map(Qubit q, std::uint32_t n, std::initializer_list<std::size_t> ones) {
    std::vector<Complex> s(16);
    for (std::size_t i : ones) s[i] = 1.0;
    return dense({q + n, q}, s);
}

}  // namespace

Operation channel_superoperator(const Channel& channel, std::uint32_t n) {
    const std::size_t dim = std::size_t{1} << channel.qubits.size();
    std::vector<Complex> s(dim * dim * dim * dim);
    for (std::size_t k = 0; k < channel.branches.size(); ++k)
        add_kraus_term(s, channel.branches[k].matrix.values(), dim,
                       channel.mixture ? channel.weights[k] : 1.0);
    return dense(doubled_targets(channel.qubits, n), s);
}

// Row (r, c) takes column (r', c'): index (r << 1 | c) · 4 + (r' << 1 | c').
Operation dephasing_superoperator(Qubit q, std::uint32_t n) {
    return one_qubit_map(q, n, {0 * 4 + 0, 3 * 4 + 3});
}

Operation reset_superoperator(Qubit q, std::uint32_t n) {
    return one_qubit_map(q, n, {0 * 4 + 0, 0 * 4 + 3});
}

}  // namespace vantelo::sim
