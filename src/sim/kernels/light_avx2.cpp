// The light one-qubit kernels with AVX2 (built with -mavx2 -mno-fma); the
// pair layouts are those of the dense one-qubit kernel (kernels_avx2.cpp).
// Empty off x86-64 (CMake leaves it out there too).
#include "sim/cpu/cpu_features.hpp"
#if VANTELO_AVX2_KERNELS

#include <cstdint>
#include <cstring>

#include "sim/kernels/kernels_avx2.hpp"
#include "sim/kernels/light.hpp"

namespace vantelo::sim {

namespace {

using namespace avx2;

// Which products of an entry a kernel keeps.
enum class Keep : std::uint8_t { Zero, Re, Im, Both };

struct Entry {
    __m256 re;      // m.re in every lane
    __m256 im;      // m.im in every lane
    __m256 im_alt;  // −m.im, m.im, … (real lanes, imaginary lanes)
};

Entry broadcast(Amplitude m) {
    return {_mm256_set1_ps(m.re), _mm256_set1_ps(m.im),
            _mm256_setr_ps(-m.im, m.im, -m.im, m.im, -m.im, m.im, -m.im, m.im)};
}

// x·m, given x and swap_re_im(x), keeping the products K says. Both: the
// dense kernel's form. Re: (x.re·m.re, x.im·m.re). Im: (x.im·(−m.im),
// x.re·m.im), the dense −(x.im·m.im) and x.re·m.im exactly, since negation
// commutes with rounding.
template <Keep K>
inline __m256 product(__m256 x, __m256 xs, const Entry& m) {
    if constexpr (K == Keep::Re) return _mm256_mul_ps(x, m.re);
    if constexpr (K == Keep::Im) return _mm256_mul_ps(xs, m.im_alt);
    return _mm256_addsub_ps(_mm256_mul_ps(x, m.re), _mm256_mul_ps(xs, m.im));
}

// p + q as the dense kernel adds them, with a zero entry's product (±0)
// left out.
template <Keep A, Keep B>
inline __m256 row(__m256 x0, __m256 s0, __m256 x1, __m256 s1, const Entry& a, const Entry& b) {
    static_assert(A != Keep::Zero || B != Keep::Zero);
    if constexpr (A == Keep::Zero) return product<B>(x1, s1, b);
    else if constexpr (B == Keep::Zero) return product<A>(x0, s0, a);
    else return _mm256_add_ps(product<A>(x0, s0, a), product<B>(x1, s1, b));
}

template <Keep K>
constexpr bool needs_swap = K == Keep::Im || K == Keep::Both;

template <Keep K00, Keep K01, Keep K10, Keep K11>
struct Update {
    Entry m[4];

