#include "sim/noise/trajectory.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "pool/pool.hpp"
#include "sim/exec/executor.hpp"
#include "sim/fault.hpp"
#include "sim/measure/measure.hpp"
#include "sim/messages.hpp"
#include "sim/noise/draws.hpp"
#include "sim/noise/populations.hpp"
#include "sim/noise/trajectory_tree.hpp"
#include "sim/stop.hpp"

namespace vantelo::sim {

namespace {

// Sums over the state are cut into chunks of this many amplitude groups, a
// number fixed apart from the pool, and the chunks' partial sums are added
// in chunk order: the same value for every pool size.
constexpr std::size_t kChunk = std::size_t{1} << 13;

// Registers up to this width run whole trajectories side by side, one per
// worker, and no worker waits for another. A wider trajectory is spread over
// the pool, with a synchronisation per segment. On two threads side by side
// was 2.0x faster up to 16 qubits (a state that fits in one block runs on
// one thread anyway), 1.6x at 17, 1.25x at 18 and 19 and 1.16x at 20; at
// 21 qubits (16 MiB a state) the two ways were even.
constexpr std::uint32_t kSideBySideQubits = 19;
std::atomic<std::uint32_t> g_side_by_side_qubits{kSideBySideQubits};

// Fused trajectories run side by side one qubit wider. Their first pass
// from |0…0⟩ holds much of the circuit but visits one block in sixteen, so
// spread over the pool it keeps one worker busy. At 20 qubits on two
// threads (depth-20 circuit, fusion=2) side by side ran amplitude damping
// (γ = 5e-3) 1.1–1.2x and depolarizing (p = 1e-3) 1.1–1.2x faster, where
// exact trajectories ran 0.9–1.0x.
bool runs_side_by_side(std::uint32_t n, bool fused) {
    const std::uint64_t width = g_side_by_side_qubits.load(std::memory_order_relaxed);
    return n <= width + (fused ? 1 : 0);
}

// Σ over chunks of `partial(first, last, out)`, each writing `width` doubles.
template <class Partial>
std::vector<double> chunked_sum(std::size_t groups, std::size_t width, Partial partial) {
    const std::size_t chunks = (groups + kChunk - 1) / kChunk;
    std::vector<double> parts(chunks * width, 0.0);
    pool::for_each_piece(chunks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c)
            partial(c * kChunk, std::min(groups, (c + 1) * kChunk), parts.data() + c * width);
    });
    std::vector<double> total(width, 0.0);
    for (std::size_t c = 0; c < chunks; ++c)
        for (std::size_t i = 0; i < width; ++i) total[i] += parts[c * width + i];
    return total;
}

// The norm², summed as the populations of the top qubit are (populations.hpp),
// each piece's two sums added.
double norm_squared(const StateVector& state) {
    const Amplitude* a = state.amplitudes.data();
    if (state.num_qubits == 0) return static_cast<double>(a[0].re) * a[0].re + static_cast<double>(a[0].im) * a[0].im;
    const Qubit top = state.num_qubits - 1;
    return chunked_sum(state.size() >> 1, 1, [a, top](std::size_t first, std::size_t last, double* out) {
        const std::array<double, 2> piece = population_sums(a, top, first, last);
        out[0] = piece[0] + piece[1];
    })[0];
}

// Scales the state by s and turns every −0 into +0. The kernels agree with
// each other only up to the sign of zero (a light kernel leaves out products
// with a zero entry), and Kraus branches, measurements and resets zero half
// of the state, so without this the AVX2 and portable kernels would return
// trajectories whose zeros differ in sign. The sign of a zero never reaches a nonzero
// value (x + ±0 = x, ±0·y = ±0), so adding +0 at the end of a trajectory
// gives both kernel sets the same bits; nonzero components keep theirs.
void scale(StateVector& state, float s) {
    Amplitude* a = state.amplitudes.data();
    pool::for_each_piece((state.size() + kChunk - 1) / kChunk, [&](std::size_t begin, std::size_t end) {
        const std::size_t last = std::min(state.size(), end * kChunk);
        for (std::size_t i = begin * kChunk; i < last; ++i) {
            a[i].re = a[i].re * s + 0.0f;
            a[i].im = a[i].im * s + 0.0f;
        }
    });
}

void normalise(StateVector& state) {
    const double n2 = norm_squared(state);
    if (n2 > 0.0) scale(state, static_cast<float>(1.0 / std::sqrt(n2)));
}

