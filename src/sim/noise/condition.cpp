#include "sim/noise/condition.hpp"

#include "sim/messages.hpp"

namespace vantelo::sim {

Status check_conditions(const Circuit& circuit, std::span<const GateCondition> conditions) {
    // measured_before[i]: the measurements among gates 0 … i − 1.
    std::vector<std::size_t> measured_before(circuit.gates.size() + 1, 0);
    for (std::size_t i = 0; i < circuit.gates.size(); ++i)
        measured_before[i + 1] = measured_before[i] + (std::holds_alternative<Measure>(circuit.gates[i]) ? 1 : 0);
    std::vector<bool> taken(circuit.gates.size(), false);
    for (const GateCondition& c : conditions) {
        if (c.gate >= circuit.gates.size())
            return fail(msg::condition_gate_out_of_range(c.gate, circuit.gates.size()));
        if (!std::holds_alternative<Unitary>(circuit.gates[c.gate]))
            return fail(msg::condition_not_unitary(c.gate));
        if (taken[c.gate]) return fail(msg::condition_repeated(c.gate));
        taken[c.gate] = true;
        for (const std::vector<OutcomeIs>& group : c.groups)
            for (const OutcomeIs& test : group)
                if (test.outcome >= measured_before[c.gate])
                    return fail(
                        msg::condition_reads_later(c.gate, test.outcome, measured_before[c.gate]));
    }
    return {};
}

bool condition_holds(const GateCondition& condition, const std::vector<bool>& outcomes) {
    for (const std::vector<OutcomeIs>& group : condition.groups) {
        bool any = false;
        for (const OutcomeIs& test : group) any = any || outcomes[test.outcome] == test.value;
        if (!any) return false;
    }
    return true;
}

}  // namespace vantelo::sim
