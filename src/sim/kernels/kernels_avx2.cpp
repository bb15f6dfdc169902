// The one-qubit kernel with AVX2 (built with -mavx2 -mno-fma); lane
// arithmetic as described in kernels_avx2.hpp.
// Empty off x86-64 (CMake leaves it out there too).
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include "sim/kernels/kernels_avx2.hpp"

#include <array>
#include <cstdint>

#include "sim/kernels/kernels.hpp"

namespace vantelo::sim {

namespace {

using namespace avx2;

// A matrix entry broadcast to every lane: all real parts, all imaginary parts.
struct Entry {
    __m256 re;
    __m256 im;
};

Entry broadcast(Amplitude m) { return {_mm256_set1_ps(m.re), _mm256_set1_ps(m.im)}; }

// x·m per amplitude, given x and swap_re_im(x):
// real x.re·m.re − x.im·m.im, imaginary x.im·m.re + x.re·m.im.
inline __m256 mul(__m256 x, __m256 x_swapped, const Entry& m) {
    return _mm256_addsub_ps(_mm256_mul_ps(x, m.re), _mm256_mul_ps(x_swapped, m.im));
}

// The one-qubit update of four pairs held lane by lane in x0 (bit q = 0) and
// x1 (bit q = 1): y0 = m00·x0 + m01·x1, y1 = m10·x0 + m11·x1.
inline void update(__m256& x0, __m256& x1, const std::array<Entry, 4>& m) {
    const __m256 s0 = swap_re_im(x0);
    const __m256 s1 = swap_re_im(x1);
    const __m256 y0 = _mm256_add_ps(mul(x0, s0, m[0]), mul(x1, s1, m[1]));
    const __m256 y1 = _mm256_add_ps(mul(x0, s0, m[2]), mul(x1, s1, m[3]));
    x0 = y0;
    x1 = y1;
}

// Target 0: a pair is two neighbouring amplitudes. Eight amplitudes (four
// chunks) at a time: the 64-bit unpacks move the even ones into x0 and the
// odd ones into x1, and the same unpacks put the results back in order.
std::size_t target0(Amplitude* p, std::size_t count, const std::array<Entry, 4>& m) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 r0 = load(p + i);      // a0 a1 | a2 a3
        const __m256 r1 = load(p + i + 4);  // a4 a5 | a6 a7
        __m256 x0 = unpack_lo(r0, r1);      // a0 a4 | a2 a6
        __m256 x1 = unpack_hi(r0, r1);      // a1 a5 | a3 a7
        update(x0, x1, m);
        store(p + i, unpack_lo(x0, x1));
        store(p + i + 4, unpack_hi(x0, x1));
    }
    return i;
}

// Target 1: a chunk is four amplitudes whose pairs are (0, 2) and (1, 3), so
// x0 is the low 128-bit half of a register and x1 the high half. Two chunks
// at a time.
std::size_t target1(Amplitude* p, std::size_t count, const std::array<Entry, 4>& m) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 r0 = load(p + i);
        const __m256 r1 = load(p + i + 4);
        __m256 x0 = _mm256_permute2f128_ps(r0, r1, 0x20);
        __m256 x1 = _mm256_permute2f128_ps(r0, r1, 0x31);
        update(x0, x1, m);
        store(p + i, _mm256_permute2f128_ps(x0, x1, 0x20));
        store(p + i + 4, _mm256_permute2f128_ps(x0, x1, 0x31));
    }
    return i;
}

// Target 2: a chunk is eight amplitudes, its halves one register each. One
// flat loop over the range, two chunks a step while they last (the loop per
// chunk below would run once for each).
void target2(Amplitude* p, std::size_t count, const std::array<Entry, 4>& m) {
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        __m256 a0 = load(p + i);
        __m256 a1 = load(p + i + 4);
        __m256 b0 = load(p + i + 8);
        __m256 b1 = load(p + i + 12);
        update(a0, a1, m);
        update(b0, b1, m);
        store(p + i, a0);
        store(p + i + 4, a1);
        store(p + i + 8, b0);
        store(p + i + 12, b1);
    }
    for (; i < count; i += 8) {
        __m256 x0 = load(p + i);
        __m256 x1 = load(p + i + 4);
        update(x0, x1, m);
        store(p + i, x0);
        store(p + i + 4, x1);
    }
}

