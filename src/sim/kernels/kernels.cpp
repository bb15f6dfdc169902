// Kernel dispatch: picks the scalar or AVX2 kernels once per process and runs
// them on the worker pool.
#include <atomic>
#include <cstring>
#include <vector>

#include "pool/pool.hpp"
#include "sim/kernels/kernels.hpp"

namespace vantelo::sim {

namespace {

// Set once a gate loop has run in this process, so the pool has been created
// (or its creation failed and loops run inline). Filling a fresh state uses
// the pool only after that: a fill must never be the loop that creates the
// pool, which would fix its size before the program had a chance to choose it.
std::atomic<bool> g_pool_started{false};

void note_pool_started() {
    if (!g_pool_started.load(std::memory_order_relaxed))
        g_pool_started.store(true, std::memory_order_relaxed);
}

// Fill items: 32768 amplitudes (256 KiB), so small states never leave the
// calling thread.
constexpr std::size_t kFillBlock = std::size_t{1} << 15;

// The monomial kernel on the pool; false (nothing done) where it does not
// apply. Needs one whole register (four amplitudes).
bool try_monomial(Amplitude* a, std::size_t len, const GeneralPlan& plan) {
#if VANTELO_AVX2_KERNELS
    MonomialPlan mono;
    if (!cpu_has_avx2() || len < 4 || !make_monomial_plan(plan, mono)) return false;
    pool::for_each_piece(monomial_register_groups(plan, len), [&](std::size_t b, std::size_t e) {
        monomial_groups_avx2(a, plan, mono, b, e);
    });
    return true;
#else
    (void)a, (void)len, (void)plan;
    return false;
#endif
}

}  // namespace

void apply_single_qubit_kernel(Amplitude* a, std::uint32_t num_qubits, Qubit q, const Matrix2& m) {
    const std::size_t len = std::size_t{1} << num_qubits;
    note_pool_started();
    if (q <= 1) {
        // Diagonal and anti-diagonal gates (x, y, z, s, t, p, rz, …) on
        // qubits 0 and 1: one lane permutation and either a sign flip or one
        // product per register beat the dense kernel's shuffles and sums
        // there. On higher qubits the dense one-qubit kernel measured faster
        // (the finiteness test costs what the products save).
        const Amplitude entries[4] = {m[0], m[1], m[2], m[3]};
        GeneralPlan plan;
        plan.num_targets = 1;
        plan.dim = 2;
        plan.target_mask = std::size_t{1} << q;
        plan.offsets = {0, plan.target_mask};
        plan.matrix = entries;
        if (try_monomial(a, len, plan)) return;
    }
    auto* kernel = &apply_single_qubit_chunks_scalar;
#if VANTELO_AVX2_KERNELS
    if (cpu_has_avx2()) kernel = &apply_single_qubit_chunks_avx2;
#endif
    pool::for_each_chunk_range(len, std::size_t{2} << q,
                               [&](std::size_t b, std::size_t e) { kernel(a, q, m, b, e); });
}

void apply_general(Amplitude* a, std::uint32_t num_qubits, const Operation& op) {
    const GeneralPlan plan = make_general_plan(op);
    note_pool_started();
    // One nonzero entry per row (cz, cp, crz, cx, swap, ccx, cswap, …):
    // exact up to the sign of zero.
    if (try_monomial(a, std::size_t{1} << num_qubits, plan)) return;
    const std::size_t dim = plan.dim;
    const std::size_t groups = (std::size_t{1} << num_qubits) >> plan.num_targets;
#if VANTELO_AVX2_KERNELS
    const bool vector = cpu_has_avx2() && dim >= 4;
    AlignedArray<float> packed;
    if (vector) packed = pack_matrix_avx2(plan);
#endif
    if (groups >= pool::current_num_threads()) {
        // Enough groups for every worker: each piece updates whole groups in
        // place, saving a group's inputs in its own scratch first.
        pool::for_each_piece(groups, [&](std::size_t b, std::size_t e) {
            std::vector<Amplitude> scratch(dim > 4 ? dim : 0);
#if VANTELO_AVX2_KERNELS
            if (vector) return general_groups_avx2(a, plan, packed.data(), b, e, scratch.data());
#endif
            general_groups_scalar(a, plan, b, e, scratch.data());
        });
        return;
    }
    // Few, large groups (an operation on most of the register): save one
    // group's inputs, then share its rows among the workers. Every row reads
    // only the saved inputs and writes only its own amplitude.
    std::vector<Amplitude> saved(dim);
    std::size_t base = 0;
    for (std::size_t g = 0; g < groups; ++g, base = next_group_base(plan, base)) {
        for (std::size_t c = 0; c < dim; ++c) saved[c] = a[base + plan.offsets[c]];
#if VANTELO_AVX2_KERNELS
        if (vector) {
            pool::for_each_piece(dim / 4, [&](std::size_t b, std::size_t e) {
                general_row_blocks_avx2(a, plan, packed.data(), base, saved.data(), b, e);
            });
            continue;
        }
#endif
        pool::for_each_piece(dim, [&](std::size_t b, std::size_t e) {
            general_rows_scalar(a, plan, base, saved.data(), b, e);
        });
    }
}

void fill_zero_state(Amplitude* a, std::size_t len) {
    const std::size_t blocks = (len + kFillBlock - 1) / kFillBlock;
    auto fill = [&](std::size_t b, std::size_t e) {
        const std::size_t first = b * kFillBlock;
        const std::size_t last = e * kFillBlock < len ? e * kFillBlock : len;
        std::memset(static_cast<void*>(a + first), 0, (last - first) * sizeof(Amplitude));
    };
    // Touching the pages from the workers also spreads the page faults of a
    // fresh allocation over them.
    if (blocks >= 2 && (g_pool_started.load(std::memory_order_relaxed) || pool::on_worker_thread()))
        pool::for_each_piece(blocks, fill);
    else
        fill(0, blocks);
    if (len != 0) a[0] = Amplitude{1.0f, 0.0f};
}

}  // namespace vantelo::sim
