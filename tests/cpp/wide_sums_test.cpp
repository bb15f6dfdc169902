// Double-precision sums: the AVX2 kernels give the scalar references' bits
// (signed zeros included), and both agree with a plain double loop over the
// whole register to double rounding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "sim/grad/adjoint_products.hpp"
#include "sim/grad/adjoint_products_wide.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/observables/expectation_wide.hpp"
#include "sim/observables/expectation_wide_diagonal.hpp"

namespace vantelo::sim {
namespace {

[[maybe_unused]] bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<Amplitude> random_state(std::size_t size, std::mt19937& rng) {
    std::normal_distribution<float> g;
    std::vector<Amplitude> psi(size);
    for (Amplitude& a : psi) a = {g(rng), g(rng)};
    psi[size - 1] = {-0.0f, 0.0f};
    return psi;
}

PauliTermMasks random_masks(std::uint32_t n, std::mt19937& rng) {
    PauliTermMasks m;
    int num_y = 0;
    for (std::uint32_t q = 0; q < n; ++q) {
        const unsigned pick = rng() % 4;  // I, X, Y, Z
        if (pick == 0) continue;
        if (pick != 3) m.flip |= std::uint64_t{1} << q;
        if (pick != 1) m.parity |= std::uint64_t{1} << q;
        num_y += pick == 2;
    }
    m.imaginary = num_y % 2 == 1;
    m.negated = num_y % 4 >= 2;
    return m;
}

// Σ_b Re(conj(ψ[b ^ flip]) · phase(b) · ψ[b]) in one serial double loop.
double plain_term_sum(const std::vector<Amplitude>& psi, const PauliTermMasks& m) {
    double s = 0.0;
    for (std::size_t b = 0; b < psi.size(); ++b) {
        const Amplitude y = psi[b ^ m.flip], x = psi[b];
        double a = m.imaginary ? double(y.im) * x.re - double(y.re) * x.im
                               : double(y.re) * x.re + double(y.im) * x.im;
        if (m.negated != static_cast<bool>(__builtin_parityll(b & m.parity))) a = -a;
        s += a;
    }
    return s;
}

// The register's sums of every term against the plain loop.
void expect_register_sums(const std::vector<Amplitude>& psi, std::uint32_t n,
                          const std::vector<PauliTermMasks>& masks) {
    std::vector<double> sums(masks.size());
    wide_term_sums(psi.data(), n, masks, sums.data());
    for (std::size_t t = 0; t < masks.size(); ++t)
        EXPECT_NEAR(sums[t], plain_term_sum(psi, masks[t]), 1e-12 * double(psi.size()))
            << n << " qubits, term " << t;
}

TEST(WideSums, TermSumsKernelsAgree) {
    std::mt19937 rng(31);
    for (std::uint32_t n : {1u, 2u, 3u, 5u, 12u, 14u}) {
        const std::vector<Amplitude> psi = random_state(std::size_t{1} << n, rng);
        std::vector<PauliTermMasks> masks;
        for (int t = 0; t < 9; ++t) masks.push_back(random_masks(n, rng));
        expect_register_sums(psi, n, masks);
#if VANTELO_AVX2_KERNELS
        const std::size_t len = std::min(psi.size(), std::size_t{1} << kWideBlockBits);
        if (!cpu_has_avx2() || len < 4) continue;
        for (std::size_t first = 0; first < psi.size(); first += len) {
            std::vector<double> want(masks.size()), got(masks.size());
            wide_block_sums_scalar(psi.data(), first, len, masks.data(), masks.size(), want.data());
            wide_block_sums_avx2(psi.data(), first, len, masks.data(), masks.size(), got.data());
            for (std::size_t t = 0; t < masks.size(); ++t)
                ASSERT_TRUE(same_bits(want[t], got[t])) << n << " qubits, block " << first << ", term " << t;
        }
#endif
    }
}

// Diagonal terms share one transform per block: the register's sums
// through it match the plain loop, and the AVX2 transform the scalar one.
TEST(WideSums, DiagonalTransformAgrees) {
    std::mt19937 rng(41);
    for (std::uint32_t n : {1u, 4u, 5u, 6u, 12u, 14u}) {
        const std::vector<Amplitude> psi = random_state(std::size_t{1} << n, rng);
        std::vector<PauliTermMasks> masks(1);  // the identity
        for (int t = 0; t < 8; ++t) {
            PauliTermMasks m = random_masks(n, rng);
            m.flip = 0;
            m.imaginary = false;
            masks.push_back(m);
        }
        masks.push_back(random_masks(n, rng));  // most likely not diagonal
        expect_register_sums(psi, n, masks);
#if VANTELO_AVX2_KERNELS
        const std::size_t len = std::min(psi.size(), std::size_t{1} << kWideBlockBits);
        if (!cpu_has_avx2() || len < 16) continue;
        std::vector<double> work(len);
        for (std::size_t first = 0; first < psi.size(); first += len) {
            std::vector<double> want(8), got(8);
            wide_diagonal_block_sums_scalar(psi.data(), first, len, masks.data(), 8, work.data(), want.data());
            wide_diagonal_block_sums_avx2(psi.data(), first, len, masks.data(), 8, work.data(), got.data());
            for (std::size_t t = 0; t < 8; ++t)
                ASSERT_TRUE(same_bits(want[t], got[t])) << n << " qubits, block " << first << ", term " << t;
        }
#endif
    }
}

TEST(WideSums, GeneratorPartialsKernelsAgree) {
    std::mt19937 rng(37);
    for (std::uint32_t n : {2u, 3u, 5u, 11u}) {
        const std::size_t size = std::size_t{1} << n;
        const std::vector<Amplitude> phi = random_state(size, rng), psi = random_state(size, rng);
        const std::size_t blocks = product_blocks(n);
        std::vector<double> want(2 * blocks), got(2 * blocks), bare(blocks);
        std::vector<float> single(blocks);
        double norm = 0.0;
        for (const Amplitude& a : psi) norm += double(a.re) * a.re + double(a.im) * a.im;
        for (int kind = 0; kind < 4; ++kind)
            for (Qubit q = 0; q < n; ++q) {
                const auto k = static_cast<RotationKind>(kind);
                wide_generator_partials_scalar(phi.data(), psi.data(), n, k, q, 0, blocks, want.data(),
                                               want.data() + blocks);
                // The single-precision partials sum the same addends; the
                // wide ones are divided by ψ's norm squared.
                generator_partials_scalar(phi.data(), psi.data(), n, k, q, 0, blocks, single.data());
                const double total = wide_contribution(k, wide_combine_blocks(want.data(), blocks),
                                                       wide_combine_blocks(want.data() + blocks, blocks));
                EXPECT_NEAR(total * norm, combine_partials(k, single.data(), blocks), 1e-4 * double(size))
                    << "kind " << kind << " qubit " << q;
                // Without the norms the products keep their bits.
                wide_generator_partials(phi.data(), psi.data(), n, k, q, 0, blocks, bare.data(), nullptr);
                for (std::size_t b = 0; b < blocks; ++b)
                    ASSERT_TRUE(same_bits(want[b], bare[b])) << "kind " << kind << " qubit " << q << " block " << b;
#if VANTELO_AVX2_KERNELS
                if (!cpu_has_avx2() || n < 3) continue;
                wide_generator_partials_avx2(phi.data(), psi.data(), n, k, q, 0, blocks, got.data(),
                                             got.data() + blocks);
                for (std::size_t b = 0; b < 2 * blocks; ++b)
                    ASSERT_TRUE(same_bits(want[b], got[b])) << "kind " << kind << " qubit " << q << " entry " << b;
#endif
            }
    }
}

}  // namespace
}  // namespace vantelo::sim
