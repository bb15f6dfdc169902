#include "sim/measure/measure.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "sim/fault.hpp"
#include "sim/gates/gate_catalog.hpp"

namespace vantelo::sim {
namespace {

using Seed = std::array<std::uint8_t, 32>;

Seed seed_number(int k) {
    Seed s{};
    s[0] = static_cast<std::uint8_t>(k);
    s[1] = static_cast<std::uint8_t>(k >> 8);
    s[31] = 0x5A;
    return s;
}

// Bit-for-bit equality of two amplitude arrays.
bool same_bits(const StateVector& a, const StateVector& b) {
    return a.size() == b.size() &&
           std::memcmp(a.amplitudes.data(), b.amplitudes.data(), a.size() * sizeof(Amplitude)) == 0;
}

StateVector with_gates(std::uint32_t n, const std::vector<std::pair<Qubit, Matrix2>>& gates) {
    StateVector s = StateVector::create(n);
    for (const auto& [q, m] : gates) apply_single_qubit(s.amplitudes.data(), n, q, m);
    return s;
}

// A state with arbitrary amplitudes of unit norm (approximately).
StateVector random_state(std::uint32_t n, std::uint32_t seed) {
    StateVector s = StateVector::create(n);
    std::uint32_t x = seed;
    auto next = [&] {
        x = x * 1664525u + 1013904223u;
        return static_cast<float>(x >> 8) / 16777216.0f - 0.5f;
    };
    double norm = 0;
    for (auto& a : s.amplitudes) {
        a = {next(), next()};
        norm += double(a.re) * a.re + double(a.im) * a.im;
    }
    const float scale = static_cast<float>(1.0 / std::sqrt(norm));
    for (auto& a : s.amplitudes) a = {a.re * scale, a.im * scale};
    return s;
}

// Reference measurement: the same single-precision steps, walking the whole
// index range instead of chunks.
float ref_p1(const StateVector& s, Qubit q) {
    float p1 = 0.0f;
    for (std::size_t i = 0; i < s.size(); ++i)
        if ((i >> q) & 1) {
            const Amplitude a = s.amplitudes[i];
            const float ii = a.im * a.im;
            const float rr = a.re * a.re;
            p1 = p1 + (ii + rr);
        }
    return p1;
}

void ref_collapse(StateVector& s, Qubit q, bool outcome, float p1) {
    const float p = outcome ? p1 : 1.0f - p1;
    for (std::size_t i = 0; i < s.size(); ++i) {
        Amplitude& a = s.amplitudes[i];
        const bool bit = (i >> q) & 1;
        if (!(p > 0.0f) || bit != outcome) {
            a = {0.0f, 0.0f};
        } else {
            const float norm = std::sqrt(p);
            a = {a.re / norm, a.im / norm};
        }
    }
}

std::string fault_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalFault& e) {
        return e.what();
    }
    return "no fault";
}

class MeasureQubitReference : public ::testing::TestWithParam<Qubit> {};

TEST_P(MeasureQubitReference, MatchesReferenceBitForBit) {
    const Qubit q = GetParam();
    int ones = 0;
    for (int trial = 0; trial < 40; ++trial) {
        StateVector state = random_state(4, 1000 + trial);
        StateVector expected = state;
        Rng rng(seed_number(trial));
        Rng copy = rng;
        const float p1 = ref_p1(expected, q);
        const bool expected_outcome = copy.next_f32() < p1;
        ref_collapse(expected, q, expected_outcome, p1);

        Result<bool> outcome = measure_qubit(state, q, rng);
        ASSERT_TRUE(outcome.has_value());
        EXPECT_EQ(*outcome, expected_outcome);
        EXPECT_TRUE(same_bits(state, expected)) << "trial " << trial;
        EXPECT_EQ(rng.next_u32(), copy.next_u32());  // exactly one word drawn
        ones += *outcome;
    }
    EXPECT_GT(ones, 0);
    EXPECT_LT(ones, 40);
}

INSTANTIATE_TEST_SUITE_P(Qubits, MeasureQubitReference, ::testing::Values(0u, 1u, 2u, 3u));

TEST(MeasureQubit, ZeroStateGivesZeroAndIsUnchanged) {
    StateVector state = StateVector::create(1);
    const StateVector before = state;
    Result<bool> outcome = measure_qubit(state, 0, thread_rng());
    ASSERT_TRUE(outcome.has_value());
    EXPECT_FALSE(*outcome);
    EXPECT_TRUE(same_bits(state, before));
}

