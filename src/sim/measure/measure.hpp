// Measurement, reset and whole-register sampling.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/result.hpp"
#include "sim/measure/rng.hpp"
#include "sim/numerics.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {

// Projective measurement of qubit q with collapse; returns the outcome. A
// state whose probability of 1 is not a finite number (NaN or infinite
// amplitudes) has no outcome: it fails before any draw, state untouched.
// With Float64 sums the probability of 1 is summed in double (each weight
// from the exact squares of the parts) and the survivors are divided by its
// square root in double before rounding.
Result<bool> measure_qubit(StateVector& state, Qubit q, Rng& rng,
                           SumPrecision sums = SumPrecision::Float32);

// Measures q and flips it back to 0 when the outcome was 1.
Status reset_qubit(StateVector& state, Qubit q, Rng& rng, SumPrecision sums = SumPrecision::Float32);

// `shots` basis-state indices drawn from |amplitude|² without changing the
// state (fewer after a stop; see draw_samples). A NaN or infinite weight is
// the error of measure_qubit for such a state; the other unusable weights
// (all zero, no amplitude) are internal faults naming the kind:
// "AllWeightsZero", "NoItem".
Result<std::vector<std::uint64_t>> measure(const StateVector& state, std::uint64_t shots,
                                           SumPrecision sums = SumPrecision::Float32);
// The same with a supplied generator.
Result<std::vector<std::uint64_t>> measure(const StateVector& state, std::uint64_t shots, Rng& rng,
                                           SumPrecision sums = SumPrecision::Float32);

// Cumulative weights for sampling basis states: entry i − 1 is the sum of the
// weights before index i, so the table has one entry fewer than the state.
struct WeightedIndex {
    std::vector<double> cumulative;
    // The last entry of every full block of kGuideBlock cumulative entries:
    // a small table that narrows each search to one block, so a draw touches
    // a few cache lines of the large table instead of one per bisection step.
    std::vector<double> guide;
    double total = 0.0;

    static constexpr std::size_t kGuideBlock = 64;

    // Weights |a|² in single precision, widened and summed in double, in
    // index order. Unusable weights fail as measure says. With Float64 sums
    // each weight is the double sum of the exact squares.
    static Result<WeightedIndex> build(const StateVector& state,
                                       SumPrecision sums = SumPrecision::Float32);

    // One index: the number of cumulative entries ≤ a uniform draw in
    // [0, total).
    std::uint64_t sample(Rng& rng) const;
    // The index a draw c lands on: the number of cumulative entries ≤ c.
    std::uint64_t locate(double c) const;
};

// `shots` independent samples from the index, in draw order; fewer when
// stop_requested() says so (the caller checks it). Running out of memory
// on the way is an AllocationFailure naming the whole request.
std::vector<std::uint64_t> draw_samples(const WeightedIndex& index, std::uint64_t shots, Rng& rng);

}  // namespace vantelo::sim
