#include "sim/unitarity/unitarity.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "pool/pool.hpp"
#include "sim/aligned_array.hpp"
#include "sim/stop.hpp"
#include "sim/unitarity/gram.hpp"

namespace vantelo::sim {

namespace {

// Columns k per pass over a tile: a panel (256 steps of 64 bytes) stays in
// L1 while the tile's rows run against it, and the stop and failure flags
// are looked at after each pass (well under a millisecond of work).
constexpr std::size_t kDepth = 256;

using BlockKernel = void (*)(const Amplitude* const*, const float*, std::size_t, float*);

BlockKernel block_kernel(GramKernels kernels) {
#if VANTELO_AVX2_KERNELS
    if (kernels == GramKernels::Avx2 || (kernels == GramKernels::Chosen && kernel_choice().avx2))
        return gram_block_avx2;
#else
    (void)kernels;
#endif
    return gram_block_portable;
}

// The tiles of the upper triangle of M·M†: tile (I, J), I ≤ J, covers rows
// [I·t, I·t + t) and columns [J·t, J·t + t), t a multiple of kGramLanes (and
// so of kGramRows). Item n is the n-th tile in row-major order.
class Tiles {
public:
    Tiles(const Amplitude* m, std::size_t dim, BlockKernel kernel)
        : m_(m), dim_(dim), kernel_(kernel),
          tile_(std::min(kUnitaryTile, (dim + kGramLanes - 1) / kGramLanes * kGramLanes)),
          per_side_((dim + tile_ - 1) / tile_) {}

    std::size_t count() const { return per_side_ * (per_side_ + 1) / 2; }

    // Per-thread storage: the panels of one pass and the sums of one tile.
    struct Scratch {
        AlignedArray<float> panels;
        AlignedArray<float> sums;
    };
    Scratch scratch() const {
        return {AlignedArray<float>::uninitialized(tile_ / kGramLanes * kDepth * kGramPanelStep),
                AlignedArray<float>::uninitialized(tile_ * tile_ * 2)};
    }

    // The tile of item n.
    void tile_of(std::size_t n, std::size_t& I, std::size_t& J) const {
        I = 0;
        while (n >= per_side_ - I) n -= per_side_ - I++;
        J = I + n;
    }

    // Computes tile (I, J) into s.sums; false when `quit` said stop between
    // passes (the sums are then incomplete).
    template <class Quit>
    bool compute(std::size_t I, std::size_t J, Scratch& s, Quit quit) const {
        const std::size_t panels = tile_ / kGramLanes;
        const std::size_t blocks = tile_ / kGramRows;
        std::fill(s.sums.begin(), s.sums.end(), 0.0f);
        for (std::size_t k0 = 0; k0 < dim_; k0 += kDepth) {
            if (quit()) return false;
            const std::size_t kc = std::min(kDepth, dim_ - k0);
            for (std::size_t p = 0; p < panels; ++p)
                pack(J * tile_ + p * kGramLanes, k0, kc, panel(s, p));
            for (std::size_t p = 0; p < panels; ++p) {
                const std::size_t j0 = J * tile_ + p * kGramLanes;
                if (j0 >= dim_) break;
                for (std::size_t b = 0; b < blocks; ++b) {
                    const std::size_t i0 = I * tile_ + b * kGramRows;
                    if (i0 >= dim_) break;
                    // Below the diagonal: every entry is some other's conjugate.
                    if (j0 + kGramLanes <= i0) continue;
                    // Rows past the end repeat the last one; their lanes are never read.
                    const Amplitude* rows[kGramRows];
                    for (std::size_t r = 0; r < kGramRows; ++r)
                        rows[r] = m_ + std::min(i0 + r, dim_ - 1) * dim_ + k0;
                    kernel_(rows, panel(s, p), kc, block(s, b, p));
                }
            }
        }
        return true;
    }

    // Calls visit(i, j, sum) for every entry of tile (I, J) with j ≥ i (j > i
    // when off_diagonal) inside the matrix, until it returns false; returns
    // false then.
    template <class Visit>
    bool visit(std::size_t I, std::size_t J, const Scratch& s, bool off_diagonal,
               Visit visit) const {
        const std::size_t panels = tile_ / kGramLanes;
        const std::size_t i_end = std::min(dim_, I * tile_ + tile_);
        const std::size_t j_end = std::min(dim_, J * tile_ + tile_);
        for (std::size_t i = I * tile_; i < i_end; ++i) {
            const std::size_t ti = i - I * tile_;
            const std::size_t r = ti % kGramRows;
            for (std::size_t j = std::max(J * tile_, off_diagonal ? i + 1 : i); j < j_end; ++j) {
                const std::size_t tj = j - J * tile_;
                const float* sums = s.sums.data() +
                                    (ti / kGramRows * panels + tj / kGramLanes) * kGramBlockFloats +
                                    r * kGramPanelStep + tj % kGramLanes;
                if (!visit(i, j, Amplitude{sums[0], sums[kGramLanes]})) return false;
            }
        }
        return true;
    }

private:
    float* panel(Scratch& s, std::size_t p) const {
        return s.panels.data() + p * kDepth * kGramPanelStep;
    }
    float* block(Scratch& s, std::size_t b, std::size_t p) const {
        return s.sums.data() + (b * (tile_ / kGramLanes) + p) * kGramBlockFloats;
    }