// The reduced density matrix of the channel's qubits (unnormalised: its
// trace is the state's norm²), 2·dim² doubles, ρ[a][b] = Σ ψ_a ψ_b*.
// Products are written out: std::complex's operator* calls a library routine
// per product under strict IEEE arithmetic.
std::vector<double> reduced_density(const StateVector& state, const std::vector<Qubit>& qubits) {
    const std::size_t k = qubits.size();
    const std::size_t dim = std::size_t{1} << k;
    std::vector<Qubit> sorted(qubits);
    std::sort(sorted.begin(), sorted.end());
    std::size_t offset[8] = {};
    for (std::size_t a = 0; a < dim; ++a)
        for (std::size_t j = 0; j < k; ++j)
            if ((a >> (k - 1 - j)) & 1u) offset[a] |= std::size_t{1} << qubits[j];
    const Amplitude* psi = state.amplitudes.data();
    if (k == 1) {
        const Qubit q = qubits[0];
        const std::size_t low = (std::size_t{1} << q) - 1;
        const std::size_t step = std::size_t{1} << q;
        return chunked_sum(state.size() >> 1, 8, [&](std::size_t first, std::size_t last, double* out) {
            double p0 = 0.0, p1 = 0.0, cre = 0.0, cim = 0.0;
            for (std::size_t r = first; r < last; ++r) {
                const std::size_t i = ((r & ~low) << 1) | (r & low);
                const double ar = psi[i].re, ai = psi[i].im;
                const double br = psi[i + step].re, bi = psi[i + step].im;
                p0 += ar * ar + ai * ai;
                p1 += br * br + bi * bi;
                cre += ar * br + ai * bi;  // Re ψ0 ψ1*
                cim += ai * br - ar * bi;  // Im ψ0 ψ1*
            }
            out[0] = p0;
            out[2] = cre;
            out[3] = cim;
            out[4] = cre;
            out[5] = -cim;
            out[6] = p1;
        });
    }
    return chunked_sum(state.size() >> k, 2 * dim * dim, [&](std::size_t first, std::size_t last, double* out) {
        double vr[8], vi[8];
        for (std::size_t r = first; r < last; ++r) {
            std::size_t base = r;
            for (Qubit q : sorted) base = ((base >> q) << (q + 1)) | (base & ((std::size_t{1} << q) - 1));
            for (std::size_t a = 0; a < dim; ++a) {
                vr[a] = psi[base | offset[a]].re;
                vi[a] = psi[base | offset[a]].im;
            }
            for (std::size_t a = 0; a < dim; ++a)
                for (std::size_t b = 0; b < dim; ++b) {
                    out[2 * (a * dim + b)] += vr[a] * vr[b] + vi[a] * vi[b];
                    out[2 * (a * dim + b) + 1] += vi[a] * vr[b] - vr[a] * vi[b];
                }
        }
    });
}

// The populations of a one-qubit channel's qubit q (populations.hpp), the
// pieces' sums added in piece order.
std::array<double, 2> populations(const StateVector& state, Qubit q) {
    const Amplitude* psi = state.amplitudes.data();
    const std::vector<double> sums = chunked_sum(state.size() >> 1, 2, [&](std::size_t first, std::size_t last, double* out) {
        const std::array<double, 2> piece = population_sums(psi, q, first, last);
        out[0] = piece[0];
        out[1] = piece[1];
    });
    return {sums[0], sums[1]};
}

// Whether every branch's K†K of a one-qubit channel is diagonal.
bool diagonal_gram(const Channel& c) {
    if (c.qubits.size() != 1) return false;
    for (const std::vector<double>& g : c.gram)
        if (g[2] != 0.0 || g[3] != 0.0 || g[4] != 0.0 || g[5] != 0.0) return false;
    return true;
}

// The first index whose running sum of weights passes u; the last nonzero
// one when rounding leaves u past the total.
std::size_t pick(std::span<const double> weights, double u) {
    double sum = 0.0;
    std::size_t last = 0;
    for (std::size_t k = 0; k < weights.size(); ++k) {
        if (weights[k] <= 0.0) continue;
        sum += weights[k];
        last = k;
        if (u < sum) return k;
    }
    return last;
}

// A general channel's branch for a draw u past the sum of its lower
// bounds: the branch probabilities on the channel's qubits of the state as
// it stands, less the bounds, pick among the rest. `trace` is the state's
// norm², `probability` the branch's share of it.
struct Resolved {
    std::size_t branch = 0;
    double probability = 0.0;
    double trace = 0.0;
};

Resolved resolve_draw(const Channel& c, double u, const StateVector& state) {
    double lower = 0.0;
    for (double w : c.weights) lower += w;
    const std::size_t dim = std::size_t{1} << c.qubits.size();
    std::vector<double> rho;
    if (diagonal_gram(c)) {
        const std::array<double, 2> p = populations(state, c.qubits[0]);
        rho = {p[0], 0.0, 0.0, 0.0, 0.0, 0.0, p[1], 0.0};
    } else {
        rho = reduced_density(state, c.qubits);
    }
    Resolved out;
    for (std::size_t a = 0; a < dim; ++a) out.trace += rho[2 * (a * dim + a)];
    std::vector<double> residual(c.branches.size());
    std::vector<double> probability(c.branches.size());
    double total = 0.0;
    for (std::size_t b = 0; b < c.branches.size(); ++b) {
        // ⟨ψ|K†K|ψ⟩ = Σ_{x,y} (K†K)[x][y] ρ[y][x].
        const std::vector<double>& g = c.gram[b];
        double s = 0.0;
        for (std::size_t x = 0; x < dim; ++x)
            for (std::size_t y = 0; y < dim; ++y)
                s += g[2 * (x * dim + y)] * rho[2 * (y * dim + x)] -
                     g[2 * (x * dim + y) + 1] * rho[2 * (y * dim + x) + 1];
        probability[b] = out.trace > 0.0 ? s / out.trace : 0.0;
        residual[b] = std::max(0.0, probability[b] - c.weights[b]);
        total += residual[b];
    }
    if (total > 0.0) {
        out.branch = pick(residual, (u - lower) / (1.0 - lower) * total);
    } else {
        out.branch = static_cast<std::size_t>(
            std::max_element(probability.begin(), probability.end()) - probability.begin());
    }
    out.probability = probability[out.branch];
    return out;
}

// b · a for row-major 2 × 2 matrices.
Matrix2 product(const Matrix2& b, const Matrix2& a) {
    return {cadd(cmul(b[0], a[0]), cmul(b[1], a[2])), cadd(cmul(b[0], a[1]), cmul(b[1], a[3])),
            cadd(cmul(b[2], a[0]), cmul(b[3], a[2])), cadd(cmul(b[2], a[1]), cmul(b[3], a[3]))};
}

