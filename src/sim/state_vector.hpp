// The register every simulation runs on: 2^n amplitudes, entry i the
// amplitude of basis state i. Qubit q is bit q of i (qubit 0 is the least
// significant bit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "sim/aligned_array.hpp"
#include "sim/amplitude.hpp"
#include "sim/gates/gate.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/result.hpp"

namespace vantelo::sim {

inline constexpr std::uint32_t kMaxQubits = 31;

struct StateVector {
    AlignedArray<Amplitude> amplitudes;
    std::uint32_t num_qubits = 0;

    // |0…0⟩ on n qubits. n ≥ 32 is an internal fault; an allocation that
    // fails throws AllocationFailure (a std::bad_alloc naming the size).
    static StateVector create(std::uint32_t n);

    std::size_t size() const { return amplitudes.size(); }
};

// The mask of every qubit of n: on a fresh |0…0⟩, each is known to be |0⟩
// (the zero_qubits of run_items).
inline std::size_t all_qubits(std::uint32_t n) { return (std::size_t{1} << n) - 1; }

// Overwrites the amplitudes with |0…0⟩ without reallocating.
void reset_to_zero_state(StateVector& state);

// Duplicates first (by the first position with a later equal entry), then the
// range of each qubit in list order.
Status validate_targets(const StateVector& state, std::span<const Qubit> qubits);

// The checks apply_operation makes, in its order: the qubits (controls, then
// targets) in range and distinct, fewer than 32 of them.
Status validate_operation(const StateVector& state, const Operation& op);

// Applies op to the state; on error the state is unchanged.
Status apply_operation(StateVector& state, const Operation& op);

// Applies m (row-major m00, m01, m10, m11) to qubit q < num_qubits of a
// 2^num_qubits amplitude array, in place, on the worker pool. No validation.
void apply_single_qubit(Amplitude* amplitudes, std::uint32_t num_qubits, Qubit q, const Matrix2& m);

}  // namespace vantelo::sim
