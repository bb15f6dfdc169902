// Operation construction: the checks of both constructors in their order with
// their exact messages, the unitarity test's edge cases, and the controlled
// expansion against a dense construction indexed by control pattern.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "amplitude_test_util.hpp"
#include "sim/gates/gate.hpp"
#include "sim/gates/gate_catalog.hpp"

namespace vantelo::sim {
namespace {

using testing::bit_identical;
using Matrix = std::vector<Amplitude>;

std::vector<Qubit> range(Qubit first, Qubit count) {
    std::vector<Qubit> q(count);
    std::iota(q.begin(), q.end(), first);
    return q;
}

Matrix identity(std::size_t dim) {
    Matrix m(dim * dim, Amplitude{0, 0});
    for (std::size_t i = 0; i < dim; ++i) m[i * dim + i] = Amplitude{1, 0};
    return m;
}

Matrix diagonal(float a, float b) { return {{a, 0}, {0, 0}, {0, 0}, {b, 0}}; }

const Matrix kX = to_vector(matrices::x());
const Matrix kZeros(4, Amplitude{0, 0});
const Matrix kOverTolerance = diagonal(1.0f, 1.0006f);  // shape fine, not unitary
const std::string kNotUnitary = "matrix must be unitary within tolerance 1e-3";
const std::string kShape = "matrix shape mismatch: expected ";

struct CreateCase {
    std::vector<Qubit> targets;
    Matrix matrix;
    std::string message;  // empty: accepted
};

void PrintTo(const CreateCase& c, std::ostream* os) { *os << '"' << c.message << '"'; }

class OperationCreate : public ::testing::TestWithParam<CreateCase> {};

TEST_P(OperationCreate, ChecksInOrder) {
    const CreateCase& c = GetParam();
    const Result<Operation> op = Operation::create(c.targets, c.matrix);
    if (c.message.empty()) {
        ASSERT_TRUE(op) << op.error().message;
        EXPECT_EQ(op->targets, c.targets);
        EXPECT_TRUE(bit_identical(op->matrix, c.matrix));
    } else {
        ASSERT_FALSE(op);
        EXPECT_EQ(op.error().message, c.message);
    }
}

std::vector<Qubit> with_tail(std::vector<Qubit> q, std::vector<Qubit> tail) {
    q.insert(q.end(), tail.begin(), tail.end());
    return q;
}

INSTANTIATE_TEST_SUITE_P(
    Table, OperationCreate,
    ::testing::Values(
        CreateCase{{}, kX, "unitary operation must target at least one qubit"},
        CreateCase{{}, {}, "unitary operation must target at least one qubit"},
        // The first position with a later equal entry names the index.
        CreateCase{{3, 5, 5, 3}, kZeros, "duplicate qubit index: 3"},
        CreateCase{{4, 7, 9, 7}, kZeros, "duplicate qubit index: 7"},
        CreateCase{with_tail(range(0, 40), {39}), {}, "duplicate qubit index: 39"},
        CreateCase{range(0, 32), kX, "too many qubits in operation: 32"},
        CreateCase{range(5, 40), {}, "too many qubits in operation: 40"},
        CreateCase{{0, 1}, kX, kShape + "16 complex values for 2 targets, got 4"},
        CreateCase{{0}, {}, kShape + "4 complex values for 1 targets, got 0"},
        CreateCase{{2}, identity(4), kShape + "4 complex values for 1 targets, got 16"},
        CreateCase{range(0, 31), kX,
                   kShape + "4611686018427387904 complex values for 31 targets, got 4"},
        CreateCase{{0}, kZeros, kNotUnitary},
        CreateCase{{9}, kOverTolerance, kNotUnitary},
        CreateCase{{0}, kX, ""},
        CreateCase{{6, 2}, matrices::iswap(), ""},
        CreateCase{{1}, diagonal(1.0f, std::numeric_limits<float>::quiet_NaN()), ""}));

struct ControlledCase {
    std::vector<Qubit> controls;
    std::vector<Qubit> targets;
    Matrix matrix;
    std::string message;
};

void PrintTo(const ControlledCase& c, std::ostream* os) { *os << '"' << c.message << '"'; }

class ControlledErrors : public ::testing::TestWithParam<ControlledCase> {};

TEST_P(ControlledErrors, ChecksInOrder) {
    const ControlledCase& c = GetParam();
    const Result<Gate> g = make_controlled_unitary_gate(c.controls, c.targets, c.matrix);
    ASSERT_FALSE(g);
    EXPECT_EQ(g.error().message, c.message);
}

const std::string kDup = "duplicate qubit index: ";
const std::string kTooMany = "too many qubits in operation: ";

INSTANTIATE_TEST_SUITE_P(
    Table, ControlledErrors,
    ::testing::Values(
        ControlledCase{{}, {1}, kX, "controlled unitary requires at least one control qubit"},
        ControlledCase{{}, {}, {}, "controlled unitary requires at least one control qubit"},
        ControlledCase{{0}, {}, kX, "controlled unitary requires at least one target qubit"},
        ControlledCase{{0}, range(1, 32), {}, kTooMany + "32"},
        ControlledCase{{0}, with_tail(range(1, 40), {1}), kX, kTooMany + "41"},
        ControlledCase{{0}, {1}, identity(4),
                       kShape + "4 complex values for 1 target qubits, got 16"},
        ControlledCase{{0, 0}, {0, 1}, kX, kShape + "16 complex values for 2 target qubits, got 4"},
        ControlledCase{{0}, range(1, 30), {},
                       kShape + "1152921504606846976 complex values for 30 target qubits, got 0"},
        ControlledCase{{0}, {1}, kOverTolerance, kNotUnitary},
        ControlledCase{{0}, {0}, kZeros, kNotUnitary},
        ControlledCase{range(0, 31), {31}, kZeros, kNotUnitary},
        ControlledCase{range(0, 31), {31}, kX, kTooMany + "32"},
        ControlledCase{std::vector<Qubit>(31, 0), {0}, kX, kTooMany + "32"},
        ControlledCase{{1}, {1}, kX, kDup + "1"},
        ControlledCase{{0, 2, 0}, {1}, kX, kDup + "0"},
        ControlledCase{{2, 5}, {5, 2}, matrices::swap(), kDup + "2"},
        ControlledCase{{4}, {6, 4}, matrices::swap(), kDup + "4"},
        ControlledCase{with_tail(range(0, 20), {3}), {20}, kX, kDup + "3"},
        // Wide controls are kept, not expanded: only 32 qubits in all fail.
        ControlledCase{range(0, 30), {30, 31}, matrices::swap(), kTooMany + "32"}));

TEST(IsUnitary, ToleranceAppliesToTheProduct) {
    EXPECT_TRUE(is_unitary(diagonal(1.0f, 1.0004f), 2));  // 1.0008 on the diagonal
    EXPECT_FALSE(is_unitary(diagonal(1.0f, 1.0006f), 2));  // 1.0012
    EXPECT_TRUE(is_unitary(diagonal(1.0f, -1.0004f), 2));
    EXPECT_TRUE(is_unitary(diagonal(1.0f, 0.9996f), 2));
    EXPECT_FALSE(is_unitary(diagonal(1.0f, 0.9994f), 2));
    EXPECT_TRUE(is_unitary(diagonal(1.0f, 1.00049f), 2));  // distance 0.00098
    EXPECT_FALSE(is_unitary(diagonal(1.0f, 1.00051f), 2));  // distance 0.00102
    // An off-diagonal ε(1 + i) is at distance ε√2: a Euclidean, not per-part, test.
    auto skew = [](float e) { return Matrix{{1, 0}, {e, e}, {0, 0}, {1, 0}}; };
    EXPECT_TRUE(is_unitary(skew(0.0007f), 2));
    EXPECT_FALSE(is_unitary(skew(0.0008f), 2));
}

// Wide matrices are tested row by row on the pool: the same answer as the
// serial test, whichever row fails (first, last, or on the tolerance's edge).
TEST(CheckUnitary, WideMatricesAgreeWithTheSerialTest) {
    for (const std::size_t dim : {kParallelUnitaryDim, 2 * kParallelUnitaryDim}) {
        std::mt19937 rng(static_cast<unsigned>(dim));
        std::vector<std::size_t> column(dim);
        std::iota(column.begin(), column.end(), std::size_t{0});
        std::shuffle(column.begin(), column.end(), rng);
        Matrix m(dim * dim, Amplitude{0.0f, 0.0f});
        for (std::size_t r = 0; r < dim; ++r) {
            const float phase = static_cast<float>(r) * 0.37f;
            m[r * dim + column[r]] = Amplitude{std::cos(phase), std::sin(phase)};
        }
        for (const std::size_t row : {std::size_t{0}, dim / 2, dim - 1})
            for (const float scale : {1.0f, 1.0004f, 1.0006f, 1.5f}) {
                Matrix changed = m;
                Amplitude& a = changed[row * dim + column[row]];
                a = Amplitude{a.re * scale, a.im * scale};
                const bool serial = is_unitary(changed, dim);
                const Status parallel = check_unitary(changed, dim);
                ASSERT_EQ(parallel.has_value(), serial) << dim << " " << row << " " << scale;
                if (!serial) {
                    EXPECT_EQ(parallel.error().message, "matrix must be unitary within tolerance 1e-3");
                }
            }
    }
}

TEST(IsUnitary, NaNDistancesNeverFailAndDimZeroPasses) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(is_unitary(diagonal(1.0f, nan), 2));
    EXPECT_TRUE(is_unitary(Matrix(4, Amplitude{nan, nan}), 2));
    EXPECT_FALSE(is_unitary(diagonal(std::numeric_limits<float>::infinity(), 1.0f), 2));
    EXPECT_TRUE(is_unitary({}, 0));
}

// The dense matrix of U (2^t × 2^t) controlled by c qubits: with row and
// column indices split as (control pattern, target index), U where both
// patterns are all ones, the identity on equal patterns, 0 across patterns.
Matrix dense_controlled(std::span<const Amplitude> u, std::size_t c, std::size_t t) {
    const std::size_t T = std::size_t{1} << t, P = std::size_t{1} << c, D = P * T;
    Matrix e(D * D, Amplitude{0, 0});
    for (std::size_t p = 0; p < P; ++p)
        for (std::size_t i = 0; i < T; ++i)
            for (std::size_t j = 0; j < T; ++j) {
                Amplitude& out = e[(p * T + i) * D + (p * T + j)];
                if (p == P - 1) out = u[i * T + j];
                else if (i == j) out = Amplitude{1, 0};
            }
    return e;
}

TEST(ControlledExpansion, MatchesDenseConstruction) {
    const struct {
        std::vector<Qubit> controls;
        std::vector<Qubit> targets;
        Matrix u;
    } cases[] = {
        {{3}, {1}, to_vector(matrices::y())},
        {{0}, {5}, to_vector(matrices::h())},
        {{2}, {0}, to_vector(matrices::rx(0.83f))},
        {{4, 1}, {0}, to_vector(matrices::cu(0.83f, 0.2f, -1.1f, 0.6f))},
        {{7, 2, 5}, {1}, to_vector(matrices::p(-0.83f))},
        {{6, 0, 2, 9}, {3}, to_vector(matrices::z())},
        {{1}, {4, 0}, matrices::iswap()},
        {{2, 3}, {0, 1}, matrices::swap()},
    };
    for (const auto& c : cases) {
        const Result<Gate> g = make_controlled_unitary_gate(c.controls, c.targets, c.u);
        ASSERT_TRUE(g) << g.error().message;
        const Operation& op = std::get<Unitary>(g.value()).op;
        if (c.controls.size() + c.targets.size() > kMaxExpandedQubits) {
            // Kept as controls and U (the kernel's tests compare it with
            // this expansion).
            EXPECT_EQ(op.controls, c.controls);
            EXPECT_EQ(op.targets, c.targets);
            EXPECT_TRUE(bit_identical(op.matrix, c.u));
            continue;
        }
        EXPECT_EQ(op.targets, with_tail(c.controls, c.targets));
        EXPECT_TRUE(op.controls.empty());
        EXPECT_TRUE(bit_identical(op.matrix,
                                  dense_controlled(c.u, c.controls.size(), c.targets.size())));
    }
}

// Float matrix product of two dim × dim matrices, each complex product
// rounded as the core rounds it.
Matrix multiply(const Matrix& a, const Matrix& b, std::size_t dim) {
    Matrix out(dim * dim, Amplitude{0, 0});
    for (std::size_t i = 0; i < dim; ++i)
        for (std::size_t j = 0; j < dim; ++j)
            for (std::size_t k = 0; k < dim; ++k)
                out[i * dim + j] = cadd(out[i * dim + j], cmul(a[i * dim + k], b[k * dim + j]));
    return out;
}

Matrix kron2(const Matrix2& a, const Matrix2& b) {
    Matrix out(16);
    for (std::size_t i = 0; i < 2; ++i)
        for (std::size_t j = 0; j < 2; ++j)
            for (std::size_t k = 0; k < 2; ++k)
                for (std::size_t l = 0; l < 2; ++l)
                    out[(i * 2 + k) * 4 + (j * 2 + l)] = cmul(a[i * 2 + j], b[k * 2 + l]);
    return out;
}

// The constructor tests U alone and skips the O(8^k) test of the expansion;
// that is sound only if both verdicts agree, for unitary U and for U just
// outside the tolerance alike.
TEST(ControlledExpansion, UnitarityVerdictMatchesTargetMatrix) {
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<float> angle(-7.0f, 7.0f), nudge(-0.002f, 0.002f);
    auto random_u = [&] {
        return matrices::cu(angle(rng), angle(rng), angle(rng), angle(rng));
    };
    int verdicts[2] = {0, 0};
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t t = 1 + trial % 2;
        const std::size_t c = 1 + (trial / 2) % (t == 1 ? 3 : 2);
        Matrix u = t == 1 ? to_vector(random_u())
                          : multiply(kron2(random_u(), random_u()),
                                     multiply(dense_controlled(kX, 1, 1),
                                              kron2(random_u(), random_u()), 4),
                                     4);
        const std::size_t T = std::size_t{1} << t;
        const int kind = trial % 7;
        Amplitude& hit = u[rng() % u.size()];
        if (kind >= 3) hit.re += nudge(rng);
        if (kind >= 5) hit.im += nudge(rng);
        if (kind == 2) hit.im = std::numeric_limits<float>::quiet_NaN();
        if (kind == 1 && trial % 3 == 0) hit.re = std::numeric_limits<float>::infinity();

        const bool verdict = is_unitary(u, T);
        SCOPED_TRACE(::testing::Message() << "trial " << trial << " c " << c << " t " << t);
        EXPECT_EQ(is_unitary(dense_controlled(u, c, t), T << c), verdict);
        const Result<Gate> g = make_controlled_unitary_gate(range(0, Qubit(c)),
                                                            range(Qubit(c), Qubit(t)), u);
        EXPECT_EQ(g.has_value(), verdict);
        ++verdicts[verdict];
    }
    // Both outcomes occur, so the agreement above is not vacuous.
    EXPECT_GT(verdicts[0], 20);
    EXPECT_GT(verdicts[1], 20);
}

}  // namespace
}  // namespace vantelo::sim