    inline void operator()(__m256& x0, __m256& x1) const {
        constexpr bool swap0 = needs_swap<K00> || needs_swap<K10>;
        constexpr bool swap1 = needs_swap<K01> || needs_swap<K11>;
        const __m256 s0 = swap0 ? swap_re_im(x0) : x0;
        const __m256 s1 = swap1 ? swap_re_im(x1) : x1;
        const __m256 y0 = row<K00, K01>(x0, s0, x1, s1, m[0], m[1]);
        const __m256 y1 = row<K10, K11>(x0, s0, x1, s1, m[2], m[3]);
        x0 = y0;
        x1 = y1;
    }
};

// Every pair of the array through `update`, for targets q ≥ 2: the halves
// of each chunk are contiguous runs of 2^q ≥ 4 amplitudes.
template <class U>
void each_pair(Amplitude* a, std::size_t len, Qubit q, const U& update) {
    if (q == 2) {
        // Chunks of eight: one flat loop, two chunks a step while they last.
        std::size_t i = 0;
        for (; i + 16 <= len; i += 16) {
            __m256 a0 = load(a + i), a1 = load(a + i + 4), b0 = load(a + i + 8), b1 = load(a + i + 12);
            update(a0, a1);
            update(b0, b1);
            store(a + i, a0);
            store(a + i + 4, a1);
            store(a + i + 8, b0);
            store(a + i + 12, b1);
        }
        for (; i < len; i += 8) {
            __m256 x0 = load(a + i), x1 = load(a + i + 4);
            update(x0, x1);
            store(a + i, x0);
            store(a + i + 4, x1);
        }
        return;
    }
    const std::size_t half = std::size_t{1} << q;
    for (std::size_t c = 0; c < len; c += 2 * half) {
        Amplitude* lo = a + c;
        Amplitude* hi = lo + half;
        for (std::size_t j = 0; j < half; j += 4) {
            __m256 x0 = load(lo + j);
            __m256 x1 = load(hi + j);
            update(x0, x1);
            store(lo + j, x0);
            store(hi + j, x1);
        }
    }
}

// Two updates in one sweep, ua along qubit qa and then ub along qb (both
// ≥ 2, distinct): each group of four registers takes ua on its two pairs
// along qa, then ub on its two pairs along qb. Every amplitude goes through
// the operations of two each_pair sweeps, in their order, so the values are
// theirs; the block crosses the cache once instead of twice. With Moved,
// register k is read from offset moves.from[k] and written to moves.to[k]
// of its group (see QuadMoves); without, the offsets are worked out here,
// which keeps four registers free in the loop.
template <bool Moved, bool Flipped, class UA, class UB>
void each_quad(Amplitude* a, std::size_t len, Qubit qa, Qubit qb, const UA& ua, const UB& ub,
               const QuadMoves& moves) {
    const std::size_t sa = std::size_t{1} << qa;
    const std::size_t sb = std::size_t{1} << qb;
    const std::size_t lo = sa < sb ? sa : sb;
    const std::size_t hi = sa < sb ? sb : sa;
    const std::size_t f0 = Moved ? moves.from[0] : 0, f1 = Moved ? moves.from[1] : sa;
    const std::size_t f2 = Moved ? moves.from[2] : sb, f3 = Moved ? moves.from[3] : sa + sb;
    const std::size_t t0 = Moved ? moves.to[0] : f0, t1 = Moved ? moves.to[1] : f1;
    const std::size_t t2 = Moved ? moves.to[2] : f2, t3 = Moved ? moves.to[3] : f3;
    // The sign bits a register's values flip as read and as written: the
    // −1 rows of the swaps (a cz), as the monomial kernel flips them.
    __m256 in[4];
    __m256 out[4];
    for (std::size_t k = 0; k < 4; ++k) {
        const __m256 sign = _mm256_set1_ps(-0.0f);
        in[k] = (moves.flip_in >> k) & 1u ? sign : _mm256_setzero_ps();
        out[k] = (moves.flip_out >> k) & 1u ? sign : _mm256_setzero_ps();
    }
    auto read = [&](const Amplitude* p, std::size_t k) {
        if constexpr (Flipped) return _mm256_xor_ps(load(p), in[k]);
        else return load(p);
    };
    auto write = [&](Amplitude* p, std::size_t k, __m256 x) {
        if constexpr (Flipped) store(p, _mm256_xor_ps(x, out[k]));
        else store(p, x);
    };
    for (std::size_t c = 0; c < len; c += 2 * hi) {
        for (std::size_t d = c; d < c + hi; d += 2 * lo) {
            for (std::size_t j = d; j < d + lo; j += 4) {
                __m256 x0 = read(a + j + f0, 0);
                __m256 x1 = read(a + j + f1, 1);
                __m256 x2 = read(a + j + f2, 2);
                __m256 x3 = read(a + j + f3, 3);
                ua(x0, x1);
                ua(x2, x3);
                ub(x0, x2);
                ub(x1, x3);
                write(a + j + t0, 0, x0);
                write(a + j + t1, 1, x1);
                write(a + j + t2, 2, x2);
                write(a + j + t3, 3, x3);
            }
        }
    }
}

template <Keep K00, Keep K01, Keep K10, Keep K11>
Update<K00, K01, K10, K11> update_of(const Matrix2& m) {
    return {{broadcast(m[0]), broadcast(m[1]), broadcast(m[2]), broadcast(m[3])}};
}

// f(update) with the update of pattern p (not None).
template <class F>
void with_update(LightPattern p, const Matrix2& m, F&& f) {
    using enum Keep;
    switch (p) {
        case LightPattern::RealDiagonal: return f(update_of<Re, Zero, Zero, Re>(m));
        case LightPattern::Diagonal: return f(update_of<Both, Zero, Zero, Both>(m));
        case LightPattern::Real: return f(update_of<Re, Re, Re, Re>(m));
        case LightPattern::RealImag: return f(update_of<Re, Im, Im, Re>(m));
        case LightPattern::AntiReal: return f(update_of<Zero, Re, Re, Zero>(m));
        case LightPattern::Anti: return f(update_of<Zero, Both, Both, Zero>(m));
        case LightPattern::None: break;
    }
}

// Targets 0 and 1, a register at a time: each amplitude's row is its own
// entry (m00 for bit q = 0, m11 for bit q = 1) times itself plus the other
// entry (m01, m10) times its partner, which a lane permutation brings into
// the same lane. For the amplitudes with bit q = 1 the dense kernel adds the
// two products the other way round; addition commutes, and on the finite
// arrays these kernels run on, the sums are the same bits. This saves the
// shuffles that gather pairs into two registers and back.
Entry lanes(Qubit q, Amplitude e0, Amplitude e1) {
    // Lane k holds a component of amplitude k / 2 of the register, whose bit
    // q is (k >> (q + 1)) & 1.
    alignas(32) float re[8], im[8], alt[8];
    for (int k = 0; k < 8; ++k) {
        const Amplitude& e = ((k >> (q + 1)) & 1) != 0 ? e1 : e0;
        re[k] = e.re;
        im[k] = e.im;
        alt[k] = (k & 1) != 0 ? e.im : -e.im;
    }
    return {_mm256_load_ps(re), _mm256_load_ps(im), _mm256_load_ps(alt)};
}

// The partner of each amplitude (Swap: with its parts swapped): the
// neighbour within its 128-bit half (q = 0), its place in the other half
// (q = 1).
template <Qubit Q, bool Swap>
inline __m256 partner(__m256 x) {
    if constexpr (Q == 0) return _mm256_permute_ps(x, Swap ? 0x1B : 0x4E);
    if constexpr (!Swap) return _mm256_permute2f128_ps(x, x, 0x01);
    return _mm256_permutevar8x32_ps(x, _mm256_setr_epi32(5, 4, 7, 6, 1, 0, 3, 2));
}

// The row of run_low on one register of four amplitudes.
template <Qubit Q, Keep Own, Keep Other>
struct LowUpdate {
    Entry own;
    Entry other;

