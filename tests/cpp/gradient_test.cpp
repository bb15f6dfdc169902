// Gradients: the shared-prefix implementation and the plain path against the
// rule run one rotation at a time through public operations only (1 + 2M
// full runs from |0…0⟩), bit for bit in values, gradients and the context's
// final state; analytic derivatives; messages and check order.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "plan_test_util.hpp"
#include "sim/grad/gradient.hpp"

namespace vantelo::sim {
namespace {

using testing::bit_identical;
using testing::PlanBuilder;
using testing::random_params;
using testing::random_plan;
using testing::same_float;
using testing::same_floats;

struct Reference {
    float value;
    std::vector<float> gradient;
    StateVector final_state;
};

// Each rotation's shifted runs come from a copy of the plan in which that
// rotation alone reads an extra slot, set to its parameter ± s; the terms
// are summed per parameter in plan order, starting at the first term.
Reference per_rotation_rule(const CompiledCircuit& plan, const std::vector<float>& v,
                            const Observable& o) {
    ExecutionContext context = ExecutionContext::create(plan.num_qubits);
    auto run = [&](const CompiledCircuit& c, const std::vector<float>& p) {
        return expectation(*run_statevector_with_context(c, p, context).value(), o).value();
    };
    Reference r{run(plan, v), std::vector<float>(v.size(), 0.0f), {}};
    std::vector<bool> started(v.size(), false);
    for (std::size_t i = 0; i < plan.ops.size(); ++i) {
        const auto* op = std::get_if<ParamOp>(&plan.ops[i]);
        if (!op) continue;
        CompiledCircuit alone = plan;
        std::get<ParamOp>(alone.ops[i]).slot = plan.parameter_count;
        alone.parameter_count = plan.parameter_count + 1;
        std::vector<float> w = v;
        w.push_back(v[op->slot] + 1.5707964f);
        const float plus = run(alone, w);
        w.back() = v[op->slot] + -1.5707964f;
        const float minus = run(alone, w);
        const float term = (plus - minus) * 0.5f;
        r.gradient[op->slot] = started[op->slot] ? r.gradient[op->slot] + term : term;
        started[op->slot] = true;
    }
    r.final_state = std::move(context.state);
    return r;
}

void expect_matches_rule(const CompiledCircuit& plan, const std::vector<float>& params,
                               const Observable& o) {
    const Reference want = per_rotation_rule(plan, params, o);
    // A context of another width and stale contents must not matter.
    ExecutionContext context = ExecutionContext::create(plan.num_qubits + 1);
    context.state.amplitudes[1] = {0.5f, 0.5f};
    const ValueAndGradient got = value_and_gradient_with_context(plan, params, o, context).value();
    EXPECT_TRUE(same_float(got.value, want.value));
    EXPECT_TRUE(same_floats(got.gradient.span(), want.gradient));
    EXPECT_TRUE(bit_identical(context.state.amplitudes.span(), want.final_state.amplitudes.span()));

    // Reusing the context (and the scratch of a batch piece) changes nothing.
    GradientScratch scratch;
    for (int again = 0; again < 2; ++again) {
        float value = 0.0f;
        std::vector<float> g(params.size());
        ASSERT_TRUE(value_and_gradient_into(plan, params, o, context, scratch, value, g));
        EXPECT_TRUE(same_float(value, want.value));
        EXPECT_TRUE(same_floats(g, want.gradient));
        EXPECT_TRUE(
            bit_identical(context.state.amplitudes.span(), want.final_state.amplitudes.span()));
    }

    // The plain path, forced, gives the same bits.
    ExecutionContext plain_context = ExecutionContext::create(plan.num_qubits);
    float plain_value = 0.0f;
    std::vector<float> plain(params.size());
    ASSERT_TRUE(plain_rule_into(plan, params, o, plain_context, scratch, plain_value, plain));
    EXPECT_TRUE(same_float(plain_value, want.value));
    EXPECT_TRUE(same_floats(plain, want.gradient));
    EXPECT_TRUE(
        bit_identical(plain_context.state.amplitudes.span(), want.final_state.amplitudes.span()));

    const ValueAndGradient fresh = value_and_gradient(plan, params, o).value();
    EXPECT_TRUE(same_float(fresh.value, want.value));
    EXPECT_TRUE(same_floats(fresh.gradient.span(), want.gradient));
    EXPECT_TRUE(same_floats(gradient(plan, params, o).value().span(), want.gradient));
}

struct SlotPattern {
    const char* name;
    std::uint32_t num_params;
    std::vector<std::uint32_t> slots;  // the slots rotations draw from
};

void PrintTo(const SlotPattern& p, std::ostream* os) { *os << p.name; }

class GradientSlots : public ::testing::TestWithParam<SlotPattern> {};

TEST_P(GradientSlots, BothPathsMatchPerRotationRuleBitForBit) {
    const SlotPattern& pattern = GetParam();
    std::mt19937 rng(77);
    for (std::uint32_t n : {2u, 3u, 4u}) {
        for (int trial = 0; trial < 3; ++trial) {
            const CompiledCircuit plan = random_plan(n, pattern.num_params, pattern.slots, 40, rng);
            expect_matches_rule(plan, random_params(pattern.num_params, rng),
                                      testing::mixed_observable(n));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, GradientSlots,
    ::testing::Values(SlotPattern{"all_used", 4, {0, 1, 2, 3}},
                      SlotPattern{"last_unused", 3, {0, 1}},
                      SlotPattern{"first_unused", 3, {1, 2}},
                      SlotPattern{"none_used", 2, {}},
                      SlotPattern{"one_shared_slot", 1, {0}},
                      SlotPattern{"many_params", 9, {0, 1, 2, 3, 4, 5, 6, 7, 8}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Gradient, FirstUsesOutOfParameterOrder) {
    // Parameter 2 (the last) is read first and again at the end, parameter 0
    // only at the end, parameter 1 twice in the middle, parameter 3 never.
    PlanBuilder b(3, 4);
    b.h(0).h(1).rot(RotationKind::Ry, 0, 2).cx(0, 1).rot(RotationKind::Rx, 1, 1).h(2);
    b.rot(RotationKind::Rz, 2, 1).cx(1, 2).rot(RotationKind::P, 2, 0).rot(RotationKind::Ry, 1, 2);
    const CompiledCircuit plan = b.compile();
    expect_matches_rule(plan, {0.3f, -1.1f, 2.4f, 0.7f}, testing::mixed_observable(3));

    // The last parameter read first only.
    PlanBuilder c(2, 2);
    c.rot(RotationKind::Rx, 0, 1).cx(0, 1).rot(RotationKind::Ry, 1, 0).h(0);
    expect_matches_rule(c.compile(), {0.9f, -0.4f}, testing::mixed_observable(2));
}

TEST(Gradient, UnusedParameterIsExactlyZeroAndNoParametersIsOneRun) {
    PlanBuilder b(2, 2);
    b.h(0).rot(RotationKind::Ry, 0, 0).cx(0, 1);
    const ValueAndGradient r =
        value_and_gradient(b.compile(), std::vector<float>{0.4f, 1.0f}, testing::z_on(1)).value();
    ASSERT_EQ(r.gradient.size(), 2u);
    EXPECT_EQ(testing::bits(r.gradient[1]), 0u);

    PlanBuilder none(2, 0);
    none.h(0).cx(0, 1);
    const CompiledCircuit plan = none.compile();
    ExecutionContext context = ExecutionContext::create(2);
    const ValueAndGradient z = value_and_gradient_with_context(plan, {}, testing::z_on(0), context).value();
    EXPECT_EQ(z.gradient.size(), 0u);
    EXPECT_TRUE(bit_identical(context.state.amplitudes.span(),
                              run_statevector(plan, {}).value().amplitudes.span()));
}

TEST(Gradient, AnalyticDerivatives) {
    for (float theta : {0.0f, 0.4f, 1.3f, -2.2f, 3.0f}) {
        for (RotationKind kind : {RotationKind::Rx, RotationKind::Ry}) {
            PlanBuilder b(1, 1);
            b.rot(kind, 0, 0);
            const ValueAndGradient r =
                value_and_gradient(b.compile(), std::vector<float>{theta}, testing::z_on(0)).value();
            EXPECT_NEAR(r.value, std::cos(theta), 2e-6);
            EXPECT_NEAR(r.gradient[0], -std::sin(theta), 2e-6);
        }
        PlanBuilder b(1, 1);
        b.h(0).rot(RotationKind::P, 0, 0);
        const ValueAndGradient r = value_and_gradient(b.compile(), std::vector<float>{theta},
                                                      Observable::single(Pauli::X, 0, 1.0f).value())
                                       .value();
        EXPECT_NEAR(r.value, std::cos(theta), 2e-6);
        EXPECT_NEAR(r.gradient[0], -std::sin(theta), 2e-6);
    }
}

TEST(Gradient, PlansWithMeasurementsRunTheFullRule) {
    // After the measurement qubit 1 is |0⟩ or |1⟩, drawn anew in every run,
    // so a run gives ±cos of its angle: the value is ±cos θ and an entry is
    // half a difference of ±sin θ and ±sin θ.
    // Parameter 1 drives no rotation: nothing runs for it, so it is exactly 0.
    PlanBuilder b(2, 2);
    b.h(1).measure(1).h(0).rot(RotationKind::Ry, 1, 0);
    const float theta = 0.6f;
    const CompiledCircuit plan = b.compile();
    for (int i = 0; i < 20; ++i) {
        const ValueAndGradient r =
            value_and_gradient(plan, std::vector<float>{theta, 2.0f}, testing::z_on(1)).value();
        EXPECT_EQ(testing::bits(r.gradient[1]), 0u);
        EXPECT_NEAR(std::fabs(r.value), std::cos(theta), 2e-6);
        const float g = std::fabs(r.gradient[0]);
        EXPECT_TRUE(g < 2e-6f || std::fabs(g - std::sin(theta)) < 2e-6f) << r.gradient[0];
    }
}

TEST(Messages, GradientChecksComeBeforeAnyRun) {
    PlanBuilder b(2, 2);
    b.rot(RotationKind::Rx, 0, 0).rot(RotationKind::Ry, 1, 1);
    const CompiledCircuit plan = b.compile();
    const Observable wide = testing::z_on(2);
    ExecutionContext context = ExecutionContext::create(2);
    context.state.amplitudes[3] = {0.25f, -0.5f};
    const StateVector before = context.state;

    // The length is tested first, even with an out-of-range observable.
    auto length = value_and_gradient_with_context(plan, std::vector<float>{1.0f}, wide, context);
    ASSERT_FALSE(length);
    EXPECT_EQ(length.error().message, "parameter vector has length 1, expected 2");
    auto range = value_and_gradient_with_context(plan, std::vector<float>{1.0f, 2.0f}, wide, context);
    ASSERT_FALSE(range);
    EXPECT_EQ(range.error().message,
              "observable references qubit 2 but state vector only has 2 qubits");
    EXPECT_TRUE(bit_identical(context.state.amplitudes.span(), before.amplitudes.span()));
    EXPECT_FALSE(gradient(plan, std::vector<float>{1.0f, 2.0f, 3.0f}, testing::z_on(0)));
}

TEST(Messages, GradientReportsAFailingStep) {
    CompiledCircuit broken = PlanBuilder(2, 1).rot(RotationKind::Rx, 0, 0).compile();
    broken.ops.push_back(FixedOp{single_qubit_gate(4, matrices::x()).value()});
    auto r = value_and_gradient(broken, std::vector<float>{0.5f}, testing::z_on(0));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, "qubit index 4 is out of range for 2 qubits");
}

}  // namespace
}  // namespace vantelo::sim
