// The sums of the unitarity test, M·M†, entry by entry and in blocks. Entry
// (i, j) is Σ_k M[i][k]·conj(M[j][k]) added in increasing k from +0, each
// product's parts rounded separately (no fused multiply-add): the blocked
// kernels give exactly these bits, one entry per lane, each lane still
// adding its products in k order.
#pragma once

#include <cstddef>

#include "sim/amplitude.hpp"
#include "sim/cpu/cpu_features.hpp"

namespace vantelo::sim {

// Entry (i, j) of M·M† (dim × dim, row-major), the plain test's sum.
inline Amplitude gram_entry(const Amplitude* m, std::size_t dim, std::size_t i, std::size_t j) {
    const Amplitude* row_i = m + i * dim;
    const Amplitude* row_j = m + j * dim;
    float s_re = 0.0f;
    float s_im = 0.0f;
    for (std::size_t k = 0; k < dim; ++k) {
        const Amplitude a = row_i[k];
        const Amplitude b = row_j[k];
        float rr = a.re * b.re;
        float ii = a.im * b.im;
        float ir = a.im * b.re;
        float ri = a.re * b.im;
        s_re = s_re + (rr + ii);
        s_im = s_im + (ir - ri);
    }
    return {s_re, s_im};
}

// A block of the blocked kernels: kGramRows rows i of M against kGramLanes
// rows j, one accumulator lane per entry (i, j).
inline constexpr std::size_t kGramRows = 4;
inline constexpr std::size_t kGramLanes = 8;

// A panel: rows j0 .. j0 + kGramLanes − 1 of M over columns [k0, k0 + kc),
// transposed so that step k is 2·kGramLanes floats, the real parts of
// M[j0 + l][k0 + k] for l = 0 .. 7, then their imaginary parts. 32-byte
// aligned.
inline constexpr std::size_t kGramPanelStep = 2 * kGramLanes;

// Accumulators of a block: for each of its rows, kGramLanes real sums then
// kGramLanes imaginary sums (kGramRows · kGramPanelStep floats, 32-byte
// aligned).
inline constexpr std::size_t kGramBlockFloats = kGramRows * kGramPanelStep;

// Continues every sum of a block over kc more steps: for row r and lane l,
// adds the products of rows[r][k] and the panel's lane l for k = 0 .. kc − 1
// in order. rows[r] points at column k0 of row i0 + r.
void gram_block_portable(const Amplitude* const* rows, const float* panel, std::size_t kc,
                         float* acc);

// The same bits with one AVX2 register per row's real or imaginary sums.
// Only call it when cpu_has_avx2().
#if VANTELO_AVX2_KERNELS
void gram_block_avx2(const Amplitude* const* rows, const float* panel, std::size_t kc, float* acc);
#endif

}  // namespace vantelo::sim