// What a runner does with its first flush, the items that run before any
// draw needs the state: run them, record them and stop (touching no
// amplitude), or skip them (a shared run applied them already).
enum class FirstFlush : std::uint8_t { Run, Record, Skip };

// A trajectory's first flush, and the plans its fused items borrow.
struct FirstItems {
    std::vector<ExecItem> items;
    std::vector<std::shared_ptr<const FusedStretch>> plans;
};

// The runner's state between flushes: the items waiting for one schedule,
// and what is known of the state's norm.
class Runner {
public:
    // zero_qubits: as for run_items, up to the first flush, the first
    // write to the state.
    Runner(StateVector& state, Rng& rng, std::vector<bool>* outcomes, StretchCache* fused,
           FirstFlush first = FirstFlush::Run, FirstItems* record = nullptr, std::size_t zero_qubits = 0)
        : state_(state), rng_(rng), outcomes_(outcomes), fused_(fused), first_(first), record_(record),
          window_(stretch_window(state.num_qubits)), zero_(zero_qubits), last_single_(state.num_qubits, kNone) {}

    // A recording runner stopped at its first flush.
    bool halted() const { return halted_; }

    // The index of the item being added (fused stretches are cut by it).
    void at(std::size_t index) { index_ = index; }

    // A barrier: fusion and reordering stop at it, as in noiseless runs.
    void cut() {
        if (fused_ == nullptr) return;
        close_stretch();
        fences_.push_back(pending_.size());
    }

    // A one-qubit channel branch is multiplied into the last pending
    // one-qubit item on its qubit when nothing since touched that qubit (and
    // a one-qubit gate into a pending branch), so a channel adds no kernel
    // of its own; items of noiseless circuits are never merged with each
    // other. Fused, an item with a source operation joins the open stretch
    // instead, and anything else closes it.
    void add(const ExecItem& item, bool branch = false, const Operation* source = nullptr) {
        if (fused_ != nullptr) {
            if (source != nullptr) {
                if (!stretch_.empty() && index_ / window_ != window_of_last_) cuts_.push_back(stretch_.size());
                window_of_last_ = index_ / window_;
                drew_ = drew_ || branch;
                stretch_.push_back(source);
                stretch_branch_.push_back(branch ? 1 : 0);
                return;
            }
            close_stretch();
            const bool collapse = item.kind == ExecItem::Kind::Measure || item.kind == ExecItem::Kind::Reset;
            collapsed_ = collapsed_ || collapse;
            collapse_pending_ = collapse_pending_ || collapse;
            pending_.push_back(item);
            return;
        }
        if (item.kind == ExecItem::Kind::Single) {
            const std::size_t last = last_single_[item.qubit];
            if (last != kNone && (branch || is_branch_[last])) {
                pending_[last].matrix = product(item.matrix, pending_[last].matrix);
                is_branch_[last] = 1;
                return;
            }
            last_single_[item.qubit] = pending_.size();
        } else if (item.kind == ExecItem::Kind::General || item.kind == ExecItem::Kind::Controlled) {
            for (Qubit q : item.op->targets) last_single_[q] = kNone;
            for (Qubit q : item.op->controls) last_single_[q] = kNone;
        } else {
            last_single_[item.qubit] = kNone;
            collapsed_ = true;
            collapse_pending_ = true;
        }
        pending_.push_back(item);
        is_branch_.push_back(branch ? 1 : 0);
    }

