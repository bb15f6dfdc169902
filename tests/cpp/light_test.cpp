// The light kernels against the dense sums they stand in for: equal up to the
// sign of zero on finite inputs (large ones included), and the bound check
// that guards them against the scalar reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "amplitude_test_util.hpp"
#include "sim/gates/gate.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/kernels/block_kernel.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/kernels/light.hpp"

namespace vantelo::sim {
namespace {

using testing::equal_up_to_zero_sign;

// Random finite components, now and then ±0 or as large as the bound allows.
[[maybe_unused]] std::vector<Amplitude> finite_state(std::size_t len, std::mt19937& rng) {
    std::vector<Amplitude> v = testing::random_amplitudes(len, rng);
    for (Amplitude& a : v)
        if (rng() % 8 == 0) a.re *= 4294967296.0f;
    return v;
}

// Entries with zeros of both signs in the places a pattern drops.
[[maybe_unused]] Matrix2 signed_zeros(Matrix2 m, std::mt19937& rng) {
    for (Amplitude& e : m) {
        if (e.re == 0.0f) e.re = rng() % 2 ? 0.0f : -0.0f;
        if (e.im == 0.0f) e.im = rng() % 2 ? 0.0f : -0.0f;
    }
    return m;
}

#if VANTELO_AVX2_KERNELS
TEST(LightKernel, OneQubitPatternsMatchDenseSums) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(11);
    const Matrix2 gates[] = {matrices::rx(0.7f), matrices::ry(-2.1f), matrices::rz(1.3f), matrices::h(),
                             matrices::p(0.4f),  matrices::s(),       matrices::t(),      matrices::x(),
                             matrices::y(),      matrices::z(),       matrices::sdg(),    matrices::i(),
                             Matrix2{Amplitude{0, 0}, Amplitude{0, 0}, Amplitude{0, 0}, Amplitude{2, 0}}};
    for (const Matrix2& named : gates) {
        const Matrix2 m = signed_zeros(named, rng);
        const LightPattern pattern = light_pattern(m);
        ASSERT_NE(pattern, LightPattern::None);
        // Eight amplitudes: the shortest array, below the loops' unrolled steps.
        for (std::size_t len : {std::size_t{8}, std::size_t{128}}) {
            for (Qubit q : {0u, 1u, 2u, 3u, 6u}) {
                if ((std::size_t{2} << q) > len) continue;
                std::vector<Amplitude> got = finite_state(len, rng);
                std::vector<Amplitude> want = got;
                apply_single_qubit_chunks_scalar(want.data(), q, m, 0, len >> (q + 1));
                light_single_qubit_avx2(got.data(), got.size(), q, m, pattern);
                EXPECT_TRUE(equal_up_to_zero_sign(got, want))
                    << "qubit " << q << " pattern " << int(pattern) << " len " << len;
            }
        }
    }
    EXPECT_EQ(light_pattern(matrices::u(0.3f, 0.2f, 0.1f)), LightPattern::None);
}
#endif  // VANTELO_AVX2_KERNELS

#if VANTELO_AVX2_KERNELS
// Two gates in one sweep against the two sweeps, bit for bit: every pattern
// after every other, on qubits in either order, at either end and within
// one register.
TEST(LightKernel, PairMatchesTwoSweeps) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(12);
    const Matrix2 gates[] = {matrices::z(), matrices::rz(1.3f), matrices::ry(-2.1f),
                             matrices::rx(0.7f), matrices::x(), matrices::y()};
    const Qubit pairs[][2] = {{2, 3}, {3, 2}, {2, 6}, {6, 2}, {4, 5}, {0, 1}, {1, 0}, {0, 2}, {5, 0}, {1, 6}, {3, 1}};
    for (const Matrix2& a : gates) {
        for (const Matrix2& b : gates) {
            for (const auto& q : pairs) {
                const std::size_t len = 128;
                std::vector<Amplitude> got = finite_state(len, rng);
                std::vector<Amplitude> want = got;
                light_single_qubit_avx2(want.data(), len, q[0], a, light_pattern(a));
                light_single_qubit_avx2(want.data(), len, q[1], b, light_pattern(b));
                light_pair_avx2(got.data(), len, q[0], a, light_pattern(a), q[1], b, light_pattern(b));
                EXPECT_EQ(std::memcmp(got.data(), want.data(), len * sizeof(Amplitude)), 0)
                    << "qubits " << q[0] << ", " << q[1] << " patterns " << int(light_pattern(a)) << ", "
                    << int(light_pattern(b));
            }
        }
    }
}
#endif  // VANTELO_AVX2_KERNELS

