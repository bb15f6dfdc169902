// The C library's mathematical functions whose last bit shows in results
// (rotation angles, noise rates), taken from the system's libm.
//
// A toolchain whose own runtime also defines them (zig's compiler_rt, linked
// into the module whenever any of its helpers is needed) binds these names to
// its copy at static link time, ahead of the shared libm, and its results
// differ from glibc's in the last bit. Such builds set
// VANTELO_LIBM_SYMBOL_VERSION to the glibc symbol version of these functions
// on the target (GLIBC_2.2.5 on x86-64): the calls then name the versioned
// symbol, which only libm defines. Other glibc builds call the plain
// functions; elsewhere sine and cosine come from two calls.
#pragma once

#include <cmath>

namespace vantelo::platform {

#ifdef VANTELO_LIBM_SYMBOL_VERSION
extern "C" void vantelo_libm_sincosf(float x, float* s, float* c) noexcept
    __asm__("sincosf@" VANTELO_LIBM_SYMBOL_VERSION);
extern "C" double vantelo_libm_exp(double x) noexcept __asm__("exp@" VANTELO_LIBM_SYMBOL_VERSION);

inline void sincosf(float x, float* s, float* c) noexcept { vantelo_libm_sincosf(x, s, c); }
inline double exp(double x) noexcept { return vantelo_libm_exp(x); }
#elif defined(__GLIBC__)
inline void sincosf(float x, float* s, float* c) noexcept { ::sincosf(x, s, c); }
inline double exp(double x) noexcept { return std::exp(x); }
#else
// sincosf is a GNU extension (macOS and the Windows C runtimes lack it).
inline void sincosf(float x, float* s, float* c) noexcept {
    *s = std::sin(x);
    *c = std::cos(x);
}
inline double exp(double x) noexcept { return std::exp(x); }
#endif

}  // namespace vantelo::platform
