#include "sim/noise/catalog.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <string>

#include "platform/libm.hpp"

namespace vantelo::sim {

namespace {

using C = std::complex<double>;

std::string num(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

Error bad_probability(const char* name, double value) {
    return fail(std::string("channel parameter ") + name + " must be in [0, 1], got " + num(value));
}

Status check_probability(const char* name, double value) {
    if (!(value >= 0.0 && value <= 1.0)) return bad_probability(name, value);
    return {};
}

Amplitude amp(double re, double im = 0.0) {
    return Amplitude{static_cast<float>(re), static_cast<float>(im)};
}

std::vector<Amplitude> scaled(std::vector<Amplitude> m, double s) {
    for (Amplitude& a : m) a = amp(a.re * s, a.im * s);
    return m;
}

const std::vector<Amplitude> kI = {amp(1), amp(0), amp(0), amp(1)};
const std::vector<Amplitude> kX = {amp(0), amp(1), amp(1), amp(0)};
const std::vector<Amplitude> kY = {amp(0), amp(0, -1), amp(0, 1), amp(0)};
const std::vector<Amplitude> kZ = {amp(1), amp(0), amp(0), amp(-1)};

std::vector<Amplitude> kron(const std::vector<Amplitude>& a, const std::vector<Amplitude>& b) {
    std::vector<Amplitude> out(16);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            const Amplitude x = a[(r >> 1) * 2 + (c >> 1)];
            const Amplitude y = b[(r & 1) * 2 + (c & 1)];
            out[r * 4 + c] = Amplitude{x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
        }
    return out;
}

bool is_identity(const std::vector<Amplitude>& m, std::size_t dim) {
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t c = 0; c < dim; ++c) {
            const Amplitude a = m[r * dim + c];
            if (a.im != 0.0f || a.re != (r == c ? 1.0f : 0.0f)) return false;
        }
    return true;
}

// K†K in double.
std::vector<double> gram_of(const std::vector<Amplitude>& k, std::size_t dim) {
    std::vector<double> g(2 * dim * dim, 0.0);
    for (std::size_t a = 0; a < dim; ++a)
        for (std::size_t b = 0; b < dim; ++b) {
            C sum = 0.0;
            for (std::size_t r = 0; r < dim; ++r)
                sum += std::conj(C(k[r * dim + a].re, k[r * dim + a].im)) *
                       C(k[r * dim + b].re, k[r * dim + b].im);
            g[2 * (a * dim + b)] = sum.real();
            g[2 * (a * dim + b) + 1] = sum.imag();
        }
    return g;
}

// A lower bound of the smallest eigenvalue of a Hermitian matrix (exact for
// 2 × 2, Gershgorin's discs otherwise), never below 0.
double smallest_eigenvalue_bound(const std::vector<double>& g, std::size_t dim) {
    double bound = 0.0;
    if (dim == 2) {
        const double a = g[0], d = g[6];
        const double off = std::hypot(g[2], g[3]);
        bound = 0.5 * (a + d) - std::sqrt(0.25 * (a - d) * (a - d) + off * off);
    } else {
        bound = 1.0;
        for (std::size_t r = 0; r < dim; ++r) {
            double radius = 0.0;
            for (std::size_t c = 0; c < dim; ++c)
                if (c != r) radius += std::hypot(g[2 * (r * dim + c)], g[2 * (r * dim + c) + 1]);
            bound = std::min(bound, g[2 * (r * dim + r)] - radius);
        }
    }
    // A little under the bound, so rounding in the states' own sums never
    // makes a branch's true probability smaller than its bound.
    return std::max(0.0, bound - 1e-7);
}

Status check_qubits(const std::vector<Qubit>& qubits) {
    if (qubits.empty() || qubits.size() > 3)
        return fail("a channel acts on 1 to 3 qubits, got " + std::to_string(qubits.size()));
    if (const Qubit* d = find_duplicate(qubits))
        return fail("duplicate qubit " + std::to_string(*d) + " in channel");
    return {};
}

Gate wrap(Channel channel) {
    return Gate{Noise{std::make_shared<const Channel>(std::move(channel))}};
}

Operation branch_op(const std::vector<Qubit>& qubits, std::vector<Amplitude> m) {
    Operation op;
    op.targets = qubits;
    op.matrix = SharedMatrix(std::move(m));
    return op;
}

// A mixture from weights (already checked) and unitaries; zero-weight
// branches are dropped, they are never drawn.
Gate mixture(std::vector<Qubit> qubits, const std::vector<double>& weights,
             const std::vector<std::vector<Amplitude>>& unitaries) {
    Channel c;
    c.mixture = true;
    const std::size_t dim = std::size_t{1} << qubits.size();
    for (std::size_t k = 0; k < weights.size(); ++k) {
        if (weights[k] == 0.0) continue;
        c.weights.push_back(weights[k]);
        c.branches.push_back(branch_op(qubits, unitaries[k]));
        c.identity.push_back(is_identity(unitaries[k], dim) ? 1 : 0);
    }
    c.qubits = std::move(qubits);
    return wrap(std::move(c));
}

// A general channel from Kraus operators already checked for Σ K†K = I.
Gate general(std::vector<Qubit> qubits, std::vector<std::vector<Amplitude>> kraus) {
    Channel c;
    const std::size_t dim = std::size_t{1} << qubits.size();
    for (std::vector<Amplitude>& k : kraus) {
        std::vector<double> g = gram_of(k, dim);
        bool zero = true;
        for (double v : g) zero = zero && v == 0.0;
        if (zero) continue;  // never drawn
        c.weights.push_back(smallest_eigenvalue_bound(g, dim));
        c.gram.push_back(std::move(g));
        c.branches.push_back(branch_op(qubits, std::move(k)));
        c.identity.push_back(0);
    }
    c.qubits = std::move(qubits);
    return wrap(std::move(c));
}

Status check_trace_preserving(const std::vector<std::vector<Amplitude>>& kraus, std::size_t dim) {
    std::vector<double> sum(2 * dim * dim, 0.0);
    for (const auto& k : kraus) {
        const std::vector<double> g = gram_of(k, dim);
        for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += g[i];
    }
    double worst = 0.0;
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t c = 0; c < dim; ++c) {
            const double re = sum[2 * (r * dim + c)] - (r == c ? 1.0 : 0.0);
            const double im = sum[2 * (r * dim + c) + 1];
            const double d = std::hypot(re, im);
            if (std::isnan(d) || d > worst) worst = d;
        }
    if (!(worst <= 1e-5))
        return fail("Kraus operators are not trace preserving: sum of K^dagger K differs from the "
                    "identity by " + num(worst) + " (tolerance 1e-5)");
    return {};
}

}  // namespace

