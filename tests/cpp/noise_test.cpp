#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <complex>
#include <memory>
#include <random>
#include <set>
#include <utility>

#include "sim/density/density_matrix.hpp"
#include "sim/exec/block_size.hpp"
#include "sim/exec/executor.hpp"
#include "sim/exec/reorder.hpp"
#include "sim/noise/catalog.hpp"
#include "sim/noise/draws.hpp"
#include "sim/noise/populations.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/measure/measure.hpp"
#include "sim/noise/trajectory.hpp"
#include "amplitude_test_util.hpp"

namespace vantelo::sim {
namespace {

using C = std::complex<double>;

// The populations of every qubit over pieces of the groups: the reference
// against a sum over the amplitudes in order, and the AVX2 kernel against
// the reference bit for bit (each piece starts at a multiple of four).
TEST(PopulationSums, KernelsAgreeWithTheReference) {
    std::mt19937 rng(17);
    for (std::uint32_t n = 3; n <= 8; ++n) {
        const std::size_t groups = std::size_t{1} << (n - 1);
        std::vector<Amplitude> psi = testing::random_amplitudes(std::size_t{1} << n, rng);
        psi[3] = {0.0f, -0.0f};
        psi[5] = {3e30f, -1e-30f};
        for (Qubit q = 0; q < n; ++q)
            for (std::size_t first = 0; first < groups; first += 4)
                for (std::size_t last : {first + 4, groups}) {
                    if (last > groups) continue;
                    double zero = 0.0, one = 0.0;
                    for (std::size_t i = 0; i < psi.size(); ++i) {
                        const std::size_t r = ((i >> (q + 1)) << q) | (i & ((std::size_t{1} << q) - 1));
                        if (r < first || r >= last) continue;
                        const double p = double(psi[i].re) * psi[i].re + double(psi[i].im) * psi[i].im;
                        ((i >> q) & 1u ? one : zero) += p;
                    }
                    const std::array<double, 2> reference = population_sums_scalar(psi.data(), q, first, last);
                    ASSERT_NEAR(reference[0], zero, 1e-13 * (1.0 + std::abs(zero))) << n << " " << q;
                    ASSERT_NEAR(reference[1], one, 1e-13 * (1.0 + std::abs(one))) << n << " " << q;
                    const std::array<double, 2> fast = population_sums(psi.data(), q, first, last);
                    ASSERT_EQ(std::memcmp(fast.data(), reference.data(), sizeof fast), 0)
                        << n << " qubits, qubit " << q << ", groups " << first << "-" << last;
                }
    }
}

TEST(NoiseDraws, DependOnlyOnSeedTrajectoryAndPosition) {
    TrajectoryDraws a(5, 9), b(5, 9), c(5, 10), d(6, 9);
    std::set<double> seen;
    for (int i = 0; i < 64; ++i) {
        const double x = a.next();
        EXPECT_EQ(x, b.next());
        EXPECT_NE(x, c.next());
        EXPECT_NE(x, d.next());
        EXPECT_GE(x, 0.0);
        EXPECT_LT(x, 1.0);
        seen.insert(x);
    }
    EXPECT_EQ(seen.size(), 64u);
}

// A random normalised state on n qubits.
StateVector random_state(std::uint32_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal;
    StateVector s = StateVector::create(n);
    double norm = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        s.amplitudes[i] = {normal(gen), normal(gen)};
        norm += std::norm(C(s.amplitudes[i].re, s.amplitudes[i].im));
    }
    for (std::size_t i = 0; i < s.size(); ++i) {
        s.amplitudes[i].re = static_cast<float>(s.amplitudes[i].re / std::sqrt(norm));
        s.amplitudes[i].im = static_cast<float>(s.amplitudes[i].im / std::sqrt(norm));
    }
    return s;
}

// K (2×2) on qubit q of psi, normalised, in double.
std::vector<C> kraus_image(const StateVector& psi, Qubit q, const std::vector<Amplitude>& k) {
    std::vector<C> out(psi.size());
    const std::size_t bit = std::size_t{1} << q;
    double norm = 0.0;
    for (std::size_t i = 0; i < psi.size(); ++i) {
        const std::size_t i0 = i & ~bit, i1 = i | bit;
        const std::size_t row = (i & bit) ? 1 : 0;
        const C a0(psi.amplitudes[i0].re, psi.amplitudes[i0].im), a1(psi.amplitudes[i1].re, psi.amplitudes[i1].im);
        out[i] = C(k[2 * row].re, k[2 * row].im) * a0 + C(k[2 * row + 1].re, k[2 * row + 1].im) * a1;
        norm += std::norm(out[i]);
    }
    for (C& v : out) v /= std::sqrt(norm);
    return out;
}

// Every trajectory of a general channel leaves one of the normalised Kraus
// images, whether its draw fell below the branch bounds or needed the norm,
// and the branches come with their Born frequencies. One qubit alone puts
// its populations' sum in no lane of four but the remainder.
TEST(NoiseTrajectory, GeneralBranchesAreNormalisedKrausImages) {
    const double gamma = 0.6, p = 0.3;
    for (const auto& [n, q] : {std::pair<std::uint32_t, Qubit>{3, 1}, {1, 0}}) {
        SCOPED_TRACE(n);
        auto gate = generalized_amplitude_damping_channel(q, gamma, p);
        ASSERT_TRUE(gate);
        const Channel& channel = *std::get<Noise>(*gate).channel;
        const StateVector start = random_state(n, 4);
        std::vector<std::vector<C>> images;
        std::vector<double> born;
        for (const auto& k : kraus_operators(channel)) {
            images.push_back(kraus_image(start, q, k));
            double s = 0.0;
            const std::size_t bit = std::size_t{1} << q;
            for (std::size_t i = 0; i < start.size(); ++i) {
                const std::size_t row = (i & bit) ? 1 : 0;
                const C a0(start.amplitudes[i & ~bit].re, start.amplitudes[i & ~bit].im);
                const C a1(start.amplitudes[i | bit].re, start.amplitudes[i | bit].im);
                s += std::norm(C(k[2 * row].re, k[2 * row].im) * a0 + C(k[2 * row + 1].re, k[2 * row + 1].im) * a1);
            }
            born.push_back(s);
        }
        NoisyItem item;
        item.channel = &channel;
        const int runs = 4000;
        std::vector<int> counts(images.size(), 0);
        for (int t = 0; t < runs; ++t) {
            StateVector s = start;
            Rng rng = trajectory_rng(1, t);
            ASSERT_TRUE(run_trajectory({&item, 1}, s, 1, t, rng, nullptr));
            int match = -1;
            for (std::size_t b = 0; b < images.size() && match < 0; ++b) {
                double dist = 0.0;
                for (std::size_t i = 0; i < s.size(); ++i)
                    dist = std::max(dist, std::abs(C(s.amplitudes[i].re, s.amplitudes[i].im) - images[b][i]));
                if (dist < 1e-5) match = static_cast<int>(b);
            }
            ASSERT_GE(match, 0) << "trajectory " << t;
            ++counts[match];
        }
        for (std::size_t b = 0; b < images.size(); ++b) {
            const double sigma = std::sqrt(born[b] * (1 - born[b]) / runs);
            EXPECT_NEAR(counts[b] / double(runs), born[b], 5 * sigma + 1e-9) << "branch " << b;
        }
    }
}

// Full damping (or a reset) zeroes half of every trajectory's state. The kernels agree
// with each other only up to the sign of zero (a light kernel leaves out the
// zero entries' products), so the AVX2 and portable kernels give the same
// trajectory bits only if the runner returns every zero as +0.
TEST(NoiseTrajectory, ZerosLeftByABranchOrResetArePositive) {
    for (std::uint32_t n : {3u, 5u})
        for (Qubit q = 0; q < n; ++q) {
            auto damping = generalized_amplitude_damping_channel(q, 1.0, 0.0);
            ASSERT_TRUE(damping);
            NoisyItem item;
            item.channel = std::get<Noise>(*damping).channel.get();
            for (int t = 0; t < 4; ++t) {
                StateVector s = random_state(n, 10 + q);
                Rng rng = trajectory_rng(2, t);
                ASSERT_TRUE(run_trajectory({&item, 1}, s, 2, t, rng, nullptr));
                std::size_t zeros = 0;
                for (std::size_t i = 0; i < s.size(); ++i)
                    for (float v : {s.amplitudes[i].re, s.amplitudes[i].im})
                        if (v == 0.0f) {
                            ++zeros;
                            EXPECT_FALSE(std::signbit(v)) << "n " << n << " q " << q << " index " << i;
                        }
                EXPECT_EQ(zeros, s.size()) << "n " << n << " q " << q;
            }
        }
    // A reset, then z (which makes −0 of the zeros), and no channel after.
    NoisyItem items[2];
    items[0].item.kind = ExecItem::Kind::Reset;
    items[0].item.qubit = 1;
    items[1].item.qubit = 1;
    items[1].item.matrix = {Amplitude{1.0f, 0.0f}, Amplitude{0.0f, 0.0f}, Amplitude{0.0f, 0.0f},
                            Amplitude{-1.0f, 0.0f}};
    StateVector s = random_state(4, 3);
    Rng rng = trajectory_rng(3, 0);
    ASSERT_TRUE(run_trajectory(items, s, 3, 0, rng, nullptr));
    for (std::size_t i = 2; i < s.size(); i += (i & 1u) != 0 ? 3 : 1) {
        EXPECT_EQ(s.amplitudes[i].re, 0.0f) << i;
        EXPECT_FALSE(std::signbit(s.amplitudes[i].re) || std::signbit(s.amplitudes[i].im)) << i;
    }
}

// Shots of general channels share a run when all their draws stayed below
// the bounds; each must still get what a run of its own gives it: trajectory
// s from |0…0⟩, then one sample with a fresh trajectory_rng(seed, s).
TEST(NoiseTrajectory, SharedRunsSampleAsOneRunPerShot) {
    const std::uint32_t n = 3;
    Circuit circuit;
    for (Qubit q = 0; q < n; ++q) {
        auto ry = single_qubit_gate(q, rotation_matrix(RotationKind::Ry, 0.4f + 0.3f * static_cast<float>(q)));
        ASSERT_TRUE(ry);
        circuit.gates.push_back(*ry);
    }
    for (auto channel : {amplitude_damping_channel(0, 0.05), bit_flip_channel(1, 0.1),
                         thermal_relaxation_channel(2, 50.0, 40.0, 2.0, 0.0),
                         generalized_amplitude_damping_channel(1, 0.04, 0.3)}) {
        ASSERT_TRUE(channel);
        circuit.gates.push_back(*channel);
    }
    const std::uint64_t shots = 3000, seed = 17;
    auto grouped = sample_trajectories(circuit, n, shots, seed);
    ASSERT_TRUE(grouped);
    StateVector shape;
    shape.num_qubits = n;
    auto items = noisy_items(circuit, shape);
    ASSERT_TRUE(items);
    std::set<std::uint64_t> outcomes;
    for (std::uint64_t s = 0; s < shots; ++s) {
        StateVector state = StateVector::create(n);
        Rng rng = trajectory_rng(seed, s);
        ASSERT_TRUE(run_trajectory(*items, state, seed, s, rng, nullptr));
        auto one = measure(state, 1, rng);
        ASSERT_TRUE(one);
        ASSERT_EQ((*grouped)[s], (*one)[0]) << "shot " << s;
        outcomes.insert((*one)[0]);
    }
    EXPECT_EQ(outcomes.size(), std::size_t{1} << n);
}

}  // namespace
}  // namespace vantelo::sim

