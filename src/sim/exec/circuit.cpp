#include "sim/exec/circuit.hpp"

#include <algorithm>
#include <type_traits>

#include "sim/gates/fusion.hpp"
#include "sim/measure/measure.hpp"
#include "sim/stop.hpp"

namespace vantelo::sim {

Circuit Circuit::create(std::vector<Gate> gates) {
    const auto one_qubit = std::count_if(gates.begin(), gates.end(), is_single_qubit_unitary);
    if (one_qubit > kFusionThreshold) return Circuit{fuse_gates(gates)};
    return Circuit{std::move(gates)};
}

Result<MeasurementRecord> run_circuit(const Circuit& circuit, StateVector& state) {
    return run_circuit(circuit, state, thread_rng());
}

Result<MeasurementRecord> run_circuit(const Circuit& circuit, StateVector& state, Rng& rng) {
    MeasurementRecord record;
    for (const Gate& gate : circuit.gates) {
        if (stop_requested()) return stopped_error();
        Status status = std::visit(
            [&](const auto& item) -> Status {
                using T = std::decay_t<decltype(item)>;
                if constexpr (std::is_same_v<T, Unitary>) {
                    return apply_operation(state, item.op);
                } else if constexpr (std::is_same_v<T, Measure>) {
                    VANTELO_ASSIGN_OR_RETURN(const bool outcome,
                                             measure_qubit(state, item.qubit, rng));
                    record.push_back({item.qubit, outcome});
                    return {};
                } else if constexpr (std::is_same_v<T, Reset>) {
                    return reset_qubit(state, item.qubit, rng);
                } else {
                    return {};
                }
            },
            gate);
        if (!status) return std::move(status).error();
    }
    return record;
}

}  // namespace vantelo::sim
