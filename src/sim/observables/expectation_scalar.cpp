#include <bit>

#include "sim/observables/expectation_kernels.hpp"

namespace vantelo::sim {

namespace {

inline float with_sign(float t, std::uint32_t sign) {
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(t) ^ sign);
}

// The unsigned addend for pair (y = ψ[b ^ flip], x = ψ[b]); see the header.
inline float addend(bool imaginary, Amplitude y, Amplitude x) {
    if (imaginary) return y.im * x.re - y.re * x.im;
    return y.re * x.re + y.im * x.im;
}

// G chains side by side over blocks of B consecutive b (B a power of two
// ≤ 8, dividing the length): within a block b = h + j, so ψ[b ^ flip] is
// ψ[(h ^ flip_hi) + (j ^ flip_lo)] and the sign splits into a per-block and a
// per-j part.
template <std::size_t G, std::size_t B>
void sums_blocked(const Amplitude* psi, std::size_t len, const PauliTermMasks* terms, float* out) {
    std::size_t flip_hi[G];
    std::size_t flip_lo[G];
    std::uint32_t low_sign[G][B];
    bool imaginary[G];
    float s[G];
    for (std::size_t g = 0; g < G; ++g) {
        flip_hi[g] = terms[g].flip & ~std::uint64_t{B - 1};
        flip_lo[g] = terms[g].flip & (B - 1);
        for (std::uint32_t j = 0; j < B; ++j) low_sign[g][j] = low_sign_bits(terms[g], j);
        imaginary[g] = terms[g].imaginary;
        s[g] = 0.0f;
    }
    for (std::size_t h = 0; h < len; h += B) {
        const Amplitude* partner[G];
        std::uint32_t high_sign[G];
        for (std::size_t g = 0; g < G; ++g) {
            partner[g] = psi + (h ^ flip_hi[g]);
            high_sign[g] = high_sign_bits(terms[g], h);
        }
        for (std::size_t j = 0; j < B; ++j) {
            const Amplitude x = psi[h + j];
            for (std::size_t g = 0; g < G; ++g) {
                const float t = addend(imaginary[g], partner[g][j ^ flip_lo[g]], x);
                s[g] = s[g] + with_sign(t, low_sign[g][j] ^ high_sign[g]);
            }
        }
    }
    for (std::size_t g = 0; g < G; ++g) out[g] = s[g];
}

template <std::size_t G>
void sums_for_group(const Amplitude* psi, std::size_t len, const PauliTermMasks* terms, float* out) {
    switch (len) {
        case 1: return sums_blocked<G, 1>(psi, len, terms, out);
        case 2: return sums_blocked<G, 2>(psi, len, terms, out);
        case 4: return sums_blocked<G, 4>(psi, len, terms, out);
        default: return sums_blocked<G, 8>(psi, len, terms, out);
    }
}

}  // namespace

void term_sums_scalar(const Amplitude* psi, std::uint32_t num_qubits, const PauliTermMasks* terms,
                      std::size_t count, float* sums) {
    const std::size_t len = std::size_t{1} << num_qubits;
    // Groups of four keep every chain's accumulator and pointers in registers.
    while (count >= 4) {
        sums_for_group<4>(psi, len, terms, sums);
        terms += 4, sums += 4, count -= 4;
    }
    switch (count) {
        case 3: return sums_for_group<3>(psi, len, terms, sums);
        case 2: return sums_for_group<2>(psi, len, terms, sums);
        case 1: return sums_for_group<1>(psi, len, terms, sums);
        default: return;
    }
}

}  // namespace vantelo::sim
