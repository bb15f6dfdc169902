// The fused dense kernel with AVX2 and FMA (the only files built with
// -mfma are the *_fma.cpp; the check on the module's code allows fused
// multiply-adds in the fused_fma namespace alone). The kernel's body is
// fused_block_fma.inc; where the CPU has AVX-512F the wide form of
// fused_block_avx512_fma.cpp runs instead, with the same values.
// Empty off x86-64 (CMake leaves it out there too).
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <immintrin.h>

#include <cstring>

#include "sim/kernels/fused_block.hpp"

namespace vantelo::sim {

namespace fused_fma::avx2 {

#include "sim/kernels/fused_block_fma.inc"

}  // namespace fused_fma::avx2

void fused_quads_fma(Amplitude* a, const FusedPlan& plan, std::uint32_t n, std::size_t quad_begin,
                     std::size_t quad_end) {
    // Both forms give the same bits; the wide one only where it is faster.
    if (fused_wide_enabled() && (plan.num_targets > 2 || (plan.target_mask & 3u) == 0))
        return fused_fma::run_quads_avx512(a, plan, n, quad_begin, quad_end);
    fused_fma::avx2::run_quads(a, plan, n, quad_begin, quad_end);
}

}  // namespace vantelo::sim

#endif  // VANTELO_AVX2_KERNELS
