#include "sim/messages.hpp"

#include <cstdio>
#include <iterator>

namespace vantelo::sim::msg {

namespace {
std::string num(std::uint64_t v) { return std::to_string(v); }
}  // namespace

std::string duplicate_qubit(std::uint64_t qubit) { return "duplicate qubit index: " + num(qubit); }

std::string qubit_out_of_range(std::uint64_t qubit, std::uint64_t num_qubits) {
    return "qubit index " + num(qubit) + " is out of range for " + num(num_qubits) + " qubits";
}

std::string too_many_qubits_in_operation(std::uint64_t count) {
    return "too many qubits in operation: " + num(count);
}

std::string matrix_shape_mismatch(std::uint64_t expected, std::uint64_t targets, std::uint64_t got) {
    return "matrix shape mismatch: expected " + num(expected) + " complex values for " +
           num(targets) + " targets, got " + num(got);
}

std::string controlled_matrix_shape_mismatch(std::uint64_t expected, std::uint64_t targets,
                                             std::uint64_t got) {
    return "matrix shape mismatch: expected " + num(expected) + " complex values for " +
           num(targets) + " target qubits, got " + num(got);
}

std::string not_unitary() { return "matrix must be unitary within tolerance 1e-3"; }
std::string no_targets() { return "unitary operation must target at least one qubit"; }
std::string no_control_qubits() { return "controlled unitary requires at least one control qubit"; }
std::string no_controlled_target_qubits() {
    return "controlled unitary requires at least one target qubit";
}
std::string too_many_qubits_in_state_vector() { return "too many qubits in state vector"; }

namespace {
// One decimal in the largest binary unit that keeps the number at least 1.
std::string size_text(std::uint64_t bytes) {
    static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    if (unit == 0) return num(bytes) + " bytes";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}
}  // namespace

std::string cannot_allocate_state(std::uint32_t num_qubits) {
    const std::uint64_t bytes = (std::uint64_t{1} << num_qubits) * 8;
    return "cannot allocate a state vector of " + num(num_qubits) + " qubits (" + size_text(bytes) +
           ")";
}
std::string cannot_allocate_batch(std::uint64_t rows, std::uint64_t bytes) {
    return "cannot allocate the results of a batch of " + num(rows) + " rows (" + size_text(bytes) +
           ")";
}
std::string cannot_allocate_samples(std::uint64_t shots) {
    return "cannot allocate " + num(shots) + " samples (" + size_text(shots * 8) + ")";
}
std::string cannot_allocate_sampling_table(std::uint32_t num_qubits) {
    const std::uint64_t bytes = ((std::uint64_t{1} << num_qubits) - 1) * 8;
    return "cannot allocate the sampling table of " + num(num_qubits) + " qubits (" +
           size_text(bytes) + ")";
}
std::string state_not_finite() { return "cannot measure a state whose amplitudes are not finite"; }
std::string state_length(std::uint64_t length) {
    return "state vector length " + num(length) + " is not a power of two";
}
std::string state_too_wide(std::uint64_t num_qubits) {
    return "state vector has " + num(num_qubits) + " qubits, at most 31 are supported";
}
std::string state_not_normalised() {
    return "state vector must be normalised: its norm differs from 1 by more than 1e-2";
}

std::string seed_failed(const std::string& reason) {
    return "failed to seed the random generator: " + reason;
}
std::string sampling_failed(const std::string& kind) { return "failed to sample: " + kind; }

std::string empty_observable() { return "observable must contain at least one term"; }
std::string observable_qubit_out_of_range(std::uint64_t qubit, std::uint64_t num_qubits) {
    return "observable references qubit " + num(qubit) + " but state vector only has " +
           num(num_qubits) + " qubits";
}

std::string spec_needs_qubits() { return "compiled circuits must have at least one qubit"; }
std::string parameter_slot_missing(std::uint64_t slot) {
    return "parameter slot " + num(slot) + " does not exist in this circuit spec";
}
std::string channels_need_trajectories() {
    return "this circuit has channels: run it as trajectories (a seeded run, sample, or the "
           "trajectory expectation)";
}

std::string adjoint_refuses_channels() {
    return "adjoint differentiation needs a circuit without channels";
}

std::string density_too_wide(std::uint64_t num_qubits, std::uint64_t limit) {
    return "a density matrix of " + num(num_qubits) + " qubits is too large: the limit is " + num(limit) +
           " qubits (4^n entries of 8 bytes)";
}

std::string adjoint_needs_unitary_plan() {
    return "adjoint differentiation needs a circuit without measurements or resets";
}

std::string parameter_length(std::uint64_t length, std::uint64_t expected) {
    return "parameter vector has length " + num(length) + ", expected " + num(expected);
}
std::string state_width_mismatch(std::uint64_t state_qubits, std::uint64_t circuit_qubits) {
    return "state vector has " + num(state_qubits) + " qubits, compiled circuit expects " +
           num(circuit_qubits);
}
std::string batch_too_large() { return "parameter batch is too large"; }
std::string batch_length(std::uint64_t length, std::uint64_t expected, std::uint64_t rows,
                         std::uint64_t cols) {
    return "parameter batch contains " + num(length) + " values, expected " + num(expected) +
           " for shape (" + num(rows) + ", " + num(cols) + ")";
}

std::string pickle_truncated() { return "pickled vantelo data is truncated"; }
std::string pickle_not_ours() { return "data is not a pickled vantelo object"; }
std::string pickle_version(std::uint64_t version, std::uint64_t supported) {
    return "pickled vantelo data has format version " + num(version) +
           "; this build reads versions 1 to " + num(supported);
}
std::string pickle_invalid_code(const char* what, std::uint64_t code) {
    return std::string("pickled vantelo data has an invalid ") + what + " code " + num(code);
}
std::string pickle_trailing(std::uint64_t count) {
    return "pickled vantelo data has " + num(count) + " unexpected trailing bytes";
}
std::string condition_gate_out_of_range(std::uint64_t gate, std::uint64_t gates) {
    return "condition on gate " + num(gate) + ", but the circuit has " + num(gates) + " gates";
}
std::string conditions_on_renumbered_circuit() {
    return "conditions name gates by their place in the circuit's list, but this circuit was unpickled from "
           "a form that merged its gates; build it again from its gates";
}
std::string condition_not_unitary(std::uint64_t gate) {
    return "condition on gate " + num(gate) + ", which is not a unitary gate; only unitary gates can be "
           "classically controlled";
}
std::string condition_repeated(std::uint64_t gate) {
    return "gate " + num(gate) + " has more than one condition";
}
std::string initial_state_width(std::uint64_t state_qubits, std::uint64_t num_qubits) {
    return "state has " + num(state_qubits) + " qubits, but num_qubits is " + num(num_qubits);
}
std::string condition_reads_later(std::uint64_t gate, std::uint64_t measurement, std::uint64_t measured) {
    return "the condition on gate " + num(gate) + " reads measurement " + num(measurement) + ", but only " +
           num(measured) + " measurements come before it";
}
std::string pickle_bad_name() { return "pickled vantelo data has a parameter name that is not UTF-8"; }

}  // namespace vantelo::sim::msg
