// restore_operation runs the unitarity test on the non-identity block only;
// its verdict must equal Operation::create's full test on every matrix,
// including blocks perturbed around the tolerance and NaN or Inf placed in
// or next to the block.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "sim/gates/gate.hpp"
#include "sim/gates/gate_catalog.hpp"

namespace vantelo::sim {
namespace {

std::vector<Amplitude> random_unitary_2x2(std::mt19937& rng) {
    std::uniform_real_distribution<float> angle(-3.0f, 3.0f);
    return to_vector(matrices::u(angle(rng), angle(rng), angle(rng)));
}

TEST(RestoreOperation, VerdictEqualsFullUnitarityTest) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> controls(1, 4), pick(0, 5);
    const float specials[] = {1.0e-4f, 6.0e-4f, 2.0e-3f, std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity()};
    int refused = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const int c = controls(rng);
        std::vector<Qubit> ctl;
        for (int q = 0; q < c; ++q) ctl.push_back(static_cast<Qubit>(q));
        // The dense form of U controlled by c qubits: the identity but for
        // its last 2 × 2 block.
        const std::vector<Amplitude> u = random_unitary_2x2(rng);
        const std::size_t D = std::size_t{1} << (c + 1);
        std::vector<Amplitude> m(D * D, Amplitude{0.0f, 0.0f});
        for (std::size_t i = 0; i + 2 < D; ++i) m[i * D + i] = Amplitude{1.0f, 0.0f};
        for (std::size_t r = 0; r < 2; ++r)
            for (std::size_t col = 0; col < 2; ++col) m[(D - 2 + r) * D + D - 2 + col] = u[r * 2 + col];
        std::vector<Qubit> targets = ctl;
        targets.push_back(Qubit(c));
        // Perturb one entry: inside the block, on the identity diagonal or off
        // it, or leave the matrix as it is.
        const float delta = specials[trial % 5];
        std::uniform_int_distribution<std::size_t> any(0, D - 1), block(D - 2, D - 1);
        switch (pick(rng)) {
            case 0: m[block(rng) * D + block(rng)].re += delta; break;
            case 1: { const std::size_t i = any(rng); m[i * D + i].im += delta; } break;
            case 2: m[any(rng) * D + block(rng)].re += delta; break;
            case 3: m[block(rng) * D + any(rng)].im = delta; break;
            default: break;
        }
        const bool full = Operation::create(targets, m).has_value();
        const bool restored = restore_operation(targets, m).has_value();
        EXPECT_EQ(full, restored) << "trial " << trial;
        refused += full ? 0 : 1;
    }
    EXPECT_GT(refused, 30);  // the perturbations do reach both verdicts
}

}  // namespace
}  // namespace vantelo::sim