    Status flush() {
        if (halted_) return {};
        close_stretch();
        // Reordered before anything reads the pending items, so every
        // reader sees them in the order they run in; `at` lists where the
        // draws that wait in them went, in that order.
        std::vector<std::size_t> at = placeholders_;
        if (fused_ != nullptr) {
            const std::vector<std::size_t> from =
                order_for_passes(pending_, fences_, fused_->reorder_qubits(), fused_->reorder_block());
            if (!from.empty() && !at.empty()) {
                std::vector<std::size_t> to(from.size());
                for (std::size_t i = 0; i < from.size(); ++i) to[from[i]] = i;
                for (std::size_t& a : at) a = to[a];
                // Each draw keeps its own number: sorting the pairs by new
                // place moves the draws along.
                std::vector<std::pair<std::size_t, Deferred>> pairs;
                for (std::size_t d = 0; d < at.size(); ++d) pairs.emplace_back(at[d], deferred_[d]);
                std::sort(pairs.begin(), pairs.end(),
                          [](const auto& a, const auto& b) { return a.first < b.first; });
                for (std::size_t d = 0; d < at.size(); ++d) {
                    at[d] = pairs[d].first;
                    deferred_[d] = pairs[d].second;
                }
            }
        }
        fences_.clear();
        // What runs before the first waiting draw is the same for every
        // draw it makes: a prefix that runs may share.
        std::size_t begin = 0;
        if (first_ != FirstFlush::Run) {
            const FirstFlush mode = first_;
            first_ = FirstFlush::Run;
            const std::size_t prefix = at.empty() ? pending_.size() : at.front();
            if (mode == FirstFlush::Record) {
                record_->items.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(prefix));
                record_->plans = plans_;
                halted_ = true;
                return {};
            }
            if (record_ != nullptr && prefix != record_->items.size())
                raise_fault("a shared trajectory prefix that its own run does not make");
            zero_ = zero_qubits_after(std::span<const ExecItem>(pending_).first(prefix), zero_);
            begin = prefix;
        }
        Status status = run_pending(begin, at);
        zero_ = 0;
        clear_pending();
        return status;
    }

    // Before anything that needs a unit norm (a measurement, the end).
    Status settle() {
        if (!dirty_) return {};
        VANTELO_TRY(flush());
        if (halted_) return {};
        normalise(state_);
        dirty_ = false;
        collapsed_ = false;
        bound_ = 1.0;
        return {};
    }

    // At the end: a state a measurement or reset left with zeros and no
    // channel since made dirty still gets its zeros written as +0.
    Status finish() {
        VANTELO_TRY(flush());
        if (halted_) return {};
        if (dirty_) return settle();
        if (collapsed_) scale(state_, 1.0f);
        collapsed_ = false;
        return {};
    }

    Status channel(const Channel& c, double u) {
        if (c.mixture) {
            const std::size_t k = pick(c.weights, u);
            if (!c.identity[k]) add(unitary_item(c.branches[k]), true, &c.branches[k]);
            return {};
        }
        double lower = 0.0;
        for (double w : c.weights) lower += w;
        std::size_t k = 0;
        double p = 0.0;
        if (u < lower) {
            k = pick(c.weights, u);
            p = c.weights[k];
            // The branch changes the norm, and a pending measurement or
            // reset draws from the norm of the state it finds: it runs
            // first (the branch could join an item queued before it).
            if (collapse_pending_) VANTELO_TRY(flush());
            if (halted_) return {};
        } else if (fused_ != nullptr) {
            // Fused, the draw waits in the schedule on the channel's qubits
            // and is taken where the schedule's passes reach it, so the
            // passes around it stay whole (see flush).
            close_stretch();
            placeholders_.push_back(pending_.size());
            pending_.push_back(unitary_item(c.branches[0]));
            deferred_.push_back({&c, u});
            dirty_ = true;
            bound_ *= kDeferredBound;
            if (bound_ < 1e-12) VANTELO_TRY(settle());
            return {};
        } else {
            // Outside the bounds: the branch probabilities on the channel's
            // qubits, from the state as the pending items leave it.
            VANTELO_TRY(flush());
            if (halted_) return {};
            const Resolved r = resolve_draw(c, u, state_);
            k = r.branch;
            p = r.probability;
            // The norm² is now known: the trace, not 1. Starting again from
            // 1 would lose what every earlier branch took, and a long
            // trajectory of strong damping would sink below single
            // precision's smallest numbers unnoticed.
            bound_ = r.trace;
        }
        add(unitary_item(c.branches[k]), true, &c.branches[k]);
        dirty_ = true;
        // The norm² is at least the product of the branch bounds since the
        // last normalisation (or since a draw measured it); keep it far from
        // single precision's smallest numbers.
        bound_ *= p;
        if (bound_ < 1e-12) {
            VANTELO_TRY(settle());
        }
        return {};
    }

private:
    // A draw past its bounds waiting in a fused schedule, and its number.
    struct Deferred {
        const Channel* channel = nullptr;
        double u = 0.0;
    };

    // The norm² a waiting draw leaves is at least this: its branch is
    // scaled to leave about 1.
    static constexpr double kDeferredBound = 0.5;

    // Runs pending_[begin, end) and then each waiting draw at `at` in turn:
    // the items before it run, the draw is taken on the state they leave,
    // and its branch, scaled by 1/√(norm² it leaves), takes its place at the
    // head of the items after it. In this order every draw reads the state
    // of the items that precede it in the schedule, which keeps the order
    // of every qubit's items: the branches have their joint distribution,
    // not the one of the circuit's order for a given seed.
    Status run_pending(std::size_t begin, std::span<const std::size_t> at) {
        std::size_t next = begin;
        for (std::size_t d = 0; d <= at.size(); ++d) {
            const std::size_t end = d < at.size() ? at[d] : pending_.size();
            const std::span<const ExecItem> run = std::span<const ExecItem>(pending_).subspan(next, end - next);
            if (!run.empty()) {
                VANTELO_TRY(run_items(run, state_, &rng_, outcomes_, zero_));
                zero_ = zero_qubits_after(run, zero_);
            }
            if (d == at.size()) break;
            const Channel& c = *deferred_[d].channel;
            const Resolved r = resolve_draw(c, deferred_[d].u, state_);
            const Operation& branch = c.branches[r.branch];
            const double left = r.trace * r.probability;
            const double s = left > 0.0 ? 1.0 / std::sqrt(left) : 1.0;
            std::vector<Amplitude> scaled(branch.matrix.begin(), branch.matrix.end());
            for (Amplitude& a : scaled)
                a = {static_cast<float>(a.re * s), static_cast<float>(a.im * s)};
            owned_.push_back(Operation{branch.targets, SharedMatrix(std::move(scaled)), branch.controls});
            pending_[end] = unitary_item(owned_.back());
            next = end;
        }
        return {};
    }

    void clear_pending() {
        collapse_pending_ = false;
        pending_.clear();
        plans_.clear();
        placeholders_.clear();
        deferred_.clear();
        owned_.clear();
        is_branch_.clear();
        std::fill(last_single_.begin(), last_single_.end(), kNone);
    }

    // The open stretch's plan joins the pending items; the plan is held
    // until the flush, since the items borrow its operations.
    void close_stretch() {
        if (stretch_.empty()) return;
        if (!drew_ || cuts_.empty()) {
            take(fused_->get(stretch_, stretch_branch_));
        } else {
            cuts_.push_back(stretch_.size());
            const std::span<const Operation* const> ops(stretch_);
            const std::span<const std::uint8_t> branch(stretch_branch_);
            std::size_t begin = 0;
            for (std::size_t end : cuts_) {
                take(fused_->get(ops.subspan(begin, end - begin), branch.subspan(begin, end - begin)));
                begin = end;
            }
        }
        stretch_.clear();
        stretch_branch_.clear();
        cuts_.clear();
        drew_ = false;
    }

    void take(std::shared_ptr<const FusedStretch> plan) {
        pending_.insert(pending_.end(), plan->items.begin(), plan->items.end());
        plans_.push_back(std::move(plan));
    }

    StateVector& state_;
    Rng& rng_;
    std::vector<bool>* outcomes_;
    StretchCache* fused_;
    FirstFlush first_;
    FirstItems* record_;
    bool halted_ = false;
    std::size_t window_;
    std::size_t zero_;  // the state's known-zero qubits, until the first flush
    std::size_t index_ = 0;
    std::size_t window_of_last_ = 0;
    std::vector<const Operation*> stretch_;
    std::vector<std::uint8_t> stretch_branch_;
    std::vector<std::size_t> cuts_;  // where the stretch's windows begin, after its first
    bool drew_ = false;              // the stretch holds a drawn branch
    std::vector<std::shared_ptr<const FusedStretch>> plans_;
    static constexpr std::size_t kNone = ~std::size_t{0};
    std::vector<ExecItem> pending_;
    std::vector<std::size_t> fences_;  // fused: where barriers stood in pending_
    std::vector<std::size_t> placeholders_;  // fused: where waiting draws stand in pending_
    std::vector<Deferred> deferred_;         // those draws, in the same order
    std::deque<Operation> owned_;            // their scaled branches, which items borrow
    std::vector<std::uint8_t> is_branch_;
    std::vector<std::size_t> last_single_;  // per qubit: index into pending_, or kNone
    bool dirty_ = false;
    bool collapsed_ = false;  // a measurement or reset ran since the last normalise
    bool collapse_pending_ = false;  // a measurement or reset waits in pending_
    double bound_ = 1.0;
};

