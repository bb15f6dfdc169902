// Compiled execution: rotation matrices, runs against a double-precision
// dense oracle, contexts (reset, width adoption, no leaks between calls) and
// the messages of a run.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "plan_test_util.hpp"
#include "sim/exec/compiled.hpp"

namespace vantelo::sim {
namespace {

using testing::bit_identical;
using testing::bits;
using testing::near_dense;
using testing::PlanBuilder;
using testing::random_params;
using testing::random_plan;

constexpr float kPi = 3.14159265f;

class RotationAngles : public ::testing::TestWithParam<float> {};

// The catalogue's rx, ry, rz and p are built from the same definitions, so
// the two tables must agree entry for entry, down to the sign of zero.
TEST_P(RotationAngles, MatchTheGateCatalogue) {
    const float theta = GetParam();
    const std::pair<RotationKind, Matrix2 (*)(float)> kinds[] = {{RotationKind::Rx, &matrices::rx},
                                                                 {RotationKind::Ry, &matrices::ry},
                                                                 {RotationKind::Rz, &matrices::rz},
                                                                 {RotationKind::P, &matrices::p}};
    for (auto [kind, catalogue] : kinds) {
        const Matrix2 got = rotation_matrix(kind, theta);
        const Matrix2 want = catalogue(theta);
        EXPECT_TRUE(bit_identical(got, want) || (std::isnan(theta)))
            << "kind " << static_cast<int>(kind);
    }
}

INSTANTIATE_TEST_SUITE_P(Angles, RotationAngles,
                         ::testing::Values(0.0f, -0.0f, 0.3f, -1.7f, kPi, 1.5707964f, 100.25f,
                                           -1e6f, INFINITY));

TEST(CompiledRun, RandomPlansMatchDenseOracle) {
    std::mt19937 rng(11);
    for (std::uint32_t n : {2u, 3u, 5u}) {
        for (int trial = 0; trial < 4; ++trial) {
            const CompiledCircuit plan = random_plan(n, 3, {0, 1, 2}, 30, rng);
            const std::vector<float> params = random_params(3, rng);
            const StateVector state = run_statevector(plan, params).value();
            EXPECT_TRUE(near_dense(state, testing::run_dense(plan, params), 2e-5))
                << n << " qubits, trial " << trial;
        }
    }
}

TEST(CompiledRun, SingleRotations) {
    auto one = [](RotationKind kind, float theta, bool flip_first) {
        PlanBuilder b(1, 1);
        if (flip_first) b.x(0);
        b.rot(kind, 0, 0);
        return run_statevector(b.compile(), std::vector<float>{theta}).value();
    };
    auto near = [](const StateVector& s, Amplitude a0, Amplitude a1) {
        EXPECT_NEAR(s.amplitudes[0].re, a0.re, 1e-6);
        EXPECT_NEAR(s.amplitudes[0].im, a0.im, 1e-6);
        EXPECT_NEAR(s.amplitudes[1].re, a1.re, 1e-6);
        EXPECT_NEAR(s.amplitudes[1].im, a1.im, 1e-6);
    };
    near(one(RotationKind::Rx, kPi, false), {0, 0}, {0, -1});
    near(one(RotationKind::Ry, kPi, false), {0, 0}, {1, 0});
    near(one(RotationKind::P, kPi / 2, true), {0, 0}, {0, 1});

    const float theta = 0.8f;
    PlanBuilder b(1, 1);
    b.h(0).rot(RotationKind::Rz, 0, 0);
    const StateVector s = run_statevector(b.compile(), std::vector<float>{theta}).value();
    const float r = 0.70710677f;
    near(s, {r * std::cos(theta / 2), -r * std::sin(theta / 2)},
         {r * std::cos(theta / 2), r * std::sin(theta / 2)});
}

TEST(CompiledRun, NaNParameterGivesNaNStateWithoutError) {
    PlanBuilder b(1, 1);
    b.rot(RotationKind::Ry, 0, 0);
    const StateVector s = run_statevector(b.compile(), std::vector<float>{NAN}).value();
    EXPECT_TRUE(std::isnan(s.amplitudes[0].re));
}

TEST(ExecutionContext, RunsEqualFreshRunsAndAdoptWidths) {
    std::mt19937 rng(5);
    const CompiledCircuit three = random_plan(3, 2, {0, 1}, 20, rng);
    const CompiledCircuit two = random_plan(2, 2, {0, 1}, 20, rng);
    ExecutionContext context = ExecutionContext::create(3);
    for (int round = 0; round < 2; ++round) {
        for (const CompiledCircuit* plan : {&three, &two, &three}) {
            const std::vector<float> params = random_params(2, rng);
            const StateVector fresh = run_statevector(*plan, params).value();
            StateVector* state = run_statevector_with_context(*plan, params, context).value();
            EXPECT_EQ(state, &context.state);
            EXPECT_EQ(context.state.num_qubits, plan->num_qubits);
            EXPECT_TRUE(bit_identical(context.state.amplitudes.span(), fresh.amplitudes.span()));
            // The same call again: nothing of the first run leaks into the second.
            ASSERT_TRUE(run_statevector_with_context(*plan, params, context));
            EXPECT_TRUE(bit_identical(context.state.amplitudes.span(), fresh.amplitudes.span()));
        }
    }
}

TEST(ExecutionContext, ExpectationForms) {
    std::mt19937 rng(9);
    const CompiledCircuit plan = random_plan(3, 2, {0, 1}, 25, rng);
    const std::vector<float> params = random_params(2, rng);
    const Observable o = testing::mixed_observable(3);
    const StateVector fresh = run_statevector(plan, params).value();
    const float want = expectation(fresh, o).value();
    ExecutionContext context = ExecutionContext::create(1);
    EXPECT_EQ(bits(expectation_with_context(plan, params, o, context).value()), bits(want));
    EXPECT_EQ(bits(compiled_expectation(plan, params, o).value()), bits(want));

    // The observable's range is checked after the run, against the plan's width.
    auto wide = expectation_with_context(plan, params, Observable::single(Pauli::Z, 3, 1.0f).value(),
                                         context);
    ASSERT_FALSE(wide);
    EXPECT_EQ(wide.error().message, "observable references qubit 3 but state vector only has 3 qubits");
    EXPECT_TRUE(bit_identical(context.state.amplitudes.span(), fresh.amplitudes.span()));
}

TEST(CompiledRun, MeasurementCollapsesWithBornFrequencies) {
    // Ry(θ) then measure: outcome 1 with probability sin²(θ/2) = 0.25.
    PlanBuilder b(1, 1);
    b.rot(RotationKind::Ry, 0, 0).measure(0);
    const CompiledCircuit plan = b.compile();
    const std::vector<float> params{2.0f * std::asin(0.5f)};
    ExecutionContext context = ExecutionContext::create(1);
    int ones = 0;
    const int runs = 4000;
    for (int i = 0; i < runs; ++i) {
        const StateVector& s = *run_statevector_with_context(plan, params, context).value();
        const bool one = s.amplitudes[1].re != 0.0f;
        EXPECT_EQ(one ? s.amplitudes[0].re : s.amplitudes[1].re, 0.0f);
        ones += one;
    }
    EXPECT_NEAR(static_cast<double>(ones) / runs, 0.25, 0.04);
}

TEST(Messages, CompiledRun) {
    const CompiledCircuit none = PlanBuilder(2, 0).h(0).compile();
    auto bad = run_statevector(none, std::vector<float>{1.0f});
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().message, "parameter vector has length 1, expected 0");
    EXPECT_TRUE(run_statevector(none, {}));

    // A failed call leaves the context at |0…0⟩ and usable.
    ExecutionContext context = ExecutionContext::create(2);
    ASSERT_TRUE(run_statevector_with_context(none, {}, context));
    EXPECT_FALSE(run_statevector_with_context(none, std::vector<float>{1.0f, 2.0f}, context));
    EXPECT_EQ(context.state.amplitudes[0], (Amplitude{1.0f, 0.0f}));
    EXPECT_EQ(context.state.amplitudes[1], (Amplitude{0.0f, 0.0f}));
    EXPECT_TRUE(run_statevector_with_context(none, {}, context));

    StateVector wrong = StateVector::create(3);
    auto width = run_into(none, {}, wrong);
    ASSERT_FALSE(width);
    EXPECT_EQ(width.error().message, "state vector has 3 qubits, compiled circuit expects 2");

    // A failing fixed step ends the run with its own message.
    CompiledCircuit broken = none;
    broken.ops.push_back(FixedOp{single_qubit_gate(5, matrices::x()).value()});
    auto step = run_statevector(broken, {});
    ASSERT_FALSE(step);
    EXPECT_EQ(step.error().message, "qubit index 5 is out of range for 2 qubits");
}

}  // namespace
}  // namespace vantelo::sim
