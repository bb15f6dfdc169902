#include "sim/kernels/block_kernel.hpp"

namespace vantelo::sim {

BlockKernel block_kernel_single(Qubit q, const Matrix2& m) {
    BlockKernel k;
    k.qubit = q;
    k.m = &m;
    k.growth = growth_units(m.data(), 4, 2);
    if (cpu_has_avx2() && k.growth != kUnboundedGrowth) k.light = light_pattern(m);
    if (q <= 1 && cpu_has_avx2()) {
        // The lane permutations the whole-state kernel takes for diagonal
        // and anti-diagonal gates on qubits 0 and 1.
        k.plan.num_targets = 1;
        k.plan.dim = 2;
        k.plan.target_mask = std::size_t{1} << q;
        k.plan.offsets = {0, k.plan.target_mask};
        k.plan.matrix = m.data();
        if (make_monomial_plan(k.plan, k.mono)) k.kind = BlockKernel::Kind::Monomial;
    }
    return k;
}

BlockKernel block_kernel_general(const Operation& op) {
    BlockKernel k;
    k.plan = make_general_plan(op);
    k.growth = growth_units(op.matrix.data(), op.matrix.size(), k.plan.dim);
    k.kind = BlockKernel::Kind::DenseScalar;
#if VANTELO_AVX2_KERNELS
    if (cpu_has_avx2() && make_monomial_plan(k.plan, k.mono)) {
        k.kind = BlockKernel::Kind::Monomial;
        k.light_runs = k.growth != kUnboundedGrowth && make_light_runs(k.plan, k.mono, k.runs);
    } else if (cpu_has_avx2() && k.plan.dim >= 4) {
        k.kind = BlockKernel::Kind::DenseVector;
        k.packed = pack_matrix_avx2(k.plan);
    }
#endif
    return k;
}

bool takes_fused_kernel(const Operation& op) {
    const std::size_t k = op.targets.size();
    if (!op.controls.empty() || k < kMinFusedTargets || k > kMaxFusedTargets) return false;
    // Monomial matrices keep their exact kernels: one product per amplitude
    // beats any dense sum.
    MonomialPlan mono;
    return !(k <= 3 && make_monomial_plan(make_general_plan(op), mono));
}

BlockKernel block_kernel_fused(const Operation& op) {
    if (!takes_fused_kernel(op)) return block_kernel_general(op);
    BlockKernel k;
    k.kind = BlockKernel::Kind::Fused;
    k.fused = make_fused_plan(op);
    k.plan.dim = k.fused.dim;
    // The bound holds as for the exact dense kernel: the outputs are the
    // same sums up to rounding, and the three-multiplication chains
    // (c(a + b) and its partners) are at most twice them, inside the 2^4
    // headroom the budget leaves below the largest float. Without it every
    // light kernel after a fused block would check its block again.
    k.growth = growth_units(op.matrix.data(), op.matrix.size(), k.fused.dim);
    return k;
}

bool light_pair_fits(const BlockKernel& first, const BlockKernel& second, std::uint32_t num_qubits) {
    return num_qubits >= 4 && first.light != LightPattern::None && second.light != LightPattern::None &&
           first.qubit != second.qubit;
}

void apply_light_pair(const BlockKernel& first, const BlockKernel& second, Amplitude* a, std::uint32_t num_qubits) {
#if VANTELO_AVX2_KERNELS
    light_pair_avx2(a, std::size_t{1} << num_qubits, first.qubit, *first.m, first.light, second.qubit, *second.m,
                    second.light);
#else
    // No light patterns are made without AVX2, so light_pair_fits never holds.
    (void)first, (void)second, (void)a, (void)num_qubits;
#endif
}

bool light_pair_swaps_fit(const BlockKernel& first, const BlockKernel& second, const BlockKernel& swaps, bool before,
                          std::uint32_t num_qubits, QuadMoves& out) {
    if (!light_pair_fits(first, second, num_qubits) || first.qubit < 2 || second.qubit < 2) return false;
    if (swaps.kind != BlockKernel::Kind::Monomial || !swaps.light_runs || swaps.runs.moved) return false;
    const std::size_t sa = std::size_t{1} << first.qubit;
    const std::size_t sb = std::size_t{1} << second.qubit;
    if (swaps.plan.target_mask != (sa | sb)) return false;
    const LightRuns& runs = swaps.runs;
    // Rows that keep their place may only change sign (unit −1), which
    // flips a sign bit as the monomial kernel does.
    std::uint8_t flipped = 0;  // bit k: register k holds a −1 row
    for (std::size_t k = 0; k < runs.num_scaled; ++k) {
        if (runs.unit[k] != 2) return false;
        const std::size_t at = runs.scaled[k];
        flipped |= static_cast<std::uint8_t>(1u << ((at & sa ? 1u : 0u) | (at & sb ? 2u : 0u)));
    }
    // The swaps trade the runs at two offsets of a group, and are their own
    // inverse: where a value ends up is also where it came from.
    auto moved = [&](std::size_t at) {
        for (std::size_t k = 0; k < runs.num_swaps; ++k) {
            if (runs.swap[k][0] == at) return runs.swap[k][1];
            if (runs.swap[k][1] == at) return runs.swap[k][0];
        }
        return at;
    };
    out = quad_in_place(first.qubit, second.qubit);
    for (std::size_t k = 0; k < 4; ++k) {
        std::size_t& at = before ? out.from[k] : out.to[k];
        at = moved(at);
    }
    (before ? out.flip_in : out.flip_out) = flipped;
    return true;
}

void apply_light_pair_moved(const BlockKernel& first, const BlockKernel& second, const QuadMoves& moves, Amplitude* a,
                            std::uint32_t num_qubits) {
#if VANTELO_AVX2_KERNELS
    light_pair_moved_avx2(a, std::size_t{1} << num_qubits, first.qubit, *first.m, first.light, second.qubit, *second.m,
                          second.light, moves);
#else
    (void)first, (void)second, (void)moves, (void)a, (void)num_qubits;
#endif
}

bool light_bound_ok(const Amplitude* a, std::size_t len) {
#if VANTELO_AVX2_KERNELS
    if (cpu_has_avx2()) return light_bound_ok_avx2(a, len);
#endif
    return light_bound_ok_scalar(a, len);
}

void apply_block_kernel(const BlockKernel& k, Amplitude* a, std::uint32_t num_qubits,
                        Amplitude* scratch, bool light) {
    const std::size_t len = std::size_t{1} << num_qubits;
#if VANTELO_AVX2_KERNELS
    // Only an AVX2 process makes light patterns, monomial and vector kinds.
    if (light && k.light != LightPattern::None && len >= 8)
        return light_single_qubit_avx2(a, len, k.qubit, *k.m, k.light);
    if (light && k.light_runs) return light_runs_avx2(a, len, k.plan, k.runs);
#else
    (void)light;
#endif
    switch (k.kind) {
        case BlockKernel::Kind::Monomial:
#if VANTELO_AVX2_KERNELS
            // Needs one whole register; smaller arrays take the dense sums.
            if (len >= 4)
                return monomial_groups_avx2(a, k.plan, k.mono, 0, monomial_register_groups(k.plan, len), light);
#endif
            if (k.plan.num_targets == 1) break;
            return general_groups_scalar(a, k.plan, 0, len >> k.plan.num_targets, scratch);
        case BlockKernel::Kind::DenseVector:
#if VANTELO_AVX2_KERNELS
            return general_groups_avx2(a, k.plan, k.packed.data(), 0, len >> k.plan.num_targets, scratch);
#else
            [[fallthrough]];
#endif
        case BlockKernel::Kind::DenseScalar:
            return general_groups_scalar(a, k.plan, 0, len >> k.plan.num_targets, scratch);
        case BlockKernel::Kind::Fused:
            return apply_fused_block(a, num_qubits, k.fused);
        case BlockKernel::Kind::Single:
            break;
    }
    const std::size_t chunks = len >> (k.qubit + 1);
#if VANTELO_AVX2_KERNELS
    if (cpu_has_avx2()) return apply_single_qubit_chunks_avx2(a, k.qubit, *k.m, 0, chunks);
#endif
    apply_single_qubit_chunks_scalar(a, k.qubit, *k.m, 0, chunks);
}

}  // namespace vantelo::sim
