// Runs pool scenarios that need a fresh process (the pool is created once
// per process). Arguments are steps run in order; each prints one line.
//   build N        explicit creation with N workers
//   limit-memory   caps the address space so no thread stack fits
//   threads        current_num_threads()
//   default        default_num_threads()
//   loop1          a one-item loop; says whether it ran on this thread
//   workload       the shared workload's hash
//   pieces K       the pieces of a K-item loop in the order they ran
//   nested K       the pieces of a K-item loop started inside a loop body
//   fork           forks; the child checks that its loops still complete
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pool/pool.hpp"
#include "../pool_workload.hpp"

namespace {

using vantelo::pool::for_each_piece;

std::uint64_t parallel_workload() {
    return vantelo::pool_test::run_workload([](std::size_t count, auto&& body) { for_each_piece(count, body); });
}

struct Recorded {
    std::mutex mutex;
    std::vector<std::pair<std::size_t, std::size_t>> pieces;
    std::set<std::thread::id> threads;
};

void record_loop(std::size_t count, Recorded& out) {
    for_each_piece(count, [&](std::size_t b, std::size_t e) {
        std::lock_guard lock(out.mutex);
        out.pieces.emplace_back(b, e);
        out.threads.insert(std::this_thread::get_id());
    });
}

void print_pieces(const char* label, std::size_t count, const Recorded& recorded) {
    std::printf("%s %zu:", label, count);
    for (const auto& [b, e] : recorded.pieces) std::printf(" %zu-%zu", b, e);
    std::printf(" threads %zu caller %d\n", recorded.threads.size(),
                static_cast<int>(recorded.threads.count(std::this_thread::get_id())));
}

// Leaves room for small allocations but not for a 2 MiB thread stack.
void limit_memory() {
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    const rlimit limit{static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + (1 << 20)),
                       static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + (1 << 20))};
    std::printf("limit-memory %s\n", setrlimit(RLIMIT_AS, &limit) == 0 ? "ok" : "failed");
}

int child_after_fork(std::uint64_t expected) {
    if (vantelo::pool::current_num_threads() != 1) return 2;
    Recorded recorded;
    record_loop(1000, recorded);
    if (recorded.threads.size() != 1 || recorded.threads.count(std::this_thread::get_id()) != 1) return 3;
    if (parallel_workload() != expected) return 4;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    for (int i = 1; i < argc; ++i) {
        const std::string step = argv[i];
        const auto number = [&] { return i + 1 < argc ? std::strtoull(argv[++i], nullptr, 10) : 0ULL; };
        if (step == "build") {
            const auto error = vantelo::pool::build_global(number());
            if (!error)
                std::printf("build ok\n");
            else
                std::printf("build %s: %s\n",
                            error->kind == vantelo::pool::BuildErrorKind::IOError ? "io" : "already",
                            error->text.c_str());
        } else if (step == "limit-memory") {
            limit_memory();
        } else if (step == "threads") {
            std::printf("threads %zu\n", vantelo::pool::current_num_threads());
        } else if (step == "default") {
            std::printf("default %zu\n", vantelo::pool::default_num_threads());
        } else if (step == "loop1") {
            Recorded recorded;
            record_loop(1, recorded);
            std::printf("loop1 %s\n", recorded.threads.count(std::this_thread::get_id()) ? "caller" : "elsewhere");
        } else if (step == "workload") {
            std::printf("workload %016llx\n", static_cast<unsigned long long>(parallel_workload()));
        } else if (step == "pieces") {
            Recorded recorded;
            const std::size_t count = number();
            record_loop(count, recorded);
            print_pieces("pieces", count, recorded);
        } else if (step == "nested") {
            Recorded recorded;
            const std::size_t count = number();
            for_each_piece(2, [&](std::size_t b, std::size_t) {
                if (b == 0) record_loop(count, recorded);
            });
            print_pieces("nested", count, recorded);
        } else if (step == "fork") {
            const std::uint64_t expected = parallel_workload();
            const pid_t pid = fork();
            if (pid == 0) _exit(child_after_fork(expected));
            int status = 0;
            waitpid(pid, &status, 0);
            std::printf("fork child %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
            // The parent's pool is untouched by the child.
            std::printf("fork parent %s\n", parallel_workload() == expected ? "ok" : "changed");
        } else {
            std::printf("unknown step %s\n", step.c_str());
            return 2;
        }
    }
    return 0;
}
