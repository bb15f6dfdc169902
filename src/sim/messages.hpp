// Every user-facing message of the core, built in one place. Numbers are
// unsigned decimal without separators.
#pragma once

#include <cstdint>
#include <string>

namespace vantelo::sim::msg {

// Operations and state vectors.
std::string duplicate_qubit(std::uint64_t qubit);
std::string qubit_out_of_range(std::uint64_t qubit, std::uint64_t num_qubits);
std::string too_many_qubits_in_operation(std::uint64_t count);
std::string matrix_shape_mismatch(std::uint64_t expected, std::uint64_t targets, std::uint64_t got);
std::string controlled_matrix_shape_mismatch(std::uint64_t expected, std::uint64_t targets,
                                             std::uint64_t got);
std::string not_unitary();
std::string no_targets();
std::string no_control_qubits();
std::string no_controlled_target_qubits();
std::string too_many_qubits_in_state_vector();  // internal fault

// States loaded from the caller.
std::string state_length(std::uint64_t length);
std::string state_too_wide(std::uint64_t num_qubits);
std::string state_not_normalised();

// Randomness and sampling (internal faults).
std::string seed_failed(const std::string& reason);
std::string sampling_failed(const std::string& kind);

// Observables.
std::string empty_observable();
std::string observable_qubit_out_of_range(std::uint64_t qubit, std::uint64_t num_qubits);

// Specifications and compiled execution.
std::string spec_needs_qubits();
std::string parameter_slot_missing(std::uint64_t slot);
std::string parameter_length(std::uint64_t length, std::uint64_t expected);
std::string state_width_mismatch(std::uint64_t state_qubits, std::uint64_t circuit_qubits);
std::string batch_too_large();
std::string batch_length(std::uint64_t length, std::uint64_t expected, std::uint64_t rows,
                         std::uint64_t cols);

}  // namespace vantelo::sim::msg
