// Parameterized circuit specifications and the compiled plans made from them.
// A specification holds fixed gates and single-qubit rotations whose angles
// are read from parameter slots at run time; compiling fuses every maximal
// run of fixed gates once and keeps the rotations in place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sim/gates/gate.hpp"
#include "sim/numerics.hpp"
#include "sim/result.hpp"

namespace vantelo::sim {

// Rotations whose matrices are built from a parameter value when a plan runs.
enum class RotationKind : std::uint8_t { Rx = 0, Ry = 1, Rz = 2, P = 3 };

// A gate that runs as it is (unitary, measurement, reset or barrier).
struct FixedOp {
    Gate gate;
};

// A rotation on `target` by entry `slot` of the parameter vector.
struct ParamOp {
    Qubit target = 0;
    std::uint32_t slot = 0;
    RotationKind kind = RotationKind::Rx;
};

// Variants in this order: Fixed, Param.
using CompiledOp = std::variant<FixedOp, ParamOp>;

struct ParameterizedCircuitSpec {
    // One entry per registered parameter (its optional display name); a
    // parameter's index is its position. Only ever grows.
    std::vector<std::optional<std::string>> parameters;
    // Every qubit named here is below num_qubits; every slot names a
    // registered parameter.
    std::vector<CompiledOp> items;
    std::uint32_t num_qubits = 0;

    // An empty specification; a width of 0 is refused. There is no upper
    // bound here: state creation enforces it when a plan runs.
    static Result<ParameterizedCircuitSpec> create(std::uint32_t num_qubits);
};

// The execution plan: immutable once compiled and shared read-only by every
// evaluation, also across threads.
struct CompiledCircuit {
    std::vector<CompiledOp> ops;
    std::uint32_t num_qubits = 0;
    // The required length of every parameter vector: the parameters
    // registered when the plan was compiled, used or not.
    std::uint32_t parameter_count = 0;
    Numerics numerics;
};

// Appends a parameter and returns its index.
std::uint32_t register_parameter(ParameterizedCircuitSpec& spec, std::optional<std::string> name);

// Fails at the first qubit of the gate (targets in order) that is not below
// num_qubits.
Status check_gate_qubits(const Gate& gate, std::uint32_t num_qubits);

// Checks the gate's qubits against the width (targets in order); on failure
// the specification is unchanged.
Status add_fixed_gate(ParameterizedCircuitSpec& spec, Gate gate);

// Checks the target first, then the slot; on failure the specification is
// unchanged.
Status add_param_single(ParameterizedCircuitSpec& spec, RotationKind kind, Qubit target,
                        std::uint32_t slot);

// Fuses each maximal run of fixed items (never across a rotation) and copies
// the rotations; with numerics.fusion set and no channels, then reorders the
// plan's steps, rotations included (reorder_for_passes). Leaves the
// specification unchanged.
CompiledCircuit compile(const ParameterizedCircuitSpec& spec, Numerics numerics = {});

}  // namespace vantelo::sim