namespace vantelo::sim {
namespace {

// Layers of rotations and a brick of CNOTs, each followed (with `noisy`) by
// a channel on every qubit: damping, depolarizing, two-qubit depolarizing.
Circuit noisy_layers(std::uint32_t n, int layers, bool noisy) {
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> angle(-3.0f, 3.0f);
    const Amplitude one{1.0f, 0.0f}, zero{0.0f, 0.0f};
    Circuit circuit;
    for (int layer = 0; layer < layers; ++layer) {
        const RotationKind kind = layer % 2 ? RotationKind::Rx : RotationKind::Ry;
        for (Qubit q = 0; q < n; ++q)
            circuit.gates.push_back(*single_qubit_gate(q, rotation_matrix(kind, angle(gen))));
        for (Qubit q = layer % 2; q + 1 < n; q += 2)
            circuit.gates.push_back(Unitary{*Operation::create(
                {q, q + 1}, {one, zero, zero, zero, zero, one, zero, zero,  //
                             zero, zero, zero, one, zero, zero, one, zero})});
        for (Qubit q = 0; noisy && q < n; ++q)
            circuit.gates.push_back(*(q % 3 == 0   ? amplitude_damping_channel(q, 0.2)
                                      : q % 3 == 1 ? depolarizing_channel(q, 0.3)
                                                   : depolarizing2_channel(q, (q + 2) % n, 0.2)));
    }
    return circuit;
}

struct FusedCase {
    std::uint32_t n;
    int layers;
    std::uint64_t trajectories;
    std::vector<unsigned> fusion;
};

// Fused trajectories (fusion=k) against exact ones, trajectory by
// trajectory: the same draws and branches, so the states agree to rounding.
// (Above kReorderQubits a draw past the bounds reads the state in pass
// order and may take another branch; at this seed none does.)
// Strong noise draws many non-identity branches and damping draws past the
// bounds, so stretches are cut by norms and fused in windows, and one-qubit
// branches are merged into their neighbours; above kReorderQubits each
// schedule is reordered too. A plan from a shared cache gives the bits of
// one made afresh.
class FusedTrajectories : public ::testing::TestWithParam<FusedCase> {};

TEST_P(FusedTrajectories, AgreeWithExactOnesToRounding) {
    const FusedCase& c = GetParam();
    const Circuit circuit = noisy_layers(c.n, c.layers, true);
    StateVector shape;
    shape.num_qubits = c.n;
    auto items = noisy_items(circuit, shape);
    ASSERT_TRUE(items);
    ASSERT_GT(items->size(), stretch_window(c.n));
    std::vector<std::unique_ptr<StretchCache>> shared;
    for (unsigned k : c.fusion) shared.push_back(std::make_unique<StretchCache>(k, c.n));
    for (std::uint64_t t = 0; t < c.trajectories; ++t) {
        StateVector exact = StateVector::create(c.n);
        Rng a = trajectory_rng(9, t);
        ASSERT_TRUE(run_trajectory(*items, exact, 9, t, a, nullptr));
        for (const std::unique_ptr<StretchCache>& cache : shared) {
            const unsigned k = cache->max_qubits();
            StateVector fused = StateVector::create(c.n), fresh = StateVector::create(c.n);
            Rng b = trajectory_rng(9, t), d = trajectory_rng(9, t);
            StretchCache own(k, c.n);
            ASSERT_TRUE(run_trajectory(*items, fused, 9, t, b, nullptr, cache.get()));
            ASSERT_TRUE(run_trajectory(*items, fresh, 9, t, d, nullptr, &own));
            for (std::size_t i = 0; i < exact.size(); ++i) {
                ASSERT_NEAR(fused.amplitudes[i].re, exact.amplitudes[i].re, 2e-5) << "k " << k << " t " << t;
                ASSERT_NEAR(fused.amplitudes[i].im, exact.amplitudes[i].im, 2e-5) << "k " << k << " t " << t;
            }
            ASSERT_EQ(0, std::memcmp(fused.amplitudes.data(), fresh.amplitudes.data(),
                                     fused.size() * sizeof(Amplitude)));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, FusedTrajectories,
                         ::testing::Values(FusedCase{6, 8, 40, {2, 3, 5}},
                                           FusedCase{kReorderQubits + 2, 6, 2, {2, 5}}),
                         [](const ::testing::TestParamInfo<FusedCase>& info) {
                             return "qubits" + std::to_string(info.param.n);
                         });

// Above kReorderQubits a fused trajectory runs its schedule in pass order: a
// stretch without branches gives the bits of its plan reordered, and the
// order makes fewer passes than the plan as fused.
TEST(FusedTrajectoryOrder, RunsTheStretchInPassOrder) {
    const std::uint32_t n = kReorderQubits + 1;
    const Circuit circuit = noisy_layers(n, 6, false);
    StateVector shape;
    shape.num_qubits = n;
    auto items = noisy_items(circuit, shape);
    ASSERT_TRUE(items);
    std::vector<const Operation*> ops;
    for (const NoisyItem& item : *items) ops.push_back(item.source);
    const FusedStretch plan = fuse_stretch(ops, std::vector<std::uint8_t>(ops.size(), 0), 3);
    std::vector<ExecItem> ordered = plan.items;
    order_for_passes(ordered, {}, n);
    set_block_qubits_for_testing(kReorderQubits);
    const std::size_t before = planned_passes(plan.items, n), after = planned_passes(ordered, n);
    set_block_qubits_for_testing(0);
    EXPECT_LT(after, before);
    StateVector want = StateVector::create(n), got = StateVector::create(n);
    ASSERT_TRUE(run_items(ordered, want, nullptr, nullptr));
    StretchCache cache(3, n);
    Rng rng = trajectory_rng(1, 0);
    ASSERT_TRUE(run_trajectory(*items, got, 1, 0, rng, nullptr, &cache));
    EXPECT_EQ(0, std::memcmp(got.amplitudes.data(), want.amplitudes.data(),
                             got.size() * sizeof(Amplitude)));
}

// A fused schedule in passes takes each draw past the bounds on the state
// its earlier items in pass order leave, not in the circuit's order: for a
// given seed some trajectories draw other branches than exact ones, but the
// branches keep their joint distribution. Narrow blocks make a small
// register run (and be ordered) in passes; every ⟨Z_q⟩ over the
// trajectories stays within four standard errors of the density matrix's.
TEST(FusedTrajectoryOrder, DrawsInPassOrderKeepTheDistribution) {
    const std::uint32_t n = 8;
    const std::uint64_t count = 3000;
    const Circuit circuit = noisy_layers(n, 4, true);
    StateVector shape;
    shape.num_qubits = n;
    auto items = noisy_items(circuit, shape);
    ASSERT_TRUE(items);
    auto rho = density_matrix(circuit, n);
    ASSERT_TRUE(rho);
    std::vector<double> want(n, 0.0), sum(n, 0.0), squares(n, 0.0);
    for (std::size_t x = 0; x < (std::size_t{1} << n); ++x)
        for (Qubit q = 0; q < n; ++q)
            want[q] += ((x >> q) & 1 ? -1.0 : 1.0) * rho->amplitudes[(x << n) | x].re;
    set_block_qubits_for_testing(4);
    StretchCache cache(2, n, 4);
    std::size_t differ = 0;
    for (std::uint64_t t = 0; t < count; ++t) {
        StateVector fused = StateVector::create(n), exact = StateVector::create(n);
        Rng a = trajectory_rng(5, t), b = trajectory_rng(5, t);
        ASSERT_TRUE(run_trajectory(*items, fused, 5, t, a, nullptr, &cache));
        ASSERT_TRUE(run_trajectory(*items, exact, 5, t, b, nullptr));
        double gap = 0.0;
        for (std::size_t x = 0; x < fused.size(); ++x)
            gap = std::max(gap, std::abs(C(fused.amplitudes[x].re, fused.amplitudes[x].im) -
                                         C(exact.amplitudes[x].re, exact.amplitudes[x].im)));
        differ += gap > 1e-3;
        for (Qubit q = 0; q < n; ++q) {
            double z = 0.0;
            for (std::size_t x = 0; x < fused.size(); ++x)
                z += ((x >> q) & 1 ? -1.0 : 1.0) * std::norm(C(fused.amplitudes[x].re, fused.amplitudes[x].im));
            sum[q] += z;
            squares[q] += z * z;
        }
    }
    set_block_qubits_for_testing(0);
    EXPECT_GT(differ, 0u);
    for (Qubit q = 0; q < n; ++q) {
        const double mean = sum[q] / count;
        const double error = std::sqrt((squares[q] / count - mean * mean) / (count - 1));
        EXPECT_NEAR(mean, want[q], 4 * error + 1e-6) << "qubit " << q;
    }
}

}  // namespace
}  // namespace vantelo::sim

namespace vantelo::sim {
namespace {

// A classically controlled gate against the same circuit with the gate kept
// or dropped as the trajectory's own record says: the condition reads the
// outcomes measured before it, draws no number, and both forms draw the same
// branches and outcomes, so records match exactly and states to rounding.
// Conditions of two groups (an or inside each, tests for 1 and for 0) and
// gates that follow mixed channels, damping past its bounds and fused
// stretches are covered.
// Every group needs one passing test; a test passes when its outcome has
// the value it names (1 for a bare index).
TEST(ConditionalTrajectories, TestsReadOutcomesForOneAndForZero) {
    const GateCondition c{0, {{OutcomeIs{0, false}, 2}, {1}}};
    for (unsigned bits = 0; bits < 8; ++bits) {
        const std::vector<bool> outcomes = {(bits & 1u) != 0, (bits & 2u) != 0, (bits & 4u) != 0};
        EXPECT_EQ(condition_holds(c, outcomes), (!outcomes[0] || outcomes[2]) && outcomes[1]) << bits;
    }
}

TEST(ConditionalTrajectories, AgreeWithTheRecordedChoice) {
    const std::uint32_t n = 3;
    auto ry = [](Qubit q, float t) { return *single_qubit_gate(q, rotation_matrix(RotationKind::Ry, t)); };
    const Matrix2 x{Amplitude{0, 0}, Amplitude{1, 0}, Amplitude{1, 0}, Amplitude{0, 0}};
    std::vector<Gate> gates = {ry(0, 1.1f), ry(1, 0.7f), *bit_flip_channel(0, 0.2), Measure{0},
                               *amplitude_damping_channel(1, 0.4), Measure{1}, *single_qubit_gate(2, x),
                               *controlled_gate({2}, 0, x), *depolarizing_channel(2, 0.3), ry(2, 0.5f),
                               Measure{2}, *single_qubit_gate(1, x)};
    const std::vector<GateCondition> conditions = {
        {6, {{0}}}, {7, {{0, 1}, {OutcomeIs{1, false}}}}, {11, {{2}, {OutcomeIs{0, false}, 1}}}};
    for (std::uint8_t fusion : {std::uint8_t{0}, std::uint8_t{3}}) {
        const Circuit circuit = Circuit::create(gates, Numerics{.fusion = fusion});
        std::set<std::pair<std::size_t, bool>> seen;  // (condition, held)
        for (std::uint64_t t = 0; t < 60; ++t) {
            StateVector state = StateVector::create(n);
            auto record = run_circuit_trajectory(circuit, state, 5, t, conditions);
            ASSERT_TRUE(record);
            std::vector<bool> bits;
            for (const auto& m : *record) bits.push_back(m.outcome);
            for (std::size_t c = 0; c < conditions.size(); ++c) seen.insert({c, condition_holds(conditions[c], bits)});
            std::vector<Gate> chosen;
            for (std::size_t g = 0; g < gates.size(); ++g) {
                const auto c = std::find_if(conditions.begin(), conditions.end(),
                                            [&](const GateCondition& c) { return c.gate == g; });
                if (c == conditions.end() || condition_holds(*c, bits)) chosen.push_back(gates[g]);
            }
            StateVector plain = StateVector::create(n);
            auto expected = run_circuit_trajectory(Circuit::create(chosen, Numerics{.fusion = fusion}), plain, 5, t);
            ASSERT_TRUE(expected);
            ASSERT_EQ(record->size(), expected->size());
            for (std::size_t k = 0; k < record->size(); ++k) ASSERT_EQ((*record)[k].outcome, (*expected)[k].outcome);
            for (std::size_t i = 0; i < state.size(); ++i) {
                ASSERT_NEAR(state.amplitudes[i].re, plain.amplitudes[i].re, 1e-6) << "t " << t;
                ASSERT_NEAR(state.amplitudes[i].im, plain.amplitudes[i].im, 1e-6) << "t " << t;
            }
        }
        EXPECT_EQ(seen.size(), 2 * conditions.size()) << "fusion " << int{fusion};
    }
}

}  // namespace
}  // namespace vantelo::sim
