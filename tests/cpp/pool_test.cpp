// Tests of the worker pool: coverage and division of loops, nesting,
// exceptions, thread-count parsing and the CPU quota. Scenarios that need a
// fresh process (explicit creation, environment, fork) run in the probe.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pool/cpu_count.hpp"
#include "pool/pool.hpp"
#include "pool_workload.hpp"

extern char** environ;

namespace vantelo::pool {
namespace {

using Piece = std::pair<std::size_t, std::size_t>;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// True when the sorted pieces tile [0, count) with nodes of the bisection
// tree in which [b, e) splits at b + (e - b) / 2.
bool tiles_bisection(std::vector<Piece> pieces, std::size_t count) {
    std::sort(pieces.begin(), pieces.end());
    std::size_t next = 0;
    const auto walk = [&](auto&& self, std::size_t b, std::size_t e) -> bool {
        if (next < pieces.size() && pieces[next] == Piece{b, e}) return ++next, true;
        if (e - b < 2) return false;
        const std::size_t mid = b + (e - b) / 2;
        return self(self, b, mid) && self(self, mid, e);
    };
    if (count == 0) return pieces.empty();
    return walk(walk, 0, count) && next == pieces.size();
}

// The pieces a one-worker pool must produce, in the order it runs them:
// nothing is ever stolen, so the split budget alone decides.
void single_worker_division(std::size_t b, std::size_t e, std::size_t budget, bool taken_over,
                            std::vector<Piece>& out) {
    const std::size_t half = (e - b) / 2;
    bool split = false;
    if (half >= 1 && taken_over) {
        budget = std::max<std::size_t>(budget / 2, 1);
        split = true;
    } else if (half >= 1 && budget > 0) {
        budget /= 2;
        split = true;
    }
    if (!split) return out.push_back({b, e});
    single_worker_division(b, b + half, budget, false, out);
    single_worker_division(b + half, e, budget, false, out);
}

std::string format_pieces(const char* label, std::size_t count, const std::vector<Piece>& pieces) {
    std::ostringstream text;
    text << label << ' ' << count << ':';
    for (const auto& [b, e] : pieces) text << ' ' << b << '-' << e;
    return text.str();
}

std::uint64_t serial_workload() {
    return pool_test::run_workload([](std::size_t count, auto&& body) {
        if (count != 0) body(0, count);
    });
}

struct LoopRecord {
    std::mutex mutex;
    std::vector<Piece> pieces;
    std::set<std::thread::id> threads;
    bool all_on_workers = true;

