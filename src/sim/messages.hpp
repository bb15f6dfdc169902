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

// Allocations that failed (MemoryError), with their size in bytes.
std::string cannot_allocate_state(std::uint32_t num_qubits);
std::string cannot_allocate_batch(std::uint64_t rows, std::uint64_t bytes);
std::string cannot_allocate_samples(std::uint64_t shots);
std::string cannot_allocate_sampling_table(std::uint32_t num_qubits);

// States loaded from the caller.
std::string state_length(std::uint64_t length);
std::string state_too_wide(std::uint64_t num_qubits);
std::string state_not_normalised();

// Measuring a state of NaN or infinite amplitudes.
std::string state_not_finite();

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
std::string adjoint_needs_unitary_plan();
// Channels: only the trajectory operations run them.
std::string channels_need_trajectories();
std::string adjoint_refuses_channels();
// Density matrices: a register wider than the limit.
std::string density_too_wide(std::uint64_t num_qubits, std::uint64_t limit);
std::string batch_length(std::uint64_t length, std::uint64_t expected, std::uint64_t rows,
                         std::uint64_t cols);
// Classically controlled gates in trajectories.
std::string condition_gate_out_of_range(std::uint64_t gate, std::uint64_t gates);
std::string condition_not_unitary(std::uint64_t gate);
std::string condition_repeated(std::uint64_t gate);
std::string conditions_on_renumbered_circuit();
std::string initial_state_width(std::uint64_t state_qubits, std::uint64_t num_qubits);
std::string condition_reads_later(std::uint64_t gate, std::uint64_t measurement, std::uint64_t measured);

// Pickled objects read back from untrusted bytes.
std::string pickle_truncated();
std::string pickle_not_ours();
std::string pickle_version(std::uint64_t version, std::uint64_t supported);
std::string pickle_invalid_code(const char* what, std::uint64_t code);
std::string pickle_trailing(std::uint64_t count);
std::string pickle_bad_name();

}  // namespace vantelo::sim::msg
