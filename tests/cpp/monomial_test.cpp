// The monomial fast path (one nonzero entry per row, on one to three targets
// anywhere in the register) against the dense sums it replaces: equal bit for
// bit up to the sign of zero, also on states holding infinities and NaNs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "amplitude_test_util.hpp"
#include "sim/gates/gate.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/kernels/kernels.hpp"

namespace vantelo::sim {
namespace {

using testing::bits;

std::vector<Amplitude> controlled(std::size_t controls, std::vector<Amplitude> m) {
    std::vector<Qubit> c(controls);
    std::iota(c.begin(), c.end(), Qubit{0});
    std::vector<Qubit> t(m.size() == 4 ? 1 : 2);
    std::iota(t.begin(), t.end(), static_cast<Qubit>(controls));
    auto gate = make_controlled_unitary_gate(c, t, std::move(m));
    return std::get<Unitary>(gate.value()).op.matrix;
}
std::vector<Amplitude> controlled(const Matrix2& m) { return controlled(1, to_vector(m)); }

// A random permutation matrix of dimension dim whose entries are units or
// other values of modulus one, with zeros of both signs.
[[maybe_unused]] std::vector<Amplitude> random_monomial(std::size_t dim, std::mt19937& rng) {
    static constexpr Amplitude kUnits[4] = {{1.0f, 0.0f}, {0.0f, 1.0f}, {-1.0f, 0.0f}, {0.0f, -1.0f}};
    std::vector<std::size_t> perm(dim);
    std::iota(perm.begin(), perm.end(), 0);
    std::shuffle(perm.begin(), perm.end(), rng);
    std::vector<Amplitude> m(dim * dim);
    for (Amplitude& e : m) e = {rng() % 2 ? 0.0f : -0.0f, rng() % 2 ? 0.0f : -0.0f};
    for (std::size_t r = 0; r < dim; ++r) {
        const float angle = std::uniform_real_distribution<float>(-3.0f, 3.0f)(rng);
        m[r * dim + perm[r]] = rng() % 2 ? kUnits[rng() % 4] : Amplitude{std::cos(angle), std::sin(angle)};
    }
    return m;
}

// Every float either has the same bits or both are zeros.
[[maybe_unused]] ::testing::AssertionResult same_up_to_zero_sign(
    const std::vector<Amplitude>& a, const std::vector<Amplitude>& b) {
    auto same = [](float x, float y) { return bits(x) == bits(y) || (x == 0.0f && y == 0.0f); };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i].re, b[i].re) || !same(a[i].im, b[i].im))
            return ::testing::AssertionFailure() << "amplitude " << i << ": (" << a[i].re << ", "
                                                 << a[i].im << ") vs (" << b[i].re << ", "
                                                 << b[i].im << ")";
    return ::testing::AssertionSuccess();
}

TEST(Monomial, RecognisesOneNonzeroEntryPerRow) {
    // The plan borrows the operation's matrix, so the operation outlives it.
    auto monomial = [](const std::vector<Amplitude>& m) {
        std::vector<Qubit> targets(m.size() == 4 ? 1 : m.size() == 16 ? 2 : m.size() == 64 ? 3 : 4);
        std::iota(targets.begin(), targets.end(), Qubit{0});
        const Operation op{targets, m};
        MonomialPlan mono;
        return make_monomial_plan(make_general_plan(op), mono);
    };
    std::vector<Amplitude> near = controlled(matrices::x());
    near[11].re = 0.99999994f;
    for (const auto& m : {controlled(matrices::x()), controlled(matrices::y()), controlled(matrices::z()),
                          controlled(matrices::p(0.3f)), controlled(matrices::s()), near,
                          matrices::swap(), matrices::iswap(), to_vector(matrices::rz(0.3f)),
                          to_vector(matrices::x()), to_vector(matrices::t()),
                          controlled(2, to_vector(matrices::x())), controlled(1, matrices::swap())})
        EXPECT_TRUE(monomial(m));
    std::vector<Amplitude> two = matrices::swap();
    two[1] = Amplitude{1.0f, 0.0f};
    std::vector<Amplitude> nan_entry = controlled(matrices::z());
    nan_entry[1].im = std::numeric_limits<float>::quiet_NaN();
    std::vector<Amplitude> four_targets(256, Amplitude{0.0f, 0.0f});
    for (std::size_t r = 0; r < 16; ++r) four_targets[r * 17] = Amplitude{1.0f, 0.0f};
    for (const auto& m : {controlled(matrices::h()), to_vector(matrices::rx(0.3f)), two, nan_entry,
                          four_targets})
        EXPECT_FALSE(monomial(m));
}

