// Which kernels this process runs, decided once: the AVX2 kernels exist only
// in x86-64 builds, run only where the CPU and the operating system support
// AVX2, and can be turned off with VANTELO_DISABLE_AVX2 (the portable
// kernels give the same bits, so this only changes speed).
#pragma once

#if defined(__x86_64__) || defined(_M_X64)
#define VANTELO_AVX2_KERNELS 1
#else
#define VANTELO_AVX2_KERNELS 0
#endif

namespace vantelo::sim {

struct KernelChoice {
    bool built_avx2;     // this build has the AVX2 kernels
    bool cpu_avx2;       // CPUID says AVX2, and the OS saves the YMM registers
    bool disabled_avx2;  // VANTELO_DISABLE_AVX2 asked for the portable kernels
    bool avx2;           // what runs: all three of the above allow it
    const char* name;    // "avx2" or "portable"
};

// The choice of this process, made on first use.
const KernelChoice& kernel_choice();

// True when this process runs the AVX2 kernels (kernel_choice().avx2). The
// *_avx2 entry points exist only where VANTELO_AVX2_KERNELS is 1.
bool cpu_has_avx2();

// AVX2 support of the CPU this runs on, from CPUID leaf 7 and XGETBV (false
// off x86-64). Compiler built-ins are not used: some toolchains answer "no"
// for every feature.
bool cpu_supports_avx2();

// FMA3 support of the CPU (CPUID leaf 1), for the fused kernels; false off
// x86-64.
bool cpu_supports_fma();

// AVX-512F support of the CPU (CPUID leaf 7) with the OS saving the ZMM
// and opmask registers, besides AVX2 and FMA; false off x86-64. Only the
// fused kernels use it.
bool cpu_supports_avx512f();

// Whether a value of VANTELO_DISABLE_AVX2 asks for the portable kernels:
// set, non-empty and not "0".
bool avx2_disabled_by(const char* value);

}  // namespace vantelo::sim
