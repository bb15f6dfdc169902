// The fused kernels' AVX2 form and its 512-bit form (where the CPU has
// AVX-512F) against their scalar reference, bit for bit, on every set of
// target positions of a 10-qubit array (low targets inside a register, high
// ones, mixed) in shuffled order, and for every way of splitting the quads,
// as the pool and the executor's blocks split them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "amplitude_test_util.hpp"
#include "sim/kernels/fused_block.hpp"

namespace vantelo::sim {
namespace {

using testing::bit_identical;
using testing::random_amplitudes;

class FusedBlock : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FusedBlock, VectorFormMatchesScalarOnEveryTargetPattern) {
#if VANTELO_AVX2_KERNELS
    if (!cpu_has_fma()) GTEST_SKIP() << "no AVX2 with FMA on this CPU";
    const std::size_t k = GetParam();
    // Enough quads for the 512-bit form's steps of four at every width.
    constexpr std::uint32_t n = 10;
    std::mt19937 rng(static_cast<std::uint32_t>(k));
    const bool wide = fused_wide_enabled();
    for (std::uint32_t mask = 0; mask < (1u << n); ++mask) {
        if (static_cast<std::size_t>(__builtin_popcount(mask)) != k) continue;
        Operation op;
        for (Qubit q = 0; q < n; ++q)
            if (mask & (1u << q)) op.targets.push_back(q);
        std::shuffle(op.targets.begin(), op.targets.end(), rng);
        op.matrix = random_amplitudes(std::size_t{1} << (2 * k), rng);
        const FusedPlan plan = make_fused_plan(op);
        const std::vector<Amplitude> in = random_amplitudes(std::size_t{1} << n, rng);
        std::vector<Amplitude> want = in;
        fused_groups_scalar(want.data(), plan, 0, want.size() >> k);
        const std::size_t quads = in.size() >> (k + 2);
        const std::size_t cut = rng() % (quads + 1);
        for (const bool form : {false, wide}) {
            set_fused_wide_for_testing(form);
            std::vector<Amplitude> got = in;
            fused_quads_fma(got.data(), plan, n, 0, cut);
            fused_quads_fma(got.data(), plan, n, cut, quads);
            set_fused_wide_for_testing(true);
            ASSERT_TRUE(bit_identical(got, want)) << "targets mask " << mask << ", cut " << cut << ", wide " << form;
        }
    }
#else
    GTEST_SKIP() << "no AVX2 kernels in this build";
#endif
}

// The adjoint method and the executor move qubits to other bit positions;
// the values must not depend on where the targets sit.
TEST_P(FusedBlock, ValuesDoNotDependOnWhereTargetsSit) {
    const std::size_t k = GetParam();
    constexpr std::uint32_t n = 8;
    std::mt19937 rng(static_cast<std::uint32_t>(10 + k));
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<Qubit> moved(n);
        for (Qubit q = 0; q < n; ++q) moved[q] = q;
        std::shuffle(moved.begin(), moved.end(), rng);
        Operation op;
        op.targets.assign(moved.begin(), moved.begin() + k);
        std::shuffle(moved.begin(), moved.end(), rng);
        op.matrix = random_amplitudes(std::size_t{1} << (2 * k), rng);
        Operation there = op;
        for (Qubit& t : there.targets) t = moved[t];
        const std::vector<Amplitude> in = random_amplitudes(std::size_t{1} << n, rng);
        // Index i here is index place(i) there.
        auto place = [&](std::size_t i) {
            std::size_t out = 0;
            for (Qubit q = 0; q < n; ++q) out |= ((i >> q) & 1u) << moved[q];
            return out;
        };
        std::vector<Amplitude> here = in;
        std::vector<Amplitude> away(in.size());
        for (std::size_t i = 0; i < in.size(); ++i) away[place(i)] = in[i];
        apply_fused_block(here.data(), n, make_fused_plan(op));
        apply_fused_block(away.data(), n, make_fused_plan(there));
        std::vector<Amplitude> back(in.size());
        for (std::size_t i = 0; i < in.size(); ++i) back[i] = away[place(i)];
        ASSERT_TRUE(bit_identical(back, here)) << "trial " << trial;
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, FusedBlock, ::testing::Values(2, 3, 4, 5));

}  // namespace
}  // namespace vantelo::sim
