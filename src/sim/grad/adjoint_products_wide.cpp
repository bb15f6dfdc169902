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

// The eight chains widened and added in double in add_lanes' tree.
inline double widened_tree(const float chain[8]) {
    double c[8];
    for (int k = 0; k < 8; ++k) c[k] = double(chain[k]);
    return ((c[0] + c[1]) + (c[2] + c[3])) + ((c[4] + c[5]) + (c[6] + c[7]));
}

template <RotationKind Kind, bool Norm>
void block_partial(const Amplitude* phi, const Amplitude* psi, std::size_t first, std::size_t len,
                   std::size_t bit, double* product, double* norm_out) {
    constexpr bool pairs = Kind == RotationKind::Rx || Kind == RotationKind::Ry;
    float chain[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    float norm[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t j = 0; j < len; ++j) {
        const std::size_t x = first + j;
        const bool bit_set = (x & bit) != 0;
        const Amplitude p = psi[pairs ? x ^ bit : x];
        if (Norm) norm[j & 7] = norm[j & 7] + norm_squared(p);
        // P has no addend where the bit is clear.
        if (Kind == RotationKind::P && !bit_set) continue;
        chain[j & 7] = chain[j & 7] + addend<Kind>(bit_set, phi[x], p);
    }
    *product = widened_tree(chain);
    if (Norm) *norm_out = widened_tree(norm);
}

template <RotationKind Kind>
void blocks_partials(const Amplitude* phi, const Amplitude* psi, std::size_t len, std::size_t bit,
                     std::size_t block_begin, std::size_t block_end, double* products, double* norms) {
    for (std::size_t b = block_begin; b < block_end; ++b) {
        if (norms != nullptr)
            block_partial<Kind, true>(phi, psi, b * len, len, bit, products + b, norms + b);
        else
            block_partial<Kind, false>(phi, psi, b * len, len, bit, products + b, nullptr);
    }
}

}  // namespace

void wide_generator_partials_scalar(const Amplitude* phi, const Amplitude* psi,
                                    std::uint32_t num_qubits, RotationKind kind, Qubit q,
                                    std::size_t block_begin, std::size_t block_end,
                                    double* products, double* norms) {
    const std::size_t len = product_block_len(num_qubits);
    const std::size_t bit = std::size_t{1} << q;
    switch (kind) {
        case RotationKind::Rx:
            return blocks_partials<RotationKind::Rx>(phi, psi, len, bit, block_begin, block_end, products, norms);
        case RotationKind::Ry:
            return blocks_partials<RotationKind::Ry>(phi, psi, len, bit, block_begin, block_end, products, norms);
        case RotationKind::Rz:
            return blocks_partials<RotationKind::Rz>(phi, psi, len, bit, block_begin, block_end, products, norms);
        case RotationKind::P:
            return blocks_partials<RotationKind::P>(phi, psi, len, bit, block_begin, block_end, products, norms);
    }
}

void wide_generator_partials(const Amplitude* phi, const Amplitude* psi, std::uint32_t num_qubits,
                             RotationKind kind, Qubit q, std::size_t block_begin,
                             std::size_t block_end, double* products, double* norms) {
#if VANTELO_AVX2_KERNELS
    if (num_qubits >= 3 && cpu_has_avx2())
        return wide_generator_partials_avx2(phi, psi, num_qubits, kind, q, block_begin, block_end,
                                            products, norms);
#endif
    wide_generator_partials_scalar(phi, psi, num_qubits, kind, q, block_begin, block_end, products, norms);
}

double wide_combine_blocks(const double* values, std::size_t count) {
    double total = values[0];
    for (std::size_t b = 1; b < count; ++b) total = total + values[b];
    return total;
}

double wide_contribution(RotationKind kind, double product, double norm_squared) {
    if (kind == RotationKind::P) product = product * -2.0;
    return norm_squared > 0.0 ? product / norm_squared : product;
}

}  // namespace vantelo::sim
