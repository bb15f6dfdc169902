#include "sim/cpu/cpu_features.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(_MSC_VER) && VANTELO_AVX2_KERNELS
#include <immintrin.h>
#include <intrin.h>
#endif

namespace vantelo::sim {

namespace {

#if VANTELO_AVX2_KERNELS
struct Registers {
    std::uint32_t a, b, c, d;
};

Registers cpuid(std::uint32_t leaf, std::uint32_t subleaf) {
    Registers r{};
#if defined(_MSC_VER) && !defined(__clang__)
    int out[4];
    __cpuidex(out, static_cast<int>(leaf), static_cast<int>(subleaf));
    r = {static_cast<std::uint32_t>(out[0]), static_cast<std::uint32_t>(out[1]),
         static_cast<std::uint32_t>(out[2]), static_cast<std::uint32_t>(out[3])};
#else
    __asm__ volatile("cpuid" : "=a"(r.a), "=b"(r.b), "=c"(r.c), "=d"(r.d) : "a"(leaf), "c"(subleaf));
#endif
    return r;
}

// XCR0: which register states the operating system saves on a switch.
// Inline assembly, so this file needs no -mxsave.
std::uint64_t xgetbv0() {
#if defined(_MSC_VER) && !defined(__clang__)
    return _xgetbv(0);
#else
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0u));
    return (std::uint64_t{hi} << 32) | lo;
#endif
}
#endif

}  // namespace

bool cpu_supports_avx2() {
#if VANTELO_AVX2_KERNELS
    if (cpuid(0, 0).a < 7) return false;
    const Registers leaf1 = cpuid(1, 0);
    const bool osxsave = (leaf1.c >> 27) & 1u;
    const bool avx = (leaf1.c >> 28) & 1u;
    if (!osxsave || !avx) return false;
    // SSE (bit 1) and AVX (bit 2) state enabled by the OS; without it the
    // first YMM instruction faults even on a CPU that has them.
    if ((xgetbv0() & 0x6u) != 0x6u) return false;
    return (cpuid(7, 0).b >> 5) & 1u;
#else
    return false;
#endif
}

bool cpu_supports_fma() {
#if VANTELO_AVX2_KERNELS
    return cpu_supports_avx2() && ((cpuid(1, 0).c >> 12) & 1u);
#else
    return false;
#endif
}

bool cpu_supports_avx512f() {
#if VANTELO_AVX2_KERNELS
    if (!cpu_supports_fma()) return false;
    // Opmask (bit 5) and the upper halves of ZMM0-15 and ZMM16-31 (bits 6
    // and 7) saved by the OS as well.
    if ((xgetbv0() & 0xE6u) != 0xE6u) return false;
    return (cpuid(7, 0).b >> 16) & 1u;
#else
    return false;
#endif
}

bool avx2_disabled_by(const char* value) {
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

const KernelChoice& kernel_choice() {
    static const KernelChoice choice = [] {
        KernelChoice c{};
        c.built_avx2 = VANTELO_AVX2_KERNELS != 0;
        c.cpu_avx2 = cpu_supports_avx2();
        c.disabled_avx2 = avx2_disabled_by(std::getenv("VANTELO_DISABLE_AVX2"));
        c.avx2 = c.built_avx2 && c.cpu_avx2 && !c.disabled_avx2;
        c.name = c.avx2 ? "avx2" : "portable";
        return c;
    }();
    return choice;
}

bool cpu_has_avx2() { return kernel_choice().avx2; }

}  // namespace vantelo::sim
