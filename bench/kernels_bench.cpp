// Gate kernels against the memory-bandwidth floor.
//
// For each register width it times one h on every target and a few
// controlled-X operations (the dense 4 × 4 path), each next to an in-place
// read-modify-write pass over the same array on the pool (every amplitude
// loaded, scaled, stored back): the least any in-place gate can cost. Gate and
// floor are timed in back-to-back pairs; the ratio printed is the median of
// the pairs' ratios gate/floor. Watch the ratio, not the absolute times.
//
// Then, on one register of --cases-qubits qubits, the placements and gate
// kinds that have their own kernels (targets on qubits 0 and 1, the lowest
// with the highest qubit, diagonal and permutation matrices, three targets),
// each beside the dense kernel it replaces where there is one ("dense"). And
// for --fresh-min … --fresh-max qubits, creating a state plus its first gate
// (and 29 more), once with a plain allocation filled with zeros and once
// through StateVector::create, against a floor pass over the same memory once
// its pages exist.
//
//   kernels_bench [--threads N] [--min-qubits N] [--max-qubits N] [--reps N]
//                 [--sweep 0|1] [--cases-qubits N] [--fresh-min N --fresh-max N]
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
    bool sweep = true;
    std::uint32_t cases_qubits = 0;  // 0: no placement cases
    std::uint32_t fresh_min = 0;     // 0: no fresh-state runs
    std::uint32_t fresh_max = 0;
};

[[noreturn]] void usage(const char* argv0) {
    std::fprintf(stderr,
                 "usage: %s [--threads N] [--min-qubits N] [--max-qubits N] [--reps N] [--sweep 0|1]\n"
                 "       [--cases-qubits N] [--fresh-min N --fresh-max N]\n",
                 argv0);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) usage(argv[0]);
        const long value = std::strtol(argv[++i], nullptr, 10);
        if (flag == "--sweep") {
            if (value != 0 && value != 1) usage(argv[0]);
            o.sweep = value == 1;
            continue;
        }
        if (value <= 0) usage(argv[0]);
        if (flag == "--threads")
            o.threads = static_cast<std::size_t>(value);
        else if (flag == "--min-qubits")
            o.min_qubits = static_cast<std::uint32_t>(value);
        else if (flag == "--max-qubits")
            o.max_qubits = static_cast<std::uint32_t>(value);
        else if (flag == "--reps")
            o.reps = static_cast<int>(value);
        else if (flag == "--cases-qubits")
            o.cases_qubits = static_cast<std::uint32_t>(value);
        else if (flag == "--fresh-min")
            o.fresh_min = static_cast<std::uint32_t>(value);
        else if (flag == "--fresh-max")
            o.fresh_max = static_cast<std::uint32_t>(value);
        else
            usage(argv[0]);
    }
    if (o.max_qubits > sim::kMaxQubits || o.min_qubits > o.max_qubits) usage(argv[0]);
    if (o.cases_qubits > sim::kMaxQubits || (o.cases_qubits != 0 && o.cases_qubits < 4))
        usage(argv[0]);
    if (o.fresh_max > sim::kMaxQubits || o.fresh_min > o.fresh_max) usage(argv[0]);
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

sim::Operation controlled(std::vector<sim::Qubit> controls, std::vector<sim::Qubit> targets,
                          std::vector<sim::Amplitude> m) {
    auto gate = sim::make_controlled_unitary_gate(std::move(controls), std::move(targets), std::move(m));
    if (!gate) {
        std::fprintf(stderr, "controlled gate: %s\n", gate.error().message.c_str());
        std::exit(1);
    }
    return std::get<sim::Unitary>(*gate).op;
}

sim::Operation cx(sim::Qubit control, sim::Qubit target) {
    return controlled({control}, {target}, sim::to_vector(sim::matrices::x()));
}

