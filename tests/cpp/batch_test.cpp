// Batch evaluation: every row equals the single-vector operation bit for bit
// (with the pool this process has), the shape rules and their order, and
// failing rows reporting their error.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "plan_test_util.hpp"
#include "pool/pool.hpp"
#include "sim/batch/batch.hpp"
#include "sim/grad/gradient.hpp"

namespace vantelo::sim {
namespace {

using testing::PlanBuilder;
using testing::random_params;
using testing::random_plan;
using testing::same_float;
using testing::same_floats;

class BatchRows : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BatchRows, EachRowEqualsTheSingleVectorResult) {
    const std::size_t rows = GetParam();
    std::mt19937 rng(300 + rows);
    const std::uint32_t n = 4, cols = 5;
    // Slot 4 is never read, so its gradient column is exactly zero.
    const CompiledCircuit plan = random_plan(n, cols, {0, 1, 2, 3}, 40, rng);
    const Observable o = testing::mixed_observable(n);
    const std::vector<float> batch = random_params(rows * cols, rng);

    const AlignedArray<float> values = batch_expectation(plan, batch, rows, o).value();
    const BatchValuesAndGradients both = batch_value_and_gradient(plan, batch, rows, o).value();
    ASSERT_EQ(values.size(), rows);
    ASSERT_EQ(both.values.size(), rows);
    ASSERT_EQ(both.gradients.size(), rows * cols);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::span<const float> row(batch.data() + r * cols, cols);
        const float single = compiled_expectation(plan, row, o).value();
        EXPECT_TRUE(same_float(values[r], single)) << "row " << r;
        const ValueAndGradient vg = value_and_gradient(plan, row, o).value();
        EXPECT_TRUE(same_float(both.values[r], vg.value)) << "row " << r;
        EXPECT_TRUE(same_floats(both.gradients.span().subspan(r * cols, cols), vg.gradient.span()))
            << "row " << r;
        EXPECT_EQ(testing::bits(both.gradients[r * cols + 4]), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, BatchRows, ::testing::Values(1u, 2u, 7u, 33u),
                         [](const auto& info) { return std::to_string(info.param) + "_rows"; });

TEST(Batch, ZeroRowsAndZeroParameters) {
    const CompiledCircuit plan = PlanBuilder(2, 2).h(0).rot(RotationKind::Ry, 1, 0).compile();
    const Observable o = testing::z_on(1);
    // Zero rows: empty results, whatever the array holds.
    const std::vector<float> junk{1.0f, 2.0f, 3.0f};
    EXPECT_EQ(batch_expectation(plan, junk, 0, o).value().size(), 0u);
    const BatchValuesAndGradients empty = batch_value_and_gradient(plan, junk, 0, o).value();
    EXPECT_EQ(empty.values.size(), 0u);
    EXPECT_EQ(empty.gradients.size(), 0u);

    // No parameters: one run, copied to every row; the array's length is not examined.
    const CompiledCircuit fixed = PlanBuilder(2, 0).h(0).cx(0, 1).compile();
    const float single = compiled_expectation(fixed, {}, testing::mixed_observable(2)).value();
    const AlignedArray<float> three = batch_expectation(fixed, junk, 3, testing::mixed_observable(2)).value();
    ASSERT_EQ(three.size(), 3u);
    for (float v : three) EXPECT_TRUE(same_float(v, single));
    const BatchValuesAndGradients vg =
        batch_value_and_gradient(fixed, {}, 3, testing::mixed_observable(2)).value();
    ASSERT_EQ(vg.values.size(), 3u);
    EXPECT_EQ(vg.gradients.size(), 0u);
    for (float v : vg.values) EXPECT_TRUE(same_float(v, single));
}

TEST(Messages, BatchShapeAndOrder) {
    const CompiledCircuit plan =
        PlanBuilder(2, 3).rot(RotationKind::Rx, 0, 0).rot(RotationKind::Ry, 1, 2).compile();
    const Observable o = testing::z_on(0);
    const std::vector<float> five(5, 0.1f);
    auto check = [](const auto& result, const char* message) {
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message, message);
    };
    check(batch_expectation(plan, five, 2, o),
          "parameter batch contains 5 values, expected 6 for shape (2, 3)");
    check(batch_value_and_gradient(plan, five, 2, o),
          "parameter batch contains 5 values, expected 6 for shape (2, 3)");

    std::vector<float> wide_params(65536, 0.0f);
    PlanBuilder wide(1, 65536);
    const CompiledCircuit big = wide.compile();
    check(batch_expectation(big, wide_params, 65536, o), "parameter batch is too large");
    check(batch_value_and_gradient(big, wide_params, 65536, o), "parameter batch is too large");

    // The observable is checked first, also for zero rows.
    const Observable outside = testing::z_on(2);
    const char* range = "observable references qubit 2 but state vector only has 2 qubits";
    check(batch_expectation(plan, five, 0, outside), range);
    check(batch_value_and_gradient(plan, five, 0, outside), range);
    check(batch_expectation(plan, five, 2, outside), range);
}

TEST(Messages, FailingRowsReportTheirError) {
    CompiledCircuit broken = PlanBuilder(2, 1).rot(RotationKind::Rx, 0, 0).compile();
    broken.ops.push_back(FixedOp{single_qubit_gate(6, matrices::x()).value()});
    const std::vector<float> batch(40, 0.5f);
    const char* message = "qubit index 6 is out of range for 2 qubits";
    for (int repeat = 0; repeat < 5; ++repeat) {
        auto e = batch_expectation(broken, batch, 40, testing::z_on(0));
        ASSERT_FALSE(e);
        EXPECT_EQ(e.error().message, message);
        auto g = batch_value_and_gradient(broken, batch, 40, testing::z_on(0));
        ASSERT_FALSE(g);
        EXPECT_EQ(g.error().message, message);
    }
}

TEST(Batch, PlansWithMeasurementsRun) {
    const CompiledCircuit plan =
        PlanBuilder(2, 1).h(0).measure(0).rot(RotationKind::Ry, 1, 0).reset(0).compile();
    const std::vector<float> batch{0.1f, 0.2f, 0.3f, 0.4f};
    const BatchValuesAndGradients r = batch_value_and_gradient(plan, batch, 4, testing::z_on(1)).value();
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(r.values[i], std::cos(batch[i]), 2e-6);
}

}  // namespace
}  // namespace vantelo::sim