Status check_channel(const Channel& c, const StateVector& state) {
    return validate_targets(state, c.qubits);
}

}  // namespace

bool has_channels(const Circuit& circuit) {
    for (const Gate& g : circuit.gates)
        if (std::holds_alternative<Noise>(g)) return true;
    return false;
}

bool has_channels(const CompiledCircuit& circuit) { return has_channel_steps(circuit); }

namespace {

// A circuit or plan with channels built with fusion=k keeps its gates as
// given, and its trajectories fuse them with their draws; a noiseless one
// was fused when built, and its items run as they are.
template <class C>
bool fuses_trajectories(const C& circuit) {
    return circuit.numerics.fusion != 0 && has_channels(circuit);
}

}  // namespace

namespace {

// The item of a fixed gate. `fused`: the circuit was built with fusion=k,
// so a noiseless one holds fused blocks, which take the fused kernels as in
// its noiseless runs.
Result<std::optional<NoisyItem>> item_of(const Gate& gate, const StateVector& state, bool fused) {
    NoisyItem out;
    if (const auto* u = std::get_if<Unitary>(&gate)) {
        out.item = unitary_item(u->op);
        out.item.fused = fused;
        out.source = &u->op;
    } else if (const auto* m = std::get_if<Measure>(&gate)) {
        out.item.kind = ExecItem::Kind::Measure;
        out.item.qubit = m->qubit;
    } else if (const auto* r = std::get_if<Reset>(&gate)) {
        out.item.kind = ExecItem::Kind::Reset;
        out.item.qubit = r->qubit;
    } else if (const auto* n = std::get_if<Noise>(&gate)) {
        VANTELO_TRY(check_channel(*n->channel, state));
        out.channel = n->channel.get();
        return std::optional<NoisyItem>(out);
    } else {
        out.barrier = true;
        return std::optional<NoisyItem>(out);
    }
    VANTELO_TRY(check_item(out.item, state));
    return std::optional<NoisyItem>(out);
}

}  // namespace

Result<std::vector<NoisyItem>> noisy_items(const Circuit& circuit, const StateVector& state,
                                           std::span<const GateCondition> conditions) {
    VANTELO_TRY(check_conditions(circuit, conditions));
    std::vector<NoisyItem> items;
    items.reserve(circuit.gates.size());
    for (const Gate& gate : circuit.gates) {
        VANTELO_ASSIGN_OR_RETURN(std::optional<NoisyItem> item, item_of(gate, state, circuit.numerics.fusion != 0));
        // Conditions name items by gate index: every gate has one.
        if (!item) raise_fault("a circuit gate without a trajectory item");
        items.push_back(*item);
    }
    for (const GateCondition& c : conditions) items[c.gate].condition = &c;
    return items;
}

Result<std::vector<NoisyItem>> noisy_items(const CompiledCircuit& circuit,
                                           std::span<const float> params, const StateVector& state) {
    if (params.size() != circuit.parameter_count)
        return fail(msg::parameter_length(params.size(), circuit.parameter_count));
    std::vector<NoisyItem> items;
    items.reserve(circuit.ops.size());
    for (const CompiledOp& op : circuit.ops) {
        if (const auto* p = std::get_if<ParamOp>(&op)) {
            NoisyItem item;
            item.item.qubit = p->target;
            item.item.matrix = rotation_matrix(p->kind, params[p->slot]);
            items.push_back(item);
            continue;
        }
        VANTELO_ASSIGN_OR_RETURN(std::optional<NoisyItem> item, item_of(std::get<FixedOp>(op).gate, state, circuit.numerics.fusion != 0));
        if (item) items.push_back(*item);
    }
    return items;
}

