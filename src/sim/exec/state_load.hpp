// Runs that start from a caller's state instead of |0…0⟩: the checks on the
// given amplitudes and on the circuit's reach, made before any gate runs.
#pragma once

#include <cstdint>
#include <span>

#include "sim/amplitude.hpp"
#include "sim/exec/circuit.hpp"
#include "sim/result.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {

// How far the Euclidean norm of a loaded state may be from 1 and still be
// copied bit for bit: a double-precision state rounded to single precision.
inline constexpr double kLoadExactTolerance = 1e-4;
// How far it may be from 1 at all. Single-precision gates change the norm by
// up to a few units in the last place each, so a state this simulator wrote
// after a million gates can be 3e-3 away; a state off by more than 1e-2 is
// taken for an unnormalised one.
inline constexpr double kLoadNormTolerance = 1e-2;

// A register holding a copy of the amplitudes. Checks, in order: the length is
// a power of two, it spans at most 31 qubits, and the norm is within
// kLoadNormTolerance of 1 (NaN and infinite entries fail that test). A norm
// off by more than kLoadExactTolerance is divided out of every amplitude (in
// double precision, rounded once), so drift does not build up over chained
// runs.
Result<StateVector> load_state(std::span<const Amplitude> amplitudes);

// Succeeds when every qubit the circuit's items name is below num_qubits;
// otherwise the range error of the first offending qubit in item order.
Status check_circuit_width(const Circuit& circuit, std::uint32_t num_qubits);

}  // namespace vantelo::sim
