// Shared helpers for tests on amplitude arrays: reproducible random states and
// matrices (with exact and negative zeros mixed in, since the sign of zero is
// what distinguishes summation orders), bit-level comparison, and a dense
// double-precision oracle built from Kronecker products.
#pragma once

#include <gtest/gtest.h>

#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "sim/amplitude.hpp"
#include "sim/gates/gate.hpp"

namespace vantelo::sim::testing {

inline std::uint32_t bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// A float from [-1, 1], or now and then an exact ±0 or ±1.
inline float random_component(std::mt19937& rng) {
    const int pick = static_cast<int>(rng() % 16);
    if (pick == 0) return 0.0f;
    if (pick == 1) return -0.0f;
    if (pick == 2) return 1.0f;
    if (pick == 3) return -1.0f;
    return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
}

inline std::vector<Amplitude> random_amplitudes(std::size_t count, std::mt19937& rng) {
    std::vector<Amplitude> v(count);
    for (Amplitude& a : v) a = {random_component(rng), random_component(rng)};
    return v;
}

// Index of the first amplitude whose bits differ, or -1.
inline long first_bit_difference(std::span<const Amplitude> a, std::span<const Amplitude> b) {
    if (a.size() != b.size()) return 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (bits(a[i].re) != bits(b[i].re) || bits(a[i].im) != bits(b[i].im))
            return static_cast<long>(i);
    return -1;
}

inline ::testing::AssertionResult bit_identical(std::span<const Amplitude> a,
                                                std::span<const Amplitude> b) {
    const long i = first_bit_difference(a, b);
    if (i < 0) return ::testing::AssertionSuccess();
    if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes differ";
    return ::testing::AssertionFailure()
           << "amplitude " << i << ": (" << a[i].re << ", " << a[i].im << ") vs (" << b[i].re
           << ", " << b[i].im << ") bits " << std::hex << bits(a[i].re) << "," << bits(a[i].im)
           << " vs " << bits(b[i].re) << "," << bits(b[i].im);
}

// Equal as floats (so +0 == -0), not NaN.
inline ::testing::AssertionResult equal_up_to_zero_sign(std::span<const Amplitude> a,
                                                        std::span<const Amplitude> b) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(a[i].re == b[i].re && a[i].im == b[i].im))
            return ::testing::AssertionFailure() << "amplitude " << i << ": (" << a[i].re << ", "
                                                 << a[i].im << ") vs (" << b[i].re << ", "
                                                 << b[i].im << ")";
    return ::testing::AssertionSuccess();
}

using DenseMatrix = std::vector<std::complex<double>>;  // row-major, square

inline DenseMatrix kron(const DenseMatrix& a, std::size_t da, const DenseMatrix& b,
                        std::size_t db) {
    DenseMatrix out(da * db * da * db);
    const std::size_t d = da * db;
    for (std::size_t i = 0; i < da; ++i)
        for (std::size_t j = 0; j < da; ++j)
            for (std::size_t k = 0; k < db; ++k)
                for (std::size_t l = 0; l < db; ++l)
                    out[(i * db + k) * d + (j * db + l)] = a[i * da + j] * b[k * db + l];
    return out;
}

inline DenseMatrix identity(std::size_t d) {
    DenseMatrix m(d * d);
    for (std::size_t i = 0; i < d; ++i) m[i * d + i] = 1.0;
    return m;
}

// The 2^n × 2^n matrix of op on an n-qubit register: M ⊗ I in the basis where
// the targets, in list order, are the most significant bits and the other
// qubits follow in decreasing order; then re-indexed to the register's own
// basis (qubit q = bit q).
inline DenseMatrix full_matrix(const Operation& op, std::uint32_t n) {
    const std::size_t k = op.targets.size();
    const std::size_t dim = std::size_t{1} << k;
    DenseMatrix m(dim * dim);
    for (std::size_t e = 0; e < dim * dim; ++e) m[e] = {op.matrix[e].re, op.matrix[e].im};
    const std::size_t rest = std::size_t{1} << (n - k);
    const DenseMatrix big = kron(m, dim, identity(rest), rest);

    std::vector<std::uint32_t> order(op.targets.begin(), op.targets.end());
    for (std::uint32_t q = n; q-- > 0;) {
        bool is_target = false;
        for (auto t : op.targets) is_target |= (t == q);
        if (!is_target) order.push_back(q);
    }
    // order[p] is the register qubit held by bit (n − 1 − p) of the product basis.
    const std::size_t size = std::size_t{1} << n;
    std::vector<std::size_t> to_product(size);
    for (std::size_t i = 0; i < size; ++i) {
        std::size_t p = 0;
        for (std::size_t pos = 0; pos < n; ++pos) p |= ((i >> order[pos]) & 1u) << (n - 1 - pos);
        to_product[i] = p;
    }
    DenseMatrix full(size * size);
    for (std::size_t i = 0; i < size; ++i)
        for (std::size_t j = 0; j < size; ++j)
            full[i * size + j] = big[to_product[i] * size + to_product[j]];
    return full;
}

// full · state in double precision, compared entry by entry within tol.
inline ::testing::AssertionResult matches_oracle(const Operation& op, std::uint32_t n,
                                                 std::span<const Amplitude> before,
                                                 std::span<const Amplitude> after, double tol) {
    const DenseMatrix full = full_matrix(op, n);
    const std::size_t size = before.size();
    for (std::size_t i = 0; i < size; ++i) {
        std::complex<double> y = 0.0;
        for (std::size_t j = 0; j < size; ++j)
            y += full[i * size + j] * std::complex<double>(before[j].re, before[j].im);
        if (std::abs(y - std::complex<double>(after[i].re, after[i].im)) > tol)
            return ::testing::AssertionFailure()
                   << "amplitude " << i << ": got (" << after[i].re << ", " << after[i].im
                   << "), oracle (" << y.real() << ", " << y.imag() << ")";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace vantelo::sim::testing