Result<Gate> bit_flip_channel(Qubit q, double p) {
    VANTELO_TRY(check_probability("p", p));
    return mixture({q}, {1.0 - p, p}, {kI, kX});
}

Result<Gate> phase_flip_channel(Qubit q, double p) {
    VANTELO_TRY(check_probability("p", p));
    return mixture({q}, {1.0 - p, p}, {kI, kZ});
}

Result<Gate> depolarizing_channel(Qubit q, double p) {
    VANTELO_TRY(check_probability("p", p));
    return mixture({q}, {1.0 - p, p / 3.0, p / 3.0, p / 3.0}, {kI, kX, kY, kZ});
}

Result<Gate> depolarizing2_channel(Qubit a, Qubit b, double p) {
    VANTELO_TRY(check_probability("p", p));
    if (a == b) return fail("duplicate qubit " + std::to_string(a) + " in channel");
    const std::vector<Amplitude>* paulis[4] = {&kI, &kX, &kY, &kZ};
    std::vector<double> weights;
    std::vector<std::vector<Amplitude>> unitaries;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            weights.push_back(i == 0 && j == 0 ? 1.0 - p : p / 15.0);
            unitaries.push_back(kron(*paulis[i], *paulis[j]));
        }
    return mixture({a, b}, weights, unitaries);
}