namespace {

Status run_trajectory_from(std::span<const NoisyItem> items, StateVector& state, std::uint64_t seed,
                           std::uint64_t trajectory, Rng& rng, std::vector<bool>* outcomes,
                           StretchCache* fused, FirstFlush first, FirstItems* record,
                           std::size_t zero_qubits = 0) {
    TrajectoryDraws draws(seed, trajectory);
    // Conditions read the outcomes even where the caller keeps none.
    std::vector<bool> own;
    if (outcomes == nullptr &&
        std::any_of(items.begin(), items.end(), [](const NoisyItem& i) { return i.condition != nullptr; }))
        outcomes = &own;
    Runner runner(state, rng, outcomes, fused, first, record, zero_qubits);
    for (std::size_t i = 0; i < items.size() && !runner.halted(); ++i) {
        const NoisyItem& item = items[i];
        runner.at(i);
        if (item.condition != nullptr) {
            VANTELO_TRY(runner.flush());
            if (condition_holds(*item.condition, *outcomes)) runner.add(item.item);
        } else if (item.barrier) {
            runner.cut();
        } else if (item.channel != nullptr) {
            VANTELO_TRY(runner.channel(*item.channel, draws.next()));
        } else {
            if (item.item.kind == ExecItem::Kind::Measure || item.item.kind == ExecItem::Kind::Reset)
                VANTELO_TRY(runner.settle());
            runner.add(item.item, false, item.source);
        }
    }
    return runner.finish();
}

}  // namespace

Status run_trajectory(std::span<const NoisyItem> items, StateVector& state, std::uint64_t seed,
                      std::uint64_t trajectory, Rng& rng, std::vector<bool>* outcomes,
                      StretchCache* fused, std::size_t zero_qubits) {
    return run_trajectory_from(items, state, seed, trajectory, rng, outcomes, fused, FirstFlush::Run, nullptr,
                               zero_qubits);
}

Result<MeasurementRecord> run_circuit_trajectory(const Circuit& circuit, StateVector& state,
                                                 std::uint64_t seed, std::uint64_t trajectory,
                                                 std::span<const GateCondition> conditions) {
    if (!conditions.empty() && circuit.renumbered) return fail(msg::conditions_on_renumbered_circuit());
    if (!conditions.empty() && !circuit.listed.empty()) {
        // Conditions name the caller's gates, which fusion merged: run them
        // as listed.
        const Circuit as_listed{circuit.listed, circuit.numerics};
        return run_circuit_trajectory(as_listed, state, seed, trajectory, conditions);
    }
    VANTELO_ASSIGN_OR_RETURN(const std::vector<NoisyItem> items, noisy_items(circuit, state, conditions));
    Rng rng = trajectory_rng(seed, trajectory);
    std::vector<bool> outcomes;
    std::optional<StretchCache> fused;
    if (fuses_trajectories(circuit))
        fused.emplace(circuit.numerics.fusion, reorder_width(circuit.gates));
    VANTELO_TRY(run_trajectory(items, state, seed, trajectory, rng, &outcomes, fused ? &*fused : nullptr));
    MeasurementRecord record;
    std::size_t next = 0;
    for (const NoisyItem& item : items)
        if (item.channel == nullptr && item.item.kind == ExecItem::Kind::Measure)
            record.push_back({item.item.qubit, outcomes[next++]});
    return record;
}

namespace {

// The first error of a parallel loop; later ones are dropped.
class FirstError {
public:
    void record(Error e) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!error_) error_ = std::move(e);
        failed_.store(true, std::memory_order_relaxed);
    }
    bool failed() const { return failed_.load(std::memory_order_relaxed); }
    std::optional<Error> take() { return std::move(error_); }

private:
    std::mutex mutex_;
    std::optional<Error> error_;
    std::atomic<bool> failed_{false};
};

// body(begin, end, error) for the pieces of [0, count) on the pool's
// workers, each piece's kernels on its own thread; the first error (a piece
// may stop early once `error` has failed).
template <class Body>
Status side_by_side(std::uint64_t count, Body body) {
    FirstError error;
    StopToken token;
    StopTokenScope caller(token);
    pool::for_each_piece(count, [&](std::size_t begin, std::size_t end) {
        StopTokenScope on_worker(token);
        pool::InlineLoops on_this_thread;
        if (error.failed()) return;
        if (Status s = body(begin, end, error); !s) error.record(std::move(s).error());
    });
    if (std::optional<Error> e = error.take()) return std::move(*e);
    if (stop_requested()) return stopped_error();
    return {};
}

// body(t, state) for t in [0, count): side by side for small registers
// (runs_side_by_side; each piece with its own state, kernels on its own
// thread), else one after the other on a shared state spread over the pool.
template <class Body>
Status for_each_trajectory(std::uint32_t n, bool fused, std::uint64_t count, Body body) {
    if (!runs_side_by_side(n, fused) || count < 2) {
        StateVector state = StateVector::create(n);
        for (std::uint64_t t = 0; t < count; ++t) {
            if (stop_requested()) return stopped_error();
            if (t > 0) reset_to_zero_state(state);
            VANTELO_TRY(body(t, state));
        }
        return {};
    }
    return side_by_side(count, [&](std::size_t begin, std::size_t end, const FirstError& error) -> Status {
        StateVector state = StateVector::create(n);
        for (std::size_t t = begin; t < end && !error.failed(); ++t) {
            if (stop_requested()) return stopped_error();
            if (t > begin) reset_to_zero_state(state);
            VANTELO_TRY(body(t, state));
        }
        return {};
    });
}

// The branch of every channel in trajectory t when no draw needs the state:
// every mixture draw, and a general channel's draw that falls below the sum
// of its branches' lower bounds. Nothing when some draw needs the state.
// Trajectories with equal branches run the same items in the same order,
// so their final states are equal to the bit.
std::optional<std::vector<std::uint32_t>> stateless_draws(std::span<const NoisyItem> items,
                                                          std::uint64_t seed, std::uint64_t t) {
    TrajectoryDraws draws(seed, t);
    std::vector<std::uint32_t> out;
    for (const NoisyItem& item : items) {
        if (item.channel == nullptr) continue;
        const Channel& c = *item.channel;
        const double u = draws.next();
        if (!c.mixture) {
            double lower = 0.0;
            for (double w : c.weights) lower += w;
            if (u >= lower) return std::nullopt;
        }
        out.push_back(static_cast<std::uint32_t>(pick(c.weights, u)));
    }
    return out;
}

