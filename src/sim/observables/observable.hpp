// Pauli observables (real-weighted sums of Pauli products) and their
// expectation values in a state vector.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/gates/gate.hpp"
#include "sim/numerics.hpp"
#include "sim/result.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {

// Acting on a basis state whose bit for the qubit is v: X flips the bit;
// Y flips it with factor i (v = 0) or −i (v = 1); Z keeps it with factor
// (−1)^v. These are the matrices of the gates X, Y and Z.
enum class Pauli : std::uint8_t { X = 0, Y = 1, Z = 2 };

struct PauliFactor {
    Qubit qubit;
    Pauli pauli;
};

inline bool operator==(PauliFactor a, PauliFactor b) {
    return a.qubit == b.qubit && a.pauli == b.pauli;
}

struct PauliTerm {
    std::vector<PauliFactor> ops;  // strictly increasing qubit; empty = identity
    float coefficient = 0.0f;

    // Rejects a qubit named twice (the first position with a later equal
    // qubit decides the message), then sorts the factors by qubit. Every
    // coefficient, NaN included, is accepted.
    static Result<PauliTerm> create(std::vector<PauliFactor> ops, float coefficient);
};

// A non-empty list of terms in the order given; never simplified, so equal
// terms stay separate and zero coefficients stay.
struct Observable {
    std::vector<PauliTerm> terms;

    static Result<Observable> create(std::vector<PauliTerm> terms);
    static Result<Observable> single(Pauli pauli, Qubit qubit, float coefficient);
};

// Fails at the first factor (terms in order, factors in order) whose qubit is
// not below num_qubits.
Status check_observable_qubits(const Observable& observable, std::uint32_t num_qubits);

// Σ_terms coefficient · ⟨ψ|P|ψ⟩ in single precision, not divided by the
// norm. Each term's sum runs serially over the basis index b in increasing
// order (see observable.cpp); the state is only read.
Result<float> expectation(const StateVector& state, const Observable& observable);

// The total expectation forms from the terms' sums (term_sums over groups of
// kTermGroup terms), in term order: what a caller that sums the groups on
// threads of its own returns, bit for bit.
float expectation_total(const Observable& observable, std::span<const float> sums);

// expectation() for Float32 sums, the double-precision sums of
// expectation_wide.hpp for Float64, both as a double (the single-precision
// result widened exactly).
Result<double> expectation_in(const StateVector& state, const Observable& observable,
                              SumPrecision sums);

}  // namespace vantelo::sim
