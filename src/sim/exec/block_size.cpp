#include "sim/exec/block_size.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>

#include "platform/platform.hpp"

namespace vantelo::sim {

namespace {

std::atomic<std::uint32_t> g_forced_block_qubits{0};
std::atomic<GatherMode> g_gather_mode{GatherMode::Auto};

}  // namespace

std::uint32_t cache_block_qubits() {
    static const std::uint32_t qubits = [] {
        const long bytes = platform::l2_cache_bytes();
        if (bytes <= 0) return kDefaultBlockQubits;
        const auto amplitudes = static_cast<unsigned long>(bytes) / 2 / 8;
        const auto b = static_cast<std::uint32_t>(std::bit_width(amplitudes) - 1);
        return std::clamp<std::uint32_t>(b, 12, 20);
    }();
    return qubits;
}

std::uint32_t block_qubits_for(std::uint32_t n) {
    const std::uint32_t forced = g_forced_block_qubits.load(std::memory_order_relaxed);
    if (forced != 0) return std::min(forced, n);
    return std::min(cache_block_qubits(), n);
}

bool gather_blocks_for(std::uint32_t /*n*/) {
    switch (g_gather_mode.load(std::memory_order_relaxed)) {
        case GatherMode::Always: return true;
        case GatherMode::Never: return false;
        case GatherMode::Auto: break;
    }
    return true;
}

void set_gather_mode_for_testing(GatherMode mode) {
    g_gather_mode.store(mode, std::memory_order_relaxed);
}

void set_block_qubits_for_testing(std::uint32_t b) {
    g_forced_block_qubits.store(b, std::memory_order_relaxed);
}

}  // namespace vantelo::sim
