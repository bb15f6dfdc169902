// Gate kernels against the memory-bandwidth floor.
//
// For each register width it times one h on every target and a few
// controlled-X operations (the dense 4 × 4 path), each next to an in-place
// read-modify-write pass over the same array on the pool (every amplitude
// loaded, scaled, stored back): the least any in-place gate can cost. Gate and
// floor are timed in back-to-back pairs; the ratio printed is the median of
// the pairs' ratios gate/floor. Watch the ratio, not the absolute times.
//
//   kernels_bench [--threads N] [--min-qubits N] [--max-qubits N] [--reps N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "pool/pool.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/state_vector.hpp"

namespace {

using namespace vantelo;
using Clock = std::chrono::steady_clock;

struct Options {
    std::size_t threads = 0;  // 0: the pool's default size
    std::uint32_t min_qubits = 16;
    std::uint32_t max_qubits = 26;
    int reps = 7;
};

[[noreturn]] void usage(const char* argv0) {
    std::fprintf(stderr, "usage: %s [--threads N] [--min-qubits N] [--max-qubits N] [--reps N]\n",
                 argv0);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) usage(argv[0]);
        const long value = std::strtol(argv[++i], nullptr, 10);
        if (value <= 0) usage(argv[0]);
        if (flag == "--threads")
            o.threads = static_cast<std::size_t>(value);
        else if (flag == "--min-qubits")
            o.min_qubits = static_cast<std::uint32_t>(value);
        else if (flag == "--max-qubits")
            o.max_qubits = static_cast<std::uint32_t>(value);
        else if (flag == "--reps")
            o.reps = static_cast<int>(value);
        else
            usage(argv[0]);
    }
    if (o.max_qubits > sim::kMaxQubits || o.min_qubits > o.max_qubits) usage(argv[0]);
    return o;
}

// Read at run time so the floor's multiply cannot be folded away.
volatile float g_scale = -1.0f;

void floor_pass(sim::Amplitude* a, std::size_t len) {
    const float c = g_scale;
    pool::for_each_piece(len, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            a[i].re = a[i].re * c;
            a[i].im = a[i].im * c;
        }
    });
}

double seconds(const std::function<void()>& f) {
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

struct Timing {
    double gate;   // median
    double floor;  // median
    double ratio;  // median of the ratios of back-to-back pairs
};

// Each repetition times the floor and then the gate right after it, so a
// change in the machine's speed during the run (other load, memory traffic)
// affects both sides of a pair alike.
Timing measure(sim::StateVector& s, int reps, const std::function<void()>& gate) {
    std::vector<double> g, f, r;
    gate();  // warm-up: page in, settle the pool
    for (int i = 0; i < reps; ++i) {
        f.push_back(seconds([&] { floor_pass(s.amplitudes.data(), s.size()); }));
        g.push_back(seconds(gate));
        r.push_back(g.back() / f.back());
    }
    return {median(g), median(f), median(r)};
}

void report(std::uint32_t n, const std::string& what, Timing t, double& worst) {
    const double ratio = t.ratio;
    worst = std::max(worst, ratio);
    std::printf("%2u  %-14s %10.3f ms  floor %10.3f ms  ratio %5.2f\n", n, what.c_str(),
                t.gate * 1e3, t.floor * 1e3, ratio);
}

sim::Operation cx(sim::Qubit control, sim::Qubit target) {
    auto gate = sim::controlled_gate({control}, target, sim::matrices::x());
    if (!gate) {
        std::fprintf(stderr, "cx: %s\n", gate.error().message.c_str());
        std::exit(1);
    }
    return std::get<sim::Unitary>(*gate).op;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (o.threads != 0) {
        if (auto err = pool::build_global(o.threads)) {
            std::fprintf(stderr, "pool: %s\n", err->text.c_str());
            return 1;
        }
    }
    std::printf("threads %zu, avx2 %s, %d repetitions (medians)\n", pool::current_num_threads(),
                sim::cpu_has_avx2() ? "yes" : "no", o.reps);

    const sim::Matrix2 h = sim::matrices::h();
    for (std::uint32_t n = o.min_qubits; n <= o.max_qubits; ++n) {
        sim::StateVector s = sim::StateVector::create(n);
        // Spread the amplitude over every basis state so no value is special.
        for (sim::Qubit q = 0; q < n; ++q) sim::apply_single_qubit(s.amplitudes.data(), n, q, h);

        double worst_h = 0.0;
        for (sim::Qubit q = 0; q < n; ++q) {
            const Timing t = measure(s, o.reps, [&] {
                sim::apply_single_qubit(s.amplitudes.data(), n, q, h);
            });
            report(n, "h q" + std::to_string(q), t, worst_h);
        }

        double worst_cx = 0.0;
        const std::pair<sim::Qubit, sim::Qubit> pairs[] = {
            {0, 1}, {1, 0}, {2, 3}, {n / 2, n / 2 + 1}, {n - 1, 0}, {n - 2, n - 1}};
        for (const auto& [c, t] : pairs) {
            const sim::Operation op = cx(c, t);
            const Timing tm = measure(s, o.reps, [&] {
                if (!sim::apply_operation(s, op)) std::exit(1);
            });
            report(n, "cx " + std::to_string(c) + "," + std::to_string(t), tm, worst_cx);
        }
        std::printf("%2u  worst ratio: h %.2f, cx %.2f\n\n", n, worst_h, worst_cx);
        std::fflush(stdout);
    }
    return 0;
}
