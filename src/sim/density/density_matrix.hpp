// Exact evaluation of small noisy circuits on the density matrix.
//
// The density matrix ρ of n qubits is stored as a state vector of 2n
// qubits: entry (r << n) | c holds ρ[r, c], so the row index sits in the
// high n bits and the array, read row-major, is the 2^n × 2^n matrix. A
// unitary U on qubits Q acts as U on Q+n and conj(U) on Q (ρ ↦ UρU†), run by
// the same kernels and the cache-blocked executor as any state; channels,
// measurements (outcomes not recorded) and resets act as their dense
// superoperators (superoperator.hpp). All arithmetic on ρ is that of the
// kernels, in single precision; the values do not depend on the pool size.
#pragma once

#include <cstdint>
#include <span>

#include "sim/exec/circuit.hpp"
#include "sim/exec/circuit_spec.hpp"
#include "sim/observables/observable.hpp"
#include "sim/result.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {

// 4^12 entries of 8 bytes: 128 MiB.
inline constexpr std::uint32_t kMaxDensityQubits = 12;

// ρ of a circuit run from |0…0⟩⟨0…0| on num_qubits qubits (a vector of
// 2·num_qubits qubits). Checks, in order: the width limit, then the
// circuit's items against num_qubits (the messages of a run).
Result<StateVector> density_matrix(const Circuit& circuit, std::uint32_t num_qubits);

// The same for a compiled plan; the parameter length is checked after the
// width limit and before the steps.
Result<StateVector> density_matrix(const CompiledCircuit& circuit, std::span<const float> params);

// Tr(ρ·observable) for ρ as above on n qubits. Each term's trace is summed
// in double precision over the row index in increasing order, and the terms
// in their order: exact up to one rounding per entry added.
Result<double> density_expectation(const StateVector& rho, std::uint32_t n, const Observable& observable);

// density_matrix of the plan, then its expectation; the observable's qubits
// are checked before anything runs.
Result<double> density_expectation(const CompiledCircuit& circuit, std::span<const float> params,
                                   const Observable& observable);

}  // namespace vantelo::sim