    void add(std::size_t b, std::size_t e) {
        std::lock_guard lock(mutex);
        pieces.emplace_back(b, e);
        threads.insert(std::this_thread::get_id());
        all_on_workers = all_on_workers && on_worker_thread();
    }
};

// ---- Loops on this process's pool (default size) ----

struct CountCase {
    const char* name;
    std::size_t (*count)(std::size_t width);
};

const CountCase kCountCases[] = {
    {"Zero", [](std::size_t) -> std::size_t { return 0; }},
    {"One", [](std::size_t) -> std::size_t { return 1; }},
    {"WidthMinusOne", [](std::size_t w) { return w - 1; }},
    {"Width", [](std::size_t w) { return w; }},
    {"WidthPlusOne", [](std::size_t w) { return w + 1; }},
    {"Odd", [](std::size_t) -> std::size_t { return 1001; }},
    {"Large", [](std::size_t) -> std::size_t { return std::size_t{1} << 20; }},
};

class PoolLoop : public ::testing::TestWithParam<CountCase> {};

TEST_P(PoolLoop, VisitsEveryIndexOnceInBisectionPieces) {
    const std::size_t count = GetParam().count(current_num_threads());
    std::vector<unsigned char> visits(count, 0);
    LoopRecord record;
    for_each_piece(count, [&](std::size_t b, std::size_t e) {
        record.add(b, e);
        for (std::size_t i = b; i < e; ++i) ++visits[i];
    });
    EXPECT_EQ(std::count(visits.begin(), visits.end(), 1), static_cast<std::ptrdiff_t>(count));
    EXPECT_TRUE(tiles_bisection(record.pieces, count));
    if (count < 2) {
        // A loop of at most one item stays on the calling thread.
        EXPECT_EQ(record.pieces.size(), count);
        if (count == 1) {
            EXPECT_EQ(record.threads, std::set{std::this_thread::get_id()});
        }
    } else {
        EXPECT_TRUE(record.all_on_workers);
        EXPECT_EQ(record.threads.count(std::this_thread::get_id()), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, PoolLoop, ::testing::ValuesIn(kCountCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PoolLoopTest, ChunkRangeCoversShortLastChunk) {
    constexpr std::size_t kLen = 1000, kChunk = 7;
    std::vector<unsigned char> visits(kLen, 0);
    for_each_chunk_range(kLen, kChunk, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b * kChunk; i < std::min(e * kChunk, kLen); ++i) ++visits[i];
    });
    EXPECT_EQ(std::count(visits.begin(), visits.end(), 1), static_cast<std::ptrdiff_t>(kLen));
}

TEST(PoolLoopTest, NestedLoopsVisitEveryCellOnce) {
    constexpr std::size_t kA = 13, kB = 29, kC = 6;
    std::vector<unsigned char> visits(kA * kB * kC, 0);
    for_each_piece(kA, [&](std::size_t ab, std::size_t ae) {
        for (std::size_t a = ab; a < ae; ++a) {
            for_each_piece(kB, [&](std::size_t bb, std::size_t be) {
                for (std::size_t b = bb; b < be; ++b) {
                    LoopRecord record;
                    for_each_piece(kC, [&](std::size_t cb, std::size_t ce) {
                        record.add(cb, ce);
                        for (std::size_t c = cb; c < ce; ++c) ++visits[(a * kB + b) * kC + c];
                    });
                    EXPECT_TRUE(record.all_on_workers);
                    EXPECT_TRUE(tiles_bisection(record.pieces, kC));
                }
            });
        }
    });
    EXPECT_EQ(std::count(visits.begin(), visits.end(), 1), static_cast<std::ptrdiff_t>(visits.size()));
}

TEST(PoolLoopTest, WorkloadMatchesSerialRun) {
    EXPECT_EQ(pool_test::run_workload([](std::size_t count, auto&& body) { for_each_piece(count, body); }),
              serial_workload());
}

TEST(PoolLoopTest, ConcurrentCallersShareThePool) {
    constexpr int kCallers = 4, kLoops = 150;
    const std::uint64_t expected = serial_workload();
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([&, t] {
            for (int l = 0; l < kLoops; ++l) {
                if (l % 50 == t) {
                    const auto hash = pool_test::run_workload(
                        [](std::size_t count, auto&& body) { for_each_piece(count, body); });
                    if (hash != expected) ++failures;
                }
                const std::size_t count = static_cast<std::size_t>(1 + (t * 977 + l * 131) % 5000);
                std::vector<unsigned char> visits(count, 0);
                for_each_piece(count, [&](std::size_t b, std::size_t e) {
                    for (std::size_t i = b; i < e; ++i) ++visits[i];
                });
                if (std::count(visits.begin(), visits.end(), 1) != static_cast<std::ptrdiff_t>(count)) ++failures;
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(failures.load(), 0);
}

// ---- Exceptions ----

TEST(PoolExceptionTest, RethrownAfterEveryOtherPieceRan) {
    constexpr std::size_t kCount = 10000, kBad = 5003;
    std::vector<unsigned char> visits(kCount, 0);
    Piece failed{0, 0};
    try {
        for_each_piece(kCount, [&](std::size_t b, std::size_t e) {
            if (b <= kBad && kBad < e) {
                failed = {b, e};
                throw std::runtime_error("piece failed");
            }
            for (std::size_t i = b; i < e; ++i) ++visits[i];
        });
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "piece failed");
    }
    for (std::size_t i = 0; i < kCount; ++i) {
        const bool in_failed = failed.first <= i && i < failed.second;
        ASSERT_EQ(visits[i], in_failed ? 0 : 1) << "index " << i;
    }
}

TEST(PoolExceptionTest, OneOfManyIsRethrown) {
    EXPECT_THROW(for_each_piece(4096, [](std::size_t b, std::size_t) { throw static_cast<int>(b); }), int);
}

TEST(PoolExceptionTest, PropagatesOutOfNestedLoops) {
    EXPECT_THROW(for_each_piece(8,
                                [](std::size_t, std::size_t) {
                                    for_each_piece(100, [](std::size_t b, std::size_t e) {
                                        if (b <= 50 && 50 < e) throw std::out_of_range("inner");
                                    });
                                }),
                 std::out_of_range);
}

TEST(PoolExceptionTest, SingleItemLoopThrowsOnCaller) {
    EXPECT_THROW(for_each_piece(1, [](std::size_t, std::size_t) { throw std::logic_error("one"); }),
                 std::logic_error);
}

TEST(PoolExceptionTest, PoolKeepsWorkingAfterwards) {
    for (int round = 0; round < 20; ++round)
        EXPECT_THROW(for_each_piece(64, [](std::size_t, std::size_t) { throw std::runtime_error("x"); }),
                     std::runtime_error);
    EXPECT_EQ(pool_test::run_workload([](std::size_t count, auto&& body) { for_each_piece(count, body); }),
              serial_workload());
}

// ---- Thread-count parsing ----

struct ParseCase {
    const char* text;
    std::optional<std::uint32_t> expected;
};

class ParseThreadCount : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseThreadCount, FollowsUnsignedDecimalRules) {
    EXPECT_EQ(parse_thread_count(GetParam().text), GetParam().expected) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseThreadCount,
    ::testing::Values(ParseCase{"6", 6}, ParseCase{"+6", 6}, ParseCase{"0", 0}, ParseCase{"007", 7},
                      ParseCase{"4294967295", 4294967295u}, ParseCase{"+", std::nullopt},
                      ParseCase{"", std::nullopt}, ParseCase{" 6", std::nullopt}, ParseCase{"6 ", std::nullopt},
                      ParseCase{"-1", std::nullopt}, ParseCase{"-0", std::nullopt}, ParseCase{"++6", std::nullopt},
                      ParseCase{"4294967296", std::nullopt}, ParseCase{"99999999999999999999999", std::nullopt},
                      ParseCase{"1a", std::nullopt}, ParseCase{"0x10", std::nullopt}),
    [](const auto& info) { return "Text" + std::to_string(info.index); });

TEST(ParseThreadCountTest, NullIsUnset) { EXPECT_EQ(parse_thread_count(nullptr), std::nullopt); }

// ---- Control-group CPU quota ----

class CgroupQuota : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantelo_cgroup_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    void write(const std::string& relative, const std::string& text) {
        const std::filesystem::path path = root_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    std::string mount(const std::string& relative) const { return (root_ / relative).string(); }

    std::filesystem::path root_;
};

TEST_F(CgroupQuota, Version2QuotaRoundsDown) {
    write("v2/app/cpu.max", "250000 100000\n");
    const std::string mountinfo = "41 31 0:38 / " + mount("v2") + " rw - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(detail::cgroup_cpu_limit("0::/app\n", mountinfo), 2u);
}

TEST_F(CgroupQuota, Version2SmallestAlongThePath) {
    write("v2/a/cpu.max", "300000 100000\n");
    write("v2/a/b/cpu.max", "max 100000\n");
    write("v2/a/b/c/cpu.max", "900000 100000\n");
    const std::string mountinfo = "41 31 0:38 / " + mount("v2") + " rw - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(detail::cgroup_cpu_limit("0::/a/b/c\n", mountinfo), 3u);
}

TEST_F(CgroupQuota, Version2MaxMeansNoLimit) {
    write("v2/app/cpu.max", "max 100000\n");
    const std::string mountinfo = "41 31 0:38 / " + mount("v2") + " rw - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(detail::cgroup_cpu_limit("0::/app\n", mountinfo), std::nullopt);
}

TEST_F(CgroupQuota, FractionalQuotaIsAtLeastOne) {
    write("v2/cpu.max", "50000 100000\n");
    const std::string mountinfo = "41 31 0:38 / " + mount("v2") + " rw - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(detail::cgroup_cpu_limit("0::/\n", mountinfo), 1u);
}

TEST_F(CgroupQuota, Version1UsesTheCpuHierarchyAndMountRoot) {
    write("cpu/job/cpu.cfs_quota_us", "400000\n");
    write("cpu/job/cpu.cfs_period_us", "100000\n");
    write("unified/job/cpu.max", "100000 100000\n");  // hybrid: the v1 cpu line wins
    const std::string proc_cgroup = "4:memory:/outer/job\n2:cpu,cpuacct:/outer/job\n0::/outer/job\n";
    const std::string mountinfo = "32 31 0:29 /outer " + mount("cpu") + " rw - cgroup cgroup rw,cpu,cpuacct\n" +
                                  "41 31 0:38 /outer " + mount("unified") + " rw - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(detail::cgroup_cpu_limit(proc_cgroup, mountinfo), 4u);
}

TEST_F(CgroupQuota, Version1MinusOneMeansNoLimit) {
    write("cpu/cpu.cfs_quota_us", "-1\n");
    write("cpu/cpu.cfs_period_us", "100000\n");
    const std::string mountinfo = "32 31 0:29 / " + mount("cpu") + " rw - cgroup cgroup rw,cpu\n";
    EXPECT_EQ(detail::cgroup_cpu_limit("1:cpu:/\n", mountinfo), std::nullopt);
}

TEST_F(CgroupQuota, EscapedMountPoint) {
    write("with space/cpu.max", "300000 100000\n");
    const std::string escaped = mount("with\\040space");
    const std::string mountinfo = "41 31 0:38 / " + escaped + " rw shared:1 - cgroup2 cgroup2 rw\n";
    EXPECT_EQ(detail::cgroup_cpu_limit("0::/\n", mountinfo), 3u);
}

TEST_F(CgroupQuota, NoCpuControllerMeansNoLimit) {
    EXPECT_EQ(detail::cgroup_cpu_limit("4:memory:/x\n", "35 31 0:32 / /m rw - cgroup cgroup rw,memory\n"),
              std::nullopt);
    EXPECT_EQ(detail::cgroup_cpu_limit("", ""), std::nullopt);
}

// ---- Scenarios in a fresh process ----

struct ProbeRun {
    int exit_code = -1;
    std::vector<std::string> lines;
};

// Runs the probe with `steps`, the environment of this process minus the
// pool variables, plus `env`.
ProbeRun run_probe(const std::vector<std::string>& steps, const std::vector<std::string>& env = {}) {
    std::vector<std::string> arguments{VANTELO_POOL_PROBE};
    arguments.insert(arguments.end(), steps.begin(), steps.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.rfind("RAYON_NUM_THREADS=", 0) != 0 && text.rfind("RAYON_RS_NUM_CPUS=", 0) != 0)
            environment.push_back(text);
    }
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    ProbeRun run;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t got; (got = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, got);
    close(pipe_fds[0]);
    if (spawned != 0) return run;
    int status = 0;
    waitpid(pid, &status, 0);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);) run.lines.push_back(line);
    return run;
}

std::string hex_hash(std::uint64_t hash) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

constexpr const char* kAlready = "build already: The global thread pool has already been initialized.";

class PoolSize : public ::testing::TestWithParam<int> {};

TEST_P(PoolSize, WorkloadIsIdenticalForEveryPoolSize) {
    const std::string size = std::to_string(GetParam());
    const ProbeRun run = run_probe({"build", size, "threads", "workload", "pieces", "100000"});
    ASSERT_EQ(run.exit_code, 0);
    ASSERT_EQ(run.lines.size(), 4u);
    EXPECT_EQ(run.lines[0], "build ok");
    EXPECT_EQ(run.lines[1], "threads " + size);
    EXPECT_EQ(run.lines[2], "workload " + hex_hash(serial_workload()));
    // "pieces 100000: b-e b-e ... threads t caller c"
    std::istringstream pieces_line(run.lines[3]);
    std::string word;
    pieces_line >> word >> word;
    std::vector<Piece> pieces;
    while (pieces_line >> word && word != "threads") {
        const std::size_t dash = word.find('-');
        pieces.emplace_back(std::stoul(word.substr(0, dash)), std::stoul(word.substr(dash + 1)));
    }
    EXPECT_TRUE(tiles_bisection(pieces, 100000)) << run.lines[3];
    EXPECT_NE(run.lines[3].find("caller 0"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PoolSize, ::testing::Values(1, 2, 3));

TEST(PoolProbeTest, SingleWorkerDivisionFollowsSplitBudget) {
    const std::vector<std::size_t> counts{2, 3, 4, 7, 16, 1000, 65536};
    std::vector<std::string> steps{"build", "1"};
    for (const std::size_t count : counts) {
        steps.push_back("pieces");
        steps.push_back(std::to_string(count));
        steps.push_back("nested");
        steps.push_back(std::to_string(count));
    }
    const ProbeRun run = run_probe(steps);
    ASSERT_EQ(run.exit_code, 0);
    ASSERT_EQ(run.lines.size(), 1 + 2 * counts.size());
    for (std::size_t k = 0; k < counts.size(); ++k) {
        const std::size_t count = counts[k];
        // From outside the pool the root split hands both halves to the
        // worker, and the first half counts as taken over.
        std::vector<Piece> outside;
        single_worker_division(0, count / 2, 0, true, outside);
        single_worker_division(count / 2, count, 0, false, outside);
        // On a worker the root is an ordinary piece with budget W = 1.
        std::vector<Piece> nested;
        single_worker_division(0, count, 1, false, nested);
        EXPECT_EQ(run.lines[1 + 2 * k], format_pieces("pieces", count, outside) + " threads 1 caller 0");
        EXPECT_EQ(run.lines[2 + 2 * k], format_pieces("nested", count, nested) + " threads 1 caller 0");
    }
}

TEST(PoolProbeTest, ExplicitCreationCapsAt255) {
    const ProbeRun run = run_probe({"build", "1000", "threads", "workload"});
    ASSERT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.lines, (std::vector<std::string>{"build ok", "threads 255", "workload " + hex_hash(serial_workload())}));
}

TEST(PoolProbeTest, SecondCreationFails) {
    const ProbeRun run = run_probe({"build", "2", "build", "4", "threads"});
    ASSERT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.lines, (std::vector<std::string>{"build ok", kAlready, "threads 2"}));
}

TEST(PoolProbeTest, CreationAfterAnyLoopFails) {
    const ProbeRun run = run_probe({"loop1", "build", "2"}, {"RAYON_NUM_THREADS=3"});
    ASSERT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.lines, (std::vector<std::string>{"loop1 caller", kAlready}));
    const ProbeRun asked = run_probe({"threads", "build", "2"}, {"RAYON_NUM_THREADS=3"});
    EXPECT_EQ(asked.lines, (std::vector<std::string>{"threads 3", kAlready}));
}

