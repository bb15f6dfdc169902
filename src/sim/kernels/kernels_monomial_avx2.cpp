// The monomial fast path (see MonomialPlan) with AVX2: every output register
// of a register group is a blend of lane permutations of its input registers,
// then either sign flips (unit entries) or one complex product per amplitude
// (other entries). Targets anywhere, including qubits 0 and 1, whose bits
// live inside a register.
// Empty off x86-64 (CMake leaves it out there too).
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <immintrin.h>

#include <cstdint>

#include "sim/kernels/kernels.hpp"
#include "sim/kernels/kernels_avx2.hpp"

namespace vantelo::sim {

namespace {

using namespace avx2;

constexpr std::size_t kMaxRegisters = 8;  // three targets at qubits ≥ 2

// How one output register is made from the group's input registers.
struct OutputRegister {
    std::size_t num_sources = 0;  // 0: the register keeps its values, no store
    std::size_t source[4];        // input registers, in order of first use
    __m256i index[4];             // float lanes taken from each
    bool permute[4];              // index is not the identity
    __m256 take[4];               // lanes (all bits set) that come from source k ≥ 1
    bool multiply = false;        // some entry is not a unit: product by (re, im)
    bool negate = false;          // units: some sign bit flips
    __m256 sign;                  // units: sign bits to flip
    __m256 re;                    // products: the entry's real part, both floats
    __m256 im;                    // ... and its imaginary part
};

struct RegisterLayout {
    std::size_t num_registers = 1;  // 2^h
    std::size_t offset[kMaxRegisters];
    std::size_t mask = 3;              // bits that vary inside a register group
    std::size_t groups_per_block = 4;  // groups per register group: 2^(2−l)
    OutputRegister out[kMaxRegisters];
};

// The bits of v placed, lowest first, into the positions not in mask.
std::size_t deposit(std::size_t v, std::size_t mask) {
    std::size_t out = 0;
    for (std::size_t bit = 1; v != 0 && bit != 0; bit <<= 1) {
        if (mask & bit) continue;
        if (v & 1u) out |= bit;
        v >>= 1;
    }
    return out;
}

std::size_t index_of(const std::size_t* values, std::size_t count, std::size_t v) {
    std::size_t i = 0;
    while (i < count && values[i] != v) ++i;
    return i;
}

RegisterLayout make_layout(const GeneralPlan& plan, const MonomialPlan& mono) {
    RegisterLayout L;
    const std::size_t high = plan.target_mask & ~std::size_t{3};
    L.mask = high | 3u;
    std::size_t low_targets = 0;
    for (std::size_t bit = 1; bit <= 2; bit <<= 1) low_targets += (plan.target_mask & bit) ? 1 : 0;
    L.groups_per_block = std::size_t{1} << (2 - low_targets);
    // Register j: the bits of j placed into the high targets, lowest first.
    std::size_t high_bits[3];
    std::size_t h = 0;
    for (std::size_t bit = 4; bit != 0; bit <<= 1)
        if (high & bit) high_bits[h++] = bit;
    L.num_registers = std::size_t{1} << h;
    for (std::size_t j = 0; j < L.num_registers; ++j) {
        L.offset[j] = 0;
        for (std::size_t i = 0; i < h; ++i)
            if ((j >> i) & 1u) L.offset[j] |= high_bits[i];
    }
    static constexpr float kUnitSign[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};  // of (re, im)
    for (std::size_t j = 0; j < L.num_registers; ++j) {
        OutputRegister& o = L.out[j];
        alignas(32) std::int32_t index[4][8];
        alignas(32) std::int32_t take[4][8] = {};
        alignas(32) std::uint32_t sign[8];
        alignas(32) float re[8];
        alignas(32) float im[8];
        std::size_t lane_source[4];
        std::size_t lane_input[4];
        std::size_t lane_row[4];
        o.num_sources = 0;
        o.multiply = false;
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const std::size_t pos = L.offset[j] | lane;
            const std::size_t r = index_of(plan.offsets.data(), plan.dim, pos & plan.target_mask);
            const std::size_t from = (pos & ~plan.target_mask) | plan.offsets[mono.source[r]];
            const std::size_t reg = index_of(L.offset, L.num_registers, from & ~std::size_t{3});
            std::size_t k = index_of(o.source, o.num_sources, reg);
            if (k == o.num_sources) o.source[o.num_sources++] = reg;
            lane_source[lane] = k;
            lane_input[lane] = from & 3u;
            lane_row[lane] = r;
            if (mono.unit[r] == 4) o.multiply = true;
        }
        for (std::size_t k = 0; k < 4; ++k)
            for (std::size_t f = 0; f < 8; ++f) index[k][f] = static_cast<std::int32_t>(f);
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const std::size_t k = lane_source[lane];
            const std::size_t r = lane_row[lane];
            const std::uint8_t u = mono.unit[r];
            // i and −i swap the parts; with products the entry does it.
            const bool swap_parts = !o.multiply && (u == 1 || u == 3);
            const auto in = static_cast<std::int32_t>(2 * lane_input[lane]);
            index[k][2 * lane] = swap_parts ? in + 1 : in;
            index[k][2 * lane + 1] = swap_parts ? in : in + 1;
            take[k][2 * lane] = take[k][2 * lane + 1] = -1;
            sign[2 * lane] = (!o.multiply && kUnitSign[u][0] != 0) ? 0x80000000u : 0u;
            sign[2 * lane + 1] = (!o.multiply && kUnitSign[u][1] != 0) ? 0x80000000u : 0u;
            re[2 * lane] = re[2 * lane + 1] = mono.entry[r].re;
            im[2 * lane] = im[2 * lane + 1] = mono.entry[r].im;
        }
        bool identity = true;
        for (std::size_t k = 0; k < o.num_sources; ++k) {
            o.index[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(index[k]));
            o.take[k] = _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(take[k])));
            o.permute[k] = false;
            for (std::size_t f = 0; f < 8; ++f)
                if (index[k][f] != static_cast<std::int32_t>(f)) o.permute[k] = true;
            identity = identity && !o.permute[k];
        }
        o.sign = _mm256_castsi256_ps(_mm256_load_si256(reinterpret_cast<const __m256i*>(sign)));
        o.negate = false;
        for (std::size_t f = 0; f < 8; ++f) o.negate = o.negate || sign[f] != 0;
        o.re = _mm256_load_ps(re);
        o.im = _mm256_load_ps(im);
        bool all_one = !o.multiply;
        for (std::size_t lane = 0; lane < 4; ++lane) all_one = all_one && mono.unit[lane_row[lane]] == 0;
        if (o.num_sources == 1 && o.source[0] == j && identity && all_one) o.num_sources = 0;
    }
    return L;
}