Result<Gate> pauli_channel(Qubit q, double px, double py, double pz) {
    VANTELO_TRY(check_probability("px", px));
    VANTELO_TRY(check_probability("py", py));
    VANTELO_TRY(check_probability("pz", pz));
    const double rest = 1.0 - px - py - pz;
    if (rest < -1e-12) return bad_probability("px + py + pz", px + py + pz);
    return mixture({q}, {std::max(rest, 0.0), px, py, pz}, {kI, kX, kY, kZ});
}

Result<Gate> phase_damping_channel(Qubit q, double gamma) {
    VANTELO_TRY(check_probability("gamma", gamma));
    const double p = 0.5 * (1.0 - std::sqrt(1.0 - gamma));
    return mixture({q}, {1.0 - p, p}, {kI, kZ});
}

Result<Gate> amplitude_damping_channel(Qubit q, double gamma) {
    VANTELO_TRY(check_probability("gamma", gamma));
    return general({q}, {{amp(1), amp(0), amp(0), amp(std::sqrt(1.0 - gamma))},
                         {amp(0), amp(std::sqrt(gamma)), amp(0), amp(0)}});
}

namespace {

// Relaxation towards |0⟩ with probability 1 − p, towards |1⟩ with p.
std::vector<std::vector<Amplitude>> gad_kraus(double gamma, double p) {
    const double a = std::sqrt(1.0 - p), b = std::sqrt(p);
    const double keep = std::sqrt(1.0 - gamma), jump = std::sqrt(gamma);
    return {{amp(a), amp(0), amp(0), amp(a * keep)},
            {amp(0), amp(a * jump), amp(0), amp(0)},
            {amp(b * keep), amp(0), amp(0), amp(b)},
            {amp(0), amp(0), amp(b * jump), amp(0)}};
}

}  // namespace

Result<Gate> generalized_amplitude_damping_channel(Qubit q, double gamma, double p) {
    VANTELO_TRY(check_probability("gamma", gamma));
    VANTELO_TRY(check_probability("p", p));
    return general({q}, gad_kraus(gamma, p));
}

Result<Gate> reset_error_channel(Qubit q, double p0, double p1) {
    VANTELO_TRY(check_probability("p0", p0));
    VANTELO_TRY(check_probability("p1", p1));
    if (p0 + p1 > 1.0 + 1e-12) return bad_probability("p0 + p1", p0 + p1);
    const double s = std::sqrt(std::max(0.0, 1.0 - p0 - p1));
    const double a = std::sqrt(p0), b = std::sqrt(p1);
    return general({q}, {{amp(s), amp(0), amp(0), amp(s)},
                         {amp(a), amp(0), amp(0), amp(0)},
                         {amp(0), amp(a), amp(0), amp(0)},
                         {amp(0), amp(0), amp(b), amp(0)},
                         {amp(0), amp(0), amp(0), amp(b)}});
}

Result<Gate> thermal_relaxation_channel(Qubit q, double t1, double t2, double time, double pe) {
    if (!(t1 > 0.0) || !std::isfinite(t1)) return fail("t1 must be positive and finite, got " + num(t1));
    if (!(t2 > 0.0) || !(t2 <= 2.0 * t1)) return fail("t2 must be in (0, 2*t1], got " + num(t2));
    if (!(time >= 0.0) || !std::isfinite(time)) return fail("time must be >= 0 and finite, got " + num(time));
    VANTELO_TRY(check_probability("excited_population", pe));
    const double gamma = 1.0 - platform::exp(-time / t1);
    // Coherence left after the damping, and the phase flip that brings it
    // down to e^(−time/t2).
    const double extra = platform::exp(-time / t2 + time / (2.0 * t1));
    const double flip = std::clamp(0.5 * (1.0 - extra), 0.0, 0.5);
    std::vector<std::vector<Amplitude>> kraus;
    for (const std::vector<Amplitude>& k : gad_kraus(gamma, pe)) {
        // k and k·Z (Z after the damping: Z·k), scaled by the flip's weights.
        std::vector<Amplitude> zk = k;
        zk[2] = amp(-k[2].re, -k[2].im);
        zk[3] = amp(-k[3].re, -k[3].im);
        kraus.push_back(scaled(k, std::sqrt(1.0 - flip)));
        kraus.push_back(scaled(zk, std::sqrt(flip)));
    }
    return general({q}, std::move(kraus));
}

