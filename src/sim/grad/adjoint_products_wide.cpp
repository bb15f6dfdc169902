#include "sim/grad/adjoint_products_wide.hpp"

#include "sim/grad/adjoint_products.hpp"
#include "sim/kernels/kernels.hpp"

namespace vantelo::sim {

namespace {

// The single-precision addend of index x, as adjoint_products.cpp forms it.
template <RotationKind Kind>
inline float addend(bool bit_set, Amplitude f, Amplitude p) {
    if constexpr (Kind == RotationKind::Ry) {
        const float t = f.re * p.re + f.im * p.im;
        return bit_set ? t : -t;
    }
    const float t = f.re * p.im - f.im * p.re;
    if constexpr (Kind == RotationKind::Rz) return bit_set ? -t : t;
    return t;
}

// Single precision: the norm only has to resolve the drift (10^-7 and up),
// and the roundings of its addends and chains are random, averaging out
// over the blocks.
inline float norm_squared(Amplitude a) {
    return a.re * a.re + a.im * a.im;
}

template <RotationKind Kind>
void block_partial(const Amplitude* phi, const Amplitude* psi, std::size_t first, std::size_t len,
                   std::size_t bit, double* out) {
    constexpr bool pairs = Kind == RotationKind::Rx || Kind == RotationKind::Ry;
    double chain[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    float norm[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t j0 = 0; j0 < len; j0 += kWideStretch) {
        float part[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
        const std::size_t stop = j0 + kWideStretch < len ? j0 + kWideStretch : len;
        for (std::size_t j = j0; j < stop; ++j) {
            const std::size_t x = first + j;
            const bool bit_set = (x & bit) != 0;
            const Amplitude p = psi[pairs ? x ^ bit : x];
            norm[j & 7] = norm[j & 7] + norm_squared(p);
            // P has no addend where the bit is clear.
            if (Kind == RotationKind::P && !bit_set) continue;
            part[j & 7] = part[j & 7] + addend<Kind>(bit_set, phi[x], p);
        }
        for (int c = 0; c < 8; ++c) chain[c] = chain[c] + double(part[c]);
    }
    out[0] = ((chain[0] + chain[1]) + (chain[2] + chain[3])) + ((chain[4] + chain[5]) + (chain[6] + chain[7]));
    double n[8];
    for (int c = 0; c < 8; ++c) n[c] = double(norm[c]);
    out[1] = ((n[0] + n[1]) + (n[2] + n[3])) + ((n[4] + n[5]) + (n[6] + n[7]));
}

}  // namespace

void wide_generator_partials_scalar(const Amplitude* phi, const Amplitude* psi,
                                    std::uint32_t num_qubits, RotationKind kind, Qubit q,
                                    std::size_t block_begin, std::size_t block_end,
                                    double* partials) {
    const std::size_t len = product_block_len(num_qubits);
    const std::size_t bit = std::size_t{1} << q;
    for (std::size_t b = block_begin; b < block_end; ++b) {
        const std::size_t first = b * len;
        switch (kind) {
            case RotationKind::Rx:
                block_partial<RotationKind::Rx>(phi, psi, first, len, bit, partials + 2 * b);
                break;
            case RotationKind::Ry:
                block_partial<RotationKind::Ry>(phi, psi, first, len, bit, partials + 2 * b);
                break;
            case RotationKind::Rz:
                block_partial<RotationKind::Rz>(phi, psi, first, len, bit, partials + 2 * b);
                break;
            case RotationKind::P:
                block_partial<RotationKind::P>(phi, psi, first, len, bit, partials + 2 * b);
                break;
        }
    }
}

void wide_generator_partials(const Amplitude* phi, const Amplitude* psi, std::uint32_t num_qubits,
                             RotationKind kind, Qubit q, std::size_t block_begin,
                             std::size_t block_end, double* partials) {
#if VANTELO_AVX2_KERNELS
    if (num_qubits >= 3 && cpu_has_avx2())
        return wide_generator_partials_avx2(phi, psi, num_qubits, kind, q, block_begin, block_end,
                                            partials);
#endif
    wide_generator_partials_scalar(phi, psi, num_qubits, kind, q, block_begin, block_end, partials);
}

double wide_combine_partials(RotationKind kind, const double* partials, std::size_t count) {
    double total = partials[0];
    double norm = partials[1];
    for (std::size_t b = 1; b < count; ++b) {
        total = total + partials[2 * b];
        norm = norm + partials[2 * b + 1];
    }
    if (kind == RotationKind::P) total = total * -2.0;
    return norm > 0.0 ? total / norm : total;
}

}  // namespace vantelo::sim