TEST(MeasureQubit, AfterXAlwaysOne) {
    for (int i = 0; i < 200; ++i) {
        StateVector state = with_gates(1, {{0, matrices::x()}});
        Result<bool> outcome = measure_qubit(state, 0, thread_rng());
        ASSERT_TRUE(outcome.has_value());
        ASSERT_TRUE(*outcome);
        ASSERT_EQ(state.amplitudes[0], (Amplitude{0.0f, 0.0f}));
        ASSERT_EQ(state.amplitudes[1], (Amplitude{1.0f, 0.0f}));
    }
}

TEST(MeasureQubit, AfterHSurvivingAmplitudeIsExactlyOne) {
    const StateVector h_state = with_gates(1, {{0, matrices::h()}});
    ASSERT_EQ(ref_p1(h_state, 0), 0.49999997f);
    bool seen[2] = {false, false};
    for (int trial = 0; trial < 64; ++trial) {
        StateVector state = h_state;
        Rng rng(seed_number(trial));
        Rng copy = rng;
        Result<bool> outcome = measure_qubit(state, 0, rng);
        ASSERT_TRUE(outcome.has_value());
        EXPECT_EQ(*outcome, copy.next_f32() < 0.49999997f);
        seen[*outcome] = true;
        EXPECT_EQ(state.amplitudes[*outcome], (Amplitude{1.0f, 0.0f}));
        EXPECT_EQ(state.amplitudes[!*outcome], (Amplitude{0.0f, 0.0f}));
    }
    EXPECT_TRUE(seen[0] && seen[1]);
}

TEST(MeasureQubit, OutOfRangeFailsAndDrawsNothing) {
    for (std::uint32_t n : {0u, 1u, 3u}) {
        StateVector state = random_state(n, 7);
        const StateVector before = state;
        Rng rng(seed_number(1));
        Rng untouched = rng;
        Result<bool> outcome = measure_qubit(state, n, rng);
        ASSERT_FALSE(outcome.has_value());
        EXPECT_EQ(outcome.error().message, "qubit index " + std::to_string(n) +
                                               " is out of range for " + std::to_string(n) +
                                               " qubits");
        Status reset = reset_qubit(state, n + 5, rng);
        ASSERT_FALSE(reset.has_value());
        EXPECT_EQ(reset.error().message, "qubit index " + std::to_string(n + 5) +
                                             " is out of range for " + std::to_string(n) +
                                             " qubits");
        EXPECT_TRUE(same_bits(state, before));
        EXPECT_EQ(rng.next_u32(), untouched.next_u32());
    }
}

// A probability that is not a number would read as outcome 0 and wipe the
// state; it fails instead, before any draw, and leaves the state as it was.
TEST(MeasureQubit, NonFiniteProbabilityFailsAndDrawsNothing) {
    for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        StateVector state = StateVector::create(2);
        state.amplitudes[3] = {bad, 0.0f};
        const StateVector before = state;
        Rng rng(seed_number(4));
        Rng untouched = rng;
        Result<bool> outcome = measure_qubit(state, 0, rng);
        ASSERT_FALSE(outcome.has_value());
        EXPECT_EQ(outcome.error().message, "cannot measure a state whose amplitudes are not finite");
        EXPECT_TRUE(same_bits(state, before));
        EXPECT_EQ(rng.next_u32(), untouched.next_u32());
    }
}

TEST(ResetQubit, QubitInOneBecomesZeroOthersUnchanged) {
    StateVector state = with_gates(2, {{0, matrices::x()}, {1, matrices::x()}});
    ASSERT_TRUE(reset_qubit(state, 1, thread_rng()).has_value());
    EXPECT_TRUE(same_bits(state, with_gates(2, {{0, matrices::x()}})));

    // Qubit 0 in superposition, qubit 1 set: collapse (p1 just below 1),
    // then move the amplitudes from bit 1 = 1 back to bit 1 = 0.
    for (int trial = 0; trial < 8; ++trial) {
        StateVector sup = with_gates(2, {{0, matrices::h()}, {1, matrices::x()}});
        StateVector expected = sup;
        Rng rng(seed_number(trial));
        Rng copy = rng;
        const float p1 = ref_p1(expected, 1);
        const bool outcome = copy.next_f32() < p1;
        ref_collapse(expected, 1, outcome, p1);
        if (outcome) {
            std::swap(expected.amplitudes[0], expected.amplitudes[2]);
            std::swap(expected.amplitudes[1], expected.amplitudes[3]);
        }
        ASSERT_TRUE(reset_qubit(sup, 1, rng).has_value());
        EXPECT_TRUE(same_bits(sup, expected));
        EXPECT_EQ(sup.amplitudes[2], (Amplitude{0.0f, 0.0f}));
        EXPECT_EQ(sup.amplitudes[3], (Amplitude{0.0f, 0.0f}));
    }
}

