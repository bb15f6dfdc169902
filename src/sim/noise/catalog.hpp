// The channel catalogue. Every constructor checks its parameters and returns
// a Noise gate; the Kraus forms and conventions are listed on each one (the
// first qubit is the most significant bit of a matrix index, P(x) the Pauli
// matrices).
#pragma once

#include <vector>

#include "sim/gates/channel.hpp"
#include "sim/gates/gate.hpp"
#include "sim/result.hpp"

namespace vantelo::sim {

// Mixtures of unitaries.
// bit flip: {√(1−p) I, √p X}.  phase flip: {√(1−p) I, √p Z}.
Result<Gate> bit_flip_channel(Qubit q, double p);
Result<Gate> phase_flip_channel(Qubit q, double p);
// {√(1−p) I, √(p/3) X, √(p/3) Y, √(p/3) Z}: p is the probability that an
// error happens (Cirq's and PennyLane's p; Aer's λ, which counts the identity
// among the errors, is p = 3λ/4).
Result<Gate> depolarizing_channel(Qubit q, double p);
// {√(1−p) I⊗I, √(p/15) P⊗Q for the 15 other Pauli pairs} (Aer's λ: p = 15λ/16).
Result<Gate> depolarizing2_channel(Qubit a, Qubit b, double p);
// {√(1−px−py−pz) I, √px X, √py Y, √pz Z}.
Result<Gate> pauli_channel(Qubit q, double px, double py, double pz);
// Phase damping {diag(1, √(1−γ)), diag(0, √γ)}, built as the phase flip with
// p = (1 − √(1−γ))/2, which has the same effect on every state.
Result<Gate> phase_damping_channel(Qubit q, double gamma);

// General Kraus channels.
// {[[1, 0], [0, √(1−γ)]], [[0, √γ], [0, 0]]}.
Result<Gate> amplitude_damping_channel(Qubit q, double gamma);
// √(1−p)·(amplitude damping) and √p·{[[√(1−γ), 0], [0, 1]], [[0, 0], [√γ, 0]]}:
// relaxation towards |1⟩ with probability p (the excited population of the
// fixed point) and towards |0⟩ otherwise. PennyLane's (γ, p) and Aer's
// (γ, excited_state_population = p); Cirq's GeneralizedAmplitudeDampingChannel
// takes (1 − p, γ).
Result<Gate> generalized_amplitude_damping_channel(Qubit q, double gamma, double p);
// {√(1−p0−p1) I, √p0 |0⟩⟨0|, √p0 |0⟩⟨1|, √p1 |1⟩⟨0|, √p1 |1⟩⟨1|}: reset to
// |0⟩ with probability p0, to |1⟩ with probability p1.
Result<Gate> reset_error_channel(Qubit q, double p0, double p1);
// Relaxation for `time` with times t1 and t2 (0 < t2 ≤ 2·t1) towards the
// thermal state with excited population pe: generalized amplitude damping
// with γ = 1 − e^(−time/t1), p = pe, then a phase flip taking the
// coherences from e^(−time/(2·t1)) to e^(−time/t2).
Result<Gate> thermal_relaxation_channel(Qubit q, double t1, double t2, double time, double pe);
// A channel from Kraus matrices on 1–3 distinct qubits (each 2^k × 2^k,
// row-major), refused unless Σ K†K = I within 1e-5 entry by entry. Lists
// whose operators are all multiples of unitaries become mixtures.
Result<Gate> kraus_channel(std::vector<Qubit> qubits, std::vector<std::vector<Amplitude>> matrices);

// The Kraus operators of a channel (a mixture's scaled by √weight), in
// branch order: the stored form, and the density-matrix reference's input.
std::vector<std::vector<Amplitude>> kraus_operators(const Channel& channel);

}  // namespace vantelo::sim

namespace vantelo::sim {

// A channel read back from storage: a mixture's weights and unitaries, or a
// general channel's Kraus operators (whose bounds are recomputed), with the
// checks of the constructors.
Result<Gate> restore_channel(std::vector<Qubit> qubits, bool mixture, std::vector<double> weights,
                             std::vector<std::vector<Amplitude>> matrices);

}  // namespace vantelo::sim
