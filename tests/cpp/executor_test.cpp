// The cache-blocked executor against the gate-by-gate references: random
// circuits from the whole gate catalogue, block widths forced small so
// segments gather scattered qubits and wide items run alone, equal up to the sign of zero with equal draws. ctest
// runs this file under pool sizes 1, 2, 3 and 7 (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

#include "amplitude_test_util.hpp"
#include "plan_test_util.hpp"
#include "sim/cpu/cpu_features.hpp"
#include "sim/exec/block_size.hpp"
#include "sim/exec/circuit.hpp"
#include "sim/exec/compiled.hpp"
#include "sim/exec/executor.hpp"
#include "sim/grad/gradient.hpp"
#include "sim/kernels/fused_planar.hpp"

namespace vantelo::sim {
namespace {

using testing::equal_up_to_zero_sign;

// Restores the executor's own choices when a test ends.
struct ForcedWidth {
    explicit ForcedWidth(std::uint32_t b) { set_block_qubits_for_testing(b); }
    ~ForcedWidth() {
        set_block_qubits_for_testing(0);
        set_gather_mode_for_testing(GatherMode::Auto);
        force_per_gate_path_for_testing(false);
    }
};

std::array<std::uint8_t, 32> seed_of(unsigned k) {
    std::array<std::uint8_t, 32> s{};
    s[0] = static_cast<std::uint8_t>(k);
    s[1] = static_cast<std::uint8_t>(k >> 8);
    s[9] = 0x5A;
    return s;
}

// A Haar-like unitary on k targets: Gram–Schmidt in double over random
// columns, rounded to single precision (unitary well within 1e-3).
std::vector<Amplitude> random_unitary(std::size_t k, std::mt19937& rng) {
    const std::size_t d = std::size_t{1} << k;
    std::normal_distribution<double> normal;
    std::vector<std::complex<double>> m(d * d);
    for (auto& v : m) v = {normal(rng), normal(rng)};
    for (std::size_t c = 0; c < d; ++c) {
        for (std::size_t p = 0; p < c; ++p) {
            std::complex<double> dot = 0;
            for (std::size_t r = 0; r < d; ++r) dot += std::conj(m[r * d + p]) * m[r * d + c];
            for (std::size_t r = 0; r < d; ++r) m[r * d + c] -= dot * m[r * d + p];
        }
        double norm = 0;
        for (std::size_t r = 0; r < d; ++r) norm += std::norm(m[r * d + c]);
        for (std::size_t r = 0; r < d; ++r) m[r * d + c] /= std::sqrt(norm);
    }
    std::vector<Amplitude> out(d * d);
    for (std::size_t e = 0; e < d * d; ++e)
        out[e] = {static_cast<float>(m[e].real()), static_cast<float>(m[e].imag())};
    return out;
}

// `count` distinct qubits below n, in random order.
std::vector<Qubit> distinct(std::uint32_t n, std::size_t count, std::mt19937& rng) {
    std::vector<Qubit> all(n);
    for (Qubit q = 0; q < n; ++q) all[q] = q;
    std::shuffle(all.begin(), all.end(), rng);
    all.resize(count);
    return all;
}

// Gates from the whole catalogue: named one-qubit gates and rotations,
// controlled gates (controls anywhere, often high), swaps, custom unitaries
// of 1–5 targets, measurements, resets and barriers.
std::vector<Gate> random_gates(std::uint32_t n, std::size_t count, std::mt19937& rng) {
    std::uniform_real_distribution<float> angle(-3.5f, 3.5f);
    const Matrix2 named[] = {matrices::h(), matrices::x(),  matrices::y(),   matrices::z(),
                             matrices::s(), matrices::t(), matrices::sdg()};
    std::vector<Gate> gates;
    while (gates.size() < count) {
        const unsigned pick = rng() % 12;
        const Qubit q = rng() % n;
        if (pick <= 2) {
            gates.push_back(single_qubit_gate(q, named[rng() % 7]).value());
        } else if (pick <= 4) {
            const Matrix2 m = pick == 3 ? matrices::u(angle(rng), angle(rng), angle(rng))
                                        : matrices::ry(angle(rng));
            gates.push_back(single_qubit_gate(q, m).value());
        } else if (pick <= 6 && n >= 2) {
            const std::size_t controls = 1 + rng() % std::min<std::uint32_t>(3, n - 1);
            std::vector<Qubit> qs = distinct(n, controls + 1, rng);
            const Qubit target = qs.back();
            qs.pop_back();
            const Matrix2 m = pick == 5 ? matrices::x() : matrices::p(angle(rng));
            gates.push_back(controlled_gate(qs, target, m).value());
        } else if (pick == 7 && n >= 2) {
            const std::vector<Qubit> qs = distinct(n, 2, rng);
            gates.push_back(Unitary{Operation::create(qs, rng() % 2 ? matrices::swap() : matrices::iswap()).value()});
        } else if (pick == 8 && n >= 3) {
            const std::vector<Qubit> qs = distinct(n, 3, rng);
            gates.push_back(make_controlled_unitary_gate({qs[0]}, {qs[1], qs[2]}, matrices::swap()).value());
        } else if (pick == 9) {
            const std::size_t k = 1 + rng() % std::min<std::uint32_t>(5, n);
            gates.push_back(Unitary{Operation::create(distinct(n, k, rng), random_unitary(k, rng)).value()});
        } else if (pick == 10) {
            gates.push_back(rng() % 2 ? Gate{Measure{q}} : Gate{Reset{q}});
        } else if (pick == 11) {
            gates.push_back(Barrier{});
        }
    }
    return gates;
}

struct Case {
    std::uint32_t n;
    std::uint32_t b;  // forced block width (0: the executor's own)
    std::size_t gates;
};

class ExecutorCircuits : public ::testing::TestWithParam<Case> {};

// Both plans (segments gathered, or in place on the low qubits) on every
// forced width; the executor's own choice otherwise. Run as on any state,
// and as on a fresh one, whose passes skip the blocks still known zero.
TEST_P(ExecutorCircuits, EqualToGateByGate) {
    const Case c = GetParam();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A 2^24 state gate by gate takes minutes instrumented; the forced
    // widths above already take every threaded path it would.
    if (c.n >= 24) GTEST_SKIP() << "too slow under a sanitizer";
#endif
    for (unsigned trial = 0; trial < (c.n >= 20 ? 1u : 3u); ++trial) {
        std::mt19937 rng(1000 * c.n + 10 * c.b + trial);
        const Circuit circuit = Circuit::create(random_gates(c.n, c.gates, rng));
        StateVector expected = StateVector::create(c.n);
        Rng draws(seed_of(trial));
        const MeasurementRecord ref = run_circuit_per_gate(circuit, expected, draws).value();
        const std::uint64_t next_draw = draws.next_u64();
        for (GatherMode mode : {GatherMode::Always, GatherMode::Never}) {
            for (const std::size_t zero : {std::size_t{0}, all_qubits(c.n)}) {
                if (c.b == 0 && mode == GatherMode::Never) continue;
                ForcedWidth forced(c.b);
                if (c.b != 0) set_gather_mode_for_testing(mode);
                StateVector state = StateVector::create(c.n);
                Rng same(seed_of(trial));
                const MeasurementRecord got = run_circuit(circuit, state, same, zero).value();
                ASSERT_TRUE(equal_up_to_zero_sign(state.amplitudes.span(), expected.amplitudes.span()))
                    << "trial " << trial << " gather " << (mode == GatherMode::Always) << " fresh " << (zero != 0);
                ASSERT_EQ(got.size(), ref.size());
                for (std::size_t i = 0; i < got.size(); ++i) {
                    EXPECT_EQ(got[i].qubit, ref[i].qubit);
                    EXPECT_EQ(got[i].outcome, ref[i].outcome);
                }
                EXPECT_EQ(same.next_u64(), next_draw) << "the same number of draws";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, ExecutorCircuits,
    ::testing::Values(Case{1, 1, 20}, Case{2, 1, 30}, Case{3, 2, 40}, Case{5, 3, 60}, Case{7, 4, 80},
                      Case{9, 3, 80}, Case{11, 5, 100}, Case{12, 0, 100}, Case{14, 4, 100},
                      Case{16, 6, 80}, Case{18, 10, 60}, Case{20, 0, 40}, Case{24, 0, 25}));

// Equal up to the sign of zero, a NaN matching any NaN.
::testing::AssertionResult same_values(const StateVector& a, const StateVector& b) {
    auto eq = [](float x, float y) { return x == y || (std::isnan(x) && std::isnan(y)); };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!eq(a.amplitudes[i].re, b.amplitudes[i].re) || !eq(a.amplitudes[i].im, b.amplitudes[i].im))
            return ::testing::AssertionFailure() << "amplitude " << i;
    return ::testing::AssertionSuccess();
}

// Gate by gate, a gate with a NaN or an infinity turns zero amplitudes into
// NaNs, so on a fresh state such a pass visits the blocks known zero too,
// and none is known zero after it: the gate in the first pass, or later.
TEST(ExecutorZeroBlocks, NonFiniteGatesReachEveryBlock) {
    const std::uint32_t n = 9;
    const float inf = std::numeric_limits<float>::infinity();
    const Matrix2 bad[] = {matrices::rx(std::numeric_limits<float>::quiet_NaN()),
                           {Amplitude{1.0f, 0.0f}, Amplitude{0.0f, 0.0f}, Amplitude{0.0f, 0.0f}, Amplitude{inf, 0.0f}}};
    for (const Matrix2& m : bad) {
        for (const bool later : {false, true}) {
            std::vector<Gate> gates = {single_qubit_gate(0, matrices::h()).value()};
            for (Qubit q : {4u, 5u, 6u, 7u})
                if (later) gates.push_back(single_qubit_gate(q, matrices::h()).value());
            gates.push_back(Unitary{Operation{{1}, to_vector(m)}});
            gates.push_back(single_qubit_gate(3, matrices::h()).value());
            const Circuit circuit = Circuit::create(std::move(gates));
            StateVector expected = StateVector::create(n);
            Rng draws(seed_of(0));
            ASSERT_TRUE(run_circuit_per_gate(circuit, expected, draws).has_value());
            ForcedWidth forced(3);
            StateVector state = StateVector::create(n);
            ASSERT_TRUE(run_circuit(circuit, state, draws, all_qubits(n)).has_value());
            EXPECT_TRUE(same_values(state, expected)) << "later " << later;
        }
    }
}

// Compiled plans: states, values and gradients through every path that
// runs steps (plain and shared-prefix gradients), against the references.
class ExecutorCompiled : public ::testing::TestWithParam<Case> {};

TEST_P(ExecutorCompiled, StatesValuesAndGradientsEqualToGateByGate) {
    const Case c = GetParam();
    std::mt19937 rng(77 + c.n);
    const CompiledCircuit plan = testing::random_plan(c.n, 6, {0, 1, 2, 3, 4, 5}, c.gates, rng);
    const std::vector<float> params = testing::random_params(6, rng);
    const Observable obs = testing::mixed_observable(c.n);

    force_per_gate_path_for_testing(true);
    const StateVector ref_state = run_statevector(plan, params).value();
    const ValueAndGradient ref = value_and_gradient(plan, params, obs).value();

    for (GatherMode mode : {GatherMode::Always, GatherMode::Never}) {
        ForcedWidth forced(c.b);
        set_gather_mode_for_testing(mode);
        const StateVector state = run_statevector(plan, params).value();
        const ValueAndGradient got = value_and_gradient(plan, params, obs).value();
        EXPECT_TRUE(equal_up_to_zero_sign(state.amplitudes.span(), ref_state.amplitudes.span()));
        EXPECT_EQ(got.value, ref.value);
        for (std::size_t k = 0; k < 6; ++k) EXPECT_EQ(got.gradient[k], ref.gradient[k]) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, ExecutorCompiled,
                         ::testing::Values(Case{2, 1, 30}, Case{4, 2, 40}, Case{6, 3, 60},
                                           Case{9, 4, 80}, Case{12, 5, 80}, Case{15, 0, 60}));

// Fused circuits of dense blocks, as quantum volume makes them: their
// passes of fused items run on planes where the CPU allows, with the bits
// of the interleaved fused kernels, for every block width and gather mode.
TEST(ExecutorPlanar, SameBitsAsInterleaved) {
    for (const std::uint32_t n : {9u, 12u, 15u}) {
        for (const std::uint8_t k : {2, 3, 4}) {
            std::mt19937 rng(10 * n + k);
            std::vector<Gate> gates;
            for (int i = 0; i < 60; ++i) {
                const std::size_t t = i % 7 == 6 ? 3 : 2;
                gates.push_back(Unitary{Operation::create(distinct(n, t, rng), random_unitary(t, rng)).value()});
            }
            const Circuit circuit = Circuit::create(gates, Numerics{.fusion = k});
            for (const std::uint32_t b : {0u, 7u, n - 2}) {
                for (GatherMode mode : {GatherMode::Always, GatherMode::Never}) {
                    ForcedWidth forced(b);
                    if (b != 0) set_gather_mode_for_testing(mode);
                    StateVector want = StateVector::create(n);
                    StateVector got = StateVector::create(n);
                    Rng draws(seed_of(0));
                    set_planar_fused_for_testing(false);
                    ASSERT_TRUE(run_circuit(circuit, want, draws).has_value());
                    set_planar_fused_for_testing(true);
                    ASSERT_TRUE(run_circuit(circuit, got, draws).has_value());
                    ASSERT_TRUE(testing::bit_identical(got.amplitudes.span(), want.amplitudes.span()))
                        << n << " qubits, fusion " << int{k} << ", width " << b;
                }
            }
        }
    }
}

// States the light kernels must not touch: a block holding an infinity, a
// NaN or huge values keeps the dense kernels, and a gate that makes the
// values grow ends the stretch the last bound check covered. NaNs match
// NaNs (which one comes out is the dense kernels' business, the same on
// both paths).
TEST(ExecutorLight, NonFiniteAndGrowingStatesMatchGateByGate) {
    const std::uint32_t n = 10;
    std::mt19937 rng(4242);
    std::vector<Gate> gates;
    std::vector<Gate> first_layer;
    // An entry of 3·10^4 (17 bits of growth) on one qubit per layer: the
    // largest values pass 2^32 after three layers and overflow in the ninth,
    // with rx and cx in between and one rx after.
    const Matrix2 grow{Amplitude{1.0f, 0.0f}, Amplitude{0.0f, 0.0f}, Amplitude{0.0f, 0.0f},
                       Amplitude{0.0f, 30000.0f}};
    for (int layer = 0; layer < 9; ++layer) {
        for (Qubit q = 0; q < n; ++q) gates.push_back(single_qubit_gate(q, matrices::rx(0.3f + q)).value());
        for (Qubit q = layer % 2; q + 1 < n; q += 2)
            gates.push_back(controlled_gate({q}, q + 1, layer % 3 ? matrices::x() : matrices::z()).value());
        // Not unitary, so built past the checks of the gate constructors.
        gates.push_back(Unitary{Operation{{static_cast<Qubit>(layer)}, to_vector(grow)}});
        // Planted non-finite values spread to every amplitude within a few
        // layers; the first shows the fallback.
        if (layer == 0) first_layer = gates;
    }
    gates.push_back(single_qubit_gate(n - 1, matrices::rx(0.7f)).value());
    const Circuit growing = Circuit::create(std::move(gates));
    const Circuit planted = Circuit::create(std::move(first_layer));
    for (const bool plant : {false, true}) {
        for (std::uint32_t b : {0u, 6u}) {
            for (GatherMode mode : {GatherMode::Always, GatherMode::Never}) {
                StateVector start = StateVector::create(n);
                for (std::size_t i = 0; i < start.size(); ++i)
                    start.amplitudes[i] = {std::uniform_real_distribution<float>(-0.1f, 0.1f)(rng), 0.0f};
                if (plant) {
                    start.amplitudes[3].re = std::numeric_limits<float>::quiet_NaN();
                    start.amplitudes[200].im = std::numeric_limits<float>::infinity();
                    start.amplitudes[700].re = 1e30f;
                }
                StateVector expected = start;
                Rng draws(seed_of(1));
                const Circuit& circuit = plant ? planted : growing;
                ASSERT_TRUE(run_circuit_per_gate(circuit, expected, draws).has_value());
                ForcedWidth forced(b);
                set_gather_mode_for_testing(mode);
                StateVector state = start;
                Rng same_draws(seed_of(1));
                ASSERT_TRUE(run_circuit(circuit, state, same_draws).has_value());
                EXPECT_TRUE(same_values(state, expected))
                    << "planted " << plant << " block " << b << " gather " << (mode == GatherMode::Always);
            }
        }
    }
}

// Two light one-qubit gates beside a cx or a swap on their qubits, the swap
// before or after them, take one sweep; with values that grow past the
// light kernels' bound midway (an entry of 3·10^4 each layer), so the
// bound checks between such sweeps decide too.
TEST(ExecutorLight, PairsBesideSwapsMatchGateByGate) {
    const std::uint32_t n = 10;
    const Matrix2 grow{Amplitude{1.0f, 0.0f}, Amplitude{0.0f, 0.0f}, Amplitude{0.0f, 0.0f},
                       Amplitude{0.0f, 30000.0f}};
    std::vector<Gate> gates;
    for (int layer = 0; layer < 12; ++layer) {
        for (Qubit q = layer % 2; q + 1 < n; q += 2) {
            const Qubit a = layer % 3 ? q : q + 1;
            const Qubit c = layer % 3 ? q + 1 : q;
            const Gate swaps = q % 4 == 3 ? Unitary{Operation::create({a, c}, matrices::swap()).value()}
                                          : controlled_gate({a}, c, matrices::x()).value();
            if (layer % 2) gates.push_back(swaps);
            gates.push_back(single_qubit_gate(a, matrices::rx(0.3f + q)).value());
            gates.push_back(single_qubit_gate(c, layer % 4 ? matrices::rz(0.7f) : matrices::ry(-1.1f)).value());
            if (layer % 2 == 0) gates.push_back(swaps);
        }
        if (layer % 3 == 2) gates.push_back(Unitary{Operation{{static_cast<Qubit>(layer % n)}, to_vector(grow)}});
    }
    // Layers in the usual order, rotations on every qubit and then a brick
    // of cx: the planner moves each cx back beside its pair, never past the
    // measurement.
    std::vector<Gate> layered;
    for (int layer = 0; layer < 10; ++layer) {
        for (Qubit q = 0; q < n; ++q)
            layered.push_back(single_qubit_gate(q, layer % 2 ? matrices::ry(0.2f * q) : matrices::rx(0.4f)).value());
        if (layer == 4) layered.push_back(Measure{7});
        for (Qubit q = layer % 2; q + 1 < n; q += 2)
            layered.push_back(controlled_gate({q + 1}, q, layer % 3 ? matrices::x() : matrices::z()).value());
    }
    for (const Circuit& circuit : {Circuit::create(std::move(gates)), Circuit::create(std::move(layered))}) {
        for (std::uint32_t b : {0u, 6u}) {
            StateVector expected = StateVector::create(n);
            Rng draws(seed_of(2));
            const MeasurementRecord want = run_circuit_per_gate(circuit, expected, draws).value();
            ForcedWidth forced(b);
            StateVector state = StateVector::create(n);
            Rng same_draws(seed_of(2));
            const MeasurementRecord got = run_circuit(circuit, state, same_draws).value();
            EXPECT_TRUE(equal_up_to_zero_sign(state.amplitudes.span(), expected.amplitudes.span())) << "block " << b;
            ASSERT_EQ(got.size(), want.size());
            for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].outcome, want[i].outcome);
        }
    }
}

// Where the planner puts a cx or a cz: beside the pair that last touched its
// qubits, or the pair that next will, and never across a measurement; a
// controlled phase other than −1 stays (it rounds).
TEST(ExecutorLight, SwapsMoveBesidePairs) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "no light kernels";
    const Operation cx = std::get<Unitary>(controlled_gate({2}, 3, matrices::x()).value()).op;
    auto single = [](Qubit q) {
        ExecItem item;
        item.qubit = q;
        item.matrix = matrices::rx(0.5f);
        return item;
    };
    ExecItem measure;
    measure.kind = ExecItem::Kind::Measure;
    measure.qubit = 5;
    const std::vector<ExecItem> after = {single(2), single(3), single(4), single(5), unitary_item(cx)};
    const std::vector<ExecItem> before = {unitary_item(cx), single(4), single(3), single(2)};
    const std::vector<ExecItem> fenced = {single(3), single(2), measure, unitary_item(cx)};
    const Operation cz = std::get<Unitary>(controlled_gate({3}, 2, matrices::z()).value()).op;
    const Operation cs = std::get<Unitary>(controlled_gate({3}, 2, matrices::s()).value()).op;
    const std::vector<ExecItem> flips = {single(2), single(3), single(4), unitary_item(cz)};
    const std::vector<ExecItem> phases = {single(2), single(3), single(4), unitary_item(cs)};
    EXPECT_EQ(make_schedule(after, 8, 8).order, (std::vector<std::size_t>{0, 1, 4, 2, 3}));
    EXPECT_EQ(make_schedule(flips, 8, 8).order, (std::vector<std::size_t>{0, 1, 3, 2}));
    EXPECT_TRUE(make_schedule(phases, 8, 8).order.empty());
    EXPECT_EQ(make_schedule(before, 8, 8).order, (std::vector<std::size_t>{1, 0, 2, 3}));
    EXPECT_TRUE(make_schedule(fenced, 8, 8).order.empty());
}

}  // namespace
}  // namespace vantelo::sim
