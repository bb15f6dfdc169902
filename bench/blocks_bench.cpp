// Quantum-volume and layered circuits through the executor at every cache
// block width from the rule's up to the state, for the exact path and for
// fusion=k: time, passes over the state, and the time per amplitude and
// item, so the share of the passes (memory traffic) and of the kernels can
// be read off. Fused lists run reordered (as Circuit::create makes them)
// and in the order fusion gives, side by side. On one thread times are processor time (steadier on a
// shared machine), on more, wall time; best of --reps runs.
//
//   blocks_bench [--threads N] [--qubits N] [--reps N] [--min-block N] [--max-block N] [--kernels 1]
//                [--fusion K] [--workload 1|2 (quantum volume | layered)] [--given 0|1] [--planar 0|1]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "pool/pool.hpp"
#include "sim/exec/block_size.hpp"
#include "sim/exec/circuit.hpp"
#include "sim/gates/block_fusion.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/kernels/block_kernel.hpp"
#include "sim/kernels/fused_planar.hpp"

namespace {

using namespace vantelo;
using namespace vantelo::sim;

struct Options {
    std::size_t threads = 1;
    std::uint32_t qubits = 20;
    std::uint32_t min_block = 0;  // 0: the cache rule's width
    std::uint32_t max_block = 19;
    int reps = 5;
    bool kernels = false;
    int fusion = -1;   // every k of 0, 2, 3, 4 when negative
    int workload = 0;  // 0: both, 1: quantum volume, 2: layered
    bool given = true;  // also time the fused list in its given order
    bool planar = true;  // passes of fused items on planes where the CPU allows
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (flag == "--threads") o.threads = static_cast<std::size_t>(value);
        else if (flag == "--qubits") o.qubits = static_cast<std::uint32_t>(value);
        else if (flag == "--reps") o.reps = static_cast<int>(value);
        else if (flag == "--max-block") o.max_block = static_cast<std::uint32_t>(value);
        else if (flag == "--min-block") o.min_block = static_cast<std::uint32_t>(value);
        else if (flag == "--kernels") o.kernels = value != 0;
        else if (flag == "--fusion") o.fusion = static_cast<int>(value);
        else if (flag == "--workload") o.workload = static_cast<int>(value);
        else if (flag == "--given") o.given = value != 0;
        else if (flag == "--planar") o.planar = value != 0;
        else {
            std::fprintf(stderr, "usage: %s [--threads N] [--qubits N] [--reps N] [--min-block N] [--max-block N]\n", argv[0]);
            std::exit(2);
        }
    }
    return o;
}

// A Haar-random unitary of dimension d (QR of a complex Gaussian matrix
// with the phases of R's diagonal divided out), rounded to single precision.
std::vector<Amplitude> random_unitary(std::size_t d, std::mt19937& rng) {
    std::normal_distribution<double> g;
    std::vector<std::complex<double>> a(d * d);
    for (auto& x : a) x = {g(rng), g(rng)};
    // Gram-Schmidt on the columns gives Q of the QR factorisation.
    for (std::size_t c = 0; c < d; ++c) {
        for (std::size_t p = 0; p < c; ++p) {
            std::complex<double> dot = 0;
            for (std::size_t r = 0; r < d; ++r) dot += std::conj(a[r * d + p]) * a[r * d + c];
            for (std::size_t r = 0; r < d; ++r) a[r * d + c] -= dot * a[r * d + p];
        }
        double norm = 0;
        for (std::size_t r = 0; r < d; ++r) norm += std::norm(a[r * d + c]);
        for (std::size_t r = 0; r < d; ++r) a[r * d + c] /= std::sqrt(norm);
    }
    std::vector<Amplitude> out(d * d);
    for (std::size_t i = 0; i < d * d; ++i)
        out[i] = {static_cast<float>(a[i].real()), static_cast<float>(a[i].imag())};
    return out;
}

// Depth n of random SU(4) gates on a random pairing of the qubits.
std::vector<Gate> quantum_volume(std::uint32_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<Gate> gates;
    std::vector<Qubit> perm(n);
    for (std::uint32_t d = 0; d < n; ++d) {
        for (Qubit q = 0; q < n; ++q) perm[q] = q;
        std::shuffle(perm.begin(), perm.end(), rng);
        for (Qubit i = 0; i + 1 < n; i += 2)
            gates.push_back(Unitary{Operation::create({perm[i], perm[i + 1]}, random_unitary(4, rng)).value()});
    }
    return gates;
}

