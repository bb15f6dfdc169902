#include "sim/exec/circuit.hpp"

#include <algorithm>
#include <optional>
#include <type_traits>

#include "sim/exec/executor.hpp"
#include "sim/exec/reorder.hpp"
#include "sim/gates/block_fusion.hpp"
#include "sim/gates/fusion.hpp"
#include "sim/measure/measure.hpp"
#include "sim/messages.hpp"
#include "sim/stop.hpp"

namespace vantelo::sim {

namespace {

// The executor's items for the gates before the first one that fails its
// checks against this state, and that failure, if any.
std::optional<Error> collect_items(const Circuit& circuit, const StateVector& state,
                                   std::vector<ExecItem>& items) {
    items.reserve(circuit.gates.size());
    for (const Gate& gate : circuit.gates) {
        Status status = std::visit(
            [&](const auto& g) -> Status {
                using T = std::decay_t<decltype(g)>;
                ExecItem item;
                if constexpr (std::is_same_v<T, Unitary>) {
                    item = unitary_item(g.op);
                    item.fused = circuit.numerics.fusion != 0;
                } else if constexpr (std::is_same_v<T, Noise>) {
                    return fail(msg::channels_need_trajectories());
                } else if constexpr (std::is_same_v<T, Measure> || std::is_same_v<T, Reset>) {
                    item.kind = std::is_same_v<T, Measure> ? ExecItem::Kind::Measure : ExecItem::Kind::Reset;
                    item.qubit = g.qubit;
                    item.sums = circuit.numerics.sums;
                } else {
                    return {};
                }
                VANTELO_TRY(check_item(item, state));
                items.push_back(item);
                return {};
            },
            gate);
        if (!status) return std::move(status).error();
    }
    return std::nullopt;
}

}  // namespace

Circuit Circuit::create(std::vector<Gate> gates, Numerics numerics) {
    if (numerics.fusion != 0) {
        // A circuit with channels runs only as trajectories, which fuse each
        // stretch together with the branches it drew, so its gates stay as
        // given.
        if (std::any_of(gates.begin(), gates.end(), [](const Gate& g) { return std::holds_alternative<Noise>(g); }))
            return Circuit{std::move(gates), numerics};
        std::vector<Gate> fused = reorder_for_passes(fuse_blocks(gates, numerics.fusion));
        return Circuit{std::move(fused), numerics, std::move(gates)};
    }
    const auto one_qubit = std::count_if(gates.begin(), gates.end(), is_single_qubit_unitary);
    if (one_qubit > kFusionThreshold) {
        std::vector<Gate> fused = fuse_gates(gates);
        return Circuit{std::move(fused), numerics, std::move(gates)};
    }
    return Circuit{std::move(gates), numerics};
}

Result<MeasurementRecord> run_circuit(const Circuit& circuit, StateVector& state) {
    return run_circuit(circuit, state, thread_rng());
}

Result<MeasurementRecord> run_circuit(const Circuit& circuit, StateVector& state, Rng& rng,
                                      std::size_t zero_qubits) {
    if (per_gate_path_forced()) return run_circuit_per_gate(circuit, state, rng);
    std::vector<ExecItem> items;
    std::optional<Error> failure = collect_items(circuit, state, items);
    std::vector<bool> outcomes;
    VANTELO_TRY(run_items(items, state, &rng, &outcomes, zero_qubits));
    if (failure) return std::move(*failure);
    MeasurementRecord record;
    record.reserve(outcomes.size());
    std::size_t next = 0;
    for (const ExecItem& item : items)
        if (item.kind == ExecItem::Kind::Measure) record.push_back({item.qubit, outcomes[next++]});
    return record;
}

std::size_t circuit_passes(const Circuit& circuit, std::uint32_t num_qubits) {
    StateVector shape;
    shape.num_qubits = num_qubits;
    std::vector<ExecItem> items;
    collect_items(circuit, shape, items);
    return planned_passes(items, num_qubits);
}

Result<MeasurementRecord> run_circuit_per_gate(const Circuit& circuit, StateVector& state, Rng& rng) {
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
                                             measure_qubit(state, item.qubit, rng, circuit.numerics.sums));
                    record.push_back({item.qubit, outcome});
                    return {};
                } else if constexpr (std::is_same_v<T, Reset>) {
                    return reset_qubit(state, item.qubit, rng, circuit.numerics.sums);
                } else if constexpr (std::is_same_v<T, Noise>) {
                    return fail(msg::channels_need_trajectories());
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
