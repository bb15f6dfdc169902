#include "sim/exec/circuit.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/gates/fusion.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/measure/measure.hpp"

namespace vantelo::sim {
namespace {

Gate one(Qubit q, const Matrix2& m) {
    return single_qubit_gate(q, m).value();
}
Gate h(Qubit q) {
    return one(q, matrices::h());
}
Gate x(Qubit q) {
    return one(q, matrices::x());
}
Gate cnot(Qubit c, Qubit t) {
    return controlled_gate({c}, t, matrices::x()).value();
}

std::array<std::uint8_t, 32> seed_number(int k) {
    std::array<std::uint8_t, 32> s{};
    s[0] = static_cast<std::uint8_t>(k);
    s[7] = 0xC3;
    return s;
}

bool same_bits(const StateVector& a, const StateVector& b) {
    return a.size() == b.size() &&
           std::memcmp(a.amplitudes.data(), b.amplitudes.data(), a.size() * sizeof(Amplitude)) == 0;
}

bool same_matrix(const Gate& a, const Gate& b) {
    const auto& ma = std::get<Unitary>(a).op.matrix;
    const auto& mb = std::get<Unitary>(b).op.matrix;
    return ma.size() == mb.size() &&
           std::memcmp(ma.data(), mb.data(), ma.size() * sizeof(Amplitude)) == 0;
}

// Fusion starts at 16 one-qubit operations, wherever they stand in the list.
class CircuitThreshold : public ::testing::TestWithParam<int> {};

TEST_P(CircuitThreshold, FifteenStayUnfusedSixteenFuse) {
    const int count = GetParam();
    std::vector<Gate> same_qubit(count, h(0));
    const Circuit c = Circuit::create(same_qubit);
    ASSERT_EQ(c.gates.size(), count > 15 ? 1u : static_cast<std::size_t>(count));
    if (count <= 15) {
        for (const Gate& g : c.gates) EXPECT_TRUE(same_matrix(g, h(0)));
    } else {
        EXPECT_TRUE(same_matrix(c.gates[0], fuse_gates(same_qubit)[0]));
    }

    // The same count spread over three qubits and interleaved with
    // two-qubit gates: only adjacent same-qubit pairs merge.
    std::vector<Gate> spread;
    for (int i = 0; i < count; ++i) {
        spread.push_back(h(static_cast<Qubit>((i / 2) % 3)));
        if (i % 4 == 3) spread.push_back(cnot(0, 2));
    }
    const Circuit d = Circuit::create(spread);
    const std::size_t expected = count > 15 ? spread.size() - count / 2 : spread.size();
    EXPECT_EQ(d.gates.size(), expected);
}

INSTANTIATE_TEST_SUITE_P(Counts, CircuitThreshold, ::testing::Values(1, 14, 15, 16, 17, 30));

TEST(Circuit, MultiQubitGatesDoNotCountTowardTheThreshold) {
    std::vector<Gate> gates = {h(0), h(0)};
    for (int i = 0; i < 20; ++i) gates.push_back(cnot(0, 1));
    for (int i = 0; i < 13; ++i) gates.push_back(Measure{0});
    EXPECT_EQ(Circuit::create(gates).gates.size(), gates.size());
}

TEST(Circuit, RepeatedMeasurementOfOneGivesOneTwice) {
    const Circuit c = Circuit::create({x(0), Measure{0}, Measure{0}});
    for (int trial = 0; trial < 20; ++trial) {
        StateVector state = StateVector::create(1);
        Result<MeasurementRecord> record = run_circuit(c, state);
        ASSERT_TRUE(record.has_value());
        ASSERT_EQ(record->size(), 2u);
        for (const MeasurementOutcome& m : *record) {
            EXPECT_EQ(m.qubit, 0u);
            EXPECT_TRUE(m.outcome);
        }
        EXPECT_EQ(state.amplitudes[1], (Amplitude{1.0f, 0.0f}));
        EXPECT_EQ(state.amplitudes[0], (Amplitude{0.0f, 0.0f}));
    }
}

TEST(Circuit, MeasureThenResetEndsInZero) {
    const Circuit c = Circuit::create({h(0), Measure{0}, Reset{0}});
    bool seen[2] = {false, false};
    for (int trial = 0; trial < 64; ++trial) {
        StateVector state = StateVector::create(1);
        Rng rng(seed_number(trial));
        Result<MeasurementRecord> record = run_circuit(c, state, rng);
        ASSERT_TRUE(record.has_value());
        ASSERT_EQ(record->size(), 1u);
        seen[(*record)[0].outcome] = true;
        EXPECT_EQ(state.amplitudes[0], (Amplitude{1.0f, 0.0f}));
        EXPECT_EQ(state.amplitudes[1], (Amplitude{0.0f, 0.0f}));
    }
    EXPECT_TRUE(seen[0] && seen[1]);
}

TEST(Circuit, OneGeneratorFeedsTheMeasurementsInOrder) {
    // After h each measurement has p1 = 0.49999997 and leaves an exact basis
    // state, so outcome i is decided by the i-th single-precision draw.
    std::vector<Gate> gates;
    for (Qubit q = 0; q < 3; ++q) {
        gates.push_back(h(q));
        gates.push_back(Measure{q});
        gates.push_back(Reset{q});
    }
    const Circuit c = Circuit::create(gates);
    for (int trial = 0; trial < 16; ++trial) {
        StateVector state = StateVector::create(3);
        Rng rng(seed_number(trial));
        Rng copy = rng;
        Result<MeasurementRecord> record = run_circuit(c, state, rng);
        ASSERT_TRUE(record.has_value());
        ASSERT_EQ(record->size(), 3u);
        for (Qubit q = 0; q < 3; ++q) {
            EXPECT_EQ((*record)[q].qubit, q);
            EXPECT_EQ((*record)[q].outcome, copy.next_f32() < 0.49999997f);
            copy.next_u32();  // the reset's measurement
        }
        EXPECT_EQ(rng.next_u32(), copy.next_u32());
    }
}

TEST(Circuit, FailingItemStopsTheRunAfterEarlierEffects) {
    const Circuit c = Circuit::create({x(0), x(3)});
    StateVector state = StateVector::create(2);
    Result<MeasurementRecord> record = run_circuit(c, state);
    ASSERT_FALSE(record.has_value());
    EXPECT_EQ(record.error().message, "qubit index 3 is out of range for 2 qubits");
    EXPECT_EQ(state.amplitudes[1], (Amplitude{1.0f, 0.0f}));
    EXPECT_EQ(state.amplitudes[0], (Amplitude{0.0f, 0.0f}));

    // The same circuit runs on a wide enough register.
    StateVector wide = StateVector::create(4);
    ASSERT_TRUE(run_circuit(c, wide).has_value());
    EXPECT_EQ(wide.amplitudes[9], (Amplitude{1.0f, 0.0f}));
}

TEST(Circuit, FailingMeasurementAndResetReportRangeErrors) {
    for (const Gate& bad : {Gate{Measure{2}}, Gate{Reset{5}}}) {
        const Circuit c = Circuit::create({x(0), Measure{0}, bad, Measure{1}});
        StateVector state = StateVector::create(2);
        Result<MeasurementRecord> record = run_circuit(c, state);
        ASSERT_FALSE(record.has_value());
        const Qubit q = std::holds_alternative<Measure>(bad) ? 2 : 5;
        EXPECT_EQ(record.error().message,
                  "qubit index " + std::to_string(q) + " is out of range for 2 qubits");
    }
}

TEST(Circuit, DuplicateTargetsAreReportedWhenRun) {
    // Built around the checked constructor, as a corrupt item would be.
    std::vector<Amplitude> identity(16, Amplitude{0, 0});
    for (int i = 0; i < 4; ++i) identity[5 * i] = {1, 0};
    const Circuit c = Circuit::create({Gate{Unitary{Operation{{1, 1}, identity}}}});
    StateVector state = StateVector::create(2);
    Result<MeasurementRecord> record = run_circuit(c, state);
    ASSERT_FALSE(record.has_value());
    EXPECT_EQ(record.error().message, "duplicate qubit index: 1");
}

TEST(Circuit, EmptyAndBarrierOnlyCircuitsChangeNothing) {
    for (const Circuit& c : {Circuit::create({}), Circuit::create({Barrier{}})}) {
        StateVector state = StateVector::create(2);
        apply_single_qubit(state.amplitudes.data(), 2, 1, matrices::h());
        const StateVector before = state;
        Result<MeasurementRecord> record = run_circuit(c, state);
        ASSERT_TRUE(record.has_value());
        EXPECT_TRUE(record->empty());
        EXPECT_TRUE(same_bits(state, before));
    }
}

TEST(Circuit, FusedAndUnfusedRunsAgree) {
    // 16 rotations make the circuit fuse; the reference applies them one by
    // one. Rounding differs slightly, the states must not.
    std::vector<Gate> gates;
    for (int i = 0; i < 16; ++i) {
        gates.push_back(one(i % 2, matrices::ry(0.1f * i)));
        gates.push_back(one(i % 2, matrices::rz(0.2f * i)));
        if (i % 5 == 4) gates.push_back(cnot(0, 1));
    }
    const Circuit c = Circuit::create(gates);
    ASSERT_LT(c.gates.size(), gates.size());
    StateVector fused = StateVector::create(2), plain = StateVector::create(2);
    ASSERT_TRUE(run_circuit(c, fused).has_value());
    for (const Gate& g : gates) ASSERT_TRUE(apply_operation(plain, std::get<Unitary>(g).op));
    for (std::size_t i = 0; i < fused.size(); ++i) {
        EXPECT_NEAR(fused.amplitudes[i].re, plain.amplitudes[i].re, 1e-5);
        EXPECT_NEAR(fused.amplitudes[i].im, plain.amplitudes[i].im, 1e-5);
    }
}

TEST(Circuit, SamplesAfterAMeasurementAllAgree) {
    const Circuit c = Circuit::create({h(0), Measure{0}});
    for (int trial = 0; trial < 10; ++trial) {
        StateVector state = StateVector::create(1);
        ASSERT_TRUE(run_circuit(c, state).has_value());
        const std::vector<std::uint64_t> samples = measure(state, 100).value();
        ASSERT_EQ(samples.size(), 100u);
        for (std::uint64_t s : samples) EXPECT_EQ(s, samples[0]);
    }
}

}  // namespace
}  // namespace vantelo::sim
