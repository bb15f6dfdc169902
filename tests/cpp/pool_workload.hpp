// A deterministic workload of flat, nested and chunk loops, shared by the
// pool tests and the pool probe so both compute the same hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vantelo::pool_test {

// Plain arithmetic, no libm: the tests and the probe are separate
// executables, and a cross toolchain may link a different sinf into each.
inline float workload_value(std::size_t i) {
    const float x = static_cast<float>(i % 9973) * 0.37f;
    return x * (1.0f - x * 0.001f) - 1.0f / (1.0f + x);
}

inline void hash_bytes(std::uint64_t& hash, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ULL;
}

// `for_each(count, body)` runs body(begin, end) over pieces of [0, count).
// Every output is accumulated with +=, so an index run twice (or never)
// changes the hash.
template <class ForEach>
std::uint64_t run_workload(ForEach&& for_each) {
    constexpr std::size_t kRows = 45, kCols = 37, kFlat = 100003, kLen = 1000, kChunk = 7;
    std::vector<float> grid(kRows * kCols, 0.0f), flat(kFlat, 0.0f), chunked(kLen, 0.0f);
    for_each(kRows, [&](std::size_t rb, std::size_t re) {
        for (std::size_t r = rb; r < re; ++r) {
            for_each(kCols, [&](std::size_t cb, std::size_t ce) {
                for (std::size_t c = cb; c < ce; ++c) grid[r * kCols + c] += workload_value(r * 131 + c);
            });
        }
    });
    for_each(kFlat, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) flat[i] += workload_value(i) * flat.size();
    });
    for_each((kLen + kChunk - 1) / kChunk, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b * kChunk; i < e * kChunk && i < kLen; ++i) chunked[i] += workload_value(i + 7);
    });
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    hash_bytes(hash, grid.data(), grid.size() * sizeof(float));
    hash_bytes(hash, flat.data(), flat.size() * sizeof(float));
    hash_bytes(hash, chunked.data(), chunked.size() * sizeof(float));
    return hash;
}

}  // namespace vantelo::pool_test
