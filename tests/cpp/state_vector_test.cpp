// StateVector creation, validation and apply_operation: layout, error
// messages, untouched state on error, and the two paths against each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "amplitude_test_util.hpp"
#include "sim/fault.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {
namespace {

using testing::bit_identical;
using testing::bits;
using testing::random_amplitudes;

constexpr Amplitude kOne{1.0f, 0.0f};
constexpr Amplitude kZero{0.0f, 0.0f};

Operation one_qubit(Qubit q, const Matrix2& m) { return Operation{{q}, to_vector(m)}; }

Operation cx(Qubit control, Qubit target) {
    Result<Gate> g = controlled_gate({control}, target, matrices::x());
    EXPECT_TRUE(g.has_value());
    return std::get<Unitary>(*g).op;
}

std::size_t only_nonzero_index(const StateVector& s) {
    std::size_t found = s.size();
    for (std::size_t i = 0; i < s.size(); ++i)
        if (!(s.amplitudes[i] == kZero)) {
            EXPECT_EQ(found, s.size()) << "more than one nonzero amplitude";
            found = i;
        }
    return found;
}

StateVector random_state(std::uint32_t n, std::mt19937& rng) {
    StateVector s = StateVector::create(n);
    const auto v = random_amplitudes(s.size(), rng);
    std::copy(v.begin(), v.end(), s.amplitudes.begin());
    return s;
}

TEST(StateVectorCreate, IsTheZeroBasisState) {
    // 22 qubits is the first size whose memory comes from the operating system.
    static_assert((std::size_t{8} << 22) == kOsPagesMinBytes);
    for (std::uint32_t n : {0u, 1u, 3u, 17u, 21u, 22u}) {
        const StateVector s = StateVector::create(n);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s.amplitudes.data()) % kArrayAlignment, 0u);
        EXPECT_EQ(s.num_qubits, n);
        ASSERT_EQ(s.size(), std::size_t{1} << n);
        EXPECT_EQ(only_nonzero_index(s), 0u);
        EXPECT_EQ(s.amplitudes[0], kOne);
    }
}

TEST(AlignedArrayMemory, HeapAndMappedArraysAreZeroedCopiedAndFreedAlike) {
    for (std::size_t n : {std::size_t{1}, std::size_t{1000}, kOsPagesMinBytes / sizeof(float)}) {
        AlignedArray<float> a = AlignedArray<float>::zeroed(n);
        EXPECT_TRUE(std::all_of(a.begin(), a.end(), [](float v) { return bits(v) == 0u; })) << n;
        a[n - 1] = 2.0f;
        const AlignedArray<float> copy = a;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(copy.data()) % kArrayAlignment, 0u);
        EXPECT_EQ(copy[n - 1], 2.0f);
        // The way NumPy frees a handed-over array.
        AlignedArray<float>::free_raw(a.release());
        EXPECT_EQ(a.data(), nullptr);
    }
}

TEST(StateVectorCreate, ThirtyTwoQubitsIsAnInternalFault) {
    try {
        (void)StateVector::create(32);
        FAIL() << "no fault";
    } catch (const InternalFault& f) {
        EXPECT_STREQ(f.what(), "too many qubits in state vector");
    }
}

TEST(StateVectorCreate, ResetRestoresZeroState) {
    std::mt19937 rng(7);
    StateVector s = random_state(16, rng);
    reset_to_zero_state(s);
    EXPECT_TRUE(bit_identical(s.amplitudes.span(), StateVector::create(16).amplitudes.span()));
}

TEST(ValidateTargets, ReportsDuplicateBeforeRange) {
    const StateVector s = StateVector::create(3);
    EXPECT_TRUE(validate_targets(s, std::vector<Qubit>{2, 0, 1}).has_value());
    EXPECT_EQ(validate_targets(s, std::vector<Qubit>{1, 3}).error().message,
              "qubit index 3 is out of range for 3 qubits");
    EXPECT_EQ(validate_targets(s, std::vector<Qubit>{5, 4}).error().message,
              "qubit index 5 is out of range for 3 qubits");
    EXPECT_EQ(validate_targets(s, std::vector<Qubit>{7, 1, 2, 1, 2}).error().message,
              "duplicate qubit index: 1");
}

