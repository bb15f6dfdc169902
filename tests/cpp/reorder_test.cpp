// The reordering of fused lists: a permutation that keeps the order of any
// two gates sharing a qubit and of everything around a fence, and that cuts
// the executor's passes on circuits that leave room for it.
#include "sim/exec/reorder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <numeric>
#include <random>

#include "sim/exec/block_size.hpp"
#include "sim/exec/circuit.hpp"

namespace vantelo::sim {
namespace {

constexpr std::uint32_t kQubits = 12;
constexpr std::uint32_t kWidth = 6;

// Every unitary gets storage of its own, so its matrix pointer names it.
Gate random_unitary_gate(std::mt19937& rng, std::size_t count) {
    std::vector<Qubit> qs(kQubits);
    std::iota(qs.begin(), qs.end(), Qubit{0});
    std::shuffle(qs.begin(), qs.end(), rng);
    qs.resize(count);
    const std::size_t dim = std::size_t{1} << count;
    std::vector<Amplitude> identity(dim * dim, Amplitude{0.0f, 0.0f});
    for (std::size_t i = 0; i < dim; ++i) identity[i * dim + i] = Amplitude{1.0f, 0.0f};
    return Unitary{Operation::create(qs, std::move(identity)).value()};
}

std::vector<Gate> random_list(unsigned seed, std::size_t size, bool fences) {
    std::mt19937 rng(seed);
    std::vector<Gate> gates;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned kind = rng() % 20;
        if (fences && kind == 0) gates.push_back(Measure{static_cast<Qubit>(rng() % kQubits)});
        else if (fences && kind == 1) gates.push_back(Barrier{});
        else gates.push_back(random_unitary_gate(rng, 1 + rng() % (kind == 2 ? 7 : 3)));
    }
    return gates;
}

const void* name_of(const Gate& g) {
    const auto* u = std::get_if<Unitary>(&g);
    return u != nullptr ? static_cast<const void*>(u->op.matrix.data()) : nullptr;
}

std::vector<Qubit> qubits_of(const Gate& g) {
    const Operation& op = std::get<Unitary>(g).op;
    std::vector<Qubit> q = op.targets;
    q.insert(q.end(), op.controls.begin(), op.controls.end());
    return q;
}

class ReorderTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(ReorderTest, KeepsTheOrderOfGatesSharingAQubitAndOfFences) {
    const std::vector<Gate> given = random_list(GetParam(), 300, true);
    const std::vector<Gate> out = reorder_for_passes(given, 0, kWidth);
    ASSERT_EQ(out.size(), given.size());
    std::map<const void*, std::size_t> where;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (name_of(out[i]) == nullptr) {
            // A fence keeps its place, so nothing crossed it.
            EXPECT_EQ(out[i].index(), given[i].index()) << "fence moved from " << i;
            continue;
        }
        where[name_of(out[i])] = i;
    }
    const auto fences = std::count_if(given.begin(), given.end(),
                                      [](const Gate& g) { return name_of(g) == nullptr; });
    ASSERT_EQ(where.size() + static_cast<std::size_t>(fences), given.size());
    bool moved = false;
    for (std::size_t i = 0; i < given.size(); ++i) {
        if (name_of(given[i]) == nullptr) continue;
        moved |= where.at(name_of(given[i])) != i;
        for (std::size_t j = i + 1; j < given.size(); ++j) {
            if (name_of(given[j]) == nullptr) continue;
            const std::vector<Qubit> a = qubits_of(given[i]);
            const std::vector<Qubit> b = qubits_of(given[j]);
            const bool shared = std::any_of(a.begin(), a.end(),
                                            [&](Qubit q) { return std::count(b.begin(), b.end(), q) > 0; });
            if (shared) {
                EXPECT_LT(where.at(name_of(given[i])), where.at(name_of(given[j])))
                    << i << " passed " << j;
            }
        }
    }
    EXPECT_TRUE(moved);
}

TEST_P(ReorderTest, CutsPassesAndLeavesRegistersOfOneBlockAlone) {
    const std::vector<Gate> given = random_list(GetParam(), 300, false);
    const std::vector<Gate> out = reorder_for_passes(given, 0, kWidth);
    set_block_qubits_for_testing(kWidth);
    Numerics fused;
    fused.fusion = 2;
    const std::size_t before = circuit_passes(Circuit{given, fused}, kQubits);
    const std::size_t after = circuit_passes(Circuit{out, fused}, kQubits);
    set_block_qubits_for_testing(0);
    EXPECT_LT(after, before);
    const std::vector<Gate> wide = reorder_for_passes(given, 0, kQubits);
    for (std::size_t i = 0; i < given.size(); ++i) EXPECT_EQ(name_of(wide[i]), name_of(given[i]));
}

// Passes planned by trying every active set: each takes the first remaining
// gate, the run qubits and whichever other qubits let the most gates join.
std::size_t best_set_passes(const std::vector<Gate>& gates) {
    std::vector<std::uint64_t> rest;
    for (const Gate& g : gates) rest.push_back(qubit_mask(g));
    std::size_t passes = 0;
    while (!rest.empty()) {
        const std::uint64_t fixed = rest.front() | 0b111u;
        std::vector<std::uint64_t> best_kept;
        std::size_t best = 0;
        for (std::uint64_t set = 0; set < (std::uint64_t{1} << kQubits); ++set) {
            if ((set & fixed) != fixed || std::popcount(set) != static_cast<int>(kWidth)) continue;
            std::uint64_t held = 0;
            std::vector<std::uint64_t> kept;
            for (std::uint64_t m : rest) {
                if ((m & ~set) == 0 && (m & held) == 0) continue;
                held |= m;
                kept.push_back(m);
            }
            if (rest.size() - kept.size() > best) {
                best = rest.size() - kept.size();
                best_kept = kept;
            }
        }
        rest = best_kept;
        ++passes;
    }
    return passes;
}

TEST_P(ReorderTest, PlansPassesNearlyAsFewAsTheBestActiveSets) {
    // Quantum-volume layers: pairs of a random pairing of the qubits.
    std::mt19937 rng(GetParam());
    std::vector<Gate> given;
    std::vector<Qubit> qs(kQubits);
    std::iota(qs.begin(), qs.end(), Qubit{0});
    for (std::uint32_t layer = 0; layer < kQubits; ++layer) {
        std::shuffle(qs.begin(), qs.end(), rng);
        for (std::uint32_t i = 0; i + 1 < kQubits; i += 2) {
            std::vector<Amplitude> identity(16, Amplitude{0.0f, 0.0f});
            for (std::size_t d = 0; d < 4; ++d) identity[d * 5] = Amplitude{1.0f, 0.0f};
            given.push_back(Unitary{Operation::create({qs[i], qs[i + 1]}, std::move(identity)).value()});
        }
    }
    set_block_qubits_for_testing(kWidth);
    Numerics fused;
    fused.fusion = 2;
    const std::size_t planned = circuit_passes(Circuit{reorder_for_passes(given, 0, kWidth), fused}, kQubits);
    set_block_qubits_for_testing(0);
    const std::size_t best = best_set_passes(given);
    EXPECT_LE(planned, best + 1) << "the best active sets take " << best;
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReorderTest, ::testing::Values(1u, 2u, 3u));

}  // namespace
}  // namespace vantelo::sim
