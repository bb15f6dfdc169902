#include "sim/exec/state_load.hpp"

#include <bit>
#include <cmath>
#include <type_traits>

#include "sim/messages.hpp"

namespace vantelo::sim {

Result<StateVector> load_state(std::span<const Amplitude> amplitudes) {
    const std::size_t length = amplitudes.size();
    if (length == 0 || !std::has_single_bit(length)) return fail(msg::state_length(length));
    const auto num_qubits = static_cast<std::uint64_t>(std::countr_zero(length));
    if (num_qubits > kMaxQubits) return fail(msg::state_too_wide(num_qubits));
    // The check only guards against unnormalised input, so it sums in double
    // precision, serially, and never touches the loaded amplitudes.
    double squared = 0.0;
    for (const Amplitude a : amplitudes) {
        squared += static_cast<double>(a.re) * a.re;
        squared += static_cast<double>(a.im) * a.im;
    }
    const double norm = std::sqrt(squared);
    if (!(std::abs(norm - 1.0) <= kLoadNormTolerance)) return fail(msg::state_not_normalised());
    StateVector state;
    state.amplitudes = AlignedArray<Amplitude>::copy_of(amplitudes);
    state.num_qubits = static_cast<std::uint32_t>(num_qubits);
    if (std::abs(norm - 1.0) > kLoadExactTolerance) {
        for (Amplitude& a : state.amplitudes)
            a = {static_cast<float>(a.re / norm), static_cast<float>(a.im / norm)};
    }
    return state;
}

Status check_circuit_width(const Circuit& circuit, std::uint32_t num_qubits) {
    for (const Gate& gate : circuit.gates) {
        Status status = std::visit(
            [&](const auto& item) -> Status {
                using T = std::decay_t<decltype(item)>;
                if constexpr (std::is_same_v<T, Unitary>) {
                    // Controls before targets: the order in which applying
                    // the operation would name them.
                    for (const Qubit q : item.op.controls)
                        if (q >= num_qubits) return fail(msg::qubit_out_of_range(q, num_qubits));
                    for (const Qubit q : item.op.targets)
                        if (q >= num_qubits) return fail(msg::qubit_out_of_range(q, num_qubits));
                } else if constexpr (std::is_same_v<T, Measure> || std::is_same_v<T, Reset>) {
                    if (item.qubit >= num_qubits)
                        return fail(msg::qubit_out_of_range(item.qubit, num_qubits));
                }
                return {};
            },
            gate);
        if (!status) return status;
    }
    return {};
}

}  // namespace vantelo::sim
