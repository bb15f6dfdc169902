// The named gate matrices, bit for bit, against the same single-precision
// formulas evaluated here with ::sincosf.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "amplitude_test_util.hpp"
#include "sim/gates/gate_catalog.hpp"

namespace vantelo::sim {
namespace {

using testing::bit_identical;
using testing::bits;

struct SC {
    float s, c;
};
SC sc(float a) {
    SC r;
    ::sincosf(a, &r.s, &r.c);
    return r;
}

// (a.re·b.re − a.im·b.im, a.re·b.im + a.im·b.re), each product rounded first.
Amplitude product(Amplitude a, Amplitude b) {
    const float rr = a.re * b.re, ii = a.im * b.im, ri = a.re * b.im, ir = a.im * b.re;
    return {rr - ii, ri + ir};
}

std::vector<Amplitude> vec(const Matrix2& m) { return {m.begin(), m.end()}; }

// M·M† = I in double precision, for matrices whose entries are fixed constants.
::testing::AssertionResult unitary_in_double(std::span<const Amplitude> m, std::size_t dim) {
    for (std::size_t i = 0; i < dim; ++i)
        for (std::size_t j = 0; j < dim; ++j) {
            std::complex<double> s = 0.0;
            for (std::size_t k = 0; k < dim; ++k)
                s += std::complex<double>(m[i * dim + k].re, m[i * dim + k].im) *
                     std::conj(std::complex<double>(m[j * dim + k].re, m[j * dim + k].im));
            if (std::abs(s - (i == j ? 1.0 : 0.0)) > 1e-6)
                return ::testing::AssertionFailure() << "entry (" << i << ", " << j << ") = " << s;
        }
    return ::testing::AssertionSuccess();
}

TEST(GateConstants, BitPatterns) {
    EXPECT_EQ(bits(kHalfSqrt2), 0x3F3504F3u);
    EXPECT_EQ(bits(static_cast<float>(std::sqrt(0.5))), 0x3F3504F3u);
    EXPECT_EQ(bits(kCosHalfPi), 0xB33BBD2Eu);
    // κ is the single-precision cosine of the single-precision value of π/2.
    EXPECT_EQ(bits(std::cos(static_cast<float>(std::numbers::pi / 2))), 0xB33BBD2Eu);
}

TEST(GateCatalog, FixedMatrices) {
    const float h = std::bit_cast<float>(0x3F3504F3u);
    const float k = std::bit_cast<float>(0xB33BBD2Eu);
    const Amplitude o{0, 0}, l{1, 0};
    struct Case {
        const char* name;
        Matrix2 got;
        Matrix2 want;
    } cases[] = {
        {"i", matrices::i(), Matrix2{{l, o, o, l}}},
        {"x", matrices::x(), Matrix2{{o, l, l, o}}},
        {"y", matrices::y(), Matrix2{{o, {0, -1}, {0, 1}, o}}},
        {"z", matrices::z(), Matrix2{{l, o, o, {-1, 0}}}},
        {"h", matrices::h(), Matrix2{{{h, 0}, {h, 0}, {h, 0}, {-h, 0}}}},
        {"s", matrices::s(), Matrix2{{l, o, o, {k, 1}}}},
        {"sdg", matrices::sdg(), Matrix2{{l, o, o, {k, -1}}}},
        {"t", matrices::t(), Matrix2{{l, o, o, {h, h}}}},
        {"tdg", matrices::tdg(), Matrix2{{l, o, o, {h, -h}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(bit_identical(c.got, c.want));
        EXPECT_TRUE(unitary_in_double(c.got, 2));
    }
    std::vector<Amplitude> swap(16, o), iswap(16, o);
    swap[0] = swap[1 * 4 + 2] = swap[2 * 4 + 1] = swap[15] = l;
    iswap[0] = iswap[15] = l;
    iswap[1 * 4 + 2] = iswap[2 * 4 + 1] = Amplitude{0, 1};
    EXPECT_TRUE(bit_identical(matrices::swap(), swap));
    EXPECT_TRUE(bit_identical(matrices::iswap(), iswap));
    EXPECT_TRUE(unitary_in_double(matrices::swap(), 4));
    EXPECT_TRUE(unitary_in_double(matrices::iswap(), 4));
}

// rx(0) has off-diagonal entries (+0, −0): real parts are literal zeros, the
// imaginary parts are −sin(+0).
TEST(GateCatalog, RxZeroSignsOfZero) {
    const Matrix2 m = matrices::rx(0.0f);
    EXPECT_EQ(bits(m[1].re), 0u);
    EXPECT_EQ(bits(m[1].im), 0x80000000u);
    EXPECT_EQ(bits(m[2].im), 0x80000000u);
    EXPECT_EQ(m[0], (Amplitude{1, 0}));
}

class RotationMatrices : public ::testing::TestWithParam<float> {};

TEST_P(RotationMatrices, MatchSinCosFormulas) {
    const float th = GetParam();
    const SC a = sc(th * 0.5f);
    EXPECT_TRUE(bit_identical(matrices::rx(th),
                              Matrix2{{{a.c, 0}, {0, -a.s}, {0, -a.s}, {a.c, 0}}}));
    EXPECT_TRUE(bit_identical(matrices::ry(th),
                              Matrix2{{{a.c, 0}, {-a.s, 0}, {a.s, 0}, {a.c, 0}}}));
    const SC lo = sc(th * -0.5f);
    EXPECT_TRUE(bit_identical(matrices::rz(th),
                              Matrix2{{{lo.c, lo.s}, {0, 0}, {0, 0}, {a.c, a.s}}}));
    const SC f = sc(th);
    EXPECT_TRUE(bit_identical(matrices::p(th), Matrix2{{{1, 0}, {0, 0}, {0, 0}, {f.c, f.s}}}));
}

TEST_P(RotationMatrices, UAndCuFollowTheirRules) {
    const float th = GetParam();
    const float phis[] = {0.0f, 0.3f, -2.5f, th};
    const float lams[] = {0.0f, -0.7f, 4.0f, 1e4f};
    for (float phi : phis)
        for (float lam : lams) {
            SCOPED_TRACE(::testing::Message() << "phi " << phi << " lambda " << lam);
            const SC a = sc(th * 0.5f), l = sc(lam), f = sc(phi), sg = sc(phi + lam);
            const Matrix2 u{{{a.c, 0},
                             {-(l.c * a.s), -(l.s * a.s)},
                             {a.s * f.c, a.s * f.s},
                             {a.c * sg.c, a.c * sg.s}}};
            EXPECT_TRUE(bit_identical(matrices::u(th, phi, lam), u));
            for (float gamma : {0.0f, 0.9f, -3.0f}) {
                const SC g = sc(gamma);
                Matrix2 cu;
                for (int e = 0; e < 4; ++e) cu[e] = product({g.c, g.s}, u[e]);
                EXPECT_TRUE(bit_identical(matrices::cu(th, phi, lam, gamma), cu));
            }
            // An absent phase is γ = 0: the u entries times (1, 0).
            Matrix2 one;
            for (int e = 0; e < 4; ++e) one[e] = product({1, 0}, u[e]);
            EXPECT_TRUE(bit_identical(matrices::cu(th, phi, lam, 0.0f), one));
        }
}

TEST_P(RotationMatrices, RzAndPDifferByGlobalPhase) {
    const float th = GetParam();
    const Matrix2 rz = matrices::rz(th), p = matrices::p(th);
    // p = e^{iθ/2} · rz, checked on both diagonal entries in double.
    const std::complex<double> phase = std::polar(1.0, double(th) / 2);
    for (int e : {0, 3})
        EXPECT_LT(std::abs(phase * std::complex<double>(rz[e].re, rz[e].im) -
                           std::complex<double>(p[e].re, p[e].im)),
                  1e-6);
}

INSTANTIATE_TEST_SUITE_P(Angles, RotationMatrices,
                         ::testing::Values(0.0f, -0.0f, 0.25f, -1.3f,
                                           static_cast<float>(std::numbers::pi),
                                           -static_cast<float>(std::numbers::pi), 7.5f, 1e-7f,
                                           12345.678f, -1e6f));

const Operation& op_of(const Result<Gate>& g) { return std::get<Unitary>(g.value()).op; }

TEST(ControlledGates, CnotExample) {
    const Result<Gate> g = controlled_gate({0}, 1, matrices::x());
    ASSERT_TRUE(g) << g.error().message;
    const Amplitude o{0, 0}, l{1, 0};
    const std::vector<Amplitude> want{l, o, o, o, o, l, o, o, o, o, o, l, o, o, l, o};
    EXPECT_EQ(op_of(g).targets, (std::vector<Qubit>{0, 1}));
    EXPECT_TRUE(bit_identical(op_of(g).matrix, want));
}

TEST(ControlledGates, ToffoliAndFredkinPermuteIdentityRows) {
    auto permuted_identity = [](std::size_t a, std::size_t b) {
        std::vector<Amplitude> m(64, Amplitude{0, 0});
        for (std::size_t r = 0; r < 8; ++r) m[r * 8 + (r == a ? b : r == b ? a : r)] = {1, 0};
        return m;
    };
    const Result<Gate> ccx = controlled_gate({0, 1}, 2, matrices::x());
    ASSERT_TRUE(ccx) << ccx.error().message;
    EXPECT_EQ(op_of(ccx).targets, (std::vector<Qubit>{0, 1, 2}));
    EXPECT_TRUE(bit_identical(op_of(ccx).matrix, permuted_identity(6, 7)));

    const Result<Gate> cswap = make_controlled_unitary_gate({0}, {1, 2}, matrices::swap());
    ASSERT_TRUE(cswap) << cswap.error().message;
    EXPECT_EQ(op_of(cswap).targets, (std::vector<Qubit>{0, 1, 2}));
    EXPECT_TRUE(bit_identical(op_of(cswap).matrix, permuted_identity(5, 6)));
}

TEST(SingleQubitGate, HoldsTargetAndMatrixUnchanged) {
    const Result<Gate> g = single_qubit_gate(17, matrices::u(1.0f, 2.0f, 3.0f));
    ASSERT_TRUE(g) << g.error().message;
    EXPECT_EQ(op_of(g).targets, (std::vector<Qubit>{17}));
    EXPECT_TRUE(bit_identical(op_of(g).matrix, vec(matrices::u(1.0f, 2.0f, 3.0f))));
    EXPECT_TRUE(is_single_qubit_unitary(g.value()));
}

}  // namespace
}  // namespace vantelo::sim
