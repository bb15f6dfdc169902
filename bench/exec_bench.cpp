// Whole circuits through the cache-blocked executor against the gate-by-gate
// reference, in one process, with the passes over the state of each.
// On one thread times are processor time (steadier on a shared machine),
// on more, and in the crossover table, wall time.
//
// Workloads: random layered circuits of depth 20 (rx/ry/rz on every qubit,
// then a brick of cx) and the QFT. The crossover table times small states
// run whole on one thread (one block, as the executor runs every state of up
// to 2^16 amplitudes) against the same circuit split into four blocks on
// the pool.
//
//   exec_bench [--threads N] [--min-qubits N] [--max-qubits N] [--reps N]
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "pool/pool.hpp"
#include "sim/exec/block_size.hpp"
#include "sim/exec/circuit.hpp"
#include "sim/exec/compiled.hpp"
#include "sim/exec/executor.hpp"
#include "sim/gates/gate_catalog.hpp"

namespace {

using namespace vantelo;
using namespace vantelo::sim;
using Clock = std::chrono::steady_clock;

struct Options {
    std::size_t threads = 0;
    std::uint32_t min_qubits = 16;
    std::uint32_t max_qubits = 24;
    int reps = 5;
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (value <= 0) {
            std::fprintf(stderr, "bad value for %s\n", flag.c_str());
            std::exit(2);
        }
        if (flag == "--threads") o.threads = static_cast<std::size_t>(value);
        else if (flag == "--min-qubits") o.min_qubits = static_cast<std::uint32_t>(value);
        else if (flag == "--max-qubits") o.max_qubits = static_cast<std::uint32_t>(value);
        else if (flag == "--reps") o.reps = static_cast<int>(value);
        else {
            std::fprintf(stderr, "usage: %s [--threads N] [--min-qubits N] [--max-qubits N] [--reps N]\n", argv[0]);
            std::exit(2);
        }
    }
    return o;
}

Gate one(Qubit q, const Matrix2& m) { return single_qubit_gate(q, m).value(); }

Circuit layered(std::uint32_t n, int depth, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> angle(-3.14159f, 3.14159f);
    std::vector<Gate> gates;
    for (int d = 0; d < depth; ++d) {
        for (Qubit q = 0; q < n; ++q) {
            const float t = angle(rng);
            const unsigned kind = rng() % 3;
            gates.push_back(one(q, kind == 0 ? matrices::rx(t) : kind == 1 ? matrices::ry(t) : matrices::rz(t)));
        }
        for (Qubit q = d % 2; q + 1 < n; q += 2)
            gates.push_back(controlled_gate({q}, q + 1, matrices::x()).value());
    }
    return Circuit::create(std::move(gates));
}

Circuit qft(std::uint32_t n) {
    std::vector<Gate> gates;
    for (Qubit t = n; t-- > 0;) {
        gates.push_back(one(t, matrices::h()));
        for (Qubit c = t; c-- > 0;)
            gates.push_back(controlled_gate({c}, t, matrices::p(3.14159265f / static_cast<float>(1u << (t - c)))).value());
    }
    for (Qubit q = 0; q < n / 2; ++q)
        gates.push_back(Unitary{Operation::create({q, n - 1 - q}, matrices::swap()).value()});
    return Circuit::create(std::move(gates));
}

// Processor time of the whole process: on a machine shared with other jobs
// it is steadier than the wall clock (idle workers sleep, so with one busy
// thread it is that thread's time).
double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double wall_seconds() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// Median seconds of `reps` runs from a fresh |0…0⟩ (creation included in
// neither: the state is reset before each run, outside the clock).
double (*g_clock)() = &cpu_seconds;

