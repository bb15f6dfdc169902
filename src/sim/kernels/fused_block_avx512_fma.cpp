// The fused dense kernel of fused_block_fma.inc with 512-bit registers:
// sixteen groups to a register, each lane doing the operations of
// fused_groups_scalar in its order, so the values are those of the AVX2
// form. Built with -mavx512f besides -mfma and run only where
// cpu_supports_avx512f(); FMA is allowed here as in the other fused-only
// files (namespace fused_fma). Empty off x86-64.
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <cstring>

#include "sim/kernels/avx512_intrinsics.hpp"
#include "sim/kernels/fused_block.hpp"

#define VANTELO_FUSED_WIDE 1

namespace vantelo::sim::fused_fma {

namespace avx512 {

#include "sim/kernels/fused_block_fma.inc"

}  // namespace avx512

void run_quads_avx512(Amplitude* a, const FusedPlan& plan, std::uint32_t n, std::size_t quad_begin,
                      std::size_t quad_end) {
    avx512::run_quads(a, plan, n, quad_begin, quad_end);
}

}  // namespace vantelo::sim::fused_fma

#endif  // VANTELO_AVX2_KERNELS
