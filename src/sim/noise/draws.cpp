#include "sim/noise/draws.hpp"

namespace vantelo::sim {

Rng trajectory_rng(std::uint64_t seed, std::uint64_t trajectory) {
    std::array<std::uint8_t, Rng::kSeedBytes> key{};
    const std::uint64_t words[4] = {seed, trajectory, 0x74726a2d6d656173ull, 0};
    for (std::size_t w = 0; w < 4; ++w)
        for (std::size_t i = 0; i < 8; ++i) key[8 * w + i] = static_cast<std::uint8_t>(words[w] >> (8 * i));
    return Rng(key);
}

}  // namespace vantelo::sim