double median_time(const std::function<void(StateVector&)>& run, std::uint32_t n, int reps,
                   double (*clock)() = g_clock) {
    StateVector state = StateVector::create(n);
    run(state);
    std::vector<double> t;
    for (int r = 0; r < reps; ++r) {
        reset_to_zero_state(state);
        const double start = clock();
        run(state);
        t.push_back(clock() - start);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// The executor's own plan, then each of its two plans forced (segments
// gathered into buffers, or in place on the low qubits), against the
// gate-by-gate reference.
void compare(const char* name, const Circuit& c, std::uint32_t n, int reps) {
    Rng rng;
    const double ref = median_time([&](StateVector& s) { (void)run_circuit_per_gate(c, s, rng); }, n, reps);
    auto timed = [&](GatherMode mode, std::size_t& passes) {
        set_gather_mode_for_testing(mode);
        const double t = median_time([&](StateVector& s) { (void)run_circuit(c, s, rng); }, n, reps);
        passes = circuit_passes(c, n);
        set_gather_mode_for_testing(GatherMode::Auto);
        return t;
    };
    std::size_t p_auto = 0, p_gather = 0, p_place = 0;
    const double blocked = timed(GatherMode::Auto, p_auto);
    const double gathered = timed(GatherMode::Always, p_gather);
    const double in_place = timed(GatherMode::Never, p_place);
    std::printf("%-8s n=%2u  gate by gate %9.3f ms (%4zu passes)  executor %9.3f ms (%3zu passes)  speed-up %.2fx"
                "  [gathered %.2fx (%zu passes), in place %.2fx (%zu passes)]\n",
                name, n, ref * 1e3, c.gates.size(), blocked * 1e3, p_auto, ref / blocked, ref / gathered,
                p_gather, ref / in_place, p_place);
}

// The ansatz of bench/peers: layers of two ry sublayers (one parameter
// each) and a cx ladder, about 100 parameters; a 2n-term Pauli sum.
void compiled_expectation_bench(std::uint32_t n, int reps) {
    ParameterizedCircuitSpec builder = ParameterizedCircuitSpec::create(n).value();
    const std::uint32_t layers = std::max<std::uint32_t>(1, (100 + n) / (2 * n));
    for (std::uint32_t l = 0; l < layers; ++l) {
        for (int sub = 0; sub < 2; ++sub)
            for (Qubit q = 0; q < n; ++q)
                (void)add_param_single(builder, RotationKind::Ry, q, register_parameter(builder, std::nullopt));
        for (Qubit q = 0; q + 1 < n; ++q)
            (void)add_fixed_gate(builder, controlled_gate({q}, q + 1, matrices::x()).value());
    }
    const CompiledCircuit plan = compile(builder);
    std::mt19937 rng(n);
    std::vector<float> params(plan.parameter_count);
    for (float& p : params) p = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
    std::vector<PauliTerm> terms;
    for (std::uint32_t t = 0; t < 2 * n; ++t)
        terms.push_back(PauliTerm::create({{static_cast<Qubit>(rng() % n), static_cast<Pauli>(rng() % 3)}}, 0.5f).value());
    const Observable obs = Observable::create(std::move(terms)).value();
    ExecutionContext context = ExecutionContext::create(n);
    auto timed = [&](bool per_gate) {
        force_per_gate_path_for_testing(per_gate);
        const double t = median_time([&](StateVector&) { (void)expectation_with_context(plan, params, obs, context); }, 1, reps);
        force_per_gate_path_for_testing(false);
        return t;
    };
    const double ref = timed(true);
    const double blocked = timed(false);
    std::printf("compiled expectation n=%2u (%u parameters)  gate by gate %8.3f ms  executor %8.3f ms  speed-up %.2fx\n",
                n, plan.parameter_count, ref * 1e3, blocked * 1e3, ref / blocked);
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (o.threads != 0 && pool::build_global(o.threads)) return 1;
    const std::size_t threads = pool::current_num_threads();
    if (threads > 1) g_clock = &wall_seconds;
    std::printf("threads %zu, cache block 2^%u amplitudes\n", threads, cache_block_qubits());
    for (std::uint32_t n = o.min_qubits; n <= o.max_qubits; n += 4) {
        compare("layered", layered(n, 20, n), n, o.reps);
        compare("qft", qft(n), n, o.reps);
    }
    for (std::uint32_t n : {16u, 20u}) compiled_expectation_bench(n, o.reps);
    if (threads < 2) return 0;
    std::printf("\ncrossover: one block on the calling thread vs four blocks on the pool (layered depth 20)\n");
    for (std::uint32_t n = 8; n <= 18; ++n) {
        const Circuit c = layered(n, 20, n);
        Rng rng;
        auto timed = [&](std::uint32_t b) {
            set_block_qubits_for_testing(b);
            const double t = median_time([&](StateVector& s) { (void)run_circuit(c, s, rng); }, n,
                                         o.reps * 4, &wall_seconds);
            set_block_qubits_for_testing(0);
            return t;
        };
        const double whole = timed(n);
        const double split = timed(n - 2);
        std::printf("n=%2u  calling thread %8.1f us  pool %8.1f us  pool/calling %.2f\n", n, whole * 1e6,
                    split * 1e6, split / whole);
    }
    return 0;
}
