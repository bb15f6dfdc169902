// Adjoint differentiation against double-precision central differences of
// the dense oracle and against the parameter-shift rule, on random plans
// from the whole gate catalogue with shared parameters and Hamiltonians of
// up to 20 terms; batch rows against single calls bit for bit; refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "plan_test_util.hpp"
#include "sim/batch/batch.hpp"
#include "sim/exec/block_size.hpp"
#include "sim/exec/executor.hpp"
#include "sim/grad/adjoint.hpp"
#include "sim/grad/adjoint_products.hpp"
#include "sim/kernels/kernels.hpp"

namespace vantelo::sim {
namespace {

using testing::bit_identical;
using testing::PlanBuilder;
using testing::same_float;
using testing::same_floats;
using Dense = std::vector<std::complex<double>>;

// A random unitary on dim levels: Gram–Schmidt of a random complex matrix in
// double precision, rounded to single (unitary far within 1e-3).
std::vector<Amplitude> random_unitary(std::size_t dim, std::mt19937& rng) {
    std::normal_distribution<double> g;
    std::vector<std::complex<double>> m(dim * dim);
    for (auto& v : m) v = {g(rng), g(rng)};
    for (std::size_t r = 0; r < dim; ++r) {
        for (std::size_t k = 0; k < r; ++k) {
            std::complex<double> dot = 0.0;
            for (std::size_t c = 0; c < dim; ++c) dot += std::conj(m[k * dim + c]) * m[r * dim + c];
            for (std::size_t c = 0; c < dim; ++c) m[r * dim + c] -= dot * m[k * dim + c];
        }
        double norm = 0.0;
        for (std::size_t c = 0; c < dim; ++c) norm += std::norm(m[r * dim + c]);
        for (std::size_t c = 0; c < dim; ++c) m[r * dim + c] /= std::sqrt(norm);
    }
    std::vector<Amplitude> out(dim * dim);
    for (std::size_t i = 0; i < m.size(); ++i)
        out[i] = {static_cast<float>(m[i].real()), static_cast<float>(m[i].imag())};
    return out;
}

// Catalogue gates, controlled gates, custom unitaries on 1–3 targets and
// rotations of all four kinds reading slots below num_params (so shared).
CompiledCircuit catalogue_plan(std::uint32_t n, std::uint32_t num_params, std::size_t steps,
                               std::mt19937& rng) {
    PlanBuilder b(n, num_params);
    std::uniform_real_distribution<float> angle(-3.0f, 3.0f);
    for (std::size_t i = 0; i < steps; ++i) {
        std::vector<Qubit> qs(n);
        for (Qubit q = 0; q < n; ++q) qs[q] = q;
        std::shuffle(qs.begin(), qs.end(), rng);
        const Matrix2 one[] = {matrices::h(), matrices::x(), matrices::y(), matrices::s(),
                               matrices::tdg(), matrices::u(angle(rng), angle(rng), angle(rng))};
        switch (rng() % 8) {
            case 0: b.gate(single_qubit_gate(qs[0], one[rng() % 6]).value()); break;
            case 1: b.cx(qs[0], qs[1]); break;
            case 2: b.gate(controlled_gate({qs[0], qs[1]}, qs[2], one[rng() % 6]).value()); break;
            case 3:
                b.gate(Unitary{Operation::create({qs[0], qs[1]}, matrices::iswap()).value()});
                break;
            case 4: {
                const std::size_t k = 1 + rng() % 3;
                std::vector<Qubit> targets(qs.begin(), qs.begin() + k);
                b.gate(Unitary{Operation::create(targets, random_unitary(std::size_t{1} << k, rng)).value()});
                break;
            }
            case 5: b.gate(Barrier{}); break;
            default: b.rot(static_cast<RotationKind>(rng() % 4), qs[0], rng() % num_params);
        }
    }
    return b.compile();
}

Observable random_hamiltonian(std::uint32_t n, std::size_t terms, std::mt19937& rng) {
    std::vector<PauliTerm> out;
    std::uniform_real_distribution<float> coef(-1.5f, 1.5f);
    for (std::size_t t = 0; t < terms; ++t) {
        std::vector<PauliFactor> ops;
        if (t % 7 != 3)  // every seventh term from the fourth is the identity
            for (Qubit q = 0; q < n; ++q)
                if (rng() % 3 == 0) ops.push_back({q, static_cast<Pauli>(rng() % 3)});
        out.push_back(PauliTerm::create(std::move(ops), coef(rng)).value());
    }
    return Observable::create(std::move(out)).value();
}

double dense_expectation(const Dense& psi, const Observable& o) {
    double total = 0.0;
    for (const PauliTerm& term : o.terms) {
        std::complex<double> sum = 0.0;
        for (std::size_t b = 0; b < psi.size(); ++b) {
            std::size_t a = b;
            std::complex<double> phase = 1.0;
            for (PauliFactor f : term.ops) {
                const bool v = (b >> f.qubit) & 1;
                if (f.pauli != Pauli::Z) a ^= std::size_t{1} << f.qubit;
                if (f.pauli == Pauli::Y) phase *= v ? std::complex<double>(0, -1) : std::complex<double>(0, 1);
                if (f.pauli == Pauli::Z && v) phase = -phase;
            }
            sum += std::conj(psi[a]) * phase * psi[b];
        }
        total += term.coefficient * sum.real();
    }
    return total;
}

std::vector<double> central_differences(const CompiledCircuit& plan, const std::vector<float>& p,
                                        const Observable& o) {
    std::vector<double> g(p.size());
    const double h = 1e-6;
    for (std::size_t k = 0; k < p.size(); ++k) {
        std::vector<double> v(p.begin(), p.end());
        v[k] += h;
        const double plus = dense_expectation(testing::run_dense(plan, v), o);
        v[k] -= 2 * h;
        const double minus = dense_expectation(testing::run_dense(plan, v), o);
        g[k] = (plus - minus) / (2 * h);
    }
    return g;
}

// Single-precision rounding grows with the number of items each of the
// forward run, the observable and the sweep passes through, and scales with
// the observable's weight.
double tolerance(const CompiledCircuit& plan, const Observable& o) {
    double weight = 0.0;
    for (const PauliTerm& t : o.terms) weight += std::fabs(t.coefficient);
    return 8.0 * 0x1p-24 * static_cast<double>(plan.ops.size() + plan.num_qubits) * weight;
}

class AdjointRandom : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(AdjointRandom, MatchesCentralDifferencesAndParameterShift) {
    const std::uint32_t n = GetParam();
    std::mt19937 rng(1000 + n);
    for (int trial = 0; trial < 4; ++trial) {
        const std::uint32_t num_params = 1 + rng() % 5;
        const CompiledCircuit plan = catalogue_plan(n, num_params, 30 + 10 * trial, rng);
        const Observable o = random_hamiltonian(n, 1 + rng() % 20, rng);
        const std::vector<float> params = testing::random_params(num_params, rng);
        const ValueAndGradient got = adjoint_value_and_gradient(plan, params, o).value();
        const ValueAndGradient shift = value_and_gradient(plan, params, o).value();
        const std::vector<double> want = central_differences(plan, params, o);
        const double tol = tolerance(plan, o);
        EXPECT_TRUE(same_float(got.value, compiled_expectation(plan, params, o).value()));
        for (std::uint32_t k = 0; k < num_params; ++k) {
            EXPECT_NEAR(got.gradient[k], want[k], tol) << "n " << n << " trial " << trial << " k " << k;
            EXPECT_NEAR(got.gradient[k], shift.gradient[k], 2 * tol);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, AdjointRandom, ::testing::Values(3u, 4u, 6u));

// The backward sweep's runs on the blocked executor against the per-item
// sweep, bit for bit: both plans of the executor on forced block widths and
// on its own. The name puts it among the executor tests ctest repeats under
// several pool sizes.
TEST(ExecutorAdjoint, SweepEqualsPerItemSweep) {
    struct Width {
        std::uint32_t b;
        GatherMode mode;
    };
    for (std::uint32_t n : {4u, 9u, 12u, 13u, 16u}) {
        std::mt19937 rng(300 + n);
        const std::uint32_t num_params = 2 + rng() % 4;
        const CompiledCircuit plan = catalogue_plan(n, num_params, 60, rng);
        const Observable o = random_hamiltonian(n, 1 + rng() % 20, rng);
        const std::vector<float> params = testing::random_params(num_params, rng);
        force_per_gate_path_for_testing(true);
        const ValueAndGradient want = adjoint_value_and_gradient(plan, params, o).value();
        force_per_gate_path_for_testing(false);
        for (const Width w : {Width{0, GatherMode::Auto}, Width{2, GatherMode::Always},
                              Width{3, GatherMode::Never}, Width{5, GatherMode::Always}}) {
            set_block_qubits_for_testing(w.b);
            set_gather_mode_for_testing(w.mode);
            const ValueAndGradient got = adjoint_value_and_gradient(plan, params, o).value();
            set_block_qubits_for_testing(0);
            set_gather_mode_for_testing(GatherMode::Auto);
            EXPECT_TRUE(same_float(got.value, want.value));
            EXPECT_TRUE(same_floats(got.gradient.span(), want.gradient.span())) << "n " << n << " b " << w.b;
        }
    }
}

// Registers run in halves (the sweep from 12 qubits, the forward run too
// from 16): items on the top qubit exchange it with a lower one, a unitary
// on the top and every qubit it could trade with runs on the whole vectors,
// and operations that keep their controls (three of them, one the top) run
// on each half; all against the per-item sweep.
TEST(ExecutorAdjoint, HalvesSweepExchangesAndJointItemsEqualPerItemSweep) {
    for (std::uint32_t n : {12u, 16u}) {
        std::mt19937 rng(40 + n);
        const std::uint32_t num_params = 5;
        PlanBuilder b(n, num_params);
        const Qubit top = n - 1;
        for (int layer = 0; layer < 3; ++layer) {
            for (Qubit q = 0; q < n; ++q) b.rot(static_cast<RotationKind>((q + layer) % 4), q, (q + layer) % num_params);
            std::vector<Qubit> joint{top};
            for (Qubit q = kProductBlockBits; q < top; ++q) joint.push_back(q);
            b.gate(Unitary{Operation::create(joint, random_unitary(std::size_t{1} << joint.size(), rng)).value()});
            b.gate(controlled_gate({top, 2, 5}, 7, matrices::h()).value());
            b.cx(top, 0).rot(RotationKind::Rz, top, 1).cx(3, top);
            for (Qubit q = 0; q + 1 < n; ++q) b.cx(q, q + 1);
        }
        CompiledCircuit plan = b.compile();
        const Observable o = random_hamiltonian(n, 12, rng);
        const std::vector<float> params = testing::random_params(num_params, rng);
        // Double sums place each block's product and norm by the halves'
        // block map too.
        for (const SumPrecision sums : {SumPrecision::Float32, SumPrecision::Float64}) {
            plan.numerics.sums = sums;
            force_per_gate_path_for_testing(true);
            const ValueAndGradient want = adjoint_value_and_gradient(plan, params, o).value();
            force_per_gate_path_for_testing(false);
            const ValueAndGradient got = adjoint_value_and_gradient(plan, params, o).value();
            EXPECT_TRUE(same_float(got.value, want.value));
            EXPECT_TRUE(same_floats(got.gradient.span(), want.gradient.span()))
                << "n " << n << " sums " << static_cast<int>(sums);
        }
    }
}

TEST(Adjoint, BatchRowsAndReusedScratchEqualSingleCallsOnSeveralBlocks) {
    std::mt19937 rng(5);
    const std::uint32_t n = 13, cols = 4;  // swept in halves, over 32 product blocks
    const CompiledCircuit plan = catalogue_plan(n, cols, 40, rng);
    const Observable o = random_hamiltonian(n, 6, rng);
    const std::size_t rows = 7;
    const std::vector<float> batch = testing::random_params(rows * cols, rng);
    const BatchValuesAndGradients all = batch_adjoint_value_and_gradient(plan, batch, rows, o).value();
    ExecutionContext context = ExecutionContext::create(2);
    AdjointScratch scratch;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::vector<float> row(batch.begin() + r * cols, batch.begin() + (r + 1) * cols);
        const ValueAndGradient one = adjoint_value_and_gradient(plan, row, o).value();
        float value = 0.0f;
        std::vector<float> g(cols);
        ASSERT_TRUE(adjoint_value_and_gradient_into(plan, row, o, context, scratch, value, g));
        EXPECT_TRUE(same_float(all.values[r], one.value));
        EXPECT_TRUE(same_floats(all.gradients.span().subspan(r * cols, cols), one.gradient.span()));
        EXPECT_TRUE(same_float(value, one.value));
        EXPECT_TRUE(same_floats(g, one.gradient.span()));
        // Several product blocks: still the derivative.
        const ValueAndGradient shift = value_and_gradient(plan, row, o).value();
        for (std::uint32_t k = 0; k < cols; ++k)
            EXPECT_NEAR(g[k], shift.gradient[k], 2 * tolerance(plan, o));
    }
}

TEST(Adjoint, UnusedParametersAreZeroAndPlansWithoutRotationsGiveTheValue) {
    PlanBuilder b(2, 3);
    b.h(0).rot(RotationKind::Ry, 0, 1).cx(0, 1);
    const ValueAndGradient r =
        adjoint_value_and_gradient(b.compile(), std::vector<float>{0.4f, 1.0f, 2.0f}, testing::z_on(1))
            .value();
    EXPECT_EQ(testing::bits(r.gradient[0]), 0u);
    EXPECT_EQ(testing::bits(r.gradient[2]), 0u);
    EXPECT_NEAR(r.gradient[1], -std::cos(1.0), 1e-6);  // ⟨Z⟩ = −sin θ

    PlanBuilder none(2, 1);
    none.h(0).cx(0, 1);
    const ValueAndGradient z =
        adjoint_value_and_gradient(none.compile(), std::vector<float>{0.3f}, testing::z_on(0)).value();
    EXPECT_EQ(z.gradient.size(), 1u);
    EXPECT_EQ(testing::bits(z.gradient[0]), 0u);
}

#if VANTELO_AVX2_KERNELS
TEST(AdjointProducts, Avx2PartialsEqualScalarBitForBit) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(9);
    std::normal_distribution<float> g;
    for (std::uint32_t n : {3u, 5u, 13u}) {
        const std::size_t size = std::size_t{1} << n;
        std::vector<Amplitude> phi(size), psi(size);
        for (std::size_t i = 0; i < size; ++i) {
            phi[i] = {g(rng), g(rng)};
            psi[i] = {g(rng), g(rng)};
        }
        phi[5] = {-0.0f, 0.0f};  // signed zeros and an exact cancellation
        psi[5] = {0.0f, -0.0f};
        const std::size_t blocks = product_blocks(n);
        std::vector<float> want(blocks), got(blocks);
        for (int kind = 0; kind < 4; ++kind)
            for (Qubit q = 0; q < n; ++q) {
                const auto k = static_cast<RotationKind>(kind);
                generator_partials_scalar(phi.data(), psi.data(), n, k, q, 0, blocks, want.data());
                generator_partials_avx2(phi.data(), psi.data(), n, k, q, 0, blocks, got.data());
                EXPECT_TRUE(same_floats(got, want)) << "n " << n << " kind " << kind << " q " << q;
            }
    }
}
#endif  // VANTELO_AVX2_KERNELS

#if VANTELO_AVX2_KERNELS
TEST(AdjointProducts, Avx2ObservableEqualsScalarBitForBit) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(10);
    for (std::uint32_t n : {2u, 3u, 7u, 12u}) {
        const std::size_t size = std::size_t{1} << n;
        const std::vector<Amplitude> psi = testing::random_amplitudes(size, rng);
        std::vector<PauliTermMasks> masks(12);
        std::vector<float> coefficients(12);
        for (std::size_t t = 0; t < masks.size(); ++t) {
            masks[t] = {rng() & (size - 1), rng() & (size - 1), rng() % 2 == 0, rng() % 2 == 0};
            coefficients[t] = std::normal_distribution<float>()(rng);
        }
        coefficients[3] = -0.0f;
        std::vector<Amplitude> want(size), got(size);
        apply_observable_scalar(psi.data(), want.data(), 0, size, masks, coefficients);
        apply_observable_avx2(psi.data(), got.data(), 0, size, masks, coefficients);
        EXPECT_TRUE(testing::bit_identical(got, want)) << "n " << n;
    }
}
#endif  // VANTELO_AVX2_KERNELS

TEST(Messages, AdjointChecksAndRefusalComeBeforeAnyRun) {
    const char* refusal = "adjoint differentiation needs a circuit without measurements or resets";
    for (bool reset : {false, true}) {
        PlanBuilder b(2, 1);
        b.h(0).rot(RotationKind::Rx, 1, 0);
        if (reset) b.reset(1); else b.measure(0);
        const CompiledCircuit plan = b.compile();
        ExecutionContext context = ExecutionContext::create(2);
        context.state.amplitudes[3] = {0.25f, -0.5f};
        const StateVector before = context.state;
        auto length = adjoint_value_and_gradient_with_context(plan, std::vector<float>{}, testing::z_on(2), context);
        EXPECT_EQ(length.error().message, "parameter vector has length 0, expected 1");
        auto range = adjoint_value_and_gradient_with_context(plan, std::vector<float>{1.0f}, testing::z_on(2), context);
        EXPECT_EQ(range.error().message, "observable references qubit 2 but state vector only has 2 qubits");
        auto refused = adjoint_value_and_gradient_with_context(plan, std::vector<float>{1.0f}, testing::z_on(0), context);
        EXPECT_EQ(refused.error().message, refusal);
        EXPECT_TRUE(bit_identical(context.state.amplitudes.span(), before.amplitudes.span()));
        auto batch = batch_adjoint_value_and_gradient(plan, std::vector<float>{1.0f}, 1, testing::z_on(0));
        EXPECT_EQ(batch.error().message, refusal);
    }
}

}  // namespace
}  // namespace vantelo::sim