TEST(ApplyOperation, EveryOperationFailsOnZeroQubits) {
    StateVector s = StateVector::create(0);
    for (const Operation& op : {one_qubit(0, matrices::x()), one_qubit(0, matrices::h())}) {
        const Status st = apply_operation(s, op);
        ASSERT_FALSE(st.has_value());
        EXPECT_EQ(st.error().message, "qubit index 0 is out of range for 0 qubits");
    }
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s.amplitudes[0], kOne);
}

TEST(ApplyOperation, FailuresLeaveStateBitIdentical) {
    std::mt19937 rng(11);
    StateVector s = random_state(4, rng);
    const AlignedArray<Amplitude> before = s.amplitudes;
    struct Case {
        Operation op;
        const char* message;
    };
    const Case cases[] = {
        {one_qubit(4, matrices::h()), "qubit index 4 is out of range for 4 qubits"},
        {Operation{{0, 9}, std::vector<Amplitude>(16)}, "qubit index 9 is out of range for 4 qubits"},
        {Operation{{9, 2, 2}, std::vector<Amplitude>(64)}, "duplicate qubit index: 2"},
    };
    for (const Case& c : cases) {
        const Status st = apply_operation(s, c.op);
        ASSERT_FALSE(st.has_value());
        EXPECT_EQ(st.error().message, c.message);
        EXPECT_TRUE(bit_identical(before.span(), s.amplitudes.span()));
    }
}

TEST(ApplyOperation, XAndControlledXMoveTheAmplitude) {
    StateVector s = StateVector::create(2);
    ASSERT_TRUE(apply_operation(s, one_qubit(0, matrices::x())).has_value());
    EXPECT_EQ(only_nonzero_index(s), 1u);
    ASSERT_TRUE(apply_operation(s, cx(1, 0)).has_value());  // control 1 is 0: no change
    EXPECT_EQ(only_nonzero_index(s), 1u);
    ASSERT_TRUE(apply_operation(s, cx(0, 1)).has_value());
    EXPECT_EQ(only_nonzero_index(s), 3u);
    EXPECT_EQ(s.amplitudes[3], kOne);
}

TEST(ApplyOperation, HadamardOnQubitOne) {
    StateVector s = StateVector::create(2);
    ASSERT_TRUE(apply_operation(s, one_qubit(1, matrices::h())).has_value());
    EXPECT_EQ(s.amplitudes[0], (Amplitude{0.70710677f, 0.0f}));
    EXPECT_EQ(s.amplitudes[2], (Amplitude{0.70710677f, 0.0f}));
    EXPECT_EQ(s.amplitudes[1], kZero);
    EXPECT_EQ(s.amplitudes[3], kZero);
}