TEST(ResetQubit, QubitInZeroIsUnchangedButDrawsOneWord) {
    StateVector state = with_gates(2, {{1, matrices::h()}});
    const StateVector before = state;
    Rng rng(seed_number(3));
    Rng copy = rng;
    ASSERT_TRUE(reset_qubit(state, 0, rng).has_value());
    EXPECT_TRUE(same_bits(state, before));
    copy.next_u32();
    EXPECT_EQ(rng.next_u32(), copy.next_u32());
}

TEST(ResetQubit, SuperpositionEndsInZeroState) {
    for (int trial = 0; trial < 32; ++trial) {
        StateVector state = with_gates(1, {{0, matrices::h()}});
        Rng rng(seed_number(trial));
        ASSERT_TRUE(reset_qubit(state, 0, rng).has_value());
        EXPECT_EQ(state.amplitudes[0], (Amplitude{1.0f, 0.0f}));
        EXPECT_EQ(state.amplitudes[1], (Amplitude{0.0f, 0.0f}));
    }
}

TEST(Sample, ZeroShotsIsEmptyAndDrawsNothing) {
    const StateVector state = with_gates(2, {{0, matrices::h()}});
    Rng rng(seed_number(2));
    Rng untouched = rng;
    EXPECT_TRUE(measure(state, 0, rng).value().empty());
    EXPECT_EQ(rng.next_u32(), untouched.next_u32());
    EXPECT_TRUE(measure(state, 0).value().empty());
}

TEST(Sample, ZeroStateGivesOnlyZero) {
    const StateVector state = StateVector::create(3);
    const std::vector<std::uint64_t> samples = measure(state, 1000).value();
    ASSERT_EQ(samples.size(), 1000u);
    for (std::uint64_t s : samples) ASSERT_EQ(s, 0u);
}

TEST(Sample, DoesNotChangeState) {
    const StateVector state = random_state(3, 11);
    const StateVector before = state;
    (void)measure(state, 100).value();
    EXPECT_TRUE(same_bits(state, before));
}

// Reference sampler: cumulative sums by a plain loop, a linear scan for the
// first entry above the draw.
std::vector<std::uint64_t> ref_samples(const StateVector& s, std::uint64_t shots, Rng& rng) {
    std::vector<double> weights;
    for (const Amplitude& a : s.amplitudes) {
        const float ii = a.im * a.im;
        const float rr = a.re * a.re;
        weights.push_back(static_cast<double>(ii + rr));
    }
    std::vector<double> cumulative;
    double total = 0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (i > 0) cumulative.push_back(total);
        total += weights[i];
    }
    std::vector<std::uint64_t> out;
    for (std::uint64_t k = 0; k < shots; ++k) {
        const double c = rng.next_f64_below(total);
        std::uint64_t idx = 0;
        while (idx < cumulative.size() && cumulative[idx] <= c) ++idx;
        out.push_back(idx);
    }
    return out;
}

TEST(Sample, MatchesReferenceSampler) {
    for (std::uint32_t n : {1u, 3u, 5u}) {
        const StateVector state = random_state(n, 40 + n);
        Rng rng(seed_number(n));
        Rng copy = rng;
        EXPECT_EQ(measure(state, 2000, rng).value(), ref_samples(state, 2000, copy)) << n << " qubits";
    }
}

TEST(Sample, DrawOnBoundaryGoesPastZeroWeights) {
    StateVector state = StateVector::create(2);
    state.amplitudes[3] = {1.0f, 0.0f};  // weights 1, 0, 0, 1
    const WeightedIndex index = WeightedIndex::build(state).value();
    EXPECT_EQ(index.cumulative, (std::vector<double>{1.0, 1.0, 1.0}));
    EXPECT_EQ(index.total, 2.0);
    EXPECT_EQ(index.locate(0.0), 0u);
    EXPECT_EQ(index.locate(std::nextafter(1.0, 0.0)), 0u);
    EXPECT_EQ(index.locate(1.0), 3u);
    EXPECT_EQ(index.locate(1.9), 3u);
}

