#include "sim/exec/state_load.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "sim/gates/gate_catalog.hpp"

namespace vantelo::sim {
namespace {

TEST(LoadState, CopiesAmplitudesAndInfersWidth) {
    const std::vector<Amplitude> given{{0.6f, 0.0f}, {0.0f, 0.0f}, {0.0f, 0.8f}, {0.0f, 0.0f}};
    StateVector state = load_state(given).value();
    EXPECT_EQ(state.num_qubits, 2u);
    ASSERT_EQ(state.size(), given.size());
    for (std::size_t i = 0; i < given.size(); ++i) EXPECT_TRUE(state.amplitudes[i] == given[i]);
    EXPECT_NE(state.amplitudes.data(), given.data());
}

TEST(LoadState, RefusesBadLengthsAndNorms) {
    EXPECT_EQ(load_state({}).error().message, "state vector length 0 is not a power of two");
    const std::vector<Amplitude> three(3, Amplitude{0.5f, 0.0f});
    EXPECT_EQ(load_state(three).error().message, "state vector length 3 is not a power of two");
    const std::string norm = "state vector must be normalised: its norm differs from 1 by more than 1e-2";
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const Amplitude first : {Amplitude{1.0102f, 0.0f}, Amplitude{0.9898f, 0.0f}, Amplitude{nan, 0.0f}}) {
        const std::vector<Amplitude> bad{first, {0.0f, 0.0f}};
        EXPECT_EQ(load_state(bad).error().message, norm);
    }
    const std::vector<Amplitude> close{{1.00005f, 0.0f}, {0.0f, 0.0f}};
    EXPECT_TRUE(load_state(close).has_value());
}

// Drift past 1e-4 (long single-precision runs) is divided out in double
// precision; within 1e-4 the copy is exact (checked above).
TEST(LoadState, RescalesADriftedNorm) {
    const std::vector<Amplitude> drifted{{0.6f * 1.003f, 0.0f}, {0.0f, 0.8f * 1.003f}};
    const StateVector state = load_state(drifted).value();
    const double re = drifted[0].re;
    const double im = drifted[1].im;
    const double norm = std::sqrt(re * re + im * im);
    EXPECT_EQ(state.amplitudes[0].re, static_cast<float>(drifted[0].re / norm));
    EXPECT_EQ(state.amplitudes[1].im, static_cast<float>(drifted[1].im / norm));
    EXPECT_EQ(state.amplitudes[1].re, 0.0f);
}

TEST(CheckCircuitWidth, ReportsTheFirstQubitOutOfRangeInItemOrder) {
    const Circuit circuit = Circuit::create({single_qubit_gate(0, matrices::h()).value(), Measure{3},
                                             single_qubit_gate(5, matrices::x()).value()});
    EXPECT_TRUE(check_circuit_width(circuit, 6).has_value());
    EXPECT_EQ(check_circuit_width(circuit, 2).error().message, "qubit index 3 is out of range for 2 qubits");
}

}  // namespace
}  // namespace vantelo::sim