// in[i] by a chain of compares the compiler unrolls, so the inputs stay in
// registers instead of being stored to be indexed.
template <std::size_t Registers>
inline __m256 pick(const __m256* in, std::size_t i) {
    __m256 v = in[0];
    for (std::size_t j = 1; j < Registers; ++j)
        if (i == j) v = in[j];
    return v;
}

template <std::size_t Registers>
inline __m256 make_output(const OutputRegister& o, const __m256* in) {
    __m256 v = pick<Registers>(in, o.source[0]);
    if (o.permute[0]) v = _mm256_permutevar8x32_ps(v, o.index[0]);
    for (std::size_t k = 1; k < o.num_sources; ++k) {
        __m256 w = pick<Registers>(in, o.source[k]);
        if (o.permute[k]) w = _mm256_permutevar8x32_ps(w, o.index[k]);
        v = _mm256_blendv_ps(v, w, o.take[k]);
    }
    // The product exactly as the dense sums form it (see kernels_avx2.hpp).
    if (o.multiply) return _mm256_addsub_ps(_mm256_mul_ps(v, o.re), _mm256_mul_ps(swap_re_im(v), o.im));
    return o.negate ? _mm256_xor_ps(v, o.sign) : v;
}

// All exponent bits set in some float: an infinity or a NaN.
inline __m256i non_finite(__m256 x) {
    const __m256i exponent = _mm256_set1_epi32(0x7f800000);
    return _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_castps_si256(x), exponent), exponent);
}

