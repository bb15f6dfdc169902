// The named gates with their exact single-precision matrices. Angles are
// single precision and every sine and cosine is a single-precision function of
// a single-precision argument.
#pragma once

#include <array>
#include <vector>

#include "sim/gates/gate.hpp"

namespace vantelo::sim {

using Matrix2 = std::array<Amplitude, 4>;  // m00, m01, m10, m11

inline constexpr float kHalfSqrt2 = 0.70710677f;          // bits 0x3F3504F3
inline constexpr float kCosHalfPi = -4.3711388e-08f;      // bits 0xB33BBD2E

namespace matrices {
Matrix2 i();
Matrix2 x();
Matrix2 y();
Matrix2 z();
Matrix2 h();
Matrix2 s();
Matrix2 sdg();
Matrix2 t();
Matrix2 tdg();
Matrix2 rx(float theta);
Matrix2 ry(float theta);
Matrix2 rz(float theta);
Matrix2 p(float theta);
Matrix2 u(float theta, float phi, float lambda);
// e^{iγ} · u(theta, phi, lambda), entry by entry.
Matrix2 cu(float theta, float phi, float lambda, float gamma);
std::vector<Amplitude> swap();
std::vector<Amplitude> iswap();
}  // namespace matrices

std::vector<Amplitude> to_vector(const Matrix2& m);

// Operation on [target] with a 2 × 2 matrix.
Result<Gate> single_qubit_gate(Qubit target, const Matrix2& m);
// make_controlled_unitary_gate with a 2 × 2 target matrix.
Result<Gate> controlled_gate(std::vector<Qubit> controls, Qubit target, const Matrix2& m);

}  // namespace vantelo::sim
