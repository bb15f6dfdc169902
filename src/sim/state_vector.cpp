#include "sim/state_vector.hpp"

#include "sim/fault.hpp"
#include "sim/kernels/kernels.hpp"
#include "sim/messages.hpp"

namespace vantelo::sim {

StateVector StateVector::create(std::uint32_t n) {
    if (n > kMaxQubits) raise_fault(msg::too_many_qubits_in_state_vector());
    StateVector state;
    bool zero = false;
    state.amplitudes = AlignedArray<Amplitude>::uninitialized(std::size_t{1} << n, &zero);
    // Large states arrive as zero pages from the operating system: writing the
    // one nonzero amplitude is all the creation there is, and the first gate's
    // pass faults the pages in (on the pool's workers).
    if (zero)
        state.amplitudes[0] = Amplitude{1.0f, 0.0f};
    else
        fill_zero_state(state.amplitudes.data(), state.amplitudes.size());
    state.num_qubits = n;
    return state;
}

void reset_to_zero_state(StateVector& state) {
    fill_zero_state(state.amplitudes.data(), state.amplitudes.size());
}

Status validate_targets(const StateVector& state, std::span<const Qubit> qubits) {
    if (const Qubit* dup = find_duplicate(qubits)) return fail(msg::duplicate_qubit(*dup));
    for (Qubit q : qubits)
        if (q >= state.num_qubits) return fail(msg::qubit_out_of_range(q, state.num_qubits));
    return {};
}

Status apply_operation(StateVector& state, const Operation& op) {
    VANTELO_TRY(validate_targets(state, op.targets));
    const std::size_t k = op.targets.size();
    if (k == 1 && op.matrix.size() == 4) {
        apply_single_qubit(state.amplitudes.data(), state.num_qubits, op.targets[0],
                           Matrix2{op.matrix[0], op.matrix[1], op.matrix[2], op.matrix[3]});
        return {};
    }
    if (k >= 32) return fail(msg::too_many_qubits_in_operation(k));
    apply_general(state.amplitudes.data(), state.num_qubits, op);
    return {};
}

void apply_single_qubit(Amplitude* amplitudes, std::uint32_t num_qubits, Qubit q, const Matrix2& m) {
    apply_single_qubit_kernel(amplitudes, num_qubits, q, m);
}

}  // namespace vantelo::sim
