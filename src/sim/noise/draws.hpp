// The random numbers of one trajectory: a counter-based generator keyed by
// (seed, trajectory). Draw i of trajectory t is a pure function of (seed, t,
// i), so a trajectory's draws never depend on which thread runs it, on how
// many run at once, or on how the trajectories were split between calls.
#pragma once

#include <array>
#include <cstdint>

#include "sim/measure/rng.hpp"

namespace vantelo::sim {

// SplitMix64's finaliser: a bijection of 64-bit words with full avalanche.
constexpr std::uint64_t mix64(std::uint64_t z) {
    z += 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

class TrajectoryDraws {
public:
    TrajectoryDraws(std::uint64_t seed, std::uint64_t trajectory)
        : key_(mix64(mix64(seed) ^ mix64(trajectory ^ 0x6a09e667f3bcc909ull))) {}

    // Uniform in [0, 1) with 53 random bits: mix64(key + i·φ) for draw i.
    double next() {
        const std::uint64_t bits = mix64(key_ + counter_++ * 0xd1b54a32d192ed03ull);
        return static_cast<double>(bits >> 11) * 0x1.0p-53;
    }

    std::uint64_t key() const { return key_; }

private:
    std::uint64_t key_;
    std::uint64_t counter_ = 0;
};

// The generator for the measurements, resets and samples of trajectory t: a
// ChaCha stream keyed by (seed, t), apart from the channel draws.
Rng trajectory_rng(std::uint64_t seed, std::uint64_t trajectory);

}  // namespace vantelo::sim
