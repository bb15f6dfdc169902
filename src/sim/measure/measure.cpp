#include "sim/measure/measure.hpp"

#include <algorithm>
#include <cmath>

#include "sim/fault.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/messages.hpp"
#include "sim/stop.hpp"

namespace vantelo::sim {

namespace {

// |a|² in single precision: the imaginary square first, the real square added.
inline float norm_squared(Amplitude a) {
    const float ii = a.im * a.im;
    const float rr = a.re * a.re;
    return ii + rr;
}

constexpr Amplitude kZero{0.0f, 0.0f};

inline Amplitude divide(Amplitude a, float norm) {
    return {a.re / norm, a.im / norm};
}

inline double wide_norm_squared(Amplitude a) {
    return double(a.im) * double(a.im) + double(a.re) * double(a.re);
}

inline Amplitude wide_divide(Amplitude a, double norm) {
    return {static_cast<float>(double(a.re) / norm), static_cast<float>(double(a.im) / norm)};
}

// measure_qubit with Float64 sums: the same draw, compared in double with
// p1 / (p0 + p1), both weights summed serially in index order. The float32
// state's norm drifts from 1 by rounding (coherently, about 1e-6 after a few
// hundred rotations), so the probability is taken relative to the state's
// own norm, and either branch is renormalised by its own weight.
Result<bool> measure_qubit_wide(StateVector& state, Qubit q, Rng& rng) {
    Amplitude* a = state.amplitudes.data();
    const std::size_t n = state.size();
    const std::size_t half = std::size_t{1} << q;
    const std::size_t chunk = half << 1;
    double p0 = 0.0;
    double p1 = 0.0;
    for (std::size_t base = 0; base < n; base += chunk) {
        for (std::size_t j = 0; j < half; ++j) p0 = p0 + wide_norm_squared(a[base + j]);
        for (std::size_t j = half; j < chunk; ++j) p1 = p1 + wide_norm_squared(a[base + j]);
    }
    const double total = p0 + p1;
    if (!std::isfinite(total)) return fail(msg::state_not_finite());
    const float r = rng.next_f32();
    const bool outcome = total > 0.0 && double(r) < p1 / total;
    if (outcome && p1 > 0.0) {
        const double norm = std::sqrt(p1);
        for (std::size_t base = 0; base < n; base += chunk)
            for (std::size_t j = 0; j < half; ++j) {
                a[base + j] = kZero;
                a[base + j + half] = wide_divide(a[base + j + half], norm);
            }
    } else if (!outcome && p0 > 0.0) {
        const double norm = std::sqrt(p0);
        for (std::size_t base = 0; base < n; base += chunk)
            for (std::size_t j = 0; j < half; ++j) {
                a[base + j] = wide_divide(a[base + j], norm);
                a[base + j + half] = kZero;
            }
    } else {
        std::fill(state.amplitudes.begin(), state.amplitudes.end(), kZero);
    }
    return outcome;
}

}  // namespace

Result<bool> measure_qubit(StateVector& state, Qubit q, Rng& rng, SumPrecision sums) {
    VANTELO_TRY(validate_targets(state, std::span<const Qubit>(&q, 1)));
    if (sums == SumPrecision::Float64) return measure_qubit_wide(state, q, rng);
    Amplitude* a = state.amplitudes.data();
    const std::size_t n = state.size();
    const std::size_t half = std::size_t{1} << q;
    const std::size_t chunk = half << 1;

    // Serial and in index order so the probability is reproducible bit for bit.
    float p1 = 0.0f;
    for (std::size_t base = 0; base < n; base += chunk)
        for (std::size_t j = half; j < chunk; ++j) p1 = p1 + norm_squared(a[base + j]);

    // NaN would read as outcome 0 and zero the state: an invented result.
    if (!std::isfinite(p1)) return fail(msg::state_not_finite());
    const float r = rng.next_f32();
    const bool outcome = r < p1;
    const float p0 = 1.0f - p1;

    // Division rather than multiplication by a reciprocal: a surviving
    // amplitude of 0.70710677 with p = 0.49999997 must become exactly 1.
    if (outcome && p1 > 0.0f) {
        const float norm = std::sqrt(p1);
        for (std::size_t base = 0; base < n; base += chunk)
            for (std::size_t j = 0; j < half; ++j) {
                a[base + j] = kZero;
                a[base + j + half] = divide(a[base + j + half], norm);
            }
    } else if (!outcome && p0 > 0.0f) {
        const float norm = std::sqrt(p0);
        for (std::size_t base = 0; base < n; base += chunk)
            for (std::size_t j = 0; j < half; ++j) {
                a[base + j] = divide(a[base + j], norm);
                a[base + j + half] = kZero;
            }
    } else {
        std::fill(state.amplitudes.begin(), state.amplitudes.end(), kZero);
    }
    return outcome;
}

Status reset_qubit(StateVector& state, Qubit q, Rng& rng, SumPrecision sums) {
    VANTELO_ASSIGN_OR_RETURN(const bool outcome, measure_qubit(state, q, rng, sums));
    if (outcome) apply_single_qubit(state.amplitudes.data(), state.num_qubits, q, matrices::x());
    return {};
}

Result<WeightedIndex> WeightedIndex::build(const StateVector& state, SumPrecision sums) {
    const std::size_t n = state.size();
    if (n == 0) raise_fault(msg::sampling_failed("NoItem"));
    WeightedIndex index;
    allocate_or_explain([&] { index.cumulative.reserve(n - 1); },
                        [&] { return msg::cannot_allocate_sampling_table(state.num_qubits); });
    // A weight that is not ≥ 0 is NaN here (squares are never negative); an
    // infinite weight (an amplitude beyond 1.8e19) would make the range of
    // the uniform draw infinite, so it is rejected the same way.
    const auto usable = [](double w) { return w >= 0.0 && !std::isinf(w); };
    auto weight = [&](std::size_t i) {
        return sums == SumPrecision::Float64 ? wide_norm_squared(state.amplitudes[i])
                                             : norm_squared(state.amplitudes[i]);
    };
    double total = weight(0);
    if (!usable(total)) return fail(msg::state_not_finite());
    for (std::size_t i = 1; i < n; ++i) {
        const double w = weight(i);
        if (!usable(w)) return fail(msg::state_not_finite());
        index.cumulative.push_back(total);
        total += w;
    }
    if (total == 0.0) raise_fault(msg::sampling_failed("AllWeightsZero"));
    index.total = total;
    index.guide.reserve(index.cumulative.size() / kGuideBlock + 1);
    for (std::size_t end = kGuideBlock; end <= index.cumulative.size(); end += kGuideBlock)
        index.guide.push_back(index.cumulative[end - 1]);
    return index;
}

std::uint64_t WeightedIndex::sample(Rng& rng) const {
    return locate(rng.next_f64_below(total));
}

std::uint64_t WeightedIndex::locate(double c) const {
    // A bisection for the first entry > c; the table is non-decreasing. Every
    // block whose last entry is ≤ c lies wholly at or below c, and every entry
    // after a block whose last entry is > c is > c too, so the first entry
    // > c is in the block the guide points to (or in the tail after the last
    // full block): the same index as a bisection of the whole table.
    const std::size_t block = static_cast<std::size_t>(
        std::upper_bound(guide.begin(), guide.end(), c) - guide.begin());
    const auto first = cumulative.begin() + static_cast<std::ptrdiff_t>(block * kGuideBlock);
    const auto last = block < guide.size() ? first + static_cast<std::ptrdiff_t>(kGuideBlock)
                                           : cumulative.end();
    return static_cast<std::uint64_t>(std::upper_bound(first, last, c) - cumulative.begin());
}

Result<std::vector<std::uint64_t>> measure(const StateVector& state, std::uint64_t shots, SumPrecision sums) {
    return measure(state, shots, thread_rng(), sums);
}

Result<std::vector<std::uint64_t>> measure(const StateVector& state, std::uint64_t shots, Rng& rng,
                                           SumPrecision sums) {
    VANTELO_ASSIGN_OR_RETURN(const WeightedIndex index, WeightedIndex::build(state, sums));
    return draw_samples(index, shots, rng);
}

std::vector<std::uint64_t> draw_samples(const WeightedIndex& index, std::uint64_t shots, Rng& rng) {
    std::vector<std::uint64_t> samples;
    constexpr std::uint64_t kShotsPerPoll = 4096;
    // Reserved up to a bound only: a huge request that is stopped early
    // never holds its full size.
    allocate_or_explain(
        [&] {
            samples.reserve(std::min<std::uint64_t>(shots, std::uint64_t{1} << 20));
            for (std::uint64_t s = 0; s < shots; ++s) {
                if (s % kShotsPerPoll == 0 && s != 0 && stop_requested()) break;
                samples.push_back(index.sample(rng));
            }
        },
        [&] { return msg::cannot_allocate_samples(shots); });
    return samples;
}

}  // namespace vantelo::sim
