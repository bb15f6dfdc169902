// Adjoint differentiation on the two halves of the state: a register's top
// qubit splits ψ (and φ) into halves that the items between two exchanges
// never mix, so one thread runs the lower half of every vector and another
// the upper half, with no traffic between their caches. An item that needs
// the qubit at the top first exchanges it with a qubit further down (chosen
// by Belady's rule: the one used last), a permutation of the amplitudes
// like the executor's gathers. Exchanges keep the qubits below
// kProductBlockBits in place, so each product block of the logical order is
// one block of the physical order, summed in the same order: the partials,
// and so the gradients, are the bits of the plain sweep. An item that needs
// every qubit it could trade with runs on the whole vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pool/function_ref.hpp"
#include "sim/exec/compiled.hpp"
#include "sim/exec/executor.hpp"
#include "sim/exec/schedule.hpp"
#include "sim/gates/gate_catalog.hpp"
#include "sim/result.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::sim {

// One step of a halves plan, in order.
struct HalvesStep {
    // Run: the items [first, last) on each half (their qubits all below the
    // top), through schedule `schedule` of n − 1 qubits.
    // Partial: the block partials of rotation `first` (counted from the
    // end) of `kind` on physical qubit `qubit`; the logical block of each
    // physical one is at block_maps[last + k].
    // Swap: exchange the top qubit with physical qubit `qubit`.
    // Joint: the item `first` on the whole vectors through schedule `schedule`.
    enum class Kind : std::uint8_t { Run, Partial, Swap, Joint };
    Kind kind = Kind::Run;
    RotationKind rotation = RotationKind::Rx;
    Qubit qubit = 0;
    std::size_t first = 0;
    std::size_t last = 0;
    std::size_t schedule = 0;
};

// The steps grouped into stages of two tasks: a run of Run and Partial
// steps done on each half, or one Swap or Joint done on each vector. (A
// Swap done by halves, each copying out what it gives away and then in
// what it gets, moves less between the threads' caches but costs a second
// stage; measured slower on two threads at n = 12–16.)
struct HalvesStage {
    enum class Kind : std::uint8_t { Halves, Vectors };
    Kind kind = Kind::Halves;
    std::size_t first = 0;
    std::size_t last = 0;
};

// A run of items over one vector (the forward run) or two (the sweep, over
// ψ and φ), with the storage it reuses from call to call.
struct HalvesPlan {
    std::uint32_t num_qubits = 0;
    unsigned vectors = 1;
    std::vector<Operation> ops;  // the items' operations, renamed
    std::vector<ExecItem> items;
    std::vector<PreparedSchedule> schedules;
    std::vector<HalvesStep> steps;
    std::vector<HalvesStage> stages;
    std::vector<std::uint32_t> block_maps;
    std::vector<float> rotation_partials;  // rotation (from the end) × block, logical order
    std::vector<float> block_partials;     // one rotation's partials, physical order
    // With Float64 sums the partials are these instead: the products,
    // rotation × block, and ψ's norms where they are taken (see
    // adjoint_products_wide.hpp), rotation / kWideNormEvery × block, both in
    // logical order; one rotation's products then norms, physical order.
    bool wide = false;
    std::vector<double> wide_rotation_partials;
    std::vector<double> wide_rotation_norms;
    std::vector<double> wide_block_partials;
};

// Whether the sweep, and the forward run, of registers of n qubits run in
// halves. They depend on n only, so every pool makes the same steps and
// gets the same bits.
bool halves_for(std::uint32_t n);
bool halves_forward_for(std::uint32_t n);

// The forward run of a plan without measurements or resets from |0…0⟩,
// ending with the qubits back in their logical order.
void build_halves_forward(const CompiledCircuit& circuit, std::span<const float> params,
                          HalvesPlan& plan);

// The backward sweep from logical order: the adjoint items between the
// rotations at plan positions `rotations`, with each rotation's partials.
void build_halves_sweep(const CompiledCircuit& circuit, std::span<const float> params,
                        std::span<const std::size_t> rotations, HalvesPlan& plan);

// A plan over `vectors` (`count` of them, 2^n amplitudes each: 1 for a
// forward run, 2 for a sweep) as stages of a paired run (see
// paired_stages.hpp), so a caller can put several plans and steps of its
// own in one hand-off to the pool. The plan may be built after this is
// made, before its first stage runs. It keeps the light kernels' bound of
// each half of each vector from run to run.
class HalvesRun {
public:
    HalvesRun(HalvesPlan& plan, Amplitude* const* vectors, unsigned count);

    std::size_t stages() const { return plan_.stages.size(); }

    // The stage's task for this side (half or vector); stages in order.
    Status task(std::size_t stage, unsigned side);

private:
    HalvesPlan& plan_;
    Amplitude* vectors_[2];
    int budgets_[2][2] = {{-1, -1}, {-1, -1}};  // [half][vector]
};

}  // namespace vantelo::sim
