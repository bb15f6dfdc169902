// One item's kernel, chosen once and run many times on the small arrays of
// the executor's blocks. apply_single_qubit_kernel and apply_general pick
// their path and build their addressing on every call; inside a block the
// same item runs on hundreds of sub-blocks, where that set-up would cost
// about as much as the arithmetic. The arithmetic is theirs, unchanged.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/aligned_array.hpp"
#include "sim/kernels/fused_block.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/kernels/light.hpp"

namespace vantelo::sim {

struct BlockKernel {
    enum class Kind : std::uint8_t { Single, Monomial, DenseVector, DenseScalar, Fused };
    Kind kind = Kind::Single;
    Qubit qubit = 0;            // Single
    const Matrix2* m = nullptr;  // Single: borrowed
    GeneralPlan plan;           // the others; plan.matrix borrowed
    MonomialPlan mono;          // Monomial
    AlignedArray<float> packed;  // DenseVector
    FusedPlan fused;             // Fused
    LightPattern light = LightPattern::None;  // Single, when a light kernel fits
    bool light_runs = false;                  // Monomial, when light_runs_avx2 fits
    LightRuns runs;
    int growth = kUnboundedGrowth;            // growth_units of its matrix

    // Monomial kernels leave out their finiteness tests in a checked block.
    bool has_light() const { return light != LightPattern::None || light_runs || kind == Kind::Monomial; }
};

// m must outlive the kernel.
BlockKernel block_kernel_single(Qubit q, const Matrix2& m);
// op (with its matrix) must outlive the kernel.
BlockKernel block_kernel_general(const Operation& op);
// The same for an item of a fused circuit: a dense matrix on 2 to 5 targets
// takes the fused kernels, anything else block_kernel_general's.
BlockKernel block_kernel_fused(const Operation& op);

// Whether an item of a fused circuit takes the fused kernels. Both the block
// and the whole-state paths ask this, so an operation computes alike
// wherever a schedule places it.
bool takes_fused_kernel(const Operation& op);

// The kernel on a 2^num_qubits array (every qubit of the item below
// num_qubits), on this thread: the values apply_single_qubit_kernel and
// apply_general give, up to the sign of zero. scratch holds the item's 2^k
// amplitudes. `light` lets a kernel with a light pattern take it; only pass
// true for an array that passed light_bound_ok within kLightBudget units of
// growth.
void apply_block_kernel(const BlockKernel& k, Amplitude* a, std::uint32_t num_qubits,
                        Amplitude* scratch, bool light);

// Whether two one-qubit items, in this order, can take light_pair_avx2 on a
// 2^num_qubits array: both light, on distinct qubits.
bool light_pair_fits(const BlockKernel& first, const BlockKernel& second, std::uint32_t num_qubits);

// apply_block_kernel with `first` and then with `second`, both light, in one
// sweep and with the same values; only where light_pair_fits.
void apply_light_pair(const BlockKernel& first, const BlockKernel& second, Amplitude* a, std::uint32_t num_qubits);

// Whether `swaps` only trades runs on exactly the qubits of two light
// one-qubit items that light_pair_fits (both ≥ 2), or flips their signs (a
// cx, a swap or a cz on them),
// so that the pair and the swaps, the swaps before the pair (`before`) or
// after it, take one sweep; `out` then says where the pair reads and writes.
bool light_pair_swaps_fit(const BlockKernel& first, const BlockKernel& second, const BlockKernel& swaps, bool before,
                          std::uint32_t num_qubits, QuadMoves& out);

// The pair and the swaps in one sweep, with the values of the three kernels
// in turn; only where light_pair_swaps_fit.
void apply_light_pair_moved(const BlockKernel& first, const BlockKernel& second, const QuadMoves& moves, Amplitude* a,
                            std::uint32_t num_qubits);

// light_bound_ok with the fastest code this CPU runs.
bool light_bound_ok(const Amplitude* a, std::size_t len);

}  // namespace vantelo::sim
