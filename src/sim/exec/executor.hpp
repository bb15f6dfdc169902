// The cache-blocked executor under every run of a one-off circuit or a
// compiled plan. Every amplitude sees exactly the arithmetic of the
// gate-by-gate paths (run_circuit_per_gate, run_steps_per_gate, kept as the
// references): the
// executor only changes the order in which memory is visited, and moves
// qubits between bit positions by exact permutations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sim/exec/schedule.hpp"
#include "sim/measure/rng.hpp"
#include "sim/result.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {

// The item of a unitary operation: Single for one target (the one-qubit
// kernel, as apply_operation picks it), General otherwise.
ExecItem unitary_item(const Operation& op);

// The checks the gate-by-gate path makes before an item touches the state:
// its qubits (duplicates, then range), then an operation's width.
Status check_item(const ExecItem& item, const StateVector& state);

// Runs validated items on the state (every qubit below its width). Measurement outcomes are appended to
// `outcomes` in item order when it is not null; rng may be null when no item
// measures or resets. The block width comes from block_qubits_for.
//
// zero_qubits: qubits the caller knows to be |0⟩, every amplitude with one
// of their bits set being zero (every qubit of a fresh |0…0⟩, say). Such a
// qubit stays known zero until an item acts on it, and a pass skips the
// blocks numbered by one: they stay zero. The values are those of a run
// that visits every block, up to the sign of zero.
Status run_items(std::span<const ExecItem> items, StateVector& state, Rng* rng,
                 std::vector<bool>* outcomes, std::size_t zero_qubits = 0);

// The qubits still known zero after run_items(items, …, zero_qubits) ran:
// those no item acted on, or none when one measured, reset or held a NaN or
// an infinity.
std::size_t zero_qubits_after(std::span<const ExecItem> items, std::size_t zero_qubits);

// The same with a given schedule (made for this state's width).
Status run_schedule(const Schedule& schedule, std::span<const ExecItem> items, StateVector& state,
                    Rng* rng, std::vector<bool>* outcomes, std::size_t zero_qubits = 0);

// The same for a schedule without measurements or resets on each of
// `arrays`, registers of 2^n amplitudes that need not be whole states (the
// halves of larger registers, say); each segment is prepared once for all.
// light_budgets[v] carries the light kernels' bound of arrays[v] between
// runs (see light.hpp): the units of growth left since a check proved every
// amplitude finite and small, < 0 when no check holds. Start it at −1, and
// reset it when anything else writes the array.
Status run_unitary_schedule(const Schedule& schedule, std::span<const ExecItem> items,
                            std::span<Amplitude* const> arrays, std::uint32_t n,
                            std::span<int> light_budgets);

// A unitary schedule with its segments' kernels prepared once, for runs
// that apply the same items to several arrays (both vectors of a sweep, or
// the halves of each). It borrows the items, which must stay put and
// unchanged while it lives.
class PreparedSchedule {
public:
    PreparedSchedule();
    PreparedSchedule(const Schedule& schedule, std::span<const ExecItem> items, std::uint32_t n);
    ~PreparedSchedule();
    PreparedSchedule(PreparedSchedule&&) noexcept;
    PreparedSchedule& operator=(PreparedSchedule&&) noexcept;

private:
    friend Status run_prepared(const PreparedSchedule& schedule, std::span<Amplitude* const> arrays,
                               std::span<int> light_budgets);
    struct Steps;
    std::uint32_t n_ = 0;
    std::unique_ptr<Steps> steps_;
};

// run_unitary_schedule with a prepared schedule (arrays of its n qubits).
Status run_prepared(const PreparedSchedule& schedule, std::span<Amplitude* const> arrays,
                    std::span<int> light_budgets);

// Routes run_circuit and run_steps to their gate-by-gate references while
// set, so tests can compare whole computations (gradients, batches) with
// the executor's.
void force_per_gate_path_for_testing(bool on);
bool per_gate_path_forced();

// The passes over the state a run of these items on n qubits would make
// with the current pool.
std::size_t planned_passes(std::span<const ExecItem> items, std::uint32_t n);

}  // namespace vantelo::sim
