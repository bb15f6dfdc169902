// The planar kernels against the fused kernels' scalar reference, bit for
// bit, on every set of target positions of a 9- and a 10-qubit block (lane
// targets, high ones, mixed; one tile and several) in shuffled order,
// through the split into planes and the join back.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "amplitude_test_util.hpp"
#include "sim/kernels/fused_planar.hpp"

namespace vantelo::sim {
namespace {

using testing::bit_identical;
using testing::random_amplitudes;

class FusedPlanar : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FusedPlanar, MatchesScalarOnEveryTargetPattern) {
    if (!planar_fused_enabled(4)) GTEST_SKIP() << "no 512-bit fused kernels on this CPU";
    const std::size_t k = GetParam();
    std::mt19937 rng(static_cast<std::uint32_t>(20 + k));
    for (const std::uint32_t b : {9u, 10u}) {
        const std::size_t len = std::size_t{1} << b;
        AlignedArray<float> planes = AlignedArray<float>::uninitialized(2 * len);
        for (std::uint32_t mask = 0; mask < (1u << b); ++mask) {
            if (static_cast<std::size_t>(__builtin_popcount(mask)) != k) continue;
            Operation op;
            for (Qubit q = 0; q < b; ++q)
                if (mask & (1u << q)) op.targets.push_back(q);
            std::shuffle(op.targets.begin(), op.targets.end(), rng);
            op.matrix = random_amplitudes(std::size_t{1} << (2 * k), rng);
            const FusedPlan plan = make_fused_plan(op);
            const std::vector<Amplitude> in = random_amplitudes(len, rng);
            std::vector<Amplitude> want = in;
            fused_groups_scalar(want.data(), plan, 0, len >> k);
            std::vector<Amplitude> got(len);
            split_planes(in.data(), planes.data(), planes.data() + len, len);
            if (!planar_fits(plan, b)) continue;
            apply_fused_planar(planes.data(), planes.data() + len, b, make_planar_plan(plan));
            join_planes(planes.data(), planes.data() + len, got.data(), len);
            ASSERT_TRUE(bit_identical(got, want)) << b << " qubits, targets mask " << mask;
        }
    }
}

// The executor's gathers and scatters: runs of 8, 16 and 64 amplitudes at
// scattered places, split into the planes and joined back.
TEST(FusedPlanarRuns, SplitAndJoinEveryRun) {
    if (!planar_fused_enabled(4)) GTEST_SKIP() << "no 512-bit fused kernels on this CPU";
    std::mt19937 rng(3);
    const std::vector<Amplitude> state = random_amplitudes(std::size_t{1} << 12, rng);
    for (const std::uint32_t run : {3u, 4u, 6u}) {
        // Runs at bits 7, 9 and 11 above a base on bit 8.
        const std::size_t high = (std::size_t{1} << 7) | (std::size_t{1} << 9) | (std::size_t{1} << 11);
        const std::size_t base = std::size_t{1} << 8;
        const std::size_t runs = 8;
        const std::size_t len = runs << run;
        std::vector<float> re(len), im(len);
        split_runs(state.data(), base, high, run, runs, re.data(), im.data());
        std::vector<Amplitude> back(state.size());
        join_runs(re.data(), im.data(), back.data(), base, high, run, runs);
        for (std::size_t r = 0; r < runs; ++r) {
            std::size_t at = base;
            for (std::size_t m = high, bits = r; bits != 0; m &= m - 1, bits >>= 1)
                if (bits & 1u) at |= m & (~m + 1);
            for (std::size_t i = 0; i < (std::size_t{1} << run); ++i) {
                const std::size_t p = (r << run) + i;
                ASSERT_EQ(testing::bits(re[p]), testing::bits(state[at + i].re)) << run << " " << p;
                ASSERT_EQ(testing::bits(im[p]), testing::bits(state[at + i].im)) << run << " " << p;
                ASSERT_EQ(testing::bits(back[at + i].re), testing::bits(state[at + i].re));
                ASSERT_EQ(testing::bits(back[at + i].im), testing::bits(state[at + i].im));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, FusedPlanar, ::testing::Values(2, 3, 4, 5));

}  // namespace
}  // namespace vantelo::sim