#if VANTELO_AVX2_KERNELS
// rz(t) on the control of a cx, as one 4 × 4 matrix (control first).
std::vector<Amplitude> phased_cx(float t) {
    const Amplitude lo{std::cos(t / 2), -std::sin(t / 2)};
    const Amplitude hi{std::cos(t / 2), std::sin(t / 2)};
    std::vector<Amplitude> m(16, Amplitude{0.0f, 0.0f});
    m[0] = m[5] = lo;
    m[11] = m[14] = hi;
    return m;
}

TEST(LightKernel, RunsMatchDenseSums) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(12);
    auto controlled = [](std::vector<Qubit> c, Qubit t, const Matrix2& m) {
        return std::get<Unitary>(make_controlled_unitary_gate(c, {t}, to_vector(m)).value()).op;
    };
    const Operation ops[] = {
        controlled({2}, 5, matrices::x()),       controlled({6}, 3, matrices::x()),
        controlled({3}, 2, matrices::z()),       controlled({4}, 7, matrices::p(0.9f)),
        controlled({5}, 2, matrices::rz(-1.1f)), controlled({2, 7}, 4, matrices::x()),
        controlled({4, 3}, 6, matrices::z()),    controlled({2}, 3, matrices::s()),
        controlled({4}, 6, matrices::x()),       controlled({5}, 6, matrices::x()),
        Operation::create({5, 2}, matrices::swap()).value(),
        std::get<Unitary>(make_controlled_unitary_gate({7}, {2, 4}, matrices::swap()).value()).op,
        // Moved rows with phases: units, then other entries (a cx with an
        // rz on its control, as fusion makes it).
        Operation::create({2, 3}, matrices::iswap()).value(), controlled({4}, 6, matrices::y()),
        Operation::create({6, 3}, phased_cx(0.7f)).value(),
    };
    auto runs_of = [](const GeneralPlan& plan, LightRuns& runs) {
        MonomialPlan mono;
        return make_monomial_plan(plan, mono) && make_light_runs(plan, mono, runs);
    };
    for (const Operation& op : ops) {
        const GeneralPlan plan = make_general_plan(op);
        LightRuns runs;
        ASSERT_TRUE(runs_of(plan, runs));
        std::vector<Amplitude> got = finite_state(256, rng);
        std::vector<Amplitude> want = got;
        std::vector<Amplitude> scratch(plan.dim);
        general_groups_scalar(want.data(), plan, 0, 256 >> plan.num_targets, scratch.data());
        light_runs_avx2(got.data(), got.size(), plan, runs);
        EXPECT_TRUE(equal_up_to_zero_sign(got, want)) << "mask " << plan.target_mask;
    }
    // A target or control on qubit 0 or 1: not runs.
    const Operation refused[] = {Operation::create({1, 3}, matrices::iswap()).value(),
                                 controlled({1}, 4, matrices::x())};
    for (const Operation& op : refused) {
        LightRuns runs;
        EXPECT_FALSE(runs_of(make_general_plan(op), runs));
    }
}
#endif  // VANTELO_AVX2_KERNELS