// The dense sums for groups [begin, end): for one target the one-qubit
// kernel's (y0 = m00·x0 + m01·x1, …; group g is pair g), whose operand order
// fixes which NaN comes out when two meet.
void dense_groups(Amplitude* a, const GeneralPlan& plan, std::size_t begin, std::size_t end) {
    if (plan.dim != 2) return general_groups_scalar(a, plan, begin, end, nullptr);
    const Amplitude* m = plan.matrix;
    single_qubit_pairs_scalar(a, static_cast<Qubit>(__builtin_ctzll(plan.target_mask)),
                              {m[0], m[1], m[2], m[3]}, begin, end);
}

template <bool Checked, std::size_t Registers>
void run_groups(Amplitude* a, const GeneralPlan& plan, const RegisterLayout& layout, std::size_t begin,
                std::size_t end) {
    // A local copy: the stores below cannot alias it, so its fields stay put
    // instead of being reloaded after every store.
    const RegisterLayout L = layout;
    std::size_t base = deposit(begin, L.mask);
    for (std::size_t g = begin; g < end; ++g) {
        __m256 in[Registers];
        __m256i bad = _mm256_setzero_si256();
        for (std::size_t j = 0; j < Registers; ++j) {
            const Amplitude* p = a + base + L.offset[j];
            // Several interleaved streams a few pages apart defeat the hardware
            // prefetcher; ask for 512 bytes ahead of each.
            if constexpr (Registers > 1) _mm_prefetch(reinterpret_cast<const char*>(p + 64), _MM_HINT_T0);
            in[j] = load(p);
            bad = _mm256_or_si256(bad, non_finite(in[j]));
        }
        if (Checked && !_mm256_testz_si256(bad, bad)) {
            dense_groups(a, plan, g * L.groups_per_block, (g + 1) * L.groups_per_block);
        } else {
            for (std::size_t j = 0; j < Registers; ++j)
                if (L.out[j].num_sources != 0) store(a + base + L.offset[j], make_output<Registers>(L.out[j], in));
        }
        base = ((base | L.mask) + 1) & ~L.mask;
    }
}

// Every target below 2: register group g is the one register at 4g, with a
// single source, itself. Four registers per step, their permutations and
// products held in registers.
template <bool Checked, bool Multiply>
void run_single_registers(Amplitude* a, const GeneralPlan& plan, const RegisterLayout& L,
                          std::size_t begin, std::size_t end) {
    const OutputRegister& o = L.out[0];
    const bool keep = o.num_sources == 0;
    const __m256i index = o.index[0];
    const __m256 sign = o.sign;
    const __m256 re = o.re;
    const __m256 im = o.im;
    auto output = [&](__m256 x) {
        const __m256 v = _mm256_permutevar8x32_ps(x, index);
        if constexpr (Multiply)
            return _mm256_addsub_ps(_mm256_mul_ps(v, re), _mm256_mul_ps(swap_re_im(v), im));
        else
            return _mm256_xor_ps(v, sign);
    };
    std::size_t g = begin;
    for (; g + 4 <= end; g += 4) {
        Amplitude* p = a + 4 * g;
        const __m256 x0 = load(p);
        const __m256 x1 = load(p + 4);
        const __m256 x2 = load(p + 8);
        const __m256 x3 = load(p + 12);
        const __m256i bad = _mm256_or_si256(_mm256_or_si256(non_finite(x0), non_finite(x1)),
                                            _mm256_or_si256(non_finite(x2), non_finite(x3)));
        if (Checked && !_mm256_testz_si256(bad, bad)) {
            dense_groups(a, plan, g * L.groups_per_block, (g + 4) * L.groups_per_block);
        } else if (!keep) {
            store(p, output(x0));
            store(p + 4, output(x1));
            store(p + 8, output(x2));
            store(p + 12, output(x3));
        }
    }
    for (; g < end; ++g) {
        Amplitude* p = a + 4 * g;
        const __m256 x = load(p);
        const __m256i bad = non_finite(x);
        if (Checked && !_mm256_testz_si256(bad, bad))
            dense_groups(a, plan, g * L.groups_per_block, (g + 1) * L.groups_per_block);
        else if (!keep)
            store(p, output(x));
    }
}