    // Rows j0 .. j0 + 7 over columns [k0, k0 + kc), transposed; rows past
    // the end are zeros.
    void pack(std::size_t j0, std::size_t k0, std::size_t kc, float* out) const {
        for (std::size_t l = 0; l < kGramLanes; ++l) {
            const std::size_t j = j0 + l;
            if (j >= dim_) {
                for (std::size_t k = 0; k < kc; ++k) {
                    out[k * kGramPanelStep + l] = 0.0f;
                    out[k * kGramPanelStep + kGramLanes + l] = 0.0f;
                }
                continue;
            }
            const Amplitude* row = m_ + j * dim_ + k0;
            for (std::size_t k = 0; k < kc; ++k) {
                out[k * kGramPanelStep + l] = row[k].re;
                out[k * kGramPanelStep + kGramLanes + l] = row[k].im;
            }
        }
    }

    const Amplitude* m_;
    std::size_t dim_;
    BlockKernel kernel_;
    std::size_t tile_;
    std::size_t per_side_;
};

// The diagonal with the plain sums: true when every entry passes. Polls for
// a stop every 64 rows (a fraction of a millisecond at 4096 columns).
Result<bool> diagonal_passes(const Amplitude* m, std::size_t dim) {
    for (std::size_t i = 0; i < dim; ++i) {
        if (i % 64 == 0 && stop_requested()) return stopped_error();
        if (gram_entry_fails(gram_entry(m, dim, i, i), 1.0f)) return false;
    }
    return true;
}

// The off-diagonal verdict, with a shortcut for the usual case: parts both
// within 7e-4 are within 9.9e-4 of zero, which hypot, rounded, cannot put
// above the tolerance. NaN fails the comparisons and goes to hypot.
inline bool off_diagonal_fails(Amplitude s) {
    if (std::fabs(s.re) <= 7e-4f && std::fabs(s.im) <= 7e-4f) return false;
    return gram_entry_fails(s, 0.0f);
}

}  // namespace

Result<bool> unitary_blocked(std::span<const Amplitude> m, std::size_t dim, GramKernels kernels) {
    if (dim == 0) return true;
    VANTELO_ASSIGN_OR_RETURN(const bool diagonal, diagonal_passes(m.data(), dim));
    if (!diagonal) return false;
    const Tiles tiles(m.data(), dim, block_kernel(kernels));
    std::atomic<bool> failed{false};
    StopToken token;
    StopTokenScope caller(token);
    pool::for_each_piece(tiles.count(), [&](std::size_t begin, std::size_t end) {
        StopTokenScope on_worker(token);
        Tiles::Scratch scratch = tiles.scratch();
        const auto quit = [&] {
            return failed.load(std::memory_order_relaxed) || stop_requested();
        };
        for (std::size_t n = begin; n < end; ++n) {
            std::size_t I, J;
            tiles.tile_of(n, I, J);
            if (!tiles.compute(I, J, scratch, quit)) return;
            const bool passes = tiles.visit(
                I, J, scratch, true,
                [](std::size_t, std::size_t, Amplitude s) { return !off_diagonal_fails(s); });
            if (!passes) {
                failed.store(true, std::memory_order_relaxed);
                return;
            }
        }
    });
    if (failed.load(std::memory_order_relaxed)) return false;
    if (stop_requested()) return stopped_error();
    return true;
}

void gram_upper_blocked(std::span<const Amplitude> m, std::size_t dim, GramKernels kernels,
                        Amplitude* out) {
    if (dim == 0) return;
    const Tiles tiles(m.data(), dim, block_kernel(kernels));
    Tiles::Scratch scratch = tiles.scratch();
    for (std::size_t n = 0; n < tiles.count(); ++n) {
        std::size_t I, J;
        tiles.tile_of(n, I, J);
        tiles.compute(I, J, scratch, [] { return false; });
        tiles.visit(I, J, scratch, false, [&](std::size_t i, std::size_t j, Amplitude s) {
            out[i * dim + j] = s;
            return true;
        });
    }
}

}  // namespace vantelo::sim
