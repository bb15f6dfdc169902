#include "sim/gates/fusion.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "sim/gates/gate_catalog.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {
namespace {

Gate one(Qubit q, const Matrix2& m) {
    return single_qubit_gate(q, m).value();
}
Gate cnot(Qubit c, Qubit t) {
    return controlled_gate({c}, t, matrices::x()).value();
}
Gate swap_gate(Qubit a, Qubit b) {
    return Unitary{Operation::create({a, b}, matrices::swap()).value()};
}

Matrix2 matrix_of(const Gate& g) {
    const auto& m = std::get<Unitary>(g).op.matrix;
    return {m[0], m[1], m[2], m[3]};
}

bool same_bits(const Amplitude& a, const Amplitude& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Deep equality: same variant, same qubits, matrices equal bit for bit.
bool same_gate(const Gate& a, const Gate& b) {
    if (a.index() != b.index()) return false;
    if (const auto* m = std::get_if<Measure>(&a)) return m->qubit == std::get<Measure>(b).qubit;
    if (const auto* r = std::get_if<Reset>(&a)) return r->qubit == std::get<Reset>(b).qubit;
    if (std::holds_alternative<Barrier>(a)) return true;
    const Operation& x = std::get<Unitary>(a).op;
    const Operation& y = std::get<Unitary>(b).op;
    if (x.targets != y.targets || x.matrix.size() != y.matrix.size()) return false;
    for (std::size_t i = 0; i < x.matrix.size(); ++i)
        if (!same_bits(x.matrix[i], y.matrix[i])) return false;
    return true;
}

void expect_same_list(const std::vector<Gate>& got, const std::vector<Gate>& expected) {
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(same_gate(got[i], expected[i])) << "item " << i;
}

// Reference 2 × 2 product later · earlier, entry by entry in single precision.
Matrix2 ref_product(const Matrix2& b, const Matrix2& a) {
    Matrix2 out;
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) {
            const Amplitude x0 = b[2 * r], y0 = a[c], x1 = b[2 * r + 1], y1 = a[2 + c];
            const float p0re = x0.re * y0.re - x0.im * y0.im;
            const float p0im = x0.re * y0.im + x0.im * y0.re;
            const float p1re = x1.re * y1.re - x1.im * y1.im;
            const float p1im = x1.re * y1.im + x1.im * y1.re;
            out[2 * r + c] = {p0re + p1re, p0im + p1im};
        }
    return out;
}

TEST(Fusion, TwoHadamardsGiveRoundedIdentity) {
    const std::vector<Gate> gates = {one(0, matrices::h()), one(0, matrices::h())};
    const std::vector<Gate> fused = fuse_gates(gates);
    ASSERT_EQ(fused.size(), 1u);
    EXPECT_EQ(std::get<Unitary>(fused[0]).op.targets, std::vector<Qubit>{0});
    const Matrix2 m = matrix_of(fused[0]);
    EXPECT_EQ(m[0], (Amplitude{0.99999994f, 0.0f}));
    EXPECT_EQ(m[1], (Amplitude{0.0f, 0.0f}));
    EXPECT_EQ(m[2], (Amplitude{0.0f, 0.0f}));
    EXPECT_EQ(m[3], (Amplitude{0.99999994f, 0.0f}));
}

TEST(Fusion, LaterGateMultipliesFromTheLeft) {
    const float a = 0.7f, b = 1.3f;
    const std::vector<Gate> fused =
        fuse_gates(std::vector<Gate>{one(0, matrices::rz(a)), one(0, matrices::rx(b))});
    ASSERT_EQ(fused.size(), 1u);
    const Matrix2 expected = ref_product(matrices::rx(b), matrices::rz(a));
    const Matrix2 wrong_order = ref_product(matrices::rz(a), matrices::rx(b));
    const Matrix2 got = matrix_of(fused[0]);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(same_bits(got[i], expected[i])) << "entry " << i;
    EXPECT_FALSE(got[1] == wrong_order[1]);
}

TEST(Fusion, LongRunFoldsInOrder) {
    const std::vector<Matrix2> run = {matrices::h(),
                                      matrices::t(),
                                      matrices::ry(0.4f),
                                      matrices::s(),
                                      matrices::u(0.3f, 1.1f, -0.6f),
                                      matrices::y()};
    std::vector<Gate> gates;
    Matrix2 expected = run[0];
    for (std::size_t i = 0; i < run.size(); ++i) {
        gates.push_back(one(2, run[i]));
        if (i > 0) expected = ref_product(run[i], expected);
    }
    const std::vector<Gate> fused = fuse_gates(gates);
    ASSERT_EQ(fused.size(), 1u);
    const Matrix2 got = matrix_of(fused[0]);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(same_bits(got[i], expected[i])) << "entry " << i;
}

TEST(Fusion, OnlyAdjacentSameQubitGatesMerge) {
    const std::vector<Gate> interleaved = {one(0, matrices::x()), one(1, matrices::h()),
                                           one(0, matrices::x())};
    expect_same_list(fuse_gates(interleaved), interleaved);

    const std::vector<Gate> controlled = {cnot(0, 1), one(0, matrices::x())};
    expect_same_list(fuse_gates(controlled), controlled);
}

TEST(Fusion, BarrierMeasureAndResetEndRuns) {
    const Matrix2 xx = ref_product(matrices::x(), matrices::x());
    expect_same_list(fuse_gates(std::vector<Gate>{one(0, matrices::x()), one(0, matrices::x()),
                                                  Barrier{}, one(0, matrices::x())}),
                     {one(0, xx), Barrier{}, one(0, matrices::x())});
    expect_same_list(fuse_gates(std::vector<Gate>{Measure{0}, one(0, matrices::x()),
                                                  one(0, matrices::x()), Reset{0}}),
                     {Measure{0}, one(0, xx), Reset{0}});
}

TEST(Fusion, EmptyListStaysEmpty) {
    EXPECT_TRUE(fuse_gates(std::vector<Gate>{}).empty());
}

TEST(Fusion, InputIsNotModified) {
    const std::vector<Gate> gates = {one(0, matrices::h()), one(0, matrices::t())};
    const std::vector<Gate> copy = gates;
    (void)fuse_gates(gates);
    expect_same_list(gates, copy);
}

// diag(1, 1.0004) passes the 1e-3 unitarity test on its own (row product
// 1.0008); two in a row multiply to 1.0016 and fail it.
Matrix2 barely_unitary(float d) {
    return {Amplitude{1, 0}, Amplitude{0, 0}, Amplitude{0, 0}, Amplitude{d, 0}};
}

TEST(Fusion, RunThatDriftsPastToleranceStaysUnfused) {
    const Gate d = one(0, barely_unitary(1.0004f));
    const std::vector<Gate> pair = {d, d};
    expect_same_list(fuse_gates(pair), pair);

    const std::vector<Gate> embedded = {one(1, matrices::h()), d, d, d, one(1, matrices::h()),
                                        one(1, matrices::h())};
    const std::vector<Gate> fused = fuse_gates(embedded);
    ASSERT_EQ(fused.size(), 5u);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(same_gate(fused[i], embedded[i]));
    EXPECT_TRUE(same_gate(fused[4], one(1, ref_product(matrices::h(), matrices::h()))));

    // Errors that cancel keep the product within tolerance, so it is fused.
    const std::vector<Gate> cancelling = {d, one(0, barely_unitary(0.9996f))};
    EXPECT_EQ(fuse_gates(cancelling).size(), 1u);
}

// Random lists over three qubits: the length shrinks by L − 1 for every run of
// L adjacent one-qubit gates on one qubit, every other item keeps its order,
// and (for purely unitary lists) the fused list acts like the original.
class FusionRandom : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(FusionRandom, PreservesStructureAndAction) {
    std::uint32_t x = GetParam();
    auto next = [&](std::uint32_t n) {
        x = x * 1664525u + 1013904223u;
        return (x >> 10) % n;
    };
    const bool unitary_only = GetParam() % 2 == 0;
    std::vector<Gate> gates;
    for (int i = 0; i < 60; ++i) {
        const Qubit q = next(2);  // mostly two qubits so runs form often
        switch (next(unitary_only ? 7 : 10)) {
            case 0:
                gates.push_back(one(q, matrices::h()));
                break;
            case 1:
                gates.push_back(one(q, matrices::rx(0.1f * next(60))));
                break;
            case 2:
                gates.push_back(one(q, matrices::t()));
                break;
            case 3:
                gates.push_back(one(q, matrices::u(0.3f, 0.2f * next(30), -0.5f)));
                break;
            case 4:
                gates.push_back(one(2, matrices::y()));
                break;
            case 5:
                gates.push_back(cnot(q, 2));
                break;
            case 6:
                gates.push_back(swap_gate(0, 1));
                break;
            case 7:
                gates.push_back(Measure{q});
                break;
            case 8:
                gates.push_back(Reset{q});
                break;
            default:
                gates.push_back(Barrier{});
                break;
        }
    }
    std::size_t expected_size = 0;
    std::vector<const Gate*> others;
    for (std::size_t i = 0; i < gates.size(); ++i) {
        const bool fusable = is_single_qubit_unitary(gates[i]);
        const bool continues =
            fusable && i > 0 && is_single_qubit_unitary(gates[i - 1]) &&
            std::get<Unitary>(gates[i - 1]).op.targets == std::get<Unitary>(gates[i]).op.targets;
        if (!continues) ++expected_size;
        if (!fusable) others.push_back(&gates[i]);
    }
    const std::vector<Gate> fused = fuse_gates(gates);
    ASSERT_EQ(fused.size(), expected_size);
    std::size_t k = 0;
    for (const Gate& g : fused)
        if (!is_single_qubit_unitary(g)) {
            ASSERT_LT(k, others.size());
            EXPECT_TRUE(same_gate(g, *others[k++]));
        }
    EXPECT_EQ(k, others.size());

    if (!unitary_only) return;
    StateVector a = StateVector::create(3), b = StateVector::create(3);
    for (std::size_t i = 0; i < a.size(); ++i)
        a.amplitudes[i] = b.amplitudes[i] = {0.125f * i, -0.05f * i};
    for (const Gate& g : gates)
        ASSERT_TRUE(apply_operation(a, std::get<Unitary>(g).op).has_value());
    for (const Gate& g : fused)
        ASSERT_TRUE(apply_operation(b, std::get<Unitary>(g).op).has_value());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_NEAR(a.amplitudes[i].re, b.amplitudes[i].re, 1e-5);
        EXPECT_NEAR(a.amplitudes[i].im, b.amplitudes[i].im, 1e-5);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, FusionRandom, ::testing::Range(1u, 13u));

}  // namespace
}  // namespace vantelo::sim