#if VANTELO_AVX2_KERNELS
// A light pair beside a cx, a swap or a cz on its two qubits, as one sweep,
// against the three kernels in turn, bit for bit: the swaps before the pair
// and after it, either target order, control above or below.
TEST(LightKernel, PairWithSwapsMatchesThreeSweeps) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(14);
    auto op_of = [](Result<Gate> g) { return std::get<Unitary>(std::move(g).value()).op; };
    const Matrix2 a = matrices::rx(0.7f);
    const Matrix2 b = matrices::rz(-1.2f);
    const std::uint32_t n = 7;
    const Qubit pairs[][2] = {{2, 3}, {3, 2}, {2, 6}, {6, 4}};
    for (const auto& q : pairs) {
        const Operation swaps[] = {op_of(make_controlled_unitary_gate({q[0]}, {q[1]}, to_vector(matrices::x()))),
                                   op_of(make_controlled_unitary_gate({q[1]}, {q[0]}, to_vector(matrices::x()))),
                                   Operation::create({q[1], q[0]}, matrices::swap()).value(),
                                   op_of(make_controlled_unitary_gate({q[1]}, {q[0]}, to_vector(matrices::z())))};
        const BlockKernel first = block_kernel_single(q[0], a);
        const BlockKernel second = block_kernel_single(q[1], b);
        for (const Operation& op : swaps) {
            const BlockKernel moves = block_kernel_general(op);
            for (const bool before : {false, true}) {
                QuadMoves at;
                ASSERT_TRUE(light_pair_swaps_fit(first, second, moves, before, n, at));
                std::vector<Amplitude> got = finite_state(std::size_t{1} << n, rng);
                std::vector<Amplitude> want = got;
                std::vector<Amplitude> scratch(4);
                if (before) apply_block_kernel(moves, want.data(), n, scratch.data(), true);
                apply_block_kernel(first, want.data(), n, scratch.data(), true);
                apply_block_kernel(second, want.data(), n, scratch.data(), true);
                if (!before) apply_block_kernel(moves, want.data(), n, scratch.data(), true);
                apply_light_pair_moved(first, second, at, got.data(), n);
                EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(Amplitude)), 0)
                    << "qubits " << q[0] << ", " << q[1] << " before " << before;
            }
        }
    }
    // Not swaps and sign flips on exactly the pair's qubits: a cs, a cx on
    // another pair.
    QuadMoves at;
    const BlockKernel first = block_kernel_single(2, a);
    const BlockKernel second = block_kernel_single(3, b);
    const Operation cs = op_of(make_controlled_unitary_gate({2}, {3}, to_vector(matrices::s())));
    const Operation other = op_of(make_controlled_unitary_gate({2}, {4}, to_vector(matrices::x())));
    EXPECT_FALSE(light_pair_swaps_fit(first, second, block_kernel_general(cs), false, n, at));
    EXPECT_FALSE(light_pair_swaps_fit(first, second, block_kernel_general(other), true, n, at));
}
#endif  // VANTELO_AVX2_KERNELS

#if VANTELO_AVX2_KERNELS
TEST(LightKernel, BoundCheckMatchesScalar) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(13);
    const float planted[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN(), 4294967296.0f * 2.0f,
                             -4294967296.0f, 4294967296.0f, 1e-40f};
    for (std::size_t len : {1u, 3u, 4u, 7u, 16u, 37u}) {
        std::vector<Amplitude> v = testing::random_amplitudes(len, rng);
        EXPECT_TRUE(light_bound_ok_avx2(v.data(), len));
        for (float f : planted) {
            std::vector<Amplitude> w = v;
            (rng() % 2 ? w[rng() % len].re : w[rng() % len].im) = f;
            EXPECT_EQ(light_bound_ok_avx2(w.data(), len), light_bound_ok_scalar(w.data(), len)) << f;
        }
    }
    EXPECT_FALSE(light_bound_ok_scalar(std::vector<Amplitude>{{0.0f, 4294967296.0f * 2.0f}}.data(), 1));
}

// The growth a matrix is charged covers its worst input: components of the
// largest size with the signs that line every product of a row up, run
// through the dense kernel. Not finite or huge entries are unbounded.
TEST(LightKernel, GrowthCoversWorstInput) {
    std::mt19937 rng(14);
    std::uniform_real_distribution<float> part(-1.0f, 1.0f);
    std::vector<Matrix2> gates = {matrices::rx(0.7f), matrices::ry(-2.1f), matrices::rz(1.3f), matrices::h(),
                                  matrices::x()};
    for (float scale : {0.01f, 1.0f, 3.0f, 900.0f}) {
        Matrix2 m;
        for (Amplitude& e : m) e = Amplitude{scale * part(rng), scale * part(rng)};
        gates.push_back(m);
    }
    const float largest = 1048576.0f;
    for (const Matrix2& m : gates) {
        const int units = growth_units(m.data(), 4, 2);
        ASSERT_NE(units, kUnboundedGrowth);
        const float allowed = largest * std::exp2(static_cast<float>(units) / kGrowthUnitsPerBit);
        for (std::size_t row = 0; row < 2; ++row) {
            std::vector<Amplitude> v(2);
            for (std::size_t j = 0; j < 2; ++j)
                v[j] = Amplitude{std::copysign(largest, m[2 * row + j].re), -std::copysign(largest, m[2 * row + j].im)};
            apply_single_qubit_chunks_scalar(v.data(), 0, m, 0, 1);
            EXPECT_LE(std::fabs(v[row].re), allowed) << "row " << row << " units " << units;
            EXPECT_LE(std::fabs(v[row].im), allowed) << "row " << row << " units " << units;
        }
    }
    Matrix2 bad = matrices::h();
    bad[1].im = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(growth_units(bad.data(), 4, 2), kUnboundedGrowth);
    bad[1].im = 131072.0f;
    EXPECT_EQ(growth_units(bad.data(), 4, 2), kUnboundedGrowth);
}
#endif  // VANTELO_AVX2_KERNELS

}  // namespace
}  // namespace vantelo::sim
