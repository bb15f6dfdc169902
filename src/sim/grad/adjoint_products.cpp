#include "sim/grad/adjoint_products.hpp"

#include "pool/pool.hpp"
#include "sim/kernels/kernels.hpp"

namespace vantelo::sim {

namespace {

// Amplitudes per item of the observable loop: small registers stay on the
// calling thread.
// Two thousand amplitudes (16 KiB of φ, kept in L1 while the terms add into
// it), so a register of 2^12 already spreads over two workers.
constexpr std::size_t kObservableBlock = std::size_t{1} << 11;

// The addend of index x, given the two amplitudes it reads: f = φ[x] and
// p = ψ[x] or ψ[x ^ bit]. The signs are exact.
inline float addend(RotationKind kind, bool bit_set, Amplitude f, Amplitude p) {
    switch (kind) {
        case RotationKind::Rx: return f.re * p.im - f.im * p.re;
        case RotationKind::Ry: {
            const float t = f.re * p.re + f.im * p.im;
            return bit_set ? t : -t;
        }
        case RotationKind::Rz: {
            const float t = f.re * p.im - f.im * p.re;
            return bit_set ? -t : t;
        }
        case RotationKind::P: return bit_set ? f.re * p.im - f.im * p.re : 0.0f;
    }
    __builtin_unreachable();
}

template <RotationKind Kind>
float block_partial(const Amplitude* phi, const Amplitude* psi, std::size_t first, std::size_t len,
                    std::size_t bit) {
    // Rx and Ry pair x with x ^ bit; Rz and P read ψ at x itself.
    constexpr bool pairs = Kind == RotationKind::Rx || Kind == RotationKind::Ry;
    float lanes[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t j = 0; j < len; ++j) {
        const std::size_t x = first + j;
        const Amplitude p = psi[pairs ? x ^ bit : x];
        lanes[j & 7] = lanes[j & 7] + addend(Kind, (x & bit) != 0, phi[x], p);
    }
    return add_lanes(lanes);
}

}  // namespace

void apply_observable_scalar(const Amplitude* psi, Amplitude* phi, std::size_t first,
                             std::size_t last, std::span<const PauliTermMasks> masks,
                             std::span<const float> coefficients) {
    for (std::size_t y = first; y < last; ++y) {
        Amplitude acc{0.0f, 0.0f};
        for (std::size_t t = 0; t < masks.size(); ++t) {
            const PauliTermMasks& m = masks[t];
            const std::size_t x = y ^ m.flip;
            Amplitude w = psi[x];
            // phase(x) = i^nY · (−1)^popcount(x & parity): an exact
            // exchange and negation of w's parts.
            if (m.imaginary) w = Amplitude{-w.im, w.re};
            if (m.negated != static_cast<bool>(__builtin_parityll(x & m.parity)))
                w = Amplitude{-w.re, -w.im};
            const float c = coefficients[t];
            acc = Amplitude{acc.re + c * w.re, acc.im + c * w.im};
        }
        phi[y] = acc;
    }
}

void apply_observable_range(const Amplitude* psi, Amplitude* phi, std::size_t first,
                            std::size_t last, std::span<const PauliTermMasks> masks,
                            std::span<const float> coefficients) {
#if VANTELO_AVX2_KERNELS
    if (cpu_has_avx2() && first % 4 == 0 && last % 4 == 0)
        return apply_observable_avx2(psi, phi, first, last, masks, coefficients);
#endif
    apply_observable_scalar(psi, phi, first, last, masks, coefficients);
}

void apply_observable(const Amplitude* psi, Amplitude* phi, std::uint32_t num_qubits,
                      std::span<const PauliTermMasks> masks, std::span<const float> coefficients) {
    const std::size_t len = std::size_t{1} << num_qubits;
    pool::for_each_chunk_range(len, kObservableBlock, [&](std::size_t b, std::size_t e) {
        const std::size_t last = e * kObservableBlock < len ? e * kObservableBlock : len;
        apply_observable_range(psi, phi, b * kObservableBlock, last, masks, coefficients);
    });
}

void generator_partials(const Amplitude* phi, const Amplitude* psi, std::uint32_t num_qubits,
                        RotationKind kind, Qubit q, std::size_t block_begin, std::size_t block_end,
                        float* partials) {
#if VANTELO_AVX2_KERNELS
    if (num_qubits >= 3 && cpu_has_avx2())
        return generator_partials_avx2(phi, psi, num_qubits, kind, q, block_begin, block_end, partials);
#endif
    generator_partials_scalar(phi, psi, num_qubits, kind, q, block_begin, block_end, partials);
}

void generator_partials_scalar(const Amplitude* phi, const Amplitude* psi, std::uint32_t num_qubits,
                               RotationKind kind, Qubit q, std::size_t block_begin,
                               std::size_t block_end, float* partials) {
    const std::size_t len = product_block_len(num_qubits);
    const std::size_t bit = std::size_t{1} << q;
    for (std::size_t b = block_begin; b < block_end; ++b) {
        const std::size_t first = b * len;
        switch (kind) {
            case RotationKind::Rx:
                partials[b] = block_partial<RotationKind::Rx>(phi, psi, first, len, bit);
                break;
            case RotationKind::Ry:
                partials[b] = block_partial<RotationKind::Ry>(phi, psi, first, len, bit);
                break;
            case RotationKind::Rz:
                partials[b] = block_partial<RotationKind::Rz>(phi, psi, first, len, bit);
                break;
            case RotationKind::P:
                partials[b] = block_partial<RotationKind::P>(phi, psi, first, len, bit);
                break;
        }
    }
}

float combine_partials(RotationKind kind, const float* partials, std::size_t count) {
    float total = partials[0];
    for (std::size_t b = 1; b < count; ++b) total = total + partials[b];
    return kind == RotationKind::P ? total * -2.0f : total;
}

}  // namespace vantelo::sim