// (h ⊗ h)·cz: a two-qubit unitary with no zero entry.
std::vector<sim::Amplitude> dense_two_qubit() {
    std::vector<sim::Amplitude> m(16);
    for (std::size_t r = 0; r < 4; ++r)
        for (std::size_t c = 0; c < 4; ++c) {
            const bool negative = (__builtin_popcount(static_cast<unsigned>(r & c)) + (c == 3)) % 2;
            m[r * 4 + c] = sim::Amplitude{negative ? -0.5f : 0.5f, 0.0f};
        }
    return m;
}

// The dense kernels the fast paths replace, run the way the dispatch runs
// them.
void dense_single(sim::StateVector& s, sim::Qubit q, const sim::Matrix2& m) {
    auto* kernel = sim::cpu_has_avx2() ? &sim::apply_single_qubit_chunks_avx2
                                       : &sim::apply_single_qubit_chunks_scalar;
    pool::for_each_chunk_range(s.size(), std::size_t{2} << q,
                               [&](std::size_t b, std::size_t e) { kernel(s.amplitudes.data(), q, m, b, e); });
}

void dense_general(sim::StateVector& s, const sim::Operation& op) {
    const sim::GeneralPlan plan = make_general_plan(op);
    const bool vector = sim::cpu_has_avx2() && plan.dim >= 4;
    sim::AlignedArray<float> packed;
    if (vector) packed = sim::pack_matrix_avx2(plan);
    pool::for_each_piece(s.size() >> plan.num_targets, [&](std::size_t b, std::size_t e) {
        std::vector<sim::Amplitude> scratch(plan.dim);
        if (vector)
            sim::general_groups_avx2(s.amplitudes.data(), plan, packed.data(), b, e, scratch.data());
        else
            sim::general_groups_scalar(s.amplitudes.data(), plan, b, e, scratch.data());
    });
}

void run_operation(sim::StateVector& s, const sim::Operation& op) {
    if (!sim::apply_operation(s, op)) std::exit(1);
}

void placement_cases(std::uint32_t n, int reps) {
    using sim::Qubit;
    namespace m = sim::matrices;
    sim::StateVector s = sim::StateVector::create(n);
    for (Qubit q = 0; q < n; ++q) sim::apply_single_qubit(s.amplitudes.data(), n, q, m::h());
    const Qubit mid = n / 2;
    const Qubit top = n - 1;
    struct Case {
        std::string name;
        std::function<void()> gate;
        std::function<void()> dense;  // empty: the gate is the dense kernel
    };
    std::vector<Case> cases;
    auto single = [&](const std::string& name, Qubit q, sim::Matrix2 mat) {
        cases.push_back({name + " q" + std::to_string(q),
                         [&s, n, q, mat] { sim::apply_single_qubit(s.amplitudes.data(), n, q, mat); },
                         [&s, q, mat] { dense_single(s, q, mat); }});
    };
    auto general = [&](const std::string& name, sim::Operation op) {
        std::string label = name;
        for (std::size_t i = 0; i < op.targets.size(); ++i) {
            label += i ? ',' : ' ';
            label += std::to_string(op.targets[i]);
        }
        cases.push_back({label, [&s, op] { run_operation(s, op); }, [&s, op] { dense_general(s, op); }});
    };
    for (Qubit q : {Qubit{0}, Qubit{1}, mid}) single("h", q, m::h());
    for (Qubit q : {Qubit{0}, mid}) {
        single("p", q, m::p(0.3f));
        single("rz", q, m::rz(0.3f));
        single("x", q, m::x());
        single("y", q, m::y());
    }
    single("t", mid, m::t());
    single("s", mid, m::s());
    const auto v = [](const sim::Matrix2& mat) { return sim::to_vector(mat); };
    general("cp", controlled({0}, {1}, v(m::p(0.3f))));
    general("u4", sim::Operation{{0, 1}, dense_two_qubit()});
    general("u4", sim::Operation{{1, 0}, dense_two_qubit()});
    general("cx", cx(0, 1));
    general("cz", controlled({0}, {1}, v(m::z())));
    general("swap", sim::Operation{{0, 1}, m::swap()});
    general("cp", controlled({0}, {top}, v(m::p(0.3f))));
    general("swap", sim::Operation{{0, top}, m::swap()});
    general("cx", cx(top, 0));
    general("u4", sim::Operation{{0, top}, dense_two_qubit()});
    general("cp", controlled({mid}, {mid + 1}, v(m::p(0.3f))));
    general("crz", controlled({mid}, {mid + 1}, v(m::rz(0.3f))));
    general("ccx", controlled({0, 1}, {2}, v(m::x())));
    general("ccx", controlled({top - 1, top}, {0}, v(m::x())));
    general("cswap", controlled({0}, {mid, top}, m::swap()));
    general("ccz", controlled({mid - 1, mid}, {mid + 1}, v(m::z())));

    std::printf("%2u  %-14s %10s  %10s  %6s  %s\n", n, "case", "gate ms", "floor ms", "ratio",
                "dense ratio");
    for (const Case& c : cases) {
        const Timing t = measure(s, reps, c.gate);
        std::printf("%2u  %-14s %10.3f  %10.3f  %6.2f", n, c.name.c_str(), t.gate * 1e3, t.floor * 1e3,
                    t.ratio);
        if (c.dense) std::printf("  %6.2f", measure(s, reps, c.dense).ratio);
        std::printf("\n");
        std::fflush(stdout);
    }
    std::printf("\n");
}