// Depth 20 of rx/ry/rz on every qubit, then a brick of cx.
std::vector<Gate> layered(std::uint32_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> angle(-3.14159f, 3.14159f);
    std::vector<Gate> gates;
    for (int d = 0; d < 20; ++d) {
        for (Qubit q = 0; q < n; ++q) {
            const float t = angle(rng);
            const unsigned kind = rng() % 3;
            const Matrix2 m = kind == 0 ? matrices::rx(t) : kind == 1 ? matrices::ry(t) : matrices::rz(t);
            gates.push_back(single_qubit_gate(q, m).value());
        }
        for (Qubit q = d % 2; q + 1 < n; q += 2)
            gates.push_back(controlled_gate({q}, q + 1, matrices::x()).value());
    }
    return gates;
}

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double (*g_clock)() = &cpu_seconds;

// Best times of the circuits, their runs interleaved so that a busy
// machine slows each about alike.
std::vector<double> best_times(const std::vector<const Circuit*>& cs, StateVector& state, int reps) {
    Rng rng;
    std::vector<double> best(cs.size(), 1e30);
    for (const Circuit* c : cs) (void)run_circuit(*c, state, rng);
    for (int r = 0; r < reps; ++r)
        for (std::size_t i = 0; i < cs.size(); ++i) {
            reset_to_zero_state(state);
            const double start = g_clock();
            (void)run_circuit(*cs[i], state, rng);
            best[i] = std::min(best[i], g_clock() - start);
        }
    return best;
}

// With fusion, the reordered list (as Circuit::create makes it) is timed
// beside the fused list in its given order.
void sweep(const char* name, const std::vector<Gate>& gates, const Options& o) {
    const std::uint32_t n = o.qubits;
    StateVector state = StateVector::create(n);
    for (unsigned k : {0u, 2u, 3u, 4u}) {
        if (o.fusion >= 0 && static_cast<unsigned>(o.fusion) != k) continue;
        Numerics numerics;
        numerics.fusion = static_cast<std::uint8_t>(k);
        const Circuit c = Circuit::create(gates, numerics);
        std::vector<const Circuit*> cs = {&c};
        const Circuit given{k != 0 ? fuse_blocks(gates, k) : std::vector<Gate>{}, numerics};
        if (k != 0 && o.given) cs.push_back(&given);
        for (std::uint32_t b = o.min_block != 0 ? o.min_block : cache_block_qubits(); b <= std::min(o.max_block, n); ++b) {
            set_block_qubits_for_testing(b);
            const std::vector<double> t = best_times(cs, state, o.reps);
            for (std::size_t i = 0; i < cs.size(); ++i) {
                const std::size_t passes = circuit_passes(*cs[i], n);
                const double per = t[i] / static_cast<double>(cs[i]->gates.size()) /
                                   std::ldexp(1.0, static_cast<int>(n)) * 1e9;
                std::printf("%-8s n=%2u fusion=%u %-9s block 2^%2u  %9.2f ms  %3zu passes  %4zu items  %.3f ns/amp/item\n",
                            name, n, k, k == 0 ? "" : i == 0 ? "reordered" : "given", b, t[i] * 1e3, passes,
                            cs[i]->gates.size(), per);
            }
            set_block_qubits_for_testing(0);
        }
    }
}

