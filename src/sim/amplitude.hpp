// The amplitude type and the exact single-precision complex arithmetic every
// kernel uses. Products are two separate multiplies and one add or subtract;
// the build forbids contraction into fused multiply-adds.
#pragma once

namespace vantelo::sim {

struct Amplitude {
    float re;
    float im;
};
static_assert(sizeof(Amplitude) == 8);

inline bool operator==(Amplitude a, Amplitude b) { return a.re == b.re && a.im == b.im; }

// a · b: real = a.re·b.re − a.im·b.im, imaginary = a.re·b.im + a.im·b.re.
inline Amplitude cmul(Amplitude a, Amplitude b) {
    float rr = a.re * b.re;
    float ii = a.im * b.im;
    float ri = a.re * b.im;
    float ir = a.im * b.re;
    return {rr - ii, ri + ir};
}

inline Amplitude cadd(Amplitude a, Amplitude b) { return {a.re + b.re, a.im + b.im}; }

}  // namespace vantelo::sim
