// The per-thread random generator: ChaCha with 12 rounds as a block
// generator, 64-word buffers, seeded with 32 bytes from getrandom, reseeded
// after 64 KiB of output and after fork.
#pragma once

#include <array>
#include <cstdint>

namespace vantelo::sim {

class Rng {
public:
    // Seeds from the operating system; a failing source is an internal fault.
    Rng();
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

    std::array<std::uint32_t, 16> key_state_{};
    std::array<std::uint32_t, 64> buffer_{};
    std::uint32_t index_ = 64;
    std::uint64_t bytes_since_seed_ = 0;
    std::uint64_t fork_generation_ = 0;
    bool from_os_ = true;
};

// The calling thread's generator, created on first use.
Rng& thread_rng();

// The ChaCha block function with 12 rounds on a 16-word input state; exposed
// for known-answer tests.
std::array<std::uint32_t, 16> chacha12_block(const std::array<std::uint32_t, 16>& input);

}  // namespace vantelo::sim