#if VANTELO_AVX2_KERNELS
// Every placement of one, two and three targets in registers of 2 to 6
// qubits, for the catalogue's monomial gates and random ones; each state has
// a few infinities and NaNs, whose groups must take the dense sums. One-target
// results are compared with the one-qubit kernel, the others with the dense
// group sums.
TEST(Monomial, MatchesDenseSumsUpToZeroSign) {
    if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2 on this CPU";
    std::mt19937 rng(2024);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<std::vector<Amplitude>> by_targets[4];
    for (const Matrix2& m : {matrices::x(), matrices::y(), matrices::z(), matrices::s(), matrices::t(),
                             matrices::p(0.3f), matrices::rz(-1.1f), matrices::i()})
        by_targets[1].push_back(to_vector(m));
    for (const Matrix2& m : {matrices::x(), matrices::y(), matrices::z(), matrices::p(0.3f),
                             matrices::rz(0.7f)})
        by_targets[2].push_back(controlled(m));
    by_targets[2].push_back(matrices::swap());
    by_targets[2].push_back(matrices::iswap());
    by_targets[3] = {controlled(2, to_vector(matrices::x())), controlled(2, to_vector(matrices::z())),
                     controlled(1, matrices::swap())};
    for (std::size_t k = 1; k <= 3; ++k)
        for (int i = 0; i < 4; ++i) by_targets[k].push_back(random_monomial(std::size_t{1} << k, rng));

    for (std::uint32_t n = 2; n <= 6; ++n)
        for (std::size_t k = 1; k <= 3 && k <= n; ++k) {
            // Every ordered choice of k distinct targets below n.
            std::vector<Qubit> targets(k, 0);
            for (std::size_t code = 0; code < (std::size_t{1} << (3 * k)); ++code) {
                bool valid = true;
                for (std::size_t j = 0; j < k; ++j) {
                    targets[j] = static_cast<Qubit>((code >> (3 * j)) & 7u);
                    valid = valid && targets[j] < n &&
                            std::find(targets.begin(), targets.begin() + j, targets[j]) == targets.begin() + j;
                }
                if (!valid) continue;
                for (const auto& m : by_targets[k]) {
                    const std::size_t len = std::size_t{1} << n;
                    // A finite state through the variant without tests, then
                    // the same with infinities and NaNs planted.
                    std::vector<Amplitude> state = testing::random_amplitudes(len, rng);
                    for (bool finite : {true, false}) {
                        if (!finite)
                            for (float bad : {inf, -inf, nan})
                                state[rng() % len] = rng() % 2 ? Amplitude{bad, 0.5f} : Amplitude{0.5f, bad};
                        const Operation op{targets, m};
                        const GeneralPlan plan = make_general_plan(op);
                        MonomialPlan mono;
                        ASSERT_TRUE(make_monomial_plan(plan, mono));
                        std::vector<Amplitude> fast = state;
                        // In two ranges, so a range that starts inside the state runs too.
                        const std::size_t count = monomial_register_groups(plan, len);
                        monomial_groups_avx2(fast.data(), plan, mono, 0, count / 2, finite);
                        monomial_groups_avx2(fast.data(), plan, mono, count / 2, count, finite);
                        std::vector<Amplitude> dense = state;
                        if (k == 1)
                            apply_single_qubit_chunks_scalar(dense.data(), targets[0], {m[0], m[1], m[2], m[3]},
                                                             0, len >> (targets[0] + 1));
                        else
                            general_groups_scalar(dense.data(), plan, 0, len >> k, nullptr);
                        ASSERT_TRUE(same_up_to_zero_sign(fast, dense))
                            << n << " qubits, " << k << " targets, code " << code << " finite " << finite;
                    }
                }
            }
        }
}
#endif  // VANTELO_AVX2_KERNELS

}  // namespace
}  // namespace vantelo::sim
