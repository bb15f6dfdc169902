// The per-thread random generator: ChaCha with 12 rounds as a block
// generator, 64-word buffers, seeded with 32 bytes from getrandom, reseeded
// after 64 KiB of output and after fork.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vantelo::sim {

// A source of seed bytes with the contract of getrandom(2): returns the number
// of bytes written (possibly fewer than asked) or −1 with errno set.
using SeedRead = ssize_t (*)(void* buffer, std::size_t length);

class Rng {
  public:
    static constexpr std::size_t kSeedBytes = 32;
    static constexpr std::size_t kBufferWords = 64;  // four ChaCha blocks
    static constexpr std::uint64_t kReseedBytes = 65536;

    // Seeds from the operating system; a failing source is an internal fault.
    Rng();
    // Seeds from `source` and reseeds from it after 64 KiB and after fork,
    // exactly like the operating-system generator.
    explicit Rng(SeedRead source);
    // A fixed seed, for tests (no reseeding from the operating system).
    explicit Rng(const std::array<std::uint8_t, 32>& seed);

    std::uint32_t next_u32();
    // Low half first, then high half.
    std::uint64_t next_u64();
    // (w >> 8) · 2^−24, in [0, 1).
    float next_f32();
    // Uniform in [0, bound), the largest value staying below bound.
    double next_f64_below(double bound);

  private:
    void refill();
    void reseed_from_os();
    void set_key(const std::array<std::uint8_t, 32>& seed);

    std::array<std::uint32_t, 16> key_state_{};
    std::array<std::uint32_t, 64> buffer_{};
    std::uint32_t index_ = 64;
    std::uint64_t bytes_since_seed_ = 0;
    std::uint64_t fork_generation_ = 0;
    SeedRead source_ = nullptr;  // null for a fixed seed
};

// The calling thread's generator, created on first use.
Rng& thread_rng();

// The ChaCha block function with 12 rounds on a 16-word input state; exposed
// for known-answer tests.
std::array<std::uint32_t, 16> chacha12_block(const std::array<std::uint32_t, 16>& input);

// Fills `out` from `source`, retrying interrupted and partial reads; any other
// failure is an internal fault naming the cause.
void fill_seed(std::span<std::uint8_t> out, SeedRead source);

// getrandom(2) with no flags: the operating system's seed source.
ssize_t os_seed_read(void* buffer, std::size_t length);

// The single-precision draw from one word: (w >> 8) · 2^−24.
float unit_f32_from_word(std::uint32_t w);

// The double-precision draw from one 64-bit word: v in [1, 2) from the top 52
// bits, then 0 + f64_scale_below(bound) · (v − 1).
double f64_below_from_word(std::uint64_t u, double bound);

// The largest scale s ≤ bound with s · (1 − 2^−52) < bound, so that
// s · (v − 1) for v in [1, 2) stays below bound.
double f64_scale_below(double bound);

}  // namespace vantelo::sim