// The guided search must land where a bisection of the whole table lands,
// also on draws equal to an entry and across runs of equal entries (zero
// weights) that straddle guide blocks.
TEST(Sample, GuidedSearchMatchesFullBisection) {
    for (std::uint32_t n : {6u, 7u, 12u}) {
        StateVector state = random_state(n, 90 + n);
        for (std::size_t i = 0; i < state.size(); ++i)
            if ((i / 50) % 3 == 1) state.amplitudes[i] = {0.0f, 0.0f};
        const WeightedIndex index = WeightedIndex::build(state).value();
        const auto full = [&](double c) {
            return static_cast<std::uint64_t>(
                std::upper_bound(index.cumulative.begin(), index.cumulative.end(), c) -
                index.cumulative.begin());
        };
        for (double entry : index.cumulative)
            for (double c : {entry, std::nextafter(entry, 0.0), std::nextafter(entry, 2.0 * index.total)})
                ASSERT_EQ(index.locate(c), full(c)) << n << " qubits, draw " << c;
        for (double c : {0.0, index.total, std::nextafter(index.total, 0.0)})
            ASSERT_EQ(index.locate(c), full(c)) << n << " qubits, draw " << c;
    }
}

// Counts over `shots` samples, each within five standard deviations of its
// expectation; indices of zero weight never appear.
void expect_distribution(const StateVector& state, std::uint64_t shots,
                         const std::vector<std::uint64_t>& samples) {
    const WeightedIndex index = WeightedIndex::build(state).value();
    std::vector<std::uint64_t> counts(state.size(), 0);
    for (std::uint64_t s : samples) {
        ASSERT_LT(s, state.size());
        ++counts[s];
    }
    double before = 0;
    for (std::size_t i = 0; i < state.size(); ++i) {
        const double next = i + 1 < state.size() ? index.cumulative[i] : index.total;
        const double p = (next - before) / index.total;
        before = next;
        if (p == 0) {
            EXPECT_EQ(counts[i], 0u) << "index " << i;
            continue;
        }
        const double mean = shots * p;
        const double sd = std::sqrt(shots * p * (1 - p));
        EXPECT_NEAR(static_cast<double>(counts[i]), mean, 5 * sd) << "index " << i;
    }
}

TEST(Sample, UniformOverTwoHadamards) {
    const StateVector state = with_gates(2, {{0, matrices::h()}, {1, matrices::h()}});
    const std::vector<std::uint64_t> samples = measure(state, 40000).value();
    for (std::uint64_t s : samples) ASSERT_LT(s, 4u);
    expect_distribution(state, 40000, samples);
}

TEST(Sample, FollowsUnevenWeights) {
    // Amplitudes with squares 0.1, 0, 0.2, 0.05, 0, 0.3, 0.15, 0.2.
    const float w[8] = {0.1f, 0.0f, 0.2f, 0.05f, 0.0f, 0.3f, 0.15f, 0.2f};
    StateVector state = StateVector::create(3);
    for (int i = 0; i < 8; ++i)
        state.amplitudes[i] = {std::sqrt(w[i]) * 0.6f, std::sqrt(w[i]) * 0.8f};
    expect_distribution(state, 50000, measure(state, 50000).value());
    Rng rng(seed_number(9));
    expect_distribution(state, 50000, measure(state, 50000, rng).value());
}

TEST(Sample, UnusableWeightsFail) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::string not_finite = "cannot measure a state whose amplitudes are not finite";

    StateVector with_nan = StateVector::create(2);
    with_nan.amplitudes[2] = {0.0f, nan};
    EXPECT_EQ(measure(with_nan, 10).error().message, not_finite);
    // Even with no shots the index is built first.
    EXPECT_EQ(measure(with_nan, 0).error().message, not_finite);

    StateVector with_inf = StateVector::create(2);
    with_inf.amplitudes[1] = {inf, 0.0f};
    EXPECT_EQ(measure(with_inf, 10).error().message, not_finite);

    StateVector zeros = StateVector::create(2);
    zeros.amplitudes[0] = {0.0f, 0.0f};
    EXPECT_EQ(fault_of([&] { (void)measure(zeros, 10); }), "failed to sample: AllWeightsZero");
    // An invalid weight is reported before the zero total.
    zeros.amplitudes[3] = {nan, nan};
    EXPECT_EQ(measure(zeros, 10).error().message, not_finite);

    const StateVector empty{};
    EXPECT_EQ(fault_of([&] { (void)measure(empty, 10); }), "failed to sample: NoItem");
}

}  // namespace
}  // namespace vantelo::sim