// One target at qubit ≥ 2 (two registers per group, lo and hi): every
// output is blend(permute(lo), permute(hi)) then a sign flip or a product,
// without branches, its constants in locals the stores cannot alias; and two
// register groups per step where they are adjacent (qubit 2 not a target), so
// every stream moves whole cache lines.
struct TwoRegisterOutput {
    __m256i index_lo, index_hi;  // identity where that input is not used
    __m256 take_hi;              // lanes (all bits set) taken from hi
    __m256 sign, re, im;
};

TwoRegisterOutput two_register_output(const OutputRegister& o, std::size_t self) {
    const __m256i identity = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256 ones = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
    TwoRegisterOutput t{identity, identity, _mm256_setzero_ps(), o.sign, o.re, o.im};
    if (o.num_sources == 0) {
        // Kept: taken unchanged from itself (never stored, but well defined).
        t.sign = _mm256_setzero_ps();
        if (self == 1) t.take_hi = ones;
        return t;
    }
    for (std::size_t k = 0; k < o.num_sources; ++k) (o.source[k] == 0 ? t.index_lo : t.index_hi) = o.index[k];
    if (o.num_sources == 1) {
        if (o.source[0] == 1) t.take_hi = ones;
    } else {
        // take[1] marks the lanes of the second source.
        t.take_hi = o.source[1] == 1 ? o.take[1] : _mm256_xor_ps(o.take[1], ones);
    }
    return t;
}

template <bool Multiply>
inline __m256 two_register_value(__m256i index_lo, __m256i index_hi, __m256 take_hi, __m256 sign,
                                 __m256 re, __m256 im, __m256 lo, __m256 hi) {
    const __m256 v = _mm256_blendv_ps(_mm256_permutevar8x32_ps(lo, index_lo),
                                      _mm256_permutevar8x32_ps(hi, index_hi), take_hi);
    if constexpr (Multiply)
        return _mm256_addsub_ps(_mm256_mul_ps(v, re), _mm256_mul_ps(swap_re_im(v), im));
    else
        return _mm256_xor_ps(v, sign);
}