// Trajectories whose draws need no state and are equal run once: their
// items, and so their final states, are the same to the bit.
std::vector<std::vector<std::uint64_t>> equal_runs(std::span<const NoisyItem> items, std::uint64_t seed,
                                                    std::uint64_t first, std::uint64_t count) {
    std::vector<std::vector<std::uint64_t>> runs;
    std::map<std::vector<std::uint32_t>, std::size_t> index;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t t = first + i;
        std::optional<std::vector<std::uint32_t>> branches = stateless_draws(items, seed, t);
        if (!branches) {
            runs.push_back({t});
            continue;
        }
        auto [it, fresh] = index.emplace(std::move(*branches), runs.size());
        if (fresh) runs.emplace_back();
        runs[it->second].push_back(t);
    }
    return runs;
}

bool draws_outcomes(std::span<const NoisyItem> items) {
    return std::any_of(items.begin(), items.end(), [](const NoisyItem& item) {
        return item.condition != nullptr ||
               (item.channel == nullptr &&
                (item.item.kind == ExecItem::Kind::Measure || item.item.kind == ExecItem::Kind::Reset));
    });
}

// Runs sent to one prefix tree: their first flushes are held at once.
constexpr std::size_t kTreeRuns = 256;
// The state copies a tree keeps one at a time; side by side, where every
// worker holds a state of its own, each keeps one.
constexpr std::size_t kTreeCopies = 4;

}  // namespace

Status for_each_trajectory_run(std::span<const NoisyItem> items, std::uint32_t n, std::uint64_t seed,
                               std::uint64_t first, std::uint64_t count, StretchCache* fused,
                               const StateVector* initial, const TrajectoryRunBody& body,
                               PrefixTreeWork* work) {
    std::vector<std::vector<std::uint64_t>> runs;
    const bool random = draws_outcomes(items);
    if (random) {
        runs.reserve(count);
        for (std::uint64_t i = 0; i < count; ++i) runs.push_back({first + i});
    } else {
        runs = equal_runs(items, seed, first, count);
    }
    if (work != nullptr) *work = PrefixTreeWork{};
    if (random || runs.size() < 2) {
        return for_each_trajectory(n, fused != nullptr, runs.size(), [&](std::uint64_t r, StateVector& state) -> Status {
            const std::uint64_t t = runs[r].front();
            if (initial != nullptr)
                std::copy_n(initial->amplitudes.data(), initial->size(), state.amplitudes.data());
            Rng rng = trajectory_rng(seed, t);
            VANTELO_TRY(run_trajectory(items, state, seed, t, rng, nullptr, fused,
                                       initial == nullptr ? all_qubits(n) : 0));
            return body(runs[r], state, rng);
        });
    }
    // The runs of a chunk share their prefixes: each records the items of
    // its first flush (all it applies before a draw needs the state), a tree
    // applies them, and the run goes on from there. Side by side, each
    // worker takes a piece of the runs in the tree's order, so that runs
    // alike stay together.
    const bool one_at_a_time = !runs_side_by_side(n, fused != nullptr);
    StateVector shape;
    shape.num_qubits = n;
    std::mutex work_mutex;
    for (std::size_t begin = 0; begin < runs.size(); begin += kTreeRuns) {
        const std::size_t end = std::min(runs.size(), begin + kTreeRuns);
        std::vector<FirstItems> firsts(end - begin);
        std::vector<std::vector<ExecItem>> lists(end - begin);
        for (std::size_t r = begin; r < end; ++r) {
            const std::uint64_t t = runs[r].front();
            Rng unused = trajectory_rng(seed, t);
            VANTELO_TRY(run_trajectory_from(items, shape, seed, t, unused, nullptr, fused, FirstFlush::Record,
                                            &firsts[r - begin]));
            lists[r - begin] = std::move(firsts[r - begin].items);
        }
        const std::vector<std::size_t> order = prefix_order(lists);
        // Pieces of `order` are disjoint, so each moves its own lists.
        const auto share = [&](std::size_t from, std::size_t to) -> Status {
            std::vector<std::vector<ExecItem>> piece(to - from);
            for (std::size_t k = from; k < to; ++k) piece[k - from] = std::move(lists[order[k]]);
            PrefixTreeWork done;
            VANTELO_TRY(run_prefix_tree(piece, n, initial, one_at_a_time ? kTreeCopies : 1, [&](std::size_t i, StateVector& state) -> Status {
                const std::vector<std::uint64_t>& run = runs[begin + order[from + i]];
                Rng rng = trajectory_rng(seed, run.front());
                FirstItems expected;
                expected.items.resize(piece[i].size());
                VANTELO_TRY(run_trajectory_from(items, state, seed, run.front(), rng, nullptr, fused,
                                                FirstFlush::Skip, &expected,
                                                initial == nullptr ? all_qubits(n) : 0));
                return body(run, state, rng);
            }, &done));
            if (work != nullptr) {
                std::lock_guard<std::mutex> lock(work_mutex);
                work->lists += done.lists;
                work->applied += done.applied;
                work->total += done.total;
                work->copies += done.copies;
            }
            return {};
        };
        if (one_at_a_time) {
            VANTELO_TRY(share(0, order.size()));
        } else {
            VANTELO_TRY(side_by_side(order.size(), [&](std::size_t from, std::size_t to, const FirstError&) {
                return share(from, to);
            }));
        }
    }
    return {};
}

