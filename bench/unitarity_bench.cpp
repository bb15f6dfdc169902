// The unitarity test of Gate.unitary and unpickling, blocked, against the
// plain test it replaced (every entry's sum row by row, rows spread over the
// pool), on a unitary of k targets (the DFT matrix: dense, passing, so both
// run to the end). Prints wall and CPU seconds (all threads) of each and the
// ratios plain / blocked; CPU time is the steadier measure on a busy
// machine, and per core it is what the ratio of CPU times says.
//
//   unitarity_bench [--threads N] [--min-targets K] [--max-targets K]
//                   [--plain-max K] [--kernels chosen|portable|avx2]
//
// --plain-max: the widest the plain test runs (it takes about a minute of
// one core at 12 targets); wider ones print the blocked test alone.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pool/pool.hpp"
#include "sim/gates/gate.hpp"
#include "sim/unitarity/gram.hpp"
#include "sim/unitarity/unitarity.hpp"

namespace {

using namespace vantelo;
using sim::Amplitude;

struct Options {
    std::size_t threads = 0;  // 0: the pool's default size
    std::size_t min_targets = 8;
    std::size_t max_targets = 12;
    std::size_t plain_max = 12;
    sim::GramKernels kernels = sim::GramKernels::Chosen;
};

[[noreturn]] void usage(const char* argv0) {
    std::fprintf(stderr,
                 "usage: %s [--threads N] [--min-targets K] [--max-targets K] [--plain-max K]\n"
                 "       [--kernels chosen|portable|avx2]\n",
                 argv0);
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int a = 1; a < argc; a += 2) {
        if (a + 1 >= argc) usage(argv[0]);
        const std::string key = argv[a];
        const char* value = argv[a + 1];
        if (key == "--threads") o.threads = std::strtoul(value, nullptr, 10);
        else if (key == "--min-targets") o.min_targets = std::strtoul(value, nullptr, 10);
        else if (key == "--max-targets") o.max_targets = std::strtoul(value, nullptr, 10);
        else if (key == "--plain-max") o.plain_max = std::strtoul(value, nullptr, 10);
        else if (key == "--kernels") {
            const std::string v = value;
            if (v == "chosen") o.kernels = sim::GramKernels::Chosen;
            else if (v == "portable") o.kernels = sim::GramKernels::Portable;
            else if (v == "avx2") o.kernels = sim::GramKernels::Avx2;
            else usage(argv[0]);
        } else {
            usage(argv[0]);
        }
    }
    if (o.min_targets < 1 || o.max_targets > 14 || o.min_targets > o.max_targets) usage(argv[0]);
    return o;
}

// The unitary DFT matrix of size dim, rounded to single precision.
std::vector<Amplitude> dft(std::size_t dim) {
    std::vector<Amplitude> m(dim * dim);
    const double scale = 1.0 / std::sqrt(static_cast<double>(dim));
    for (std::size_t i = 0; i < dim; ++i)
        for (std::size_t j = 0; j < dim; ++j) {
            const double angle =
                2.0 * M_PI * static_cast<double>((i * j) % dim) / static_cast<double>(dim);
            m[i * dim + j] = {static_cast<float>(std::cos(angle) * scale),
                              static_cast<float>(std::sin(angle) * scale)};
        }
    return m;
}

// The test as it ran before the blocked one: every entry's plain sum, row by
// row, rows spread over the pool.
bool plain_on_pool(const std::vector<Amplitude>& m, std::size_t dim) {
    std::vector<char> row_fails(dim, 0);
    pool::for_each_piece(dim, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            for (std::size_t j = 0; j < dim; ++j) {
                const float e = i == j ? 1.0f : 0.0f;
                if (sim::gram_entry_fails(sim::gram_entry(m.data(), dim, i, j), e)) {
                    row_fails[i] = 1;
                    break;
                }
            }
    });
    for (const char f : row_fails)
        if (f) return false;
    return true;
}

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec) + 1e-6 * static_cast<double>(u.ru_utime.tv_usec);
}

struct Timing {
    double wall;
    double cpu;
    bool answer;
};

template <class F>
Timing timed(F f) {
    const double cpu0 = cpu_seconds();
    const auto t0 = std::chrono::steady_clock::now();
    const bool answer = f();
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - t0;
    return {wall.count(), cpu_seconds() - cpu0, answer};
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (o.threads != 0) {
        if (auto err = pool::build_global(o.threads)) {
            std::fprintf(stderr, "%s\n", err->text.c_str());
            return 1;
        }
    }
    std::printf("threads %zu\n", pool::current_num_threads());
    std::printf("%7s %11s %11s %11s %11s %10s %10s\n", "targets", "plain wall", "plain cpu",
                "block wall", "block cpu", "wall ratio", "cpu ratio");
    for (std::size_t k = o.min_targets; k <= o.max_targets; ++k) {
        const std::size_t dim = std::size_t{1} << k;
        const std::vector<Amplitude> m = dft(dim);
        const Timing blocked = timed([&] {
            const sim::Result<bool> r = sim::unitary_blocked(m, dim, o.kernels);
            return r.has_value() && r.value();
        });
        if (!blocked.answer) std::printf("(the blocked test refused the DFT matrix)\n");
        if (k > o.plain_max) {
            std::printf("%7zu %11s %11s %11.3f %11.3f\n", k, "-", "-", blocked.wall, blocked.cpu);
            std::fflush(stdout);
            continue;
        }
        const Timing plain = timed([&] { return plain_on_pool(m, dim); });
        if (plain.answer != blocked.answer) std::printf("(the answers differ)\n");
        std::printf("%7zu %11.3f %11.3f %11.3f %11.3f %10.1f %10.1f\n", k, plain.wall, plain.cpu,
                    blocked.wall, blocked.cpu, plain.wall / blocked.wall, plain.cpu / blocked.cpu);
        std::fflush(stdout);
    }
    return 0;
}