TEST(PoolProbeTest, ForkedChildRunsLoopsOnItsOwnThread) {
    for (const char* size : {"1", "3"}) {
        const ProbeRun run = run_probe({"build", size, "fork"});
        ASSERT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.lines, (std::vector<std::string>{"build ok", "fork child 0", "fork parent ok"})) << size;
    }
}

TEST(PoolProbeTest, FailedThreadStartLeavesLoopsOnCaller) {
    if (kSanitized) GTEST_SKIP() << "sanitizer runtimes need more address space than the limit leaves";
    const std::string workload = "workload " + hex_hash(serial_workload());
    const ProbeRun built = run_probe({"limit-memory", "build", "4", "threads", "workload", "build", "2"});
    ASSERT_EQ(built.exit_code, 0);
    ASSERT_EQ(built.lines.size(), 5u);
    EXPECT_EQ(built.lines[0], "limit-memory ok");
    EXPECT_EQ(built.lines[1].rfind("build io: ", 0), 0u) << built.lines[1];
    EXPECT_GT(built.lines[1].size(), std::string("build io: ").size());
    EXPECT_EQ(built.lines[2], "threads 1");
    EXPECT_EQ(built.lines[3], workload);
    EXPECT_EQ(built.lines[4], kAlready);
    const ProbeRun lazy = run_probe({"limit-memory", "pieces", "100", "threads", "workload", "build", "2"},
                                    {"RAYON_NUM_THREADS=4"});
    EXPECT_EQ(lazy.lines, (std::vector<std::string>{"limit-memory ok", "pieces 100: 0-100 threads 1 caller 1",
                                                    "threads 1", workload, kAlready}));
}