Result<Gate> kraus_channel(std::vector<Qubit> qubits, std::vector<std::vector<Amplitude>> matrices) {
    VANTELO_TRY(check_qubits(qubits));
    if (matrices.empty()) return fail("a channel needs at least one Kraus operator");
    const std::size_t dim = std::size_t{1} << qubits.size();
    for (const auto& m : matrices)
        if (m.size() != dim * dim)
            return fail("Kraus operators on " + std::to_string(qubits.size()) + " qubits must be " +
                        std::to_string(dim) + "x" + std::to_string(dim) + " matrices, got " +
                        std::to_string(m.size()) + " entries");
    VANTELO_TRY(check_trace_preserving(matrices, dim));
    // All multiples of unitaries (K†K = c·I): a mixture with weights c.
    std::vector<double> weights;
    std::vector<std::vector<Amplitude>> unitaries;
    for (const auto& m : matrices) {
        const std::vector<double> g = gram_of(m, dim);
        const double c = g[0];
        bool multiple = true;
        for (std::size_t r = 0; r < dim && multiple; ++r)
            for (std::size_t col = 0; col < dim && multiple; ++col) {
                const double want = r == col ? c : 0.0;
                multiple = std::hypot(g[2 * (r * dim + col)] - want, g[2 * (r * dim + col) + 1]) <= 1e-6;
            }
        if (!multiple) return general(std::move(qubits), std::move(matrices));
        weights.push_back(c);
        unitaries.push_back(c > 0.0 ? scaled(m, 1.0 / std::sqrt(c)) : m);
    }
    double total = 0.0;
    for (double w : weights) total += w;
    for (double& w : weights) w /= total;
    return mixture(std::move(qubits), weights, unitaries);
}

std::vector<std::vector<Amplitude>> kraus_operators(const Channel& channel) {
    std::vector<std::vector<Amplitude>> out;
    for (std::size_t k = 0; k < channel.branches.size(); ++k) {
        const std::vector<Amplitude>& m = channel.branches[k].matrix.values();
        out.push_back(channel.mixture ? scaled(m, std::sqrt(channel.weights[k])) : m);
    }
    return out;
}

Result<Gate> restore_channel(std::vector<Qubit> qubits, bool is_mixture, std::vector<double> weights,
                             std::vector<std::vector<Amplitude>> matrices) {
    VANTELO_TRY(check_qubits(qubits));
    const std::size_t dim = std::size_t{1} << qubits.size();
    if (matrices.empty()) return fail("a channel needs at least one Kraus operator");
    for (const auto& m : matrices)
        if (m.size() != dim * dim) return fail("stored channel has a matrix of the wrong size");
    if (!is_mixture) {
        VANTELO_TRY(check_trace_preserving(matrices, dim));
        return general(std::move(qubits), std::move(matrices));
    }
    if (weights.size() != matrices.size()) return fail("stored channel has a weight per branch");
    double total = 0.0;
    for (std::size_t k = 0; k < weights.size(); ++k) {
        VANTELO_TRY(check_probability("weight", weights[k]));
        // The unitarity test lets NaN through; a stored branch must not.
        const bool finite = std::all_of(matrices[k].begin(), matrices[k].end(), [](const Amplitude& a) {
            return std::isfinite(a.re) && std::isfinite(a.im);
        });
        if (!finite || !is_unitary(matrices[k], dim)) return fail("stored mixture has a branch that is not unitary");
        total += weights[k];
    }
    if (!(std::fabs(total - 1.0) <= 1e-5)) return fail("stored mixture weights do not sum to 1");
    return mixture(std::move(qubits), weights, matrices);
}

}  // namespace vantelo::sim