    inline __m256 operator()(__m256 x) const {
        const __m256 xs = needs_swap<Own> ? swap_re_im(x) : x;
        const __m256 p = Other == Keep::Re || Other == Keep::Both ? partner<Q, false>(x) : x;
        const __m256 ps = needs_swap<Other> ? partner<Q, true>(x) : x;
        if constexpr (Own == Keep::Zero) return product<Other>(p, ps, other);
        else if constexpr (Other == Keep::Zero) return product<Own>(x, xs, own);
        else return _mm256_add_ps(product<Own>(x, xs, own), product<Other>(p, ps, other));
    }
};

template <Qubit Q, Keep Own, Keep Other>
LowUpdate<Q, Own, Other> low_update_of(const Matrix2& m) {
    return {lanes(Q, m[0], m[3]), lanes(Q, m[1], m[2])};
}

template <Qubit Q, Keep Own, Keep Other>
void run_low(Amplitude* a, std::size_t len, const Matrix2& m) {
    const LowUpdate<Q, Own, Other> row = low_update_of<Q, Own, Other>(m);
    for (std::size_t i = 0; i < len; i += 8) {
        const __m256 y0 = row(load(a + i));
        const __m256 y1 = row(load(a + i + 4));
        store(a + i, y0);
        store(a + i + 4, y1);
    }
}

// f(update) with the register update of pattern p (not None) on target q
// (0 or 1).
template <class F>
void with_low_update(Qubit q, LightPattern p, const Matrix2& m, F&& f) {
    using enum Keep;
    auto on = [&]<Keep Own, Keep Other>() {
        if (q == 0) return f(low_update_of<0, Own, Other>(m));
        return f(low_update_of<1, Own, Other>(m));
    };
    switch (p) {
        case LightPattern::RealDiagonal: return on.template operator()<Re, Zero>();
        case LightPattern::Diagonal: return on.template operator()<Both, Zero>();
        case LightPattern::Real: return on.template operator()<Re, Re>();
        case LightPattern::RealImag: return on.template operator()<Re, Im>();
        case LightPattern::AntiReal: return on.template operator()<Zero, Re>();
        case LightPattern::Anti: return on.template operator()<Zero, Both>();
        case LightPattern::None: break;
    }
}

template <Keep K00, Keep K01, Keep K10, Keep K11>
void run(Amplitude* a, std::size_t len, Qubit q, const Matrix2& m) {
    // Every pattern keeps the same parts of m00 and m11, and of m01 and m10.
    static_assert(K00 == K11 && K01 == K10);
    if (q == 0) return run_low<0, K00, K01>(a, len, m);
    if (q == 1) return run_low<1, K00, K01>(a, len, m);
    const Update<K00, K01, K10, K11> u{{broadcast(m[0]), broadcast(m[1]), broadcast(m[2]), broadcast(m[3])}};
    each_pair(a, len, q, u);
}

// One run of `len` amplitudes (a multiple of four) times a monomial entry,
// as the monomial kernel forms it: units by part swaps and sign flips, other
// entries by the dense product.
void scale_run(Amplitude* p, std::size_t len, std::uint8_t unit, Amplitude e) {
    const __m256 neg_re = _mm256_castsi256_ps(_mm256_setr_epi32(
        static_cast<int>(0x80000000u), 0, static_cast<int>(0x80000000u), 0,
        static_cast<int>(0x80000000u), 0, static_cast<int>(0x80000000u), 0));
    const __m256 neg_im = _mm256_castsi256_ps(_mm256_setr_epi32(
        0, static_cast<int>(0x80000000u), 0, static_cast<int>(0x80000000u),
        0, static_cast<int>(0x80000000u), 0, static_cast<int>(0x80000000u)));
    const __m256 neg = _mm256_or_ps(neg_re, neg_im);
    const __m256 re = _mm256_set1_ps(e.re);
    const __m256 im = _mm256_set1_ps(e.im);
    for (std::size_t j = 0; j < len; j += 4) {
        const __m256 x = load(p + j);
        __m256 y;
        switch (unit) {
            case 1: y = _mm256_xor_ps(swap_re_im(x), neg_re); break;  // i·x = (−x.im, x.re)
            case 2: y = _mm256_xor_ps(x, neg); break;                 // −x
            case 3: y = _mm256_xor_ps(swap_re_im(x), neg_im); break;  // −i·x = (x.im, −x.re)
            default: y = _mm256_addsub_ps(_mm256_mul_ps(x, re), _mm256_mul_ps(swap_re_im(x), im)); break;
        }
        store(p + j, y);
    }
}

// Moved runs (LightRuns::moved) of every group, Rows of them: each register
// of every source run is read before any is written. Every row takes the
// monomial kernel's product by its entry, units included (for a finite
// input the product by 1, i, −1 or −i is the copy, part swap and sign flips
// up to the sign of zero), so the loop has no branches.
template <std::size_t Rows>
void moved_groups(Amplitude* a, std::size_t len, std::size_t run, std::size_t mask, const LightRuns& runs) {
    std::size_t from[Rows];
    std::size_t to[Rows];
    __m256 re[Rows];
    __m256 im[Rows];
    for (std::size_t i = 0; i < Rows; ++i) {
        from[i] = runs.source[i];
        to[i] = runs.scaled[i];
        re[i] = _mm256_set1_ps(runs.entry[i].re);
        im[i] = _mm256_set1_ps(runs.entry[i].im);
    }
    auto product = [&](std::size_t i, __m256 x) {
        return _mm256_addsub_ps(_mm256_mul_ps(x, re[i]), _mm256_mul_ps(swap_re_im(x), im[i]));
    };
    for (std::size_t base = 0; base < len; base = ((base | mask) + 1) & ~mask) {
        for (std::size_t j = 0; j < run; j += 4) {
            Amplitude* p = a + base + j;
            __m256 y[Rows];
            for (std::size_t i = 0; i < Rows; ++i) {
                // Streams a few pages apart defeat the hardware prefetcher
                // (as in the monomial kernel); ask for 512 bytes ahead.
                _mm_prefetch(reinterpret_cast<const char*>(p + from[i] + 64), _MM_HINT_T0);
                y[i] = product(i, load(p + from[i]));
            }
            for (std::size_t i = 0; i < Rows; ++i) store(p + to[i], y[i]);
        }
    }
}

void moved_runs(Amplitude* a, std::size_t len, std::size_t run, std::size_t mask, const LightRuns& runs) {
    switch (runs.num_scaled) {
        case 1: return moved_groups<1>(a, len, run, mask, runs);
        case 2: return moved_groups<2>(a, len, run, mask, runs);
        case 3: return moved_groups<3>(a, len, run, mask, runs);
        case 4: return moved_groups<4>(a, len, run, mask, runs);
        case 5: return moved_groups<5>(a, len, run, mask, runs);
        case 6: return moved_groups<6>(a, len, run, mask, runs);
        case 7: return moved_groups<7>(a, len, run, mask, runs);
        default: return moved_groups<8>(a, len, run, mask, runs);
    }
}

void swap_runs(Amplitude* p, Amplitude* q, std::size_t len) {
    for (std::size_t j = 0; j < len; j += 4) {
        const __m256 x = load(p + j);
        const __m256 y = load(q + j);
        store(p + j, y);
        store(q + j, x);
    }
}

// swap_runs of runs of Len amplitudes at offsets s and t of every group
// (bases numbered by the bits outside `mask`).
template <std::size_t Len>
void swap_groups(Amplitude* a, std::size_t len, std::size_t mask, std::size_t s, std::size_t t) {
    for (std::size_t base = 0; base < len; base = ((base | mask) + 1) & ~mask) {
        Amplitude* p = a + base + s;
        Amplitude* q = a + base + t;
        __m256 x[Len / 4];
        __m256 y[Len / 4];
        for (std::size_t j = 0; j < Len / 4; ++j) {
            x[j] = load(p + 4 * j);
            y[j] = load(q + 4 * j);
        }
        for (std::size_t j = 0; j < Len / 4; ++j) {
            store(p + 4 * j, y[j]);
            store(q + 4 * j, x[j]);
        }
    }
}

}  // namespace

void light_pair_avx2(Amplitude* a, std::size_t len, Qubit qa, const Matrix2& ma, LightPattern pa, Qubit qb,
                     const Matrix2& mb, LightPattern pb) {
    // A target below 2 is a register's own update (run_low), applied to
    // each register where its turn comes: the values of two sweeps again.
    if (qa < 2 && qb < 2) {
        return with_low_update(qa, pa, ma, [&](const auto& la) {
            with_low_update(qb, pb, mb, [&](const auto& lb) {
                for (std::size_t i = 0; i < len; i += 8) {
                    const __m256 y0 = lb(la(load(a + i)));
                    const __m256 y1 = lb(la(load(a + i + 4)));
                    store(a + i, y0);
                    store(a + i + 4, y1);
                }
            });
        });
    }
    if (qa < 2) {
        return with_low_update(qa, pa, ma, [&](const auto& la) {
            with_update(pb, mb, [&](const auto& ub) {
                each_pair(a, len, qb, [&](__m256& x0, __m256& x1) {
                    x0 = la(x0);
                    x1 = la(x1);
                    ub(x0, x1);
                });
            });
        });
    }
    if (qb < 2) {
        return with_update(pa, ma, [&](const auto& ua) {
            with_low_update(qb, pb, mb, [&](const auto& lb) {
                each_pair(a, len, qa, [&](__m256& x0, __m256& x1) {
                    ua(x0, x1);
                    x0 = lb(x0);
                    x1 = lb(x1);
                });
            });
        });
    }
    with_update(pa, ma, [&](const auto& ua) {
        with_update(pb, mb, [&](const auto& ub) { each_quad<false, false>(a, len, qa, qb, ua, ub, QuadMoves{}); });
    });
}

void light_pair_moved_avx2(Amplitude* a, std::size_t len, Qubit qa, const Matrix2& ma, LightPattern pa, Qubit qb,
                           const Matrix2& mb, LightPattern pb, const QuadMoves& moves) {
    with_update(pa, ma, [&](const auto& ua) {
        with_update(pb, mb, [&](const auto& ub) {
            if (moves.flip_in == 0 && moves.flip_out == 0) return each_quad<true, false>(a, len, qa, qb, ua, ub, moves);
            each_quad<true, true>(a, len, qa, qb, ua, ub, moves);
        });
    });
}

void light_runs_avx2(Amplitude* a, std::size_t len, const GeneralPlan& plan, const LightRuns& runs) {
    const std::size_t run = std::size_t{1} << runs.low;
    const std::size_t mask = plan.target_mask | (run - 1);
    if (runs.moved) return moved_runs(a, len, run, mask, runs);
    if (runs.num_swaps == 1 && runs.num_scaled == 0) {
        // One pair of runs trades places per group (cx, swap, ccx, …). With
        // short runs the general loop below spends most of its time on its
        // own bookkeeping, so the common lengths get a loop of their own.
        const std::size_t s = runs.swap[0][0];
        const std::size_t t = runs.swap[0][1];
        switch (run) {
            case 4: return swap_groups<4>(a, len, mask, s, t);
            case 8: return swap_groups<8>(a, len, mask, s, t);
            case 16: return swap_groups<16>(a, len, mask, s, t);
            default: break;
        }
    }
    for (std::size_t base = 0; base < len; base = ((base | mask) + 1) & ~mask) {
        for (std::size_t k = 0; k < runs.num_swaps; ++k)
            swap_runs(a + base + runs.swap[k][0], a + base + runs.swap[k][1], run);
        for (std::size_t k = 0; k < runs.num_scaled; ++k)
            scale_run(a + base + runs.scaled[k], run, runs.unit[k], runs.entry[k]);
    }
}

bool light_bound_ok_avx2(const Amplitude* a, std::size_t len) {
    // On the bit patterns: |v| > 2^32, ∞ and NaN are exactly the magnitudes
    // above 0x4F800000.
    const __m256i magnitude = _mm256_set1_epi32(0x7FFFFFFF);
    const __m256i limit = _mm256_set1_epi32(0x4F800000);
    __m256i over = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
        over = _mm256_or_si256(over, _mm256_cmpgt_epi32(_mm256_and_si256(v, magnitude), limit));
    }
    return _mm256_testz_si256(over, over) != 0 && light_bound_ok_scalar(a + i, len - i);
}

void light_single_qubit_avx2(Amplitude* a, std::size_t len, Qubit q, const Matrix2& m,
                             LightPattern p) {
    using enum Keep;
    switch (p) {
        case LightPattern::RealDiagonal: return run<Re, Zero, Zero, Re>(a, len, q, m);
        case LightPattern::Diagonal: return run<Both, Zero, Zero, Both>(a, len, q, m);
        case LightPattern::Real: return run<Re, Re, Re, Re>(a, len, q, m);
        case LightPattern::RealImag: return run<Re, Im, Im, Re>(a, len, q, m);
        case LightPattern::AntiReal: return run<Zero, Re, Re, Zero>(a, len, q, m);
        case LightPattern::Anti: return run<Zero, Both, Both, Zero>(a, len, q, m);
        case LightPattern::None: break;
    }
}

}  // namespace vantelo::sim

#endif  // VANTELO_AVX2_KERNELS
