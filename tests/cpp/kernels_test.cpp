// The gate kernels against their references: AVX2 against scalar bit for
// bit, the in-place dense path against the plain out-of-place algorithm bit
// for bit, and both paths against a double-precision dense oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "amplitude_test_util.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {
namespace {

using testing::bit_identical;
using testing::random_amplitudes;

// The dense path as plainly stated: every output from the untouched input,
// rows and columns addressed bit by bit, sums from +0 in column order.
std::vector<Amplitude> apply_general_reference(const std::vector<Amplitude>& in,
                                               const Operation& op) {
    const std::size_t k = op.targets.size();
    const std::size_t dim = std::size_t{1} << k;
    std::vector<Amplitude> out(in.size(), Amplitude{0.0f, 0.0f});
    for (std::size_t i = 0; i < in.size(); ++i) {
        std::size_t row = 0;
        for (std::size_t j = 0; j < k; ++j) row |= ((i >> op.targets[j]) & 1u) << (k - 1 - j);
        std::size_t base = i;
        for (Qubit t : op.targets) base &= ~(std::size_t{1} << t);
        Amplitude acc{0.0f, 0.0f};
        for (std::size_t col = 0; col < dim; ++col) {
            std::size_t idx = base;
            for (std::size_t j = 0; j < k; ++j)
                if ((col >> (k - 1 - j)) & 1u) idx |= std::size_t{1} << op.targets[j];
            const Amplitude m = op.matrix[row * dim + col];
            const Amplitude x = in[idx];
            const float re = m.re * x.re - m.im * x.im;
            const float im = m.re * x.im + m.im * x.re;
            acc.re = acc.re + re;
            acc.im = acc.im + im;
        }
        out[i] = acc;
    }
    return out;
}

Matrix2 random_matrix2(std::mt19937& rng) {
    const auto v = random_amplitudes(4, rng);
    return {v[0], v[1], v[2], v[3]};
}

// An operation on k random distinct targets of n qubits, in random order,
// with a random (not necessarily unitary) matrix: the kernels do not care.
Operation random_operation(std::uint32_t n, std::size_t k, std::mt19937& rng) {
    std::vector<Qubit> all(n);
    std::iota(all.begin(), all.end(), 0u);
    std::shuffle(all.begin(), all.end(), rng);
    all.resize(k);
    return Operation{all, random_amplitudes(std::size_t{1} << (2 * k), rng)};
}

#define SKIP_WITHOUT_AVX2() \
    if (!cpu_has_avx2()) GTEST_SKIP() << "this CPU has no AVX2"

// ---- One-qubit path -----------------------------------------------------

class SingleQubitKernel : public ::testing::TestWithParam<std::uint32_t> {};

#if VANTELO_AVX2_KERNELS
TEST_P(SingleQubitKernel, Avx2MatchesScalarBitForBitOnEveryTarget) {
    SKIP_WITHOUT_AVX2();
    const std::uint32_t n = GetParam();
    std::mt19937 rng(1000 + n);
    for (Qubit q = 0; q < n; ++q) {
        for (int trial = 0; trial < 3; ++trial) {
            const Matrix2 m = random_matrix2(rng);
            const auto state = random_amplitudes(std::size_t{1} << n, rng);
            const std::size_t chunks = (std::size_t{1} << n) >> (q + 1);
            auto scalar = state;
            apply_single_qubit_chunks_scalar(scalar.data(), q, m, 0, chunks);
            auto whole = state;
            apply_single_qubit_chunks_avx2(whole.data(), q, m, 0, chunks);
            EXPECT_TRUE(bit_identical(scalar, whole)) << "n=" << n << " q=" << q;
            // A pool piece may start and end at any chunk.
            auto split = state;
            const std::size_t cut = chunks > 1 ? 1 + rng() % (chunks - 1) : 0;
            apply_single_qubit_chunks_avx2(split.data(), q, m, 0, cut);
            apply_single_qubit_chunks_avx2(split.data(), q, m, cut, chunks);
            EXPECT_TRUE(bit_identical(scalar, split)) << "n=" << n << " q=" << q << " cut=" << cut;
        }
    }
}
#endif  // VANTELO_AVX2_KERNELS

TEST_P(SingleQubitKernel, DispatchedPathMatchesScalarAndOracle) {
    const std::uint32_t n = GetParam();
    std::mt19937 rng(2000 + n);
    for (Qubit q = 0; q < n; ++q) {
        const Matrix2 m = random_matrix2(rng);
        const auto state = random_amplitudes(std::size_t{1} << n, rng);
        auto scalar = state;
        apply_single_qubit_chunks_scalar(scalar.data(), q, m, 0, (std::size_t{1} << n) >> (q + 1));
        auto out = state;
        apply_single_qubit(out.data(), n, q, m);
        EXPECT_TRUE(bit_identical(scalar, out)) << "n=" << n << " q=" << q;
        if (n <= 8) {
            const Operation op{{q}, to_vector(m)};
            EXPECT_TRUE(testing::matches_oracle(op, n, state, out, 1e-5)) << "q=" << q;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, SingleQubitKernel, ::testing::Range(1u, 13u));

// ---- Dense path ---------------------------------------------------------

struct DenseCase {
    std::uint32_t n;
    std::size_t k;
};

void PrintTo(const DenseCase& c, std::ostream* os) { *os << "n=" << c.n << " k=" << c.k; }

class DenseKernel : public ::testing::TestWithParam<DenseCase> {};

TEST_P(DenseKernel, InPlaceMatchesOutOfPlaceBitForBit) {
    const auto [n, k] = GetParam();
    std::mt19937 rng(3000 + 64 * n + k);
    for (int trial = 0; trial < 6; ++trial) {
        const Operation op = random_operation(n, k, rng);
        const auto state = random_amplitudes(std::size_t{1} << n, rng);
        const auto expected = apply_general_reference(state, op);
        auto out = state;
        apply_general(out.data(), n, op);
        EXPECT_TRUE(bit_identical(expected, out)) << "dispatched, trial " << trial;

        const GeneralPlan plan = make_general_plan(op);
        const std::size_t groups = std::size_t{1} << (n - k);
        std::vector<Amplitude> scratch(plan.dim);
        auto scalar = state;
        const std::size_t cut = rng() % (groups + 1);
        general_groups_scalar(scalar.data(), plan, 0, cut, scratch.data());
        general_groups_scalar(scalar.data(), plan, cut, groups, scratch.data());
        EXPECT_TRUE(bit_identical(expected, scalar)) << "scalar, trial " << trial;
    }
}

// The AVX2 dense kernel works on blocks of four rows: two targets or more.
class DenseKernelAvx2 : public DenseKernel {};

#if VANTELO_AVX2_KERNELS
TEST_P(DenseKernelAvx2, GroupsAndRowsMatchOutOfPlaceBitForBit) {
    SKIP_WITHOUT_AVX2();
    const auto [n, k] = GetParam();
    std::mt19937 rng(4000 + 64 * n + k);
    for (int trial = 0; trial < 6; ++trial) {
        const Operation op = random_operation(n, k, rng);
        const auto state = random_amplitudes(std::size_t{1} << n, rng);
        const auto expected = apply_general_reference(state, op);
        const GeneralPlan plan = make_general_plan(op);
        const auto packed = pack_matrix_avx2(plan);
        const std::size_t groups = std::size_t{1} << (n - k);
        std::vector<Amplitude> scratch(plan.dim);

        auto by_groups = state;
        const std::size_t cut = rng() % (groups + 1);
        general_groups_avx2(by_groups.data(), plan, packed.data(), 0, cut, scratch.data());
        general_groups_avx2(by_groups.data(), plan, packed.data(), cut, groups, scratch.data());
        EXPECT_TRUE(bit_identical(expected, by_groups)) << "groups, trial " << trial;

        // Rows shared out within each group, as for operations on most of
        // the register, from the group's saved inputs.
        auto by_rows = state;
        std::size_t base = 0;
        for (std::size_t g = 0; g < groups; ++g, base = next_group_base(plan, base)) {
            for (std::size_t c = 0; c < plan.dim; ++c) scratch[c] = by_rows[base + plan.offsets[c]];
            const std::size_t blocks = plan.dim / 4;
            const std::size_t mid = blocks / 2;
            general_row_blocks_avx2(by_rows.data(), plan, packed.data(), base, scratch.data(), mid,
                                    blocks);
            general_row_blocks_avx2(by_rows.data(), plan, packed.data(), base, scratch.data(), 0,
                                    mid);
        }
        EXPECT_TRUE(bit_identical(expected, by_rows)) << "rows, trial " << trial;
    }
}
#endif  // VANTELO_AVX2_KERNELS

TEST_P(DenseKernel, ScalarRowsMatchOutOfPlaceBitForBit) {
    const auto [n, k] = GetParam();
    std::mt19937 rng(5000 + 64 * n + k);
    const Operation op = random_operation(n, k, rng);
    const auto state = random_amplitudes(std::size_t{1} << n, rng);
    const GeneralPlan plan = make_general_plan(op);
    std::vector<Amplitude> saved(plan.dim);
    auto out = state;
    std::size_t base = 0;
    for (std::size_t g = 0; g < (std::size_t{1} << (n - k)); ++g) {
        for (std::size_t c = 0; c < plan.dim; ++c) saved[c] = out[base + plan.offsets[c]];
        general_rows_scalar(out.data(), plan, base, saved.data(), plan.dim / 2, plan.dim);
        general_rows_scalar(out.data(), plan, base, saved.data(), 0, plan.dim / 2);
        base = next_group_base(plan, base);
    }
    EXPECT_TRUE(bit_identical(apply_general_reference(state, op), out));
}

TEST_P(DenseKernel, MatchesDenseOracle) {
    const auto [n, k] = GetParam();
    std::mt19937 rng(6000 + 64 * n + k);
    const Operation op = random_operation(n, k, rng);
    const auto state = random_amplitudes(std::size_t{1} << n, rng);
    auto out = state;
    apply_general(out.data(), n, op);
    EXPECT_TRUE(testing::matches_oracle(op, n, state, out, 1e-5 * (1u << k)));
}

std::vector<DenseCase> dense_cases(std::size_t min_k) {
    std::vector<DenseCase> cases;
    for (std::size_t k = min_k; k <= 5; ++k)
        for (std::uint32_t n = static_cast<std::uint32_t>(k); n <= 10; ++n) cases.push_back({n, k});
    return cases;
}

std::string dense_case_name(const ::testing::TestParamInfo<DenseCase>& info) {
    std::string name = "n";
    name += std::to_string(info.param.n);
    name += "_k";
    name += std::to_string(info.param.k);
    return name;
}

INSTANTIATE_TEST_SUITE_P(TargetCounts, DenseKernel, ::testing::ValuesIn(dense_cases(1)),
                         dense_case_name);
#if VANTELO_AVX2_KERNELS
INSTANTIATE_TEST_SUITE_P(TargetCounts, DenseKernelAvx2, ::testing::ValuesIn(dense_cases(2)),
                         dense_case_name);
#endif  // VANTELO_AVX2_KERNELS

#if VANTELO_AVX2_KERNELS
// Each placement of the targets relative to the two lowest bits takes its
// own register layout in the AVX2 kernel; cover every ordered pair and
// triple, cut into pieces at every group offset modulo four.
TEST(DenseKernel, Avx2EveryTargetPlacementMatchesOutOfPlace) {
    SKIP_WITHOUT_AVX2();
    std::mt19937 rng(7000);
    for (std::size_t k : {2u, 3u}) {
        const std::uint32_t n = k == 2 ? 6 : 5;
        std::vector<Qubit> t(k);
        for (t[0] = 0; t[0] < n; ++t[0])
            for (t[1] = 0; t[1] < n; ++t[1])
                for (Qubit t2 = 0; t2 < (k == 3 ? n : 1); ++t2) {
                    if (k == 3) t[2] = t2;
                    if (find_duplicate(t) != nullptr) continue;
                    const Operation op{t, random_amplitudes(std::size_t{1} << (2 * k), rng)};
                    const auto state = random_amplitudes(std::size_t{1} << n, rng);
                    const auto expected = apply_general_reference(state, op);
                    const GeneralPlan plan = make_general_plan(op);
                    const auto packed = pack_matrix_avx2(plan);
                    const std::size_t groups = std::size_t{1} << (n - k);
                    std::vector<Amplitude> scratch(plan.dim);
                    for (std::size_t cut = 0; cut < 4; ++cut) {
                        auto out = state;
                        general_groups_avx2(out.data(), plan, packed.data(), 0, cut, scratch.data());
                        general_groups_avx2(out.data(), plan, packed.data(), cut, groups,
                                            scratch.data());
                        std::string where = "targets";
                        for (Qubit q : t) {
                            where += ' ';
                            where += std::to_string(q);
                        }
                        EXPECT_TRUE(bit_identical(expected, out)) << where << ", cut " << cut;
                    }
                }
    }
}
#endif  // VANTELO_AVX2_KERNELS

TEST(DenseKernel, GroupBasesSkipTargetBits) {
    const Operation op{{3, 1}, std::vector<Amplitude>(16)};
    const GeneralPlan plan = make_general_plan(op);
    EXPECT_EQ(plan.target_mask, 0b1010u);
    EXPECT_EQ(plan.offsets, (std::vector<std::size_t>{0b0000, 0b0010, 0b1000, 0b1010}));
    std::size_t base = 0;
    for (std::size_t g = 0; g < 16; ++g) {
        EXPECT_EQ(group_base(plan, g), base) << g;
        EXPECT_EQ(base & plan.target_mask, 0u);
        base = next_group_base(plan, base);
    }
    EXPECT_EQ(group_base(plan, 5), 0b10001u);
}

// ---- Filling ------------------------------------------------------------

TEST(FillZeroState, OverwritesEveryAmplitude) {
    for (std::size_t len : {std::size_t{1}, std::size_t{4}, std::size_t{1} << 17}) {
        std::vector<Amplitude> v(len, Amplitude{3.0f, -2.0f});
        fill_zero_state(v.data(), v.size());
        EXPECT_EQ(v[0], (Amplitude{1.0f, 0.0f}));
        for (std::size_t i = 1; i < len; ++i)
            ASSERT_TRUE(testing::bits(v[i].re) == 0 && testing::bits(v[i].im) == 0) << i;
    }
}

}  // namespace
}  // namespace vantelo::sim
