// How many qubits the executor's blocks span: 2^b amplitudes sized to the
// per-core L2 cache, read once at run time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantelo::sim {

// Blocks of 2^16 amplitudes (512 KiB) where the cache size cannot be read.
inline constexpr std::uint32_t kDefaultBlockQubits = 16;

// The block width that fits half the L2 cache of one core (the other half
// keeps the kernels' matrices and the neighbouring lines), clamped to
// [12, 20]; kDefaultBlockQubits when the size is unknown.
std::uint32_t cache_block_qubits();

// The block width for a run of n qubits: the cache width, capped at n (a
// width set by set_block_qubits_for_testing wins, also capped). It does not
// depend on the pool size, so every pool cuts the state into the same blocks
// and each block makes the same light-kernel checks (see light.hpp): results
// are the same bits whatever the pool. A state of one block (up to 2^16
// amplitudes here) runs each segment on one thread; against blocks narrowed
// to give two threads two each, bench/exec_bench.cpp measured this at n = 16
// on two threads 1.47x slower for the QFT (1.02 against 0.69 ms) and 1.18x
// faster for the compiled expectation (1.41 against 1.67 ms).
std::uint32_t block_qubits_for(std::uint32_t n);

// Whether the segments of a run of n qubits gather scattered qubits into a
// buffer (true) or run in place on the low qubits. Gathering makes the
// fewest passes; while each pass was dominated by the dense arithmetic, in
// place won on states that fit the last-level cache, but with the light
// kernels bench/exec_bench.cpp measured gathering ahead at every width
// (two threads, n = 16–24: QFT 1.9–2.2x faster than in place, layered
// circuits from 0.84x at n = 20 to 1.15x at n = 24), so it is the rule.
bool gather_blocks_for(std::uint32_t n);

// Forces gather_blocks_for for every later run (Auto restores the rule), so
// tests drive both plans on small registers.
enum class GatherMode : std::uint8_t { Auto, Always, Never };
void set_gather_mode_for_testing(GatherMode mode);

// Forces the block width of every later run (0 restores the rule above), so
// tests can drive the gathering of scattered qubits on small registers.
void set_block_qubits_for_testing(std::uint32_t b);

}  // namespace vantelo::sim
