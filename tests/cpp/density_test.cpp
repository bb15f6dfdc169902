#include "sim/density/density_matrix.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "sim/exec/block_size.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/noise/catalog.hpp"

namespace vantelo::sim {
namespace {

using C = std::complex<double>;

Gate gate(Result<Gate> g) {
    EXPECT_TRUE(g.has_value());
    return std::move(g).value();
}

// A random unitary circuit of every executor kind: one-qubit gates, dense
// three-qubit blocks (made of CX products), and controlled gates too wide to
// expand.
std::vector<Gate> random_unitary_circuit(std::uint32_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> angle(-3.0f, 3.0f);
    std::vector<Gate> gates;
    for (int i = 0; i < 40; ++i) {
        std::vector<Qubit> qs(n);
        for (Qubit q = 0; q < n; ++q) qs[q] = q;
        std::shuffle(qs.begin(), qs.end(), rng);
        switch (i % 4) {
        case 0: gates.push_back(gate(single_qubit_gate(qs[0], matrices::u(angle(rng), angle(rng), angle(rng))))); break;
        case 1: gates.push_back(gate(controlled_gate({qs[0]}, qs[1], matrices::ry(angle(rng))))); break;
        case 2: gates.push_back(gate(controlled_gate({qs[0], qs[1], qs[2]}, qs[3], matrices::h()))); break;
        default: gates.push_back(gate(controlled_gate({qs[0], qs[1]}, qs[2], matrices::rx(angle(rng))))); break;
        }
    }
    return gates;
}

// Runs under every pool size (the executor tests' processes): a noiseless
// circuit's density matrix is |ψ⟩⟨ψ| of its state-vector run, which ties the
// row and column halves to the state's convention. Also in blocks of 2^6,
// whose first passes skip the blocks of |0…0⟩⟨0…0| still known zero.
TEST(DensityExecutor, NoiselessCircuitGivesTheOuterProductOfItsState) {
    const std::uint32_t n = 7;
    const Circuit circuit = Circuit::create(random_unitary_circuit(n, 3));
    StateVector psi = StateVector::create(n);
    ASSERT_TRUE(run_circuit(circuit, psi).has_value());
    for (const std::uint32_t b : {0u, 6u}) {
        set_block_qubits_for_testing(b);
        auto rho = density_matrix(circuit, n);
        set_block_qubits_for_testing(0);
        ASSERT_TRUE(rho.has_value());
        ASSERT_EQ(rho->num_qubits, 2 * n);
        double worst = 0.0;
        for (std::size_t r = 0; r < psi.size(); ++r)
            for (std::size_t c = 0; c < psi.size(); ++c) {
                const C want = C(psi.amplitudes[r].re, psi.amplitudes[r].im) *
                               std::conj(C(psi.amplitudes[c].re, psi.amplitudes[c].im));
                const Amplitude got = rho->amplitudes[(r << n) | c];
                worst = std::max(worst, std::abs(C(got.re, got.im) - want));
            }
        EXPECT_LT(worst, 2e-6) << "block width " << b;
    }
}

TEST(Density, ChannelsAveragedOverTheirBranches) {
    // H then amplitude damping γ on |0⟩: ρ = [[1 − (1−γ)/2, √(1−γ)/2], [√(1−γ)/2, (1−γ)/2]].
    const double g = 0.3;
    const Circuit c = Circuit::create({gate(single_qubit_gate(0, matrices::h())),
                                       gate(amplitude_damping_channel(0, g))});
    auto rho = density_matrix(c, 1);
    ASSERT_TRUE(rho.has_value());
    const double off = std::sqrt(1 - g) / 2;
    const double want[4] = {1 - (1 - g) / 2, off, off, (1 - g) / 2};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(rho->amplitudes[i].re, want[i], 1e-7);
        EXPECT_EQ(rho->amplitudes[i].im, 0.0f);
    }
}

TEST(Density, WidthLimitRefusedBeforeAnything) {
    const Circuit c = Circuit::create({Measure{40}});
    auto rho = density_matrix(c, kMaxDensityQubits + 1);
    ASSERT_FALSE(rho.has_value());
    EXPECT_EQ(rho.error().message,
              "a density matrix of 13 qubits is too large: the limit is 12 qubits (4^n entries of 8 bytes)");
}

}  // namespace
}  // namespace vantelo::sim
