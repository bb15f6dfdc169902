// The controlled kernel against the dense expansion it replaces (run by the
// dense kernels): equal bit for bit up to the sign of zero, also on states
// holding infinities and NaNs; and the stop check of the gate loops.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "amplitude_test_util.hpp"
#include "sim/exec/circuit.hpp"
#include "sim/gates/gate.hpp"
#include "sim/kernels/controlled.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/state_vector.hpp"
#include "sim/stop.hpp"

namespace vantelo::sim {
namespace {

using testing::bits;
using testing::random_amplitudes;

// Every float either has the same bits (NaNs included) or both are zeros.
::testing::AssertionResult same_up_to_zero_sign(const std::vector<Amplitude>& a,
                                                const std::vector<Amplitude>& b) {
    // A NaN's sign and payload follow whichever operand the compiler put
    // first in a commutative add, so any NaN matches any NaN.
    auto same = [](float x, float y) {
        return bits(x) == bits(y) || (x == 0.0f && y == 0.0f) || (std::isnan(x) && std::isnan(y));
    };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i].re, b[i].re) || !same(a[i].im, b[i].im))
            return ::testing::AssertionFailure() << "amplitude " << i << ": (" << a[i].re << ", "
                                                 << a[i].im << ") vs (" << b[i].re << ", "
                                                 << b[i].im << ")";
    return ::testing::AssertionSuccess();
}

// The dense operation on controls ++ targets: identity but the last block.
Operation expanded(const Operation& op) {
    std::vector<Qubit> qubits = op.controls;
    qubits.insert(qubits.end(), op.targets.begin(), op.targets.end());
    const std::size_t d = std::size_t{1} << qubits.size();
    const std::size_t t = std::size_t{1} << op.targets.size();
    std::vector<Amplitude> m(d * d, Amplitude{0.0f, 0.0f});
    for (std::size_t r = 0; r < d - t; ++r) m[r * d + r] = Amplitude{1.0f, 0.0f};
    for (std::size_t i = 0; i < t; ++i)
        for (std::size_t j = 0; j < t; ++j) m[(d - t + i) * d + (d - t + j)] = op.matrix[i * t + j];
    return Operation{qubits, m};
}

TEST(Controlled, MatchesDenseExpansionUpToZeroSign) {
    std::mt19937 rng(11);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int trial = 0; trial < 240; ++trial) {
        const std::uint32_t n = 4 + trial % 4;
        const std::size_t c = 1 + trial % 3;
        const std::size_t t = 1 + (trial / 3) % 2;
        std::vector<Qubit> order(n);
        std::iota(order.begin(), order.end(), Qubit{0});
        std::shuffle(order.begin(), order.end(), rng);
        const Operation op{{order.begin() + c, order.begin() + c + t},
                           random_amplitudes(std::size_t{1} << (2 * t), rng),
                           {order.begin(), order.begin() + c}};
        std::vector<Amplitude> state = random_amplitudes(std::size_t{1} << n, rng);
        // A third of the trials plant one to three non-finite components.
        for (int bad = 0; bad < (trial % 3 == 0 ? 1 + trial % 4 : 0); ++bad) {
            const float values[] = {inf, -inf, nan};
            float& slot = rng() % 2 ? state[rng() % state.size()].re : state[rng() % state.size()].im;
            slot = values[rng() % 3];
        }
        std::vector<Amplitude> fast = state;
        std::vector<Amplitude> dense = state;
        apply_controlled(fast.data(), n, op);
        apply_general(dense.data(), n, expanded(op));
        ASSERT_TRUE(same_up_to_zero_sign(fast, dense)) << "trial " << trial;
    }
}

TEST(Controlled, WideControlsKeepTheirStructure) {
    std::vector<Qubit> controls(20);
    std::iota(controls.begin(), controls.end(), Qubit{0});
    const Result<Gate> g = make_controlled_unitary_gate(controls, {23}, {Amplitude{0, 0}, Amplitude{1, 0},
                                                                         Amplitude{1, 0}, Amplitude{0, 0}});
    const Operation& op = std::get<Unitary>(g.value()).op;
    EXPECT_EQ(op.matrix.size(), 4u);
    EXPECT_EQ(op.controls, controls);
    // Copies share the matrix.
    const Gate copy = g.value();
    EXPECT_TRUE(std::get<Unitary>(copy).op.matrix.shares_storage_with(op.matrix));
}

bool always_stop() noexcept { return true; }

TEST(Stop, GateLoopsReturnStoppedError) {
    const Circuit circuit = Circuit::create({Gate{Measure{0}}});
    StateVector state = StateVector::create(2);
    set_stop_check(&always_stop);
    StopCallScope scope;
    const auto result = run_circuit(circuit, state);
    set_stop_check(nullptr);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ErrorKind::Stopped);
}

}  // namespace
}  // namespace vantelo::sim
