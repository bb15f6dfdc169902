// The blocked unitarity test against the plain one: the symmetry it rests on,
// its sums bit for bit, and its verdict on unitaries, on matrices sitting on
// either side of the tolerance at one entry, and on NaN and infinity, under
// both kernel sets.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "amplitude_test_util.hpp"
#include "sim/cpu/cpu_features.hpp"
#include "sim/gates/gate.hpp"
#include "sim/stop.hpp"
#include "sim/unitarity/gram.hpp"
#include "sim/unitarity/unitarity.hpp"

namespace vantelo::sim {
namespace {

using Matrix = std::vector<Amplitude>;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Equal values, counting ±0 as one value and any NaN as one value.
bool same_value(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// The same bits, or both NaN.
bool same_bits(float a, float b) {
    return std::isnan(a) ? std::isnan(b) : testing::bits(a) == testing::bits(b);
}

// A random unitary: the Q of a complex Gaussian matrix, orthonormalised in
// double precision (modified Gram–Schmidt on the rows), then rounded.
Matrix random_unitary(std::size_t dim, std::mt19937& rng) {
    std::normal_distribution<double> normal;
    std::vector<std::complex<double>> q(dim * dim);
    for (auto& x : q) x = {normal(rng), normal(rng)};
    for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            std::complex<double> dot = 0;
            for (std::size_t k = 0; k < dim; ++k) dot += q[i * dim + k] * std::conj(q[j * dim + k]);
            for (std::size_t k = 0; k < dim; ++k) q[i * dim + k] -= dot * q[j * dim + k];
        }
        double norm = 0;
        for (std::size_t k = 0; k < dim; ++k) norm += std::norm(q[i * dim + k]);
        for (std::size_t k = 0; k < dim; ++k) q[i * dim + k] /= std::sqrt(norm);
    }
    Matrix m(dim * dim);
    for (std::size_t n = 0; n < m.size(); ++n)
        m[n] = {static_cast<float>(q[n].real()), static_cast<float>(q[n].imag())};
    return m;
}

// Random entries with exact zeros of both signs, ±1, and now and then a
// special value: NaN, ±infinity, a huge value whose products overflow, a
// subnormal.
Matrix random_with_specials(std::size_t dim, std::mt19937& rng) {
    Matrix m = testing::random_amplitudes(dim * dim, rng);
    const float specials[] = {kNaN, kInf, -kInf, 3e38f, -2e30f, 1e-42f};
    for (Amplitude& a : m) {
        if (rng() % 8 != 0) continue;
        (rng() % 2 ? a.re : a.im) = specials[rng() % std::size(specials)];
    }
    return m;
}

std::vector<GramKernels> kernel_sets() {
    std::vector<GramKernels> sets{GramKernels::Portable};
    if (VANTELO_AVX2_KERNELS && cpu_supports_avx2()) sets.push_back(GramKernels::Avx2);
    return sets;
}

const char* name_of(GramKernels k) { return k == GramKernels::Avx2 ? "avx2" : "portable"; }

// The blocked test skips every entry below the diagonal; that is sound only
// if each is the conjugate of its mirror entry up to the sign of zero and
// gets the same verdict, special values included.
TEST(Gram, EntryBelowTheDiagonalIsTheMirrorsConjugate) {
    std::mt19937 rng(7);
    for (const std::size_t dim : {2, 5, 16, 33}) {
        for (int trial = 0; trial < 4; ++trial) {
            const Matrix m = random_with_specials(dim, rng);
            for (std::size_t i = 0; i < dim; ++i)
                for (std::size_t j = i + 1; j < dim; ++j) {
                    const Amplitude upper = gram_entry(m.data(), dim, i, j);
                    const Amplitude lower = gram_entry(m.data(), dim, j, i);
                    ASSERT_TRUE(same_value(lower.re, upper.re) && same_value(lower.im, -upper.im))
                        << dim << " " << i << " " << j;
                    ASSERT_EQ(gram_entry_fails(lower, 0.0f), gram_entry_fails(upper, 0.0f));
                }
        }
    }
}

class BlockedUnitarity : public ::testing::TestWithParam<GramKernels> {};

// Every sum on and above the diagonal, for sizes that fill tiles, panels
// and blocks partly: the plain sums' values (NaN payloads aside, which the
// operand order of a product may pick).
TEST_P(BlockedUnitarity, SumsEqualThePlainOnes) {
    std::mt19937 rng(11);
    std::vector<std::size_t> dims;
    for (std::size_t d = 1; d <= 70; ++d) dims.push_back(d);
    for (const std::size_t d : {127, 128, 200, 300}) dims.push_back(d);
    for (const std::size_t dim : dims) {
        const Matrix m = dim % 3 == 0 ? random_with_specials(dim, rng)
                                      : testing::random_amplitudes(dim * dim, rng);
        Matrix got(dim * dim, Amplitude{kNaN, kNaN});
        gram_upper_blocked(m, dim, GetParam(), got.data());
        for (std::size_t i = 0; i < dim; ++i)
            for (std::size_t j = i; j < dim; ++j) {
                const Amplitude want = gram_entry(m.data(), dim, i, j);
                const Amplitude g = got[i * dim + j];
                ASSERT_TRUE(same_bits(g.re, want.re) && same_bits(g.im, want.im))
                    << dim << " " << i << " " << j;
            }
    }
}

// m with row r scaled by 1 + t (r == q: entry (r, r) moves by about 2t), or
// with t(1 + i) times row q added to row r (entry (r, q) moves by about
// t(1 + i), both parts near the tolerance over √2).
Matrix perturbed(const Matrix& m, std::size_t dim, std::size_t r, std::size_t q, float t) {
    Matrix out = m;
    for (std::size_t k = 0; k < dim; ++k) {
        Amplitude& a = out[r * dim + k];
        if (r == q) {
            a = {a.re + t * a.re, a.im + t * a.im};
        } else {
            const Amplitude b = m[q * dim + k];
            a = {a.re + t * (b.re - b.im), a.im + t * (b.re + b.im)};
        }
    }
    return out;
}

// The two neighbouring perturbations t (floats, bisected on their bits)
// between which entry (r, q) crosses the tolerance.
std::pair<float, float> tolerance_edge(const Matrix& m, std::size_t dim, std::size_t r,
                                       std::size_t q) {
    auto fails = [&](float t) {
        const Matrix p = perturbed(m, dim, r, q, t);
        return gram_entry_fails(gram_entry(p.data(), dim, r, q), r == q ? 1.0f : 0.0f);
    };
    std::uint32_t lo = testing::bits(0.0f), hi = testing::bits(0.01f);
    EXPECT_FALSE(fails(0.0f));
    EXPECT_TRUE(fails(0.01f));
    while (hi - lo > 1) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        float t;
        std::memcpy(&t, &mid, sizeof t);
        (fails(t) ? hi : lo) = mid;
    }
    float a, b;
    std::memcpy(&a, &lo, sizeof a);
    std::memcpy(&b, &hi, sizeof b);
    return {a, b};
}