Result<std::vector<std::uint64_t>> sample_trajectories(const Circuit& circuit,
                                                       std::uint32_t num_qubits,
                                                       std::uint64_t shots, std::uint64_t seed,
                                                       const StateVector* initial) {
    StateVector shape;
    shape.num_qubits = num_qubits;
    VANTELO_ASSIGN_OR_RETURN(const std::vector<NoisyItem> items, noisy_items(circuit, shape));
    bool mixtures_only = true;
    for (const NoisyItem& item : items)
        mixtures_only = mixtures_only && (item.channel == nullptr || item.channel->mixture);
    // With mixtures only, a run's shots are its first shot's generator's
    // samples. With general channels, shots share a run only when all their
    // draws stayed below the bounds; each then keeps its own generator, so
    // every shot draws what its own run would have given it.
    std::vector<std::uint64_t> out(shots, 0);
    std::optional<StretchCache> fused;
    if (fuses_trajectories(circuit))
        fused.emplace(circuit.numerics.fusion, reorder_width(circuit.gates));
    VANTELO_TRY(for_each_trajectory_run(
        items, num_qubits, seed, 0, shots, fused ? &*fused : nullptr, initial,
        [&](std::span<const std::uint64_t> run, StateVector& state, Rng& rng) -> Status {
            if (mixtures_only || run.size() == 1) {
                VANTELO_ASSIGN_OR_RETURN(const std::vector<std::uint64_t> drawn, measure(state, run.size(), rng));
                for (std::size_t i = 0; i < drawn.size(); ++i) out[run[i]] = drawn[i];
                return {};
            }
            // No measurement or reset ran, so a shot's generator is still
            // fresh when it samples, as in a run of its own.
            VANTELO_ASSIGN_OR_RETURN(const WeightedIndex weights, WeightedIndex::build(state));
            for (std::uint64_t s : run) {
                Rng own = trajectory_rng(seed, s);
                out[s] = weights.sample(own);
            }
            return {};
        }));
    return out;
}

Result<std::vector<float>> trajectory_expectations(const CompiledCircuit& circuit,
                                                   std::span<const float> params,
                                                   const Observable& observable, std::uint64_t seed,
                                                   std::uint64_t first, std::uint64_t count) {
    StateVector shape;
    shape.num_qubits = circuit.num_qubits;
    VANTELO_ASSIGN_OR_RETURN(const std::vector<NoisyItem> items, noisy_items(circuit, params, shape));
    VANTELO_TRY(check_observable_qubits(observable, circuit.num_qubits));
    // Trajectory indices are 64-bit: a range past the last one would wrap.
    if (count > 0 && first > std::numeric_limits<std::uint64_t>::max() - (count - 1))
        return fail(std::to_string(count) + " trajectories from " + std::to_string(first) +
                    " run past the last trajectory index, 2**64 - 1");
    std::vector<float> values(count, 0.0f);
    std::optional<StretchCache> fused;
    if (fuses_trajectories(circuit)) fused.emplace(circuit.numerics.fusion, circuit.num_qubits);
    VANTELO_TRY(for_each_trajectory_run(
        items, circuit.num_qubits, seed, first, count, fused ? &*fused : nullptr, nullptr,
        [&](std::span<const std::uint64_t> run, StateVector& state, Rng&) -> Status {
            // The plan's sums, as its noiseless expectation takes them.
            VANTELO_ASSIGN_OR_RETURN(const double value, expectation_in(state, observable, circuit.numerics.sums));
            for (std::uint64_t t : run) values[t - first] = static_cast<float>(value);
            return {};
        }));
    return values;
}

Result<TrajectoryMean> trajectory_expectation(const CompiledCircuit& circuit,
                                              std::span<const float> params,
                                              const Observable& observable, std::uint64_t seed,
                                              std::uint64_t count) {
    if (count == 0) return fail("the trajectory count must be at least 1");
    VANTELO_ASSIGN_OR_RETURN(const std::vector<float> values,
                             trajectory_expectations(circuit, params, observable, seed, 0, count));
    return trajectory_mean(values);
}

Result<std::vector<TrajectoryMean>> batch_trajectory_expectation(const CompiledCircuit& circuit,
                                                                 std::span<const float> batch,
                                                                 std::size_t rows,
                                                                 const Observable& observable,
                                                                 std::uint64_t seed,
                                                                 std::uint64_t count) {
    const std::size_t cols = circuit.parameter_count;
    if (batch.size() != rows * cols)
        return fail(msg::batch_length(batch.size(), rows * cols, rows, cols));
    std::vector<TrajectoryMean> out;
    out.reserve(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        VANTELO_ASSIGN_OR_RETURN(const TrajectoryMean m,
                                 trajectory_expectation(circuit, batch.subspan(r * cols, cols),
                                                        observable, seed, count));
        out.push_back(m);
    }
    return out;
}

std::uint32_t set_side_by_side_qubits(std::uint32_t num_qubits) {
    return g_side_by_side_qubits.exchange(num_qubits, std::memory_order_relaxed);
}

TrajectoryMean trajectory_mean(std::span<const float> values) {
    TrajectoryMean out;
    if (values.empty()) return out;
    double sum = 0.0;
    for (float v : values) sum += v;
    out.mean = sum / static_cast<double>(values.size());
    if (values.size() < 2) return out;
    double squares = 0.0;
    for (float v : values) squares += (v - out.mean) * (v - out.mean);
    const double t = static_cast<double>(values.size());
    out.standard_error = std::sqrt(squares / (t * (t - 1.0)));
    return out;
}

}  // namespace vantelo::sim
