#include "sim/measure/rng.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "sim/fault.hpp"

namespace vantelo::sim {
namespace {

using Block = std::array<std::uint32_t, 16>;
using Seed = std::array<std::uint8_t, 32>;

// An independent ChaCha block with a configurable round count, written from
// the algorithm's definition (the quarter round as shifts and ors).
std::uint32_t rot(std::uint32_t v, int c) {
    return (v << c) | (v >> (32 - c));
}

void ref_qr(std::uint32_t* s, int a, int b, int c, int d) {
    s[a] = s[a] + s[b], s[d] = rot(s[d] ^ s[a], 16);
    s[c] = s[c] + s[d], s[b] = rot(s[b] ^ s[c], 12);
    s[a] = s[a] + s[b], s[d] = rot(s[d] ^ s[a], 8);
    s[c] = s[c] + s[d], s[b] = rot(s[b] ^ s[c], 7);
}

Block ref_block(const Block& in, int rounds) {
    static const int kOrder[8][4] = {{0, 4, 8, 12},  {1, 5, 9, 13},  {2, 6, 10, 14}, {3, 7, 11, 15},
                                     {0, 5, 10, 15}, {1, 6, 11, 12}, {2, 7, 8, 13},  {3, 4, 9, 14}};
    Block s = in;
    for (int r = 0; r < rounds; r += 2)
        for (const auto& q : kOrder) ref_qr(s.data(), q[0], q[1], q[2], q[3]);
    Block out;
    for (int i = 0; i < 16; ++i) out[i] = s[i] + in[i];
    return out;
}

std::uint32_t le_word(const std::uint8_t* b) {
    return b[0] | (b[1] << 8) | (b[2] << 16) | (std::uint32_t{b[3]} << 24);
}

// The input state for a 32-byte key, a 64-bit block counter and nonce zero.
Block ref_input(const Seed& key, std::uint64_t counter) {
    Block in{0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
    for (int i = 0; i < 8; ++i) in[4 + i] = le_word(key.data() + 4 * i);
    in[12] = static_cast<std::uint32_t>(counter);
    in[13] = static_cast<std::uint32_t>(counter >> 32);
    return in;
}

// Word w of the generator stream for a key (4 blocks per buffer, in order).
std::uint32_t ref_stream_word(const Seed& key, std::uint64_t w) {
    return ref_block(ref_input(key, w / 16), 12)[w % 16];
}

Seed counting_seed() {
    Seed s;
    for (int i = 0; i < 32; ++i) s[i] = static_cast<std::uint8_t>(i);
    return s;
}

TEST(ChaCha, ReferenceMatchesPublishedTwentyRoundBlock) {
    // The 20-round block of RFC 8439 section 2.3.2 (key 00..1f, counter 1,
    // nonce 00:00:00:09:00:00:00:4a:00:00:00:00) validates the reference.
    Block in = ref_input(counting_seed(), 0);
    in[12] = 1;
    in[13] = 0x09000000u;
    in[14] = 0x4a000000u;
    in[15] = 0;
    const Block expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033,
                            0x9aaa2204, 0x4e6cd4c3, 0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                            0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(ref_block(in, 20), expected);
}

TEST(ChaCha, TwelveRoundZeroBlock) {
    // All-zero key, counter and nonce, 12 rounds. Computed once with a
    // separate Python implementation of the block function; its bytes
    // (9b f4 9a 6a 07 55 f9 53 ...) are the published 12-round keystream for
    // the zero key.
    const Block expected = {0x6a9af49b, 0x53f95507, 0x12ce1f81, 0xd583265f, 0xbbc32904, 0x1474e049,
                            0xa589007e, 0x5f15ae2e, 0x79f86405, 0xc0e37ad2, 0x3428e82c, 0x798cfaac,
                            0x2c9f623a, 0x1969dea0, 0x2fe80b61, 0xbe261341};
    const Block in = ref_input(Seed{}, 0);
    EXPECT_EQ(chacha12_block(in), expected);
    EXPECT_EQ(ref_block(in, 12), expected);
}

TEST(ChaCha, BlockMatchesReferenceOnVariedInputs) {
    std::uint32_t x = 0x12345678u;
    for (int trial = 0; trial < 50; ++trial) {
        Block in;
        for (auto& w : in) {
            x = x * 1664525u + 1013904223u;
            w = x;
        }
        ASSERT_EQ(chacha12_block(in), ref_block(in, 12)) << "trial " << trial;
    }
}

TEST(Rng, FixedSeedStreamIsConsecutiveBlocks) {
    const Seed key = counting_seed();
    Rng rng(key);
    // Several buffers, across the 64 KiB mark (a fixed seed never reseeds).
    for (std::uint64_t w = 0; w < 16384 + 200; ++w)
        ASSERT_EQ(rng.next_u32(), ref_stream_word(key, w)) << "word " << w;
}

TEST(Rng, U64IsLowWordThenHighWord) {
    const Seed key = counting_seed();
    Rng rng(key);
    for (std::uint64_t i = 0; i < 40; ++i) {
        const std::uint64_t expected =
            std::uint64_t{ref_stream_word(key, 2 * i + 1)} << 32 | ref_stream_word(key, 2 * i);
        ASSERT_EQ(rng.next_u64(), expected);
    }
}

TEST(Rng, F32UsesTopTwentyFourBits) {
    EXPECT_EQ(unit_f32_from_word(0), 0.0f);
    EXPECT_EQ(unit_f32_from_word(0xFFu), 0.0f);
    EXPECT_EQ(unit_f32_from_word(0x100u), 0x1p-24f);
    EXPECT_EQ(unit_f32_from_word(0x80000000u), 0.5f);
    EXPECT_EQ(unit_f32_from_word(0xFFFFFFFFu), 1.0f - 0x1p-24f);

    const Seed key = counting_seed();
    Rng rng(key);
    for (std::uint64_t w = 0; w < 100; ++w) {
        const double expected = static_cast<double>(ref_stream_word(key, w) >> 8) / 16777216.0;
        ASSERT_EQ(rng.next_f32(), static_cast<float>(expected));
    }
}

class F64Bound : public ::testing::TestWithParam<double> {};

TEST_P(F64Bound, LargestDrawStaysBelowBound) {
    const double bound = GetParam();
    const double scale = f64_scale_below(bound);
    constexpr double kMaxFraction = 1.0 - 0x1p-52;
    EXPECT_LT(scale * kMaxFraction, bound);
    EXPECT_LE(scale, bound);
    // Maximal: the next larger scale would reach the bound.
    if (scale < bound) {
        EXPECT_GE(std::nextafter(scale, INFINITY) * kMaxFraction, bound);
    }
    for (std::uint64_t u : {~std::uint64_t{0}, ~std::uint64_t{0} << 12, ~std::uint64_t{0} >> 1}) {
        const double v = f64_below_from_word(u, bound);
        EXPECT_LT(v, bound) << "u " << u;
        EXPECT_GE(v, 0.0);
    }
    EXPECT_EQ(f64_below_from_word(0, bound), 0.0);
    EXPECT_EQ(f64_below_from_word(0xFFFu, bound), 0.0);  // the low 12 bits are dropped
    EXPECT_EQ(f64_below_from_word(std::uint64_t{1} << 63, bound), scale * 0.5);
}

INSTANTIATE_TEST_SUITE_P(Bounds, F64Bound,
                         ::testing::Values(1.0, 3.0, 1e-300, 0.1, 2.0, 7.000000000000001,
                                           1.0 - 0x1p-53, DBL_MAX, DBL_MIN, 5e-324, 1e-310));

TEST(Rng, F64ScaleIsLoweredOnlyWhereRoundingWouldReachTheBound) {
    // For normal bounds b · (1 − 2^−52) already rounds below b.
    EXPECT_EQ(f64_scale_below(1.0), 1.0);
    EXPECT_EQ(f64_scale_below(3.0), 3.0);
    EXPECT_EQ(f64_below_from_word(~std::uint64_t{0}, 1.0), 1.0 - 0x1p-52);
    // Subnormal bounds lose the factor to rounding.
    EXPECT_EQ(f64_scale_below(1e-310), std::nextafter(1e-310, 0.0));
    EXPECT_EQ(f64_scale_below(5e-324), 0.0);
}

TEST(Rng, F64DrawUsesNextU64) {
    const Seed key = counting_seed();
    Rng a(key), b(key);
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(a.next_f64_below(3.0), f64_below_from_word(b.next_u64(), 3.0));
}

// Seed sources for the tests: call k (from 0) yields 32 bytes of value k + 1.
int g_seed_calls = 0;
ssize_t counting_source(void* buffer, std::size_t length) {
    std::memset(buffer, g_seed_calls + 1, length);
    ++g_seed_calls;
    return static_cast<ssize_t>(length);
}
Seed seed_of_call(int k) {
    Seed s;
    s.fill(static_cast<std::uint8_t>(k + 1));
    return s;
}

TEST(Rng, ReseedsAfterSixtyFourKibibytes) {
    g_seed_calls = 0;
    Rng rng(&counting_source);
    EXPECT_EQ(g_seed_calls, 1);
    for (std::uint64_t w = 0; w < 16384; ++w)
        ASSERT_EQ(rng.next_u32(), ref_stream_word(seed_of_call(0), w)) << "word " << w;
    EXPECT_EQ(g_seed_calls, 1);  // reseeding waits for the next buffer
    for (std::uint64_t w = 0; w < 16384; ++w)
        ASSERT_EQ(rng.next_u32(), ref_stream_word(seed_of_call(1), w)) << "word " << w;
    EXPECT_EQ(g_seed_calls, 2);
    EXPECT_EQ(rng.next_u32(), ref_stream_word(seed_of_call(2), 0));
    EXPECT_EQ(g_seed_calls, 3);
}

TEST(Rng, ChildProcessReseedsAtOnce) {
    g_seed_calls = 0;
    Rng rng(&counting_source);
    ASSERT_EQ(rng.next_u32(), ref_stream_word(seed_of_call(0), 0));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child's next word comes from a fresh seed, not the parent's
        // buffer. Only async-signal-safe calls here.
        std::uint32_t reply[2] = {rng.next_u32(), static_cast<std::uint32_t>(g_seed_calls)};
        ssize_t ignored = write(fds[1], reply, sizeof reply);
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    std::uint32_t reply[2] = {0, 0};
    ASSERT_EQ(read(fds[0], reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(reply[1], 2u);
    EXPECT_EQ(reply[0], ref_stream_word(seed_of_call(1), 0));
    // The parent continues its own stream untouched.
    EXPECT_EQ(rng.next_u32(), ref_stream_word(seed_of_call(0), 1));
    EXPECT_EQ(g_seed_calls, 1);
}

// A source that returns at most 5 bytes per call and is interrupted once.
int g_partial_calls = 0;
ssize_t partial_source(void* buffer, std::size_t length) {
    if (g_partial_calls++ == 2) {
        errno = EINTR;
        return -1;
    }
    const std::size_t n = length < 5 ? length : 5;
    std::memset(buffer, 0xAB, n);
    return static_cast<ssize_t>(n);
}

ssize_t failing_source(void*, std::size_t) {
    errno = EIO;
    return -1;
}

ssize_t empty_source(void*, std::size_t) {
    return 0;
}

TEST(Rng, SeedReadRetriesPartialAndInterruptedReads) {
    g_partial_calls = 0;
    Seed seed{};
    fill_seed(seed, &partial_source);
    EXPECT_EQ(g_partial_calls, 8);  // 7 reads of ≤ 5 bytes plus the interrupted one
    for (std::uint8_t b : seed) EXPECT_EQ(b, 0xAB);
}

TEST(Rng, FailingSeedSourceIsInternalFault) {
    Seed seed{};
    try {
        fill_seed(seed, &failing_source);
        FAIL() << "no fault";
    } catch (const InternalFault& f) {
        EXPECT_EQ(std::string(f.what()),
                  std::string("failed to seed the random generator: ") + std::strerror(EIO));
    }
    EXPECT_THROW(Rng{&failing_source}, InternalFault);
    EXPECT_THROW(fill_seed(seed, &empty_source), InternalFault);
}

TEST(Rng, ThreadGeneratorIsPerThread) {
    Rng* mine = &thread_rng();
    EXPECT_EQ(mine, &thread_rng());
    Rng* other = nullptr;
    std::uint64_t other_word = 0;
    std::thread t([&] {
        other = &thread_rng();
        other_word = thread_rng().next_u64();
    });
    t.join();
    EXPECT_NE(mine, other);
    // Independent seeds: equal 64-bit words would be a 2^-64 coincidence.
    EXPECT_NE(thread_rng().next_u64(), other_word);
}

}  // namespace
}  // namespace vantelo::sim
