// Observable: Pauli products and their sums, built by five static functions
// and immutable afterwards.
#include "module/binding/binding.hpp"
#include "module/binding/class_defs.hpp"
#include "module/pickling.hpp"

namespace vantelo::module {

namespace {

// One (label, qubit) item of pauli_string, converted but not yet interpreted.
struct LabeledQubit {
    std::string label;
    std::uint32_t qubit = 0;
};

}  // namespace

template <>
struct Converter<std::vector<LabeledQubit>> {
    // A sequence (not str) of 2-tuples (str, unsigned integer).
    static bool convert(PyObject* obj, std::vector<LabeledQubit>& out) {
        return for_each_in_sequence(obj, [&](PyObject* item) {
            if (!PyTuple_Check(item)) {
                raise_cannot_convert(item, "PyTuple");
                return false;
            }
            const Py_ssize_t length = PyTuple_GET_SIZE(item);
            if (length != 2) {
                raise_value_error("expected tuple of length 2, but got tuple of length " +
                                  std::to_string(length));
                return false;
            }
            LabeledQubit entry;
            if (!convert_text(PyTuple_GET_ITEM(item, 0), entry.label) ||
                !convert_u32(PyTuple_GET_ITEM(item, 1), entry.qubit))
                return false;
            out.push_back(std::move(entry));
            return true;
        });
    }
};

namespace {

using Coefficient = Or<float, 1.0f>;

PyObject* wrap(sim::Result<sim::Observable> observable) {
    if (!observable) return raise_core_error(observable.error());
    return new_instance(std::move(observable).value());
}

template <sim::Pauli P>
PyObject* single(std::uint32_t qubit, Coefficient coefficient) {
    return wrap(sim::Observable::single(P, qubit, coefficient.value));
}

// Exactly one byte: X, Y or Z in either case.
std::optional<sim::Pauli> pauli_from_label(const std::string& label) {
    if (label.size() != 1) return std::nullopt;
    switch (label[0]) {
        case 'X': case 'x': return sim::Pauli::X;
        case 'Y': case 'y': return sim::Pauli::Y;
        case 'Z': case 'z': return sim::Pauli::Z;
        default: return std::nullopt;
    }
}

PyObject* pauli_string(std::vector<LabeledQubit> ops, Coefficient coefficient) {
    std::vector<sim::PauliFactor> factors;
    factors.reserve(ops.size());
    for (const LabeledQubit& op : ops) {
        const auto pauli = pauli_from_label(op.label);
        if (!pauli)
            return raise_value_error("unsupported Pauli label '" + op.label + "'; expected X, Y, or Z");
        factors.push_back({op.qubit, *pauli});
    }
    auto term = sim::PauliTerm::create(std::move(factors), coefficient.value);
    if (!term) return raise_core_error(term.error());
    std::vector<sim::PauliTerm> terms;
    terms.push_back(std::move(term).value());
    return wrap(sim::Observable::create(std::move(terms)));
}

PyObject* hamiltonian(ListArg list) {
    std::vector<sim::PauliTerm> terms;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.list); ++i) {
        Shared<sim::Observable> item;
        if (!item.acquire(PyList_GET_ITEM(list.list, i))) {
            PyErr_Clear();
            return raise_type_error("hamiltonian terms must all be vantelo.Observable instances");
        }
        terms.insert(terms.end(), item->terms.begin(), item->terms.end());
    }
    return wrap(sim::Observable::create(std::move(terms)));
}

constexpr Param kQubit{"qubit"}, kCoefficient{"coefficient", "1.0"};
constexpr ArgSpec k_pauli_x{"Observable", "pauli_x", kQubit, kCoefficient};
constexpr ArgSpec k_pauli_y{"Observable", "pauli_y", kQubit, kCoefficient};
constexpr ArgSpec k_pauli_z{"Observable", "pauli_z", kQubit, kCoefficient};
constexpr ArgSpec k_pauli_string{"Observable", "pauli_string", Param{"ops"}, kCoefficient};
constexpr ArgSpec k_hamiltonian{"Observable", "hamiltonian", Param{"terms"}};
constexpr ArgSpec k_deepcopy{"Observable", "__deepcopy__", Param{"memo"}};

const MemberDef kMembers[] = {
    static_method<&single<sim::Pauli::X>, k_pauli_x>("pauli_x"),
    static_method<&single<sim::Pauli::Y>, k_pauli_y>("pauli_y"),
    static_method<&single<sim::Pauli::Z>, k_pauli_z>("pauli_z"),
    static_method<&pauli_string, k_pauli_string>("pauli_string"),
    static_method<&hamiltonian, k_hamiltonian>("hamiltonian"),
    method_noargs<&reduce<sim::Observable>>("__reduce__", kReduceDoc),
    method_noargs<&copy_of<sim::Observable>>("__copy__", kCopyDoc),
    method<&deep_copy_of<sim::Observable>, k_deepcopy>("__deepcopy__", kCopyDoc),
};

}  // namespace

const ClassDef& observable_class() {
    static const ClassDef def = class_def<sim::Observable>(
        "Observable",
        "Pauli observables and Hamiltonians for expectation-value workflows.",
        kMembers);
    return def;
}

}  // namespace vantelo::module