TEST_P(BlockedUnitarity, VerdictEqualsThePlainTest) {
    const GramKernels kernels = GetParam();
    std::mt19937 rng(3);
    auto expect_same = [&](const Matrix& m, std::size_t dim, const char* what) {
        const bool plain = is_unitary(m, dim);
        const Result<bool> blocked = unitary_blocked(m, dim, kernels);
        EXPECT_TRUE(blocked.has_value() && blocked.value() == plain)
            << what << " dim " << dim << " " << name_of(kernels);
        return plain;
    };
    for (const std::size_t dim :
         {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 130}) {
        const Matrix u = random_unitary(dim, rng);
        EXPECT_TRUE(expect_same(u, dim, "unitary"));
        std::uniform_int_distribution<std::size_t> pick(0, dim - 1);
        const std::size_t r = pick(rng), last = dim - 1;
        // Diagonal entries, then off-diagonal ones on both sides of the
        // diagonal, the last row and column included.
        std::vector<std::pair<std::size_t, std::size_t>> entries{{r, r}, {last, last}};
        if (dim > 1) {
            std::size_t q = pick(rng);
            if (q == r) q = (r + 1) % dim;
            entries.insert(entries.end(), {{r, q}, {q, r}, {last, 0}, {0, last}, {last - 1, last}});
        }
        for (const auto& [i, j] : entries) {
            const auto [under, over] = tolerance_edge(u, dim, i, j);
            EXPECT_TRUE(expect_same(perturbed(u, dim, i, j, under), dim, "under")) << i << " " << j;
            EXPECT_FALSE(expect_same(perturbed(u, dim, i, j, over), dim, "over")) << i << " " << j;
        }
        // Special values: NaN alone (passes), infinity alone (fails), both in
        // one row, and NaN far from the unitary (a failing entry elsewhere).
        const std::size_t at = pick(rng);
        const std::pair<float, float> specials[] = {
            {kNaN, 0.0f}, {kInf, 0.0f}, {-kInf, kNaN}, {kNaN, 2.0f}};
        for (const auto& [first, second] : specials) {
            Matrix m = u;
            m[at * dim + pick(rng)].re = first;
            if (second != 0.0f) {
                const std::size_t row = std::isnan(second) ? at : pick(rng);
                m[row * dim + pick(rng)].im = second;
            }
            expect_same(m, dim, "special");
        }
    }
}

// Says stop on the test's thread only, as the module's check does for the
// thread that holds the interpreter (a worker that saw a stop itself would
// keep it).
std::thread::id g_stopping_thread;
bool stop_on_test_thread() noexcept { return std::this_thread::get_id() == g_stopping_thread; }

// A stop seen by the polls ends the test with the stop, not with a
// verdict, on the calling thread (one tile) and on the pool.
TEST(BlockedUnitarityStop, ReturnsStoppedError) {
    for (const std::size_t dim : {kUnitaryTile, 4 * kUnitaryTile}) {
        Matrix m(dim * dim, Amplitude{0.0f, 0.0f});
        for (std::size_t i = 0; i < dim; ++i) m[i * dim + i] = {1.0f, 0.0f};
        g_stopping_thread = std::this_thread::get_id();
        // Polls run the check at most once per interval per thread.
        std::this_thread::sleep_for(2 * kStopPollInterval);
        set_stop_check(&stop_on_test_thread);
        Result<bool> r = [&] {
            StopCallScope scope;
            return unitary_blocked(m, dim);
        }();
        set_stop_check(nullptr);
        ASSERT_FALSE(r.has_value()) << dim;
        EXPECT_EQ(r.error().kind, ErrorKind::Stopped);
    }
}

INSTANTIATE_TEST_SUITE_P(KernelSets, BlockedUnitarity, ::testing::ValuesIn(kernel_sets()),
                         [](const auto& info) { return std::string(name_of(info.param)); });

}  // namespace
}  // namespace vantelo::sim
