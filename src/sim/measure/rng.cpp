#include "sim/measure/rng.hpp"

#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform.hpp"
#include "sim/fault.hpp"
#include "sim/messages.hpp"

namespace vantelo::sim {

namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865u, 0x3320646eu, 0x79622d32u,
                                                 0x6b206574u};

// Bumped in every child process; a generator that sees a new value reseeds
// before its next draw so parent and child never share a stream.
std::atomic<std::uint64_t> g_fork_generation{0};

void on_fork_child() {
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
}

void register_fork_handler() {
    static std::once_flag once;
    std::call_once(once, [] { platform::on_fork_child(&on_fork_child); });
}

inline void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

std::array<std::uint32_t, 16> chacha12_block(const std::array<std::uint32_t, 16>& input) {
    std::array<std::uint32_t, 16> x = input;
    for (int double_round = 0; double_round < 6; ++double_round) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) x[i] += input[i];
    return x;
}

ssize_t os_seed_read(void* buffer, std::size_t length) {
    return static_cast<ssize_t>(platform::os_random_bytes(buffer, length));
}

void fill_seed(std::span<std::uint8_t> out, SeedRead source) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        errno = 0;
        const ssize_t n = source(out.data() + filled, out.size() - filled);
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            raise_fault(msg::seed_failed(platform::error_text(err)));
        }
        // getrandom without flags blocks rather than return nothing, so an
        // empty read means the source is broken; retrying could spin forever.
        if (n == 0) raise_fault(msg::seed_failed("the source returned no bytes"));
        filled += static_cast<std::size_t>(n);
    }
}

double f64_scale_below(double bound) {
    constexpr double kMaxFraction = 1.0 - 0x1p-52;  // the largest v − 1
    double scale = bound;
    // Stops at 0 for bounds at or below the smallest subnormal.
    while (scale > 0.0 && scale * kMaxFraction >= bound) scale = std::nextafter(scale, 0.0);
    return scale;
}

Rng::Rng() : Rng(&os_seed_read) {}

Rng::Rng(SeedRead source) : source_(source) {
    register_fork_handler();
    reseed_from_os();
}

Rng::Rng(const std::array<std::uint8_t, 32>& seed) {
    set_key(seed);
}

void Rng::set_key(const std::array<std::uint8_t, 32>& seed) {
    for (int i = 0; i < 4; ++i) key_state_[i] = kSigma[i];
    for (int i = 0; i < 8; ++i) {
        const std::uint8_t* b = seed.data() + 4 * i;
        key_state_[4 + i] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 |
                            std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
    }
    // Words 12, 13: the 64-bit block counter (low word first); 14, 15: nonce 0.
    for (int i = 12; i < 16; ++i) key_state_[i] = 0;
    index_ = kBufferWords;
    bytes_since_seed_ = 0;
}

void Rng::reseed_from_os() {
    std::array<std::uint8_t, 32> seed{};
    fill_seed(seed, source_);
    // Read the generation after seeding: a fork during the read is then seen
    // at the next draw and causes one more reseed, never a shared stream.
    fork_generation_ = g_fork_generation.load(std::memory_order_relaxed);
    set_key(seed);
}

void Rng::refill() {
    if (source_ != nullptr && bytes_since_seed_ >= kReseedBytes) reseed_from_os();
    for (std::size_t block = 0; block < 4; ++block) {
        const std::array<std::uint32_t, 16> out = chacha12_block(key_state_);
        std::memcpy(buffer_.data() + 16 * block, out.data(), sizeof out);
        if (++key_state_[12] == 0) ++key_state_[13];
    }
    bytes_since_seed_ += kBufferWords * 4;
    index_ = 0;
}

std::uint32_t Rng::next_u32() {
    if (source_ != nullptr &&
        fork_generation_ != g_fork_generation.load(std::memory_order_relaxed)) {
        reseed_from_os();
    }
    if (index_ >= kBufferWords) refill();
    return buffer_[index_++];
}

std::uint64_t Rng::next_u64() {
    const std::uint64_t low = next_u32();
    const std::uint64_t high = next_u32();
    return high << 32 | low;
}

float unit_f32_from_word(std::uint32_t w) {
    constexpr float kScale = 0x1p-24f;
    return static_cast<float>(w >> 8) * kScale;
}

double f64_below_from_word(std::uint64_t u, double bound) {
    const double v = std::bit_cast<double>(u >> 12 | 0x3FF0000000000000ull);  // in [1, 2)
    return 0.0 + f64_scale_below(bound) * (v - 1.0);
}

float Rng::next_f32() {
    return unit_f32_from_word(next_u32());
}

double Rng::next_f64_below(double bound) {
    return f64_below_from_word(next_u64(), bound);
}

Rng& thread_rng() {
    // Constructed on the thread's first call; a failed seed leaves it
    // unconstructed, so the next call tries again.
    thread_local Rng rng;
    return rng;
}

}  // namespace vantelo::sim