// Targets ≥ 2: the two halves of a chunk are contiguous runs of 2^q ≥ 4
// amplitudes, updated four pairs at a time (eight while the run allows, to
// keep two independent chains in flight).
void high_target_chunk(Amplitude* lo, std::size_t half, const std::array<Entry, 4>& m) {
    Amplitude* hi = lo + half;
    std::size_t j = 0;
    for (; j + 8 <= half; j += 8) {
        __m256 a0 = load(lo + j);
        __m256 a1 = load(hi + j);
        __m256 b0 = load(lo + j + 4);
        __m256 b1 = load(hi + j + 4);
        update(a0, a1, m);
        update(b0, b1, m);
        store(lo + j, a0);
        store(hi + j, a1);
        store(lo + j + 4, b0);
        store(hi + j + 4, b1);
    }
    for (; j < half; j += 4) {
        __m256 x0 = load(lo + j);
        __m256 x1 = load(hi + j);
        update(x0, x1, m);
        store(lo + j, x0);
        store(hi + j, x1);
    }
}

// Targets whose chunks span 1 KiB to 64 KiB: the two halves of a chunk are
// short interleaved streams that the hardware prefetchers follow poorly (up to
// three times slower than one sequential pass). Fetching the data ahead, in
// address order and at the rate the update consumes it, keeps the memory
// traffic sequential: `ahead` bytes beyond the current position of the lower
// half, two lines per step of eight pairs, never past `end`. The data goes to
// the outer caches (the hint that measured best), not the small L1.
constexpr Qubit kStreamedMinTarget = 6;
constexpr Qubit kStreamedMaxTarget = 12;

void streamed_chunk(Amplitude* lo, std::size_t half, const std::array<Entry, 4>& m,
                    std::size_t ahead, std::uintptr_t end) {
    Amplitude* hi = lo + half;
    // An address, not a pointer: it may run past the array.
    std::uintptr_t next = reinterpret_cast<std::uintptr_t>(lo) + ahead;
    for (std::size_t j = 0; j < half; j += 8, next += 128) {
        if (next < end) {
            _mm_prefetch(reinterpret_cast<const char*>(next), _MM_HINT_T2);
            _mm_prefetch(reinterpret_cast<const char*>(next + 64), _MM_HINT_T2);
        }
        __m256 a0 = load(lo + j);
        __m256 a1 = load(hi + j);
        __m256 b0 = load(lo + j + 4);
        __m256 b1 = load(hi + j + 4);
        update(a0, a1, m);
        update(b0, b1, m);
        store(lo + j, a0);
        store(hi + j, a1);
        store(lo + j + 4, b0);
        store(hi + j + 4, b1);
    }
}

}  // namespace

void apply_single_qubit_chunks_avx2(Amplitude* a, Qubit q, const Matrix2& m,
                                    std::size_t chunk_begin, std::size_t chunk_end) {
    const std::array<Entry, 4> e{broadcast(m[0]), broadcast(m[1]), broadcast(m[2]), broadcast(m[3])};
    if (q <= 1) {
        // Low targets: the chunks of the range are one contiguous run.
        const std::size_t chunk_len = std::size_t{2} << q;
        Amplitude* p = a + chunk_begin * chunk_len;
        const std::size_t count = (chunk_end - chunk_begin) * chunk_len;
        const std::size_t done = q == 0 ? target0(p, count, e) : target1(p, count, e);
        apply_single_qubit_chunks_scalar(a, q, m, chunk_begin + done / chunk_len, chunk_end);
        return;
    }
    if (q == 2) return target2(a + chunk_begin * 8, (chunk_end - chunk_begin) * 8, e);
    const std::size_t half = std::size_t{1} << q;
    if (q >= kStreamedMinTarget && q <= kStreamedMaxTarget) {
        // Two chunks (at least 8 KiB) ahead, so each chunk is in cache, in
        // order, before its update starts.
        const std::size_t chunk_bytes = (std::size_t{2} << q) * sizeof(Amplitude);
        const std::size_t ahead = 2 * chunk_bytes > 8192 ? 2 * chunk_bytes : 8192;
        const auto end = reinterpret_cast<std::uintptr_t>(a + (chunk_end << (q + 1)));
        for (std::size_t c = chunk_begin; c < chunk_end; ++c)
            streamed_chunk(a + (c << (q + 1)), half, e, ahead, end);
        return;
    }
    for (std::size_t c = chunk_begin; c < chunk_end; ++c) high_target_chunk(a + (c << (q + 1)), half, e);
}

}  // namespace vantelo::sim

#endif  // VANTELO_AVX2_KERNELS
