// The C library's mathematical functions whose last bit shows in results
// (rotation angles, noise rates), taken from the system's libm.
//
// A toolchain whose own runtime also defines them (zig's compiler_rt, linked
// into the module whenever any of its helpers is needed) binds these names to
// its copy at static link time, ahead of the shared libm, and its results
// differ from glibc's in the last bit. Such builds set
// VANTELO_LIBM_SYMBOL_VERSION to the glibc symbol version of these functions
// on the target (GLIBC_2.2.5 on x86-64): the calls then name the versioned
// symbol, which only libm defines. Other builds call the plain functions.
#pragma once

#include <cmath>

namespace vantelo::platform {

#ifdef VANTELO_LIBM_SYMBOL_VERSION
extern "C" void vantelo_libm_sincosf(float x, float* s, float* c) noexcept
    __asm__("sincosf@" VANTELO_LIBM_SYMBOL_VERSION);
extern "C" double vantelo_libm_exp(double x) noexcept __asm__("exp@" VANTELO_LIBM_SYMBOL_VERSION);

inline void sincosf(float x, float* s, float* c) noexcept { vantelo_libm_sincosf(x, s, c); }
inline double exp(double x) noexcept { return vantelo_libm_exp(x); }
#else
inline void sincosf(float x, float* s, float* c) noexcept { ::sincosf(x, s, c); }
inline double exp(double x) noexcept { return std::exp(x); }
#endif

}  // namespace vantelo::platform
