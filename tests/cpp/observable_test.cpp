// Observables and expectation values: construction rules and messages, the
// expectation against the plain per-factor loop bit for bit (every kernel and
// group size), and against a double-precision dense oracle.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "amplitude_test_util.hpp"
#include "sim/observables/expectation_kernels.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/observables/observable.hpp"

namespace vantelo::sim {
namespace {

using testing::bits;
using testing::random_amplitudes;

// Same value; +0 and −0 count as equal, and two NaNs as well.
::testing::AssertionResult same_float(float a, float b) {
    if (a == b || (std::isnan(a) && std::isnan(b))) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << a << " vs " << b << " (bits " << std::hex << bits(a)
                                         << " vs " << bits(b) << ")";
}

// The expectation exactly as the algorithm reads: for every b, walk the
// factors to find a and the phase, form w = phase · ψ[b] by exchanging and
// negating parts, and add Re ψ[a]·Re w + Im ψ[a]·Im w into the term's sum.
float term_sum_reference(const std::vector<Amplitude>& psi, const PauliTerm& term) {
    float s = 0.0f;
    for (std::size_t b = 0; b < psi.size(); ++b) {
        std::size_t a = b;
        int re = 1, im = 0;  // phase, one of 1, −1, i, −i
        for (PauliFactor f : term.ops) {
            const bool v = (b >> f.qubit) & 1u;
            if (f.pauli == Pauli::X) {
                a ^= std::size_t{1} << f.qubit;
            } else if (f.pauli == Pauli::Y) {
                a ^= std::size_t{1} << f.qubit;
                const int r = re;
                if (!v) re = -im, im = r;  // · i
                else re = im, im = -r;     // · (−i)
            } else if (v) {
                re = -re, im = -im;
            }
        }
        const Amplitude x = psi[b];
        Amplitude w;
        if (re == 1) w = x;
        else if (re == -1) w = {-x.re, -x.im};
        else if (im == 1) w = {-x.im, x.re};
        else w = {x.im, -x.re};
        s = s + (psi[a].re * w.re + psi[a].im * w.im);
    }
    return s;
}

float expectation_reference(const std::vector<Amplitude>& psi, const Observable& o) {
    float total = 0.0f;
    for (const PauliTerm& t : o.terms) total = total + term_sum_reference(psi, t) * t.coefficient;
    return total;
}

// ⟨ψ|H|ψ⟩ in double precision from the dense matrix of each Pauli product.
double expectation_dense(const std::vector<Amplitude>& psi, std::uint32_t n, const Observable& o) {
    const Matrix2 x = matrices::x(), y = matrices::y(), z = matrices::z();
    double total = 0.0;
    for (const PauliTerm& t : o.terms) {
        std::vector<std::complex<double>> v(psi.size());
        for (std::size_t i = 0; i < psi.size(); ++i) v[i] = {psi[i].re, psi[i].im};
        for (PauliFactor f : t.ops) {
            const Matrix2& m = f.pauli == Pauli::X ? x : f.pauli == Pauli::Y ? y : z;
            Operation op{{f.qubit}, {m.begin(), m.end()}};
            const testing::DenseMatrix full = testing::full_matrix(op, n);
            std::vector<std::complex<double>> out(v.size());
            for (std::size_t r = 0; r < v.size(); ++r)
                for (std::size_t c = 0; c < v.size(); ++c) out[r] += full[r * v.size() + c] * v[c];
            v = out;
        }
        std::complex<double> inner = 0.0;
        for (std::size_t i = 0; i < psi.size(); ++i)
            inner += std::conj(std::complex<double>(psi[i].re, psi[i].im)) * v[i];
        total += inner.real() * t.coefficient;
    }
    return total;
}

StateVector state_of(std::vector<Amplitude> amps, std::uint32_t n) {
    StateVector s = StateVector::create(n);
    for (std::size_t i = 0; i < amps.size(); ++i) s.amplitudes[i] = amps[i];
    return s;
}

PauliTerm random_term(std::uint32_t n, std::mt19937& rng) {
    std::vector<PauliFactor> ops;
    for (std::uint32_t q = 0; q < n; ++q) {
        const unsigned pick = rng() % 4;
        if (pick < 3) ops.push_back({q, static_cast<Pauli>(pick)});
    }
    std::shuffle(ops.begin(), ops.end(), rng);
    const float coefficient = std::uniform_real_distribution<float>(-2.0f, 2.0f)(rng);
    return PauliTerm::create(std::move(ops), coefficient).value();
}

Observable random_observable(std::uint32_t n, std::size_t terms, std::mt19937& rng) {
    std::vector<PauliTerm> list;
    for (std::size_t t = 0; t < terms; ++t) list.push_back(random_term(n, rng));
    // An identity term and a single-Y term make sure every phase class occurs.
    list.push_back(PauliTerm::create({}, 0.75f).value());
    list.push_back(PauliTerm::create({{n - 1, Pauli::Y}}, -1.25f).value());
    return Observable::create(std::move(list)).value();
}

class ExpectationWidths : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ExpectationWidths, MatchesPlainLoopBitForBitAndDenseOracle) {
    const std::uint32_t n = GetParam();
    std::mt19937 rng(1000 + n);
    for (std::size_t terms : {1u, 3u, 7u, 8u, 13u}) {
        const std::vector<Amplitude> psi = random_amplitudes(std::size_t{1} << n, rng);
        const StateVector state = state_of(psi, n);
        const Observable o = random_observable(n, terms, rng);
        const float got = expectation(state, o).value();
        EXPECT_TRUE(same_float(got, expectation_reference(psi, o))) << "terms " << terms;
        if (n <= 6) {
            EXPECT_NEAR(got, expectation_dense(psi, n, o), 2e-4 * (1 << n));
        }
    }
}

TEST_P(ExpectationWidths, EveryKernelAndGroupSizeMatchesPlainLoop) {
    const std::uint32_t n = GetParam();
    std::mt19937 rng(2000 + n);
    const std::vector<Amplitude> psi = random_amplitudes(std::size_t{1} << n, rng);
    std::vector<PauliTermMasks> masks;
    std::vector<float> expected;
    for (int t = 0; t < 19; ++t) {
        const PauliTerm term = random_term(n, rng);
        PauliTermMasks m;
        int num_y = 0;
        for (PauliFactor f : term.ops) {
            if (f.pauli != Pauli::Z) m.flip |= std::uint64_t{1} << f.qubit;
            if (f.pauli != Pauli::X) m.parity |= std::uint64_t{1} << f.qubit;
            num_y += f.pauli == Pauli::Y;
        }
        m.imaginary = num_y % 2 == 1;
        m.negated = num_y % 4 >= 2;
        masks.push_back(m);
        expected.push_back(term_sum_reference(psi, term));
    }
    using Kernel = void (*)(const Amplitude*, std::uint32_t, const PauliTermMasks*, std::size_t,
                            float*);
    std::vector<std::pair<const char*, Kernel>> kernels = {{"scalar", &term_sums_scalar},
                                                           {"dispatch", &term_sums}};
#if VANTELO_AVX2_KERNELS
    if (cpu_has_avx2() && n >= 3) kernels.push_back({"avx2", &term_sums_avx2});
#endif
    for (auto [name, kernel] : kernels)
        for (std::size_t count = 1; count <= kTermGroup; ++count)
            for (std::size_t first = 0; first + count <= masks.size(); first += count) {
                float sums[kTermGroup];
                kernel(psi.data(), n, masks.data() + first, count, sums);
                for (std::size_t k = 0; k < count; ++k)
                    ASSERT_TRUE(same_float(sums[k], expected[first + k]))
                        << name << " group " << count << " term " << first + k;
            }
}

INSTANTIATE_TEST_SUITE_P(Widths, ExpectationWidths, ::testing::Values(1u, 2u, 3u, 4u, 5u, 7u, 10u),
                         [](const auto& info) { return std::to_string(info.param) + "_qubits"; });

TEST(Expectation, DoesNotNormalise) {
    // Σ|ψ|² = 8 for this unnormalised state; the identity term reports it.
    const StateVector s = state_of({{2.0f, 0.0f}, {0.0f, 2.0f}}, 1);
    const Observable id = Observable::create({PauliTerm::create({}, 1.0f).value()}).value();
    EXPECT_EQ(expectation(s, id).value(), 8.0f);
}

void apply(StateVector& s, Qubit q, const Matrix2& m) {
    ASSERT_TRUE(apply_operation(s, Operation::create({q}, to_vector(m)).value()));
}

TEST(Expectation, BasicStates) {
    const StateVector zero = StateVector::create(1);
    EXPECT_EQ(expectation(zero, Observable::single(Pauli::Z, 0, 1.0f).value()).value(), 1.0f);
    EXPECT_EQ(expectation(zero, Observable::single(Pauli::X, 0, 1.0f).value()).value(), 0.0f);

    // (|0⟩ + i|1⟩)/√2 is the +1 eigenstate of Y; with qubit 1 in |+⟩, X₁Y₀ is +1 too.
    StateVector s = StateVector::create(2);
    apply(s, 0, matrices::h());
    apply(s, 0, matrices::s());
    EXPECT_NEAR(expectation(s, Observable::single(Pauli::Y, 0, 1.0f).value()).value(), 1.0f, 1e-6);
    apply(s, 1, matrices::h());
    const Observable xy =
        Observable::create({PauliTerm::create({{1, Pauli::X}, {0, Pauli::Y}}, 1.0f).value()}).value();
    EXPECT_NEAR(expectation(s, xy).value(), 1.0f, 1e-6);
    // Y on |1⟩ gives −i|0⟩: ⟨+i|Y|+i⟩ with the phases reversed is −1.
    StateVector minus = StateVector::create(1);
    apply(minus, 0, matrices::h());
    apply(minus, 0, matrices::sdg());
    EXPECT_NEAR(expectation(minus, Observable::single(Pauli::Y, 0, 1.0f).value()).value(), -1.0f,
                1e-6);
}

TEST(Expectation, TermsAreNeitherMergedNorDropped) {
    std::mt19937 rng(7);
    const std::vector<Amplitude> psi = random_amplitudes(8, rng);
    const StateVector s = state_of(psi, 3);
    const PauliTerm t = PauliTerm::create({{0, Pauli::X}, {2, Pauli::Z}}, 0.5f).value();
    const float once = expectation(s, Observable::create({t}).value()).value();
    EXPECT_EQ(expectation(s, Observable::create({t, t}).value()).value(), once + once);
    // An identity term of weight 2.5 on a normalised state.
    const StateVector zero = StateVector::create(3);
    EXPECT_EQ(expectation(zero, Observable::create({PauliTerm::create({}, 2.5f).value()}).value())
                  .value(),
              2.5f);
}

TEST(PauliTerm, SortsFactorsByQubit) {
    const PauliTerm t = PauliTerm::create({{2, Pauli::Z}, {0, Pauli::X}}, 0.5f).value();
    EXPECT_EQ(t.ops, (std::vector<PauliFactor>{{0, Pauli::X}, {2, Pauli::Z}}));
    EXPECT_EQ(t.coefficient, 0.5f);
    // Any coefficient is kept as it is; qubits are not limited here.
    const PauliTerm big = PauliTerm::create({{4000000000u, Pauli::Y}}, -INFINITY).value();
    EXPECT_EQ(big.coefficient, -INFINITY);
}

TEST(Messages, ObservableConstruction) {
    auto dup = PauliTerm::create({{1, Pauli::X}, {3, Pauli::Y}, {1, Pauli::Z}}, 1.0f);
    ASSERT_FALSE(dup);
    EXPECT_EQ(dup.error().message, "duplicate qubit index: 1");
    // The first position that has a later duplicate decides.
    auto two = PauliTerm::create({{5, Pauli::X}, {3, Pauli::Y}, {3, Pauli::Z}, {5, Pauli::Z}}, 1.0f);
    EXPECT_EQ(two.error().message, "duplicate qubit index: 5");

    auto empty = Observable::create({});
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().message, "observable must contain at least one term");
}

TEST(Messages, ObservableQubitOutOfRange) {
    const StateVector s = StateVector::create(2);
    // The range check runs over all terms before any sum, even with weight 0.
    const Observable o = Observable::create({PauliTerm::create({{0, Pauli::Z}}, 1.0f).value(),
                                             PauliTerm::create({{1, Pauli::X}, {2, Pauli::Z}}, 0.0f)
                                                 .value()})
                             .value();
    auto r = expectation(s, o);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "observable references qubit 2 but state vector only has 2 qubits");
    EXPECT_FALSE(check_observable_qubits(o, 2));
    EXPECT_TRUE(check_observable_qubits(o, 3));
}

}  // namespace
}  // namespace vantelo::sim
