// Quantum trajectories: a circuit with channels run as one random pure-state
// path. Channel k of trajectory t draws number k of TrajectoryDraws(seed, t);
// measurements, resets and samples draw from trajectory_rng(seed, t). Between
// draws that need a norm the items run on the cache-blocked executor in one
// schedule, so a mixture (or a general branch drawn below its bound) costs no
// pass of its own beyond its gate. With fusion=k those items, drawn branches
// included, are fused into dense blocks first, and above kReorderQubits
// reordered to take fewer passes (fused_stretch.hpp). A fused draw that
// needs a norm waits in the schedule on its channel's qubits and is taken
// where the reordered schedule reaches it, on the state the items before it
// in that order leave: the branches keep their joint distribution, but at
// such a draw a trajectory may take another branch than its exact run.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "sim/exec/circuit.hpp"
#include "sim/exec/compiled.hpp"
#include "sim/exec/schedule.hpp"
#include "sim/gates/channel.hpp"
#include "sim/noise/condition.hpp"
#include "sim/noise/fused_stretch.hpp"
#include "sim/noise/trajectory_tree.hpp"
#include "sim/observables/observable.hpp"
#include "sim/result.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {

// An executor item, a channel (then `item` is unused) or a barrier (which
// only ends a fused stretch). `source`: the operation of a fixed unitary,
// which fused trajectories fuse (rotations of a compiled plan have none and
// stay apart, as in its noiseless runs). `condition`: the item runs only
// when it holds for the outcomes measured so far.
struct NoisyItem {
    ExecItem item;
    const Channel* channel = nullptr;
    const Operation* source = nullptr;
    const GateCondition* condition = nullptr;
    bool barrier = false;
};

bool has_channels(const Circuit& circuit);
bool has_channels(const CompiledCircuit& circuit);

// The items of a circuit, checked against the state's width in order; the
// first failing gate's error. Borrows the circuit's operations and channels,
// and the conditions (checked), which item k (gate k) then points to.
Result<std::vector<NoisyItem>> noisy_items(const Circuit& circuit, const StateVector& state,
                                           std::span<const GateCondition> conditions = {});
// The same for a compiled plan with a parameter vector (its length checked).
Result<std::vector<NoisyItem>> noisy_items(const CompiledCircuit& circuit,
                                           std::span<const float> params, const StateVector& state);

// One trajectory on the state (normalised afterwards). Measurement outcomes
// are appended to `outcomes` when it is not null; `rng` serves measurements
// and resets. With `fused`, every stretch between draws that need a norm is
// fused by it (the items' operations must outlive it). A conditioned item
// fences: what is pending runs first, so its condition reads every earlier
// outcome, and it joins no fused stretch. zero_qubits as for run_items
// (all_qubits on a fresh |0…0⟩).
Status run_trajectory(std::span<const NoisyItem> items, StateVector& state, std::uint64_t seed,
                      std::uint64_t trajectory, Rng& rng, std::vector<bool>* outcomes,
                      StretchCache* fused = nullptr, std::size_t zero_qubits = 0);

// Trajectory t of a circuit, run on `state` (|0…0⟩ or a caller's start),
// with its record; gates named by `conditions` run only when their
// condition holds. Here and below, a circuit or plan built with fusion=k
// runs fused.
Result<MeasurementRecord> run_circuit_trajectory(const Circuit& circuit, StateVector& state,
                                                 std::uint64_t seed, std::uint64_t trajectory,
                                                 std::span<const GateCondition> conditions = {});

// The final state of every trajectory first … first + count − 1 of the
// items, from |0…0⟩ or a copy of `initial`: body(run, state, rng) once per
// run, the trajectories `run` (increasing) that share it, with the first
// one's generator as its run left it. Trajectories whose draws need no state
// and are equal share a run, and runs share the prefixes their items have
// in common (trajectory_tree.hpp): one at a time all of them, side by side
// those in each worker's piece. The states are those of one run per
// trajectory, up to the sign of zero; `work`, when not null, tells what the
// prefix tree saved.
using TrajectoryRunBody = std::function<Status(std::span<const std::uint64_t>, StateVector&, Rng&)>;
Status for_each_trajectory_run(std::span<const NoisyItem> items, std::uint32_t n, std::uint64_t seed,
                               std::uint64_t first, std::uint64_t count, StretchCache* fused,
                               const StateVector* initial, const TrajectoryRunBody& body,
                               PrefixTreeWork* work = nullptr);

// One trajectory per shot: shot s runs trajectory s from |0…0⟩ and samples
// one outcome from its final state with trajectory_rng(seed, s). Shots whose
// channel draws are all mixture draws and equal share one run (same outcome
// distribution, fewer runs). In a circuit with general channels, shots whose
// draws all fall below the channels' bounds and pick the same branches share
// one run too, each still sampling with its own generator: the same outcomes
// as one run per shot.
// With `initial`, every shot starts from a copy of it instead (its width is
// num_qubits).
Result<std::vector<std::uint64_t>> sample_trajectories(const Circuit& circuit,
                                                       std::uint32_t num_qubits,
                                                       std::uint64_t shots, std::uint64_t seed,
                                                       const StateVector* initial = nullptr);

// The expectation of trajectories first … first + count − 1 of a plan, one
// value per trajectory in trajectory order. Small registers run trajectories
// side by side, one per worker; larger ones one at a time, each spread over
// the pool. The values do not depend on either.
Result<std::vector<float>> trajectory_expectations(const CompiledCircuit& circuit,
                                                   std::span<const float> params,
                                                   const Observable& observable, std::uint64_t seed,
                                                   std::uint64_t first, std::uint64_t count);

// Sets the widest register whose trajectories run side by side (19 unless
// set; fused trajectories one qubit wider) and returns the previous width; the values do not depend on it, so
// tests and benchmarks move it to reach both paths at any width.
std::uint32_t set_side_by_side_qubits(std::uint32_t num_qubits);

// Mean and standard error of per-trajectory values, summed in order in
// double: mean = Σv/T, error = √(Σ(v − mean)²/(T(T − 1))) (0 for T = 1).
struct TrajectoryMean {
    double mean = 0.0;
    double standard_error = 0.0;
};
TrajectoryMean trajectory_mean(std::span<const float> values);

// trajectory_mean of trajectories 0 … count − 1 for one parameter vector.
Result<TrajectoryMean> trajectory_expectation(const CompiledCircuit& circuit,
                                              std::span<const float> params,
                                              const Observable& observable, std::uint64_t seed,
                                              std::uint64_t count);

// The same for every row of a batch (rows × parameter_count, row-major), in
// row order; every row draws the same trajectories, so differences between
// rows are not blurred by different noise.
Result<std::vector<TrajectoryMean>> batch_trajectory_expectation(const CompiledCircuit& circuit,
                                                                 std::span<const float> batch,
                                                                 std::size_t rows,
                                                                 const Observable& observable,
                                                                 std::uint64_t seed,
                                                                 std::uint64_t count);

}  // namespace vantelo::sim