// Creation plus one h on qubit 0, then 29 more h (qubits 1, 2, … cycling),
// then a floor pass over the same memory. Each state is freed before the
// next is made, so at most one is alive. The floor differs between the two
// kinds of memory (page size), so absolute times are printed too.
void fresh_states(std::uint32_t lo, std::uint32_t hi) {
    std::printf("%2s  %-20s %12s  %12s  %9s  %6s\n", "n", "memory", "create+h ms", "30 h ms",
                "floor ms", "passes");
    const sim::Matrix2 h = sim::matrices::h();
    auto run = [&](std::uint32_t n, const char* label, sim::Amplitude* (*make)(std::uint32_t, sim::StateVector&)) {
        const std::size_t len = std::size_t{1} << n;
        sim::StateVector holder;
        sim::Amplitude* a = nullptr;
        const double first = seconds([&] {
            a = make(n, holder);
            sim::apply_single_qubit(a, n, 0, h);
        });
        const double rest = seconds([&] {
            for (int g = 1; g < 30; ++g) sim::apply_single_qubit(a, n, static_cast<sim::Qubit>(g % n), h);
        });
        const double floor = seconds([&] { floor_pass(a, len); });
        std::printf("%2u  %-20s %12.1f  %12.1f  %9.1f  %6.2f\n", n, label, first * 1e3,
                    (first + rest) * 1e3, floor * 1e3, first / floor);
        if (holder.amplitudes.data() != a) std::free(a);
        std::fflush(stdout);
    };
    for (std::uint32_t n = lo; n <= hi; ++n) {
        // The plain way: memory from the C allocator, zero-filled on the pool.
        run(n, "allocate + fill", [](std::uint32_t n, sim::StateVector&) {
            const std::size_t len = std::size_t{1} << n;
            auto* raw = static_cast<sim::Amplitude*>(std::aligned_alloc(64, len * sizeof(sim::Amplitude)));
            if (raw == nullptr) std::exit(1);
            sim::fill_zero_state(raw, len);
            return raw;
        });
        run(n, "StateVector::create", [](std::uint32_t n, sim::StateVector& s) {
            s = sim::StateVector::create(n);
            return s.amplitudes.data();
        });
    }
    std::printf("\n");
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

    // Fresh states first, while the process has touched little memory.
    if (o.fresh_min != 0) fresh_states(o.fresh_min, o.fresh_max);
    if (o.cases_qubits != 0) placement_cases(o.cases_qubits, o.reps);
    if (!o.sweep) return 0;

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
