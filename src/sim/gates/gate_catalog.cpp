#include "sim/gates/gate_catalog.hpp"

#include <cmath>

#include "platform/libm.hpp"

namespace vantelo::sim {

namespace {

struct SinCos {
    float s;
    float c;
};

// One single-precision sine-and-cosine evaluation.
SinCos sin_cos(float angle) {
    SinCos r;
    platform::sincosf(angle, &r.s, &r.c);
    return r;
}

constexpr Amplitude kZero{0.0f, 0.0f};
constexpr Amplitude kOne{1.0f, 0.0f};

}  // namespace

namespace matrices {

Matrix2 i() { return {kOne, kZero, kZero, kOne}; }
Matrix2 x() { return {kZero, kOne, kOne, kZero}; }
Matrix2 y() { return {kZero, Amplitude{0.0f, -1.0f}, Amplitude{0.0f, 1.0f}, kZero}; }
Matrix2 z() { return {kOne, kZero, kZero, Amplitude{-1.0f, 0.0f}}; }
Matrix2 h() {
    const float h = kHalfSqrt2;
    return {Amplitude{h, 0.0f}, Amplitude{h, 0.0f}, Amplitude{h, 0.0f}, Amplitude{-h, 0.0f}};
}
Matrix2 s() { return {kOne, kZero, kZero, Amplitude{kCosHalfPi, 1.0f}}; }
Matrix2 sdg() { return {kOne, kZero, kZero, Amplitude{kCosHalfPi, -1.0f}}; }
Matrix2 t() { return {kOne, kZero, kZero, Amplitude{kHalfSqrt2, kHalfSqrt2}}; }
Matrix2 tdg() { return {kOne, kZero, kZero, Amplitude{kHalfSqrt2, -kHalfSqrt2}}; }

Matrix2 rx(float theta) {
    const SinCos a = sin_cos(theta * 0.5f);
    return {Amplitude{a.c, 0.0f}, Amplitude{0.0f, -a.s}, Amplitude{0.0f, -a.s}, Amplitude{a.c, 0.0f}};
}

Matrix2 ry(float theta) {
    const SinCos a = sin_cos(theta * 0.5f);
    return {Amplitude{a.c, 0.0f}, Amplitude{-a.s, 0.0f}, Amplitude{a.s, 0.0f}, Amplitude{a.c, 0.0f}};
}

Matrix2 rz(float theta) {
    const SinCos lo = sin_cos(theta * -0.5f);
    const SinCos hi = sin_cos(theta * 0.5f);
    return {Amplitude{lo.c, lo.s}, kZero, kZero, Amplitude{hi.c, hi.s}};
}

Matrix2 p(float theta) {
    const SinCos a = sin_cos(theta);
    return {kOne, kZero, kZero, Amplitude{a.c, a.s}};
}

Matrix2 u(float theta, float phi, float lambda) {
    const SinCos a = sin_cos(theta * 0.5f);
    const SinCos l = sin_cos(lambda);
    const SinCos f = sin_cos(phi);
    const SinCos sum = sin_cos(phi + lambda);
    return {Amplitude{a.c, 0.0f}, Amplitude{-(l.c * a.s), -(l.s * a.s)},
            Amplitude{a.s * f.c, a.s * f.s}, Amplitude{a.c * sum.c, a.c * sum.s}};
}

Matrix2 cu(float theta, float phi, float lambda, float gamma) {
    const SinCos g = sin_cos(gamma);
    const Amplitude phase{g.c, g.s};
    Matrix2 m = u(theta, phi, lambda);
    for (Amplitude& entry : m) entry = cmul(phase, entry);
    return m;
}

std::vector<Amplitude> swap() {
    std::vector<Amplitude> m(16, kZero);
    m[0 * 4 + 0] = kOne;
    m[1 * 4 + 2] = kOne;
    m[2 * 4 + 1] = kOne;
    m[3 * 4 + 3] = kOne;
    return m;
}

std::vector<Amplitude> iswap() {
    std::vector<Amplitude> m(16, kZero);
    m[0 * 4 + 0] = kOne;
    m[1 * 4 + 2] = Amplitude{0.0f, 1.0f};
    m[2 * 4 + 1] = Amplitude{0.0f, 1.0f};
    m[3 * 4 + 3] = kOne;
    return m;
}

}  // namespace matrices

std::vector<Amplitude> to_vector(const Matrix2& m) { return {m.begin(), m.end()}; }

Result<Gate> single_qubit_gate(Qubit target, const Matrix2& m) {
    return unitary_gate(Operation::create({target}, to_vector(m)));
}

Result<Gate> controlled_gate(std::vector<Qubit> controls, Qubit target, const Matrix2& m) {
    return make_controlled_unitary_gate(std::move(controls), {target}, to_vector(m));
}

}  // namespace vantelo::sim
