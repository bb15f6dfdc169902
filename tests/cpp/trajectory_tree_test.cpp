#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <random>
#include <tuple>

#include "sim/exec/block_size.hpp"
#include "sim/noise/catalog.hpp"
#include "sim/noise/draws.hpp"
#include "sim/noise/trajectory.hpp"

namespace vantelo::sim {
namespace {

// (damping instead of depolarizing, fusion k or 0, trajectories one at a time)
using Case = std::tuple<bool, unsigned, bool>;

class SharedTrajectories : public ::testing::TestWithParam<Case> {};

Circuit layered_noisy_circuit(std::uint32_t n, int depth, bool damping) {
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> angle(-3.0f, 3.0f);
    const Amplitude one{1.0f, 0.0f}, zero{0.0f, 0.0f};
    Circuit circuit;
    for (int layer = 0; layer < depth; ++layer) {
        for (Qubit q = 0; q < n; ++q)
            circuit.gates.push_back(*single_qubit_gate(
                q, rotation_matrix(layer % 2 ? RotationKind::Rx : RotationKind::Ry, angle(gen))));
        for (Qubit q = layer % 2; q + 1 < n; q += 2)
            circuit.gates.push_back(Unitary{*Operation::create(
                {q, q + 1}, {one, zero, zero, zero, zero, one, zero, zero, zero, zero, zero, one, zero, zero, one, zero})});
        for (Qubit q = 0; q < n; ++q)
            circuit.gates.push_back(damping ? *amplitude_damping_channel(q, 0.02) : *depolarizing_channel(q, 0.02));
    }
    return circuit;
}

// Every trajectory of a shared call against a run of its own, amplitude by
// amplitude (equal up to the sign of zero), from |0…0⟩ and from a caller's
// state, one at a time and side by side (each worker sharing within its
// piece of the runs). Weak noise leaves about half the trajectories without a
// branch (or a draw past a bound), and the others agree with them for a
// while, so both kinds of sharing happen. Blocks of 2^3 amplitudes, so that
// a shared run from |0…0⟩ skips the blocks still known zero, and the runs
// of their own visit them.
TEST_P(SharedTrajectories, EqualRunsOfTheirOwn) {
    const auto [damping, fusion, one_at_a_time] = GetParam();
    const std::uint32_t n = 6;
    const std::uint32_t previous = set_side_by_side_qubits(one_at_a_time ? 0 : n);
    set_block_qubits_for_testing(3);
    const Circuit circuit = layered_noisy_circuit(n, 6, damping);
    StateVector shape;
    shape.num_qubits = n;
    auto items = noisy_items(circuit, shape);
    ASSERT_TRUE(items);
    StateVector initial = StateVector::create(n);
    std::mt19937 gen(11);
    std::normal_distribution<float> normal;
    for (Amplitude& a : initial.amplitudes) a = {normal(gen) * 0.125f, normal(gen) * 0.125f};
    const std::uint64_t seed = 21, first = 5, count = 60;
    for (const StateVector* start : {static_cast<const StateVector*>(nullptr), static_cast<const StateVector*>(&initial)}) {
        std::optional<StretchCache> shared, own;
        if (fusion != 0) shared.emplace(fusion), own.emplace(fusion);
        std::vector<int> seen(count, 0);
        // Side by side, workers call the body at once.
        std::atomic<std::size_t> runs{0};
        PrefixTreeWork work;
        ASSERT_TRUE(for_each_trajectory_run(
            *items, n, seed, first, count, shared ? &*shared : nullptr, start,
            [&](std::span<const std::uint64_t> run, StateVector& state, Rng&) -> Status {
                ++runs;
                for (std::uint64_t t : run) {
                    ++seen[t - first];
                    StateVector alone = StateVector::create(n);
                    if (start != nullptr) std::copy_n(start->amplitudes.data(), start->size(), alone.amplitudes.data());
                    Rng rng = trajectory_rng(seed, t);
                    EXPECT_TRUE(run_trajectory(*items, alone, seed, t, rng, nullptr, own ? &*own : nullptr));
                    std::size_t differ = 0;
                    for (std::size_t i = 0; i < alone.size(); ++i)
                        differ += state.amplitudes[i].re != alone.amplitudes[i].re ||
                                  state.amplitudes[i].im != alone.amplitudes[i].im;
                    EXPECT_EQ(differ, 0u) << "trajectory " << t;
                }
                return {};
            },
            &work));
        EXPECT_EQ(seen, std::vector<int>(count, 1));
        EXPECT_LT(runs.load(), count);
        EXPECT_EQ(work.lists, runs.load());
        // Side by side, how much is shared depends on the pool's pieces.
        if (one_at_a_time) {
            EXPECT_LT(work.applied, work.total * 3 / 4);
        }
    }
    set_side_by_side_qubits(previous);
    set_block_qubits_for_testing(0);
}

INSTANTIATE_TEST_SUITE_P(NoiseAndPaths, SharedTrajectories,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(0u, 3u), ::testing::Bool()));

}  // namespace
}  // namespace vantelo::sim
