// The monomial fast path (permutations with unit phases on two targets)
// against the dense sums it replaces: equal bit for bit up to the sign of
// zero, also on states holding infinities and NaNs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "amplitude_test_util.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/kernels/kernels.hpp"

namespace vantelo::sim {
namespace {

using testing::bits;

std::vector<Amplitude> controlled(const Matrix2& m) {
    std::vector<Amplitude> e(16, Amplitude{0.0f, 0.0f});
    e[0] = e[5] = Amplitude{1.0f, 0.0f};
    e[10] = m[0];
    e[11] = m[1];
    e[14] = m[2];
    e[15] = m[3];
    return e;
}

// A random permutation matrix with random unit phases.
std::vector<Amplitude> random_monomial(std::mt19937& rng) {
    static constexpr Amplitude kUnits[4] = {{1.0f, 0.0f}, {0.0f, 1.0f}, {-1.0f, 0.0f}, {0.0f, -1.0f}};
    std::vector<std::size_t> perm(4);
    std::iota(perm.begin(), perm.end(), 0);
    std::shuffle(perm.begin(), perm.end(), rng);
    std::vector<Amplitude> m(16, Amplitude{rng() % 2 ? 0.0f : -0.0f, 0.0f});
    for (std::size_t r = 0; r < 4; ++r) m[r * 4 + perm[r]] = kUnits[rng() % 4];
    return m;
}

// Every float either has the same bits or both are zeros.
::testing::AssertionResult same_up_to_zero_sign(const std::vector<Amplitude>& a,
                                                const std::vector<Amplitude>& b) {
    auto same = [](float x, float y) { return bits(x) == bits(y) || (x == 0.0f && y == 0.0f); };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i].re, b[i].re) || !same(a[i].im, b[i].im))
            return ::testing::AssertionFailure() << "amplitude " << i << ": (" << a[i].re << ", "
                                                 << a[i].im << ") vs (" << b[i].re << ", "
                                                 << b[i].im << ")";
    return ::testing::AssertionSuccess();
}

TEST(Monomial, RecognisesPermutationsWithUnitPhases) {
    // The plan borrows the operation's matrix, so the operation outlives it.
    auto monomial = [](const std::vector<Amplitude>& m) {
        const Operation op{{2, 3}, m};
        MonomialPlan mono;
        return make_monomial_plan(make_general_plan(op), mono);
    };
    for (const auto& m : {controlled(matrices::x()), controlled(matrices::y()),
                          controlled(matrices::z()), matrices::swap(), matrices::iswap()})
        EXPECT_TRUE(monomial(m));
    std::vector<Amplitude> near = controlled(matrices::x());
    near[11].re = 0.99999994f;
    std::vector<Amplitude> two = matrices::swap();
    two[1] = Amplitude{1.0f, 0.0f};
    for (const auto& m : {controlled(matrices::h()), controlled(matrices::p(0.3f)),
                          controlled(matrices::s()), near, two})
        EXPECT_FALSE(monomial(m));
}

TEST(Monomial, MatchesDenseSumsUpToZeroSign) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2 on this CPU";
    std::mt19937 rng(2024);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<std::vector<Amplitude>> matrices_under_test = {
        controlled(matrices::x()), controlled(matrices::y()), controlled(matrices::z()),
        matrices::swap(), matrices::iswap()};
    for (int k = 0; k < 6; ++k) matrices_under_test.push_back(random_monomial(rng));
    for (std::uint32_t n = 4; n <= 7; ++n)
        for (Qubit t0 = 2; t0 < n; ++t0)
            for (Qubit t1 = 2; t1 < n; ++t1) {
                if (t0 == t1) continue;
                for (const auto& m : matrices_under_test) {
                    std::vector<Amplitude> state = testing::random_amplitudes(std::size_t{1} << n, rng);
                    // A few non-finite inputs: their groups must take the dense sums.
                    for (float bad : {inf, -inf, nan})
                        state[rng() % state.size()] = rng() % 2 ? Amplitude{bad, 0.5f} : Amplitude{0.5f, bad};
                    const Operation op{{t0, t1}, m};
                    const GeneralPlan plan = make_general_plan(op);
                    MonomialPlan mono;
                    ASSERT_TRUE(make_monomial_plan(plan, mono));
                    std::vector<Amplitude> fast = state;
                    monomial_quads_avx2(fast.data(), plan, mono, 0, state.size() / 16);
                    std::vector<Amplitude> dense = state;
                    general_groups_scalar(dense.data(), plan, 0, state.size() / 4, nullptr);
                    ASSERT_TRUE(same_up_to_zero_sign(fast, dense))
                        << n << " qubits, targets " << t0 << ", " << t1;
                }
            }
}

}  // namespace
}  // namespace vantelo::sim
