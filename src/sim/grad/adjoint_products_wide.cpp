#include "sim/grad/adjoint_products_wide.hpp"

#include "sim/grad/adjoint_products.hpp"
#include "sim/kernels/kernels.hpp"

namespace vantelo::sim {

namespace {

inline double cross(Amplitude f, Amplitude p) {
    return double(f.re) * double(p.im) - double(f.im) * double(p.re);
}

inline double dot(Amplitude f, Amplitude p) {
    return double(f.re) * double(p.re) + double(f.im) * double(p.im);
}

// The addend of index x, as adjoint_products.cpp forms it in single
// precision. The signs are exact.
template <RotationKind Kind>
inline double addend(bool bit_set, Amplitude f, Amplitude p) {
    if constexpr (Kind == RotationKind::Rx) return cross(f, p);
    if constexpr (Kind == RotationKind::Ry) return bit_set ? dot(f, p) : -dot(f, p);
    if constexpr (Kind == RotationKind::Rz) return bit_set ? -cross(f, p) : cross(f, p);
    return bit_set ? cross(f, p) : 0.0;
}

template <RotationKind Kind>
double block_partial(const Amplitude* phi, const Amplitude* psi, std::size_t first, std::size_t len,
                     std::size_t bit) {
    constexpr bool pairs = Kind == RotationKind::Rx || Kind == RotationKind::Ry;
    double chain[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t j = 0; j < len; ++j) {
        const std::size_t x = first + j;
        const Amplitude p = psi[pairs ? x ^ bit : x];
        chain[j & 3] = chain[j & 3] + addend<Kind>((x & bit) != 0, phi[x], p);
    }
    return (chain[0] + chain[1]) + (chain[2] + chain[3]);
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

void wide_generator_partials(const Amplitude* phi, const Amplitude* psi, std::uint32_t num_qubits,
                             RotationKind kind, Qubit q, std::size_t block_begin,
                             std::size_t block_end, double* partials) {
    if (num_qubits >= 2 && cpu_has_avx2())
        return wide_generator_partials_avx2(phi, psi, num_qubits, kind, q, block_begin, block_end,
                                            partials);
    wide_generator_partials_scalar(phi, psi, num_qubits, kind, q, block_begin, block_end, partials);
}

double wide_combine_partials(RotationKind kind, const double* partials, std::size_t count) {
    double total = partials[0];
    for (std::size_t b = 1; b < count; ++b) total = total + partials[b];
    return kind == RotationKind::P ? total * -2.0 : total;
}

}  // namespace vantelo::sim