// The dense kernels alone on one block of 2^b amplitudes (b: --qubits, at
// most the cache block; target sets that do not fit are left out): 2 to 5
// targets on low and high bits, exact and fused (both fused forms where the
// CPU has AVX-512F), in ns per amplitude.
void kernels_alone(std::uint32_t b, int reps) {
    std::mt19937 rng(7);
    std::vector<Amplitude> state(std::size_t{1} << b, Amplitude{0.001f, 0.0f});
    std::vector<Amplitude> scratch(64);
    const std::vector<std::vector<Qubit>> target_sets = {{0, 1}, {1, 5}, {4, 9}, {3, 12}, {0, 4, 9}, {5, 8, 13},
                                                          {1, 4, 8, 11}, {0, 3, 6, 9, 12}};
    for (const std::vector<Qubit>& targets : target_sets) {
        if (targets.back() >= b) continue;
        const Operation op = Operation::create(targets, random_unitary(std::size_t{1} << targets.size(), rng)).value();
        const BlockKernel exact = block_kernel_general(op);
        const BlockKernel fused = block_kernel_fused(op);
        // The fused kernel in its AVX2 form, then in its 512-bit form where
        // the CPU has one, interleaved with the exact kernel.
        const bool wide = fused_wide_enabled();
        double t[3] = {1e30, 1e30, 1e30};
        for (int r = 0; r < reps; ++r)
            for (int which = 0; which < (wide ? 3 : 2); ++which) {
                const BlockKernel& k = which == 0 ? exact : fused;
                set_fused_wide_for_testing(which == 2);
                const double start = cpu_seconds();
                for (int i = 0; i < (50 << 16 >> b); ++i) apply_block_kernel(k, state.data(), b, scratch.data(), false);
                t[which] = std::min(t[which], (cpu_seconds() - start) / (50 << 16 >> b));
                set_fused_wide_for_testing(true);
            }
        const double amps = std::ldexp(1.0, static_cast<int>(b));
        std::printf("targets");
        for (Qubit q : targets) std::printf(" %2u", q);
        std::printf("%*s  exact %.3f ns/amp  fused %.3f ns/amp", static_cast<int>(3 * (5 - targets.size())), "",
                    t[0] / amps * 1e9, t[1] / amps * 1e9);
        if (wide) std::printf("  fused avx512 %.3f ns/amp (%.2fx)", t[2] / amps * 1e9, t[1] / t[2]);
        if (planar_fused_enabled(b) && planar_fits(fused.fused, b)) {
            // The same on a block split into planes, as the executor runs
            // passes of fused items only.
            AlignedArray<float> planes = AlignedArray<float>::uninitialized(2 * state.size());
            split_planes(state.data(), planes.data(), planes.data() + state.size(), state.size());
            const PlanarPlan plan = make_planar_plan(fused.fused);
            double best = 1e30;
            for (int r = 0; r < reps; ++r) {
                const double start = cpu_seconds();
                for (int i = 0; i < (50 << 16 >> b); ++i)
                    apply_fused_planar(planes.data(), planes.data() + state.size(), b, plan);
                best = std::min(best, (cpu_seconds() - start) / (50 << 16 >> b));
            }
            std::printf("  planar %.3f ns/amp (%.2fx)", best / amps * 1e9, t[2] / best);
        }
        std::printf("\n");
    }
    // What fusion weighs a dense block against: the light kernels of the
    // rotations and the monomial kernel of a controlled X, on a block that
    // passed its bound check.
    const Matrix2 rotations[3] = {matrices::rx(0.3f), matrices::ry(0.7f), matrices::rz(1.1f)};
    const char* names[3] = {"rx", "ry", "rz"};
    for (Qubit q : {Qubit{0}, Qubit{2}, Qubit{9}}) {
        if (q >= b) continue;
        for (int r = 0; r < 4; ++r) {
            // Control q (the first target, the high bit of the matrix index).
            const Amplitude one{1.0f, 0.0f};
            const Amplitude zero{0.0f, 0.0f};
            std::vector<Amplitude> m(16, zero);
            m[0] = m[5] = m[11] = m[14] = one;
            const Operation cx = Operation::create({q, static_cast<Qubit>((q + 3) % b)}, m).value();
            const BlockKernel k = r < 3 ? block_kernel_single(q, rotations[r]) : block_kernel_general(cx);
            double best = 1e30;
            for (int rep = 0; rep < reps; ++rep) {
                const double start = cpu_seconds();
                for (int i = 0; i < (200 << 16 >> b); ++i) apply_block_kernel(k, state.data(), b, scratch.data(), true);
                best = std::min(best, (cpu_seconds() - start) / (200 << 16 >> b));
            }
            std::printf("%-3s on %u%s  %.3f ns/amp\n", r < 3 ? names[r] : "cx", q, r < 3 ? "   " : "+3", best / std::ldexp(1.0, static_cast<int>(b)) * 1e9);
        }
    }
    // Two rotations on distinct qubits in one sweep, as the executor runs a
    // light pair, per amplitude and rotation.
    for (const auto& q : {std::pair<Qubit, Qubit>{0, 1}, std::pair<Qubit, Qubit>{1, 5}, std::pair<Qubit, Qubit>{2, 3},
                          std::pair<Qubit, Qubit>{2, 9}, std::pair<Qubit, Qubit>{9, 12}}) {
        if (q.second >= b) continue;
        const BlockKernel first = block_kernel_single(q.first, rotations[0]);
        const BlockKernel second = block_kernel_single(q.second, rotations[1]);
        double best = 1e30;
        for (int rep = 0; rep < reps; ++rep) {
            const double start = cpu_seconds();
            for (int i = 0; i < (100 << 16 >> b); ++i) apply_light_pair(first, second, state.data(), b);
            best = std::min(best, (cpu_seconds() - start) / (100 << 16 >> b));
        }
        std::printf("rx, ry on %u, %u (one sweep)  %.3f ns/amp per rotation\n", q.first, q.second,
                    best / std::ldexp(1.0, static_cast<int>(b)) / 2 * 1e9);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (pool::build_global(o.threads)) return 1;
    if (pool::current_num_threads() > 1) g_clock = &wall_seconds;
    std::printf("threads %zu, cache block rule 2^%u amplitudes, fused kernels %s\n", pool::current_num_threads(),
                cache_block_qubits(), fused_wide_enabled() ? "avx512" : cpu_has_fma() ? "avx2" : "scalar");
    set_planar_fused_for_testing(o.planar);
    if (o.kernels) {
        kernels_alone(std::min(o.qubits, cache_block_qubits()), o.reps);
        return 0;
    }
    if (o.workload != 2) sweep("qv", quantum_volume(o.qubits, o.qubits), o);
    if (o.workload != 1) sweep("layered", layered(o.qubits, o.qubits), o);
    return 0;
}
