// Register helpers shared by the AVX2 kernels; include only from files built
// with -mavx2 (*_avx2.cpp). A 256-bit register holds four amplitudes as
// (re, im) float pairs, 64 bits each.
//
// Every lane of an AVX2 kernel does exactly the scalar operations of
// cmul/cadd: two products, one subtract (real) or add (imaginary), then
// component-wise sums in the scalar order. _mm256_addsub_ps subtracts in even
// (real) lanes and adds in odd (imaginary) lanes, which is that scalar step
// when its operands hold the right products; float products and sums are
// commutative bit for bit, so operand order within one product or one
// addition does not matter.
#pragma once

#include "sim/cpu/cpu_features.hpp"
#if !VANTELO_AVX2_KERNELS
#error "the AVX2 kernels are built for x86-64 only"
#endif

#include <immintrin.h>

#include "sim/amplitude.hpp"

namespace vantelo::sim::avx2 {

// (re, im) -> (im, re) in every amplitude.
inline __m256 swap_re_im(__m256 x) { return _mm256_permute_ps(x, 0xB1); }

inline __m256 load(const Amplitude* p) { return _mm256_loadu_ps(reinterpret_cast<const float*>(p)); }
inline void store(Amplitude* p, __m256 v) { _mm256_storeu_ps(reinterpret_cast<float*>(p), v); }

inline __m256 unpack_lo(__m256 a, __m256 b) {
    return _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}
inline __m256 unpack_hi(__m256 a, __m256 b) {
    return _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(a), _mm256_castps_pd(b)));
}

}  // namespace vantelo::sim::avx2