// ---- Default size from the environment ----

struct EnvCase {
    const char* name;
    std::vector<std::string> env;
    std::size_t expected;  // 0: the available CPUs
};

class DefaultSize : public ::testing::TestWithParam<EnvCase> {};

TEST_P(DefaultSize, FollowsEnvironment) {
    const std::size_t expected = GetParam().expected != 0 ? GetParam().expected
                                                           : std::min<std::size_t>(detail::available_cpus(), 255);
    const ProbeRun run = run_probe({"default", "threads"}, GetParam().env);
    ASSERT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.lines, (std::vector<std::string>{"default " + std::to_string(expected),
                                                   "threads " + std::to_string(expected)}));
}

INSTANTIATE_TEST_SUITE_P(
    Env, DefaultSize,
    ::testing::Values(EnvCase{"Unset", {}, 0},
                      EnvCase{"ZeroMeansAvailableAndSkipsSecond", {"RAYON_NUM_THREADS=0", "RAYON_RS_NUM_CPUS=3"}, 0},
                      EnvCase{"UnparsableFallsToSecond", {"RAYON_NUM_THREADS=x", "RAYON_RS_NUM_CPUS=3"}, 3},
                      EnvCase{"PlusSign", {"RAYON_NUM_THREADS=+6"}, 6},
                      EnvCase{"LeadingSpace", {"RAYON_NUM_THREADS= 6"}, 0},
                      EnvCase{"FirstWins", {"RAYON_NUM_THREADS=5", "RAYON_RS_NUM_CPUS=3"}, 5},
                      EnvCase{"SecondZero", {"RAYON_RS_NUM_CPUS=0"}, 0},
                      EnvCase{"SecondOverflow", {"RAYON_RS_NUM_CPUS=4294967296"}, 0},
                      EnvCase{"CappedAt255", {"RAYON_NUM_THREADS=4294967295"}, 255}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantelo::pool
