// _set_side_by_side_qubits: moves the width up to which trajectories run side
// by side, so that tests and benchmarks reach both paths at any width.
#include "module/binding/binding.hpp"
#include "module/binding/class_defs.hpp"
#include "sim/noise/trajectory.hpp"

namespace vantelo::module {

namespace {

PyObject* set_side_by_side_qubits(std::uint32_t num_qubits) {
    return PyLong_FromUnsignedLong(sim::set_side_by_side_qubits(num_qubits));
}

constexpr ArgSpec k_set_side_by_side_qubits{nullptr, "_set_side_by_side_qubits", Param{"num_qubits"}};

}  // namespace

PyMethodDef set_side_by_side_qubits_def = {
    "_set_side_by_side_qubits",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
        &static_entry<&set_side_by_side_qubits, k_set_side_by_side_qubits>)),
    METH_FASTCALL | METH_KEYWORDS,
    "_set_side_by_side_qubits(num_qubits)\n--\n\nSets the widest register whose trajectories run "
    "side by side, one per worker (fused ones one qubit wider), and returns the previous width; "
    "results do not depend on it.",
};

}  // namespace vantelo::module