template <bool Checked, bool MultiplyLo, bool MultiplyHi>
void run_two_registers(Amplitude* a, const GeneralPlan& plan, const RegisterLayout& L, std::size_t begin,
                       std::size_t end) {
    const TwoRegisterOutput tl = two_register_output(L.out[0], 0);
    const TwoRegisterOutput th = two_register_output(L.out[1], 1);
    const __m256i l_index_lo = tl.index_lo, l_index_hi = tl.index_hi;
    const __m256 l_take = tl.take_hi, l_sign = tl.sign, l_re = tl.re, l_im = tl.im;
    const __m256i h_index_lo = th.index_lo, h_index_hi = th.index_hi;
    const __m256 h_take = th.take_hi, h_sign = th.sign, h_re = th.re, h_im = th.im;
    const bool keep_lo = L.out[0].num_sources == 0;
    const bool keep_hi = L.out[1].num_sources == 0;
    const std::size_t hi = L.offset[1];
    const std::size_t mask = L.mask;
    const std::size_t per_block = L.groups_per_block;
    auto out_lo = [=](__m256 x0, __m256 x1) {
        return two_register_value<MultiplyLo>(l_index_lo, l_index_hi, l_take, l_sign, l_re, l_im, x0, x1);
    };
    auto out_hi = [=](__m256 x0, __m256 x1) {
        return two_register_value<MultiplyHi>(h_index_lo, h_index_hi, h_take, h_sign, h_re, h_im, x0, x1);
    };
    std::size_t g = begin;
    std::size_t base = deposit(begin, mask);
    auto advance = [mask](std::size_t b) { return ((b | mask) + 1) & ~mask; };
    auto one = [&](std::size_t group, std::size_t at) {
        Amplitude* p = a + at;
        const __m256 x0 = load(p);
        const __m256 x1 = load(p + hi);
        const __m256i bad = _mm256_or_si256(non_finite(x0), non_finite(x1));
        if (Checked && !_mm256_testz_si256(bad, bad))
            return dense_groups(a, plan, group * per_block, (group + 1) * per_block);
        if (!keep_lo) store(p, out_lo(x0, x1));
        if (!keep_hi) store(p + hi, out_hi(x0, x1));
    };
    if ((mask & 4u) == 0) {
        if (g < end && (g & 1u)) {
            one(g++, base);
            base = advance(base);
        }
        for (; g + 2 <= end; g += 2) {
            // Groups g and g + 1 sit at base and base + 4.
            Amplitude* p = a + base;
            _mm_prefetch(reinterpret_cast<const char*>(p + 64), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(p + hi + 64), _MM_HINT_T0);
            const __m256 x0 = load(p);
            const __m256 x1 = load(p + hi);
            const __m256 y0 = load(p + 4);
            const __m256 y1 = load(p + hi + 4);
            const __m256i bad = _mm256_or_si256(_mm256_or_si256(non_finite(x0), non_finite(x1)),
                                                _mm256_or_si256(non_finite(y0), non_finite(y1)));
            if (Checked && !_mm256_testz_si256(bad, bad)) {
                dense_groups(a, plan, g * per_block, (g + 2) * per_block);
            } else {
                if (!keep_lo) {
                    store(p, out_lo(x0, x1));
                    store(p + 4, out_lo(y0, y1));
                }
                if (!keep_hi) {
                    store(p + hi, out_hi(x0, x1));
                    store(p + hi + 4, out_hi(y0, y1));
                }
            }
            base = advance(advance(base));
        }
    }
    for (; g < end; ++g) {
        one(g, base);
        base = advance(base);
    }
}

}  // namespace

std::size_t monomial_register_groups(const GeneralPlan& plan, std::size_t len) {
    std::size_t high = 0;
    for (std::size_t bit = 4; bit != 0; bit <<= 1) high += (plan.target_mask & bit) ? 1 : 0;
    return (len / 4) >> high;
}

namespace {

template <bool Checked>
void monomial_groups(Amplitude* a, const GeneralPlan& plan, const RegisterLayout& L, std::size_t begin,
                     std::size_t end) {
    switch (L.num_registers) {
        case 1:
            if (L.out[0].multiply) return run_single_registers<Checked, true>(a, plan, L, begin, end);
            return run_single_registers<Checked, false>(a, plan, L, begin, end);
        case 2:
            if (L.out[0].multiply && L.out[1].multiply)
                return run_two_registers<Checked, true, true>(a, plan, L, begin, end);
            if (L.out[0].multiply) return run_two_registers<Checked, true, false>(a, plan, L, begin, end);
            if (L.out[1].multiply) return run_two_registers<Checked, false, true>(a, plan, L, begin, end);
            return run_two_registers<Checked, false, false>(a, plan, L, begin, end);
        case 4: return run_groups<Checked, 4>(a, plan, L, begin, end);
        default: return run_groups<Checked, 8>(a, plan, L, begin, end);
    }
}

}  // namespace

void monomial_groups_avx2(Amplitude* a, const GeneralPlan& plan, const MonomialPlan& mono,
                          std::size_t begin, std::size_t end, bool finite) {
    const RegisterLayout L = make_layout(plan, mono);
    if (finite) return monomial_groups<false>(a, plan, L, begin, end);
    monomial_groups<true>(a, plan, L, begin, end);
}

}  // namespace vantelo::sim

#endif  // VANTELO_AVX2_KERNELS
