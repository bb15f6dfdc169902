// Running a compiled plan for one parameter vector, and the reusable
// execution context that lets repeated runs share one state vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "sim/exec/circuit_spec.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/observables/observable.hpp"
#include "sim/result.hpp"
#include "sim/measure/rng.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {

// A reusable holder of one state vector. It adopts the width of every plan
// run in it; between calls its state is scratch left by the last run.
struct ExecutionContext {
    StateVector state;

    static ExecutionContext create(std::uint32_t num_qubits);
};

// The matrix of a rotation step at angle theta, built with single-precision
// sincosf: one evaluation at theta · 0.5 for Rx and Ry, two (at theta · −0.5
// and theta · 0.5) for Rz, one at the unhalved theta for P.
Matrix2 rotation_matrix(RotationKind kind, float theta);

// Runs the plan on a state that already holds the starting state. Checks the
// parameter length, then the state's width; the first failing step's error
// is returned and earlier steps stay applied. zero_qubits as for run_items
// (all_qubits on a fresh |0…0⟩).
Status run_into(const CompiledCircuit& circuit, std::span<const float> params, StateVector& state,
                std::size_t zero_qubits = 0);

// Steps [first, last) of the plan on the state, without the checks of
// run_into. rng is used by measurement and reset steps only and may be null
// when the range holds neither.
// Runs on the cache-blocked executor, with the values and draws of
// run_steps_per_gate; zero_qubits as for run_items.
Status run_steps(const CompiledCircuit& circuit, std::span<const float> params, StateVector& state,
                 std::size_t first, std::size_t last, Rng* rng, std::size_t zero_qubits = 0);

// The reference: one full pass over the state per step, in step order.
Status run_steps_per_gate(const CompiledCircuit& circuit, std::span<const float> params,
                          StateVector& state, std::size_t first, std::size_t last, Rng* rng);

// A fresh |0…0⟩ run into a new state vector.
Result<StateVector> run_statevector(const CompiledCircuit& circuit, std::span<const float> params);

// Makes the context's state |0…0⟩ of the circuit's width: reset in place when
// the width matches, otherwise replaced by a new state vector.
void prepare_context(const CompiledCircuit& circuit, ExecutionContext& context);

// prepare_context, then run_into on the context's state. The returned pointer
// is the context's state, valid until the context is used again.
Result<StateVector*> run_statevector_with_context(const CompiledCircuit& circuit,
                                                  std::span<const float> params,
                                                  ExecutionContext& context);

// A run with the context, then the expectation of its state. The observable's
// qubits are compared with the width only after the run.
Result<float> expectation_with_context(const CompiledCircuit& circuit, std::span<const float> params,
                                       const Observable& observable, ExecutionContext& context);

// run_statevector followed by the expectation of the returned state.
Result<float> compiled_expectation(const CompiledCircuit& circuit, std::span<const float> params,
                                   const Observable& observable);

// True when some step is a measurement, a reset or a channel: such plans draw
// random outcomes, so two runs with equal parameters may differ.
bool has_random_steps(const CompiledCircuit& circuit);

// True when some step is a channel: the plan runs only as trajectories.
bool has_channel_steps(const CompiledCircuit& circuit);

}  // namespace vantelo::sim