TEST(ApplyOperation, SwapOnTargetsTwoAndZero) {
    std::mt19937 rng(13);
    StateVector s = random_state(3, rng);
    const AlignedArray<Amplitude> before = s.amplitudes;
    ASSERT_TRUE(apply_operation(s, Operation{{2, 0}, matrices::swap()}).has_value());
    const std::size_t moved_from[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(s.amplitudes[i], before[moved_from[i]]) << i;
}

// With the targets [n−1, …, 0] the matrix row index is the amplitude index,
// so the result is a plain matrix-vector product (summed the same way). From
// two qubits up: one target takes the one-qubit path, which sums differently.
TEST(ApplyOperation, AllQubitOperationIsAMatrixVectorProduct) {
    std::mt19937 rng(17);
    for (std::uint32_t n = 2; n <= 6; ++n) {
        const std::size_t dim = std::size_t{1} << n;
        const auto matrix = random_amplitudes(dim * dim, rng);
        const StateVector start = random_state(n, rng);
        std::vector<Amplitude> expected(dim);
        for (std::size_t r = 0; r < dim; ++r) {
            Amplitude acc{0.0f, 0.0f};
            for (std::size_t c = 0; c < dim; ++c) acc = cadd(acc, cmul(matrix[r * dim + c], start.amplitudes[c]));
            expected[r] = acc;
        }
        std::vector<Qubit> high_first(n), low_first(n);
        for (std::uint32_t j = 0; j < n; ++j) high_first[j] = n - 1 - j, low_first[j] = j;

        StateVector s = start;
        ASSERT_TRUE(apply_operation(s, Operation{high_first, matrix}).has_value());
        EXPECT_TRUE(bit_identical(expected, s.amplitudes.span())) << "n=" << n;

        // Low qubit first: the same product in bit-reversed index order.
        auto reverse = [n](std::size_t i) {
            std::size_t r = 0;
            for (std::uint32_t b = 0; b < n; ++b) r |= ((i >> b) & 1u) << (n - 1 - b);
            return r;
        };
        StateVector reversed_in = start;
        for (std::size_t i = 0; i < dim; ++i) reversed_in.amplitudes[reverse(i)] = start.amplitudes[i];
        ASSERT_TRUE(apply_operation(reversed_in, Operation{low_first, matrix}).has_value());
        std::vector<Amplitude> reversed_out(dim);
        for (std::size_t i = 0; i < dim; ++i) reversed_out[i] = reversed_in.amplitudes[reverse(i)];
        EXPECT_TRUE(bit_identical(expected, reversed_out)) << "n=" << n << ", low qubit first";
    }
}

// A one-qubit gate embedded in a dense two-qubit operation (identity on the
// other qubit) goes through the general path; the extra terms are products
// with zero, so the values agree with the one-qubit path up to the sign of
// zero.
TEST(ApplyOperation, GeneralPathAgreesWithOneQubitPath) {
    std::mt19937 rng(19);
    const std::uint32_t n = 5;
    const Matrix2 u = matrices::u(0.3f, -1.1f, 2.4f);
    const Amplitude o = kZero;
    for (Qubit q = 0; q < n; ++q) {
        const Qubit other = (q + 2) % n;
        // kron(I, U) on [other, q] and kron(U, I) on [q, other].
        const std::vector<Amplitude> i_u = {u[0], u[1], o, o, u[2], u[3], o, o,
                                            o, o, u[0], u[1], o, o, u[2], u[3]};
        const std::vector<Amplitude> u_i = {u[0], o, u[1], o, o, u[0], o, u[1],
                                            u[2], o, u[3], o, o, u[2], o, u[3]};
        const StateVector start = random_state(n, rng);
        StateVector direct = start;
        ASSERT_TRUE(apply_operation(direct, one_qubit(q, u)).has_value());
        for (const Operation& dense : {Operation{{other, q}, i_u}, Operation{{q, other}, u_i}}) {
            StateVector general = start;
            ASSERT_TRUE(apply_operation(general, dense).has_value());
            EXPECT_TRUE(testing::equal_up_to_zero_sign(direct.amplitudes.span(),
                                                       general.amplitudes.span()))
                << "q=" << q;
        }
    }
}

TEST(ApplyOperation, ControlledGatesMatchOracle) {
    std::mt19937 rng(23);
    const std::uint32_t n = 6;
    for (int trial = 0; trial < 10; ++trial) {
        const Qubit c = rng() % n;
        Qubit t = rng() % n;
        if (t == c) t = (t + 1) % n;
        const Operation op = cx(c, t);
        StateVector s = random_state(n, rng);
        const AlignedArray<Amplitude> before = s.amplitudes;
        ASSERT_TRUE(apply_operation(s, op).has_value());
        EXPECT_TRUE(testing::matches_oracle(op, n, before.span(), s.amplitudes.span(), 1e-6));
    }
}

}  // namespace
}  // namespace vantelo::sim
