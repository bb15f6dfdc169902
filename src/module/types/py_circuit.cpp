// Circuit: the one-off style. Built once from a list of Gate objects (copied),
// run any number of times on fresh registers.
#include <array>

#include "module/binding/binding.hpp"
#include "module/binding/class_defs.hpp"
#include "module/pickling.hpp"
#include "module/types/numerics_args.hpp"
#include "module/numpy.hpp"
#include "module/binding/ref.hpp"
#include "module/binding/gil.hpp"
#include "module/results.hpp"
#include "sim/density/density_matrix.hpp"
#include "sim/exec/executor.hpp"
#include "sim/exec/state_load.hpp"
#include "sim/measure/measure.hpp"
#include "sim/messages.hpp"
#include "sim/stop.hpp"

#include "sim/measure/rng.hpp"
#include "sim/noise/trajectory.hpp"

namespace vantelo::module {

namespace {

PyObject* circuit_new(ListArg gates, FusionArg fusion, SumsArg sums) {
    std::vector<sim::Gate> copies;
    copies.reserve(static_cast<std::size_t>(PyList_GET_SIZE(gates.list)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gates.list); ++i) {
        Shared<sim::Gate> gate;
        if (!gate.acquire(PyList_GET_ITEM(gates.list, i))) {
            PyErr_Clear();
            return raise_type_error("all circuit items must be vantelo.Gate instances");
        }
        copies.push_back(*gate);
    }
    return new_instance(sim::Circuit::create(std::move(copies), numerics_from(fusion, sums)));
}

// Runs the circuit on a fresh |0…0⟩; on a core error sets ValueError.
// A seeded generator never reseeds from the operating system, so the same seed
// gives the same measurement outcomes and samples on every call.
sim::Rng seeded_rng(std::uint64_t seed) {
    std::array<std::uint8_t, sim::Rng::kSeedBytes> key{};
    for (std::size_t i = 0; i < 8; ++i) key[i] = static_cast<std::uint8_t>(seed >> (8 * i));
    return sim::Rng(key);
}

// A circuit with channels runs one trajectory of a fresh random seed (the
// seeded forms are run_trajectory and sample_trajectories); one without runs
// as it always did. A fresh state tells the executor that all its qubits are
// |0⟩.
sim::Result<sim::MeasurementRecord> run_any(const sim::Circuit& circuit, sim::StateVector& state,
                                            sim::Rng& rng, bool fresh) {
    if (sim::has_channels(circuit))
        return sim::run_circuit_trajectory(circuit, state, sim::thread_rng().next_u64(), 0);
    return sim::run_circuit(circuit, state, rng, fresh ? sim::all_qubits(state.num_qubits) : 0);
}

std::optional<sim::StateVector> run_fresh(const sim::Circuit& circuit, std::uint32_t num_qubits,
                                          sim::MeasurementRecord* record) {
    sim::StateVector state = sim::StateVector::create(num_qubits);
    auto result = run_any(circuit, state, sim::thread_rng(), true);
    if (!result) {
        raise_core_error(result.error());
        return std::nullopt;
    }
    if (record != nullptr) *record = std::move(result).value();
    return state;
}

// Runs the circuit on a copy of the given amplitudes; on a bad state or a
// circuit wider than it, sets ValueError before any gate runs.
std::optional<sim::StateVector> run_loaded(const sim::Circuit& circuit, PyObject* given,
                                           sim::MeasurementRecord* record, sim::Rng& rng) {
    Ref holder;
    std::span<const sim::Amplitude> amplitudes;
    if (!amplitudes_from_python(given, holder, amplitudes)) return std::nullopt;
    auto state = sim::load_state(amplitudes);
    if (!state) {
        raise_core_error(state.error());
        return std::nullopt;
    }
    holder = Ref{};
    sim::Status fits = sim::check_circuit_width(circuit, state->num_qubits);
    if (!fits) {
        raise_core_error(fits.error());
        return std::nullopt;
    }
    auto result = run_any(circuit, *state, rng, false);
    if (!result) {
        raise_core_error(result.error());
        return std::nullopt;
    }
    if (record != nullptr) *record = std::move(result).value();
    return std::move(state).value();
}

PyObject* record_list(const sim::MeasurementRecord& record) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(record.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < record.size(); ++i) {
        PyObject* pair = Py_BuildValue("(kk)", static_cast<unsigned long>(record[i].qubit),
                                       static_cast<unsigned long>(record[i].outcome ? 1 : 0));
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

PyObject* state_and_record(sim::StateVector state, const sim::MeasurementRecord& record) {
    Ref array = Ref::steal(adopt_amplitudes(std::move(state.amplitudes)));
    if (!array) return nullptr;
    Ref list = Ref::steal(record_list(record));
    if (!list) return nullptr;
    return PyTuple_Pack(2, array.get(), list.get());
}

PyObject* run(const sim::Circuit& circuit, std::uint32_t num_qubits) {
    auto state = run_fresh(circuit, num_qubits, nullptr);
    if (!state) return nullptr;
    return adopt_amplitudes(std::move(state->amplitudes));
}

PyObject* run_with_measurements(const sim::Circuit& circuit, std::uint32_t num_qubits) {
    sim::MeasurementRecord record;
    auto state = run_fresh(circuit, num_qubits, &record);
    if (!state) return nullptr;
    return state_and_record(std::move(*state), record);
}

PyObject* run_from(const sim::Circuit& circuit, AnyArg given) {
    auto state = run_loaded(circuit, given.object, nullptr, sim::thread_rng());
    if (!state) return nullptr;
    return adopt_amplitudes(std::move(state->amplitudes));
}

PyObject* run_with_measurements_from(const sim::Circuit& circuit, AnyArg given) {
    sim::MeasurementRecord record;
    auto state = run_loaded(circuit, given.object, &record, sim::thread_rng());
    if (!state) return nullptr;
    return state_and_record(std::move(*state), record);
}

// One trajectory per shot.
std::optional<std::vector<std::uint64_t>> sample_noisy(const sim::Circuit& circuit, std::uint32_t num_qubits,
                                                       std::uint64_t shots, std::optional<std::uint64_t> seed,
                                                       const sim::StateVector* initial) {
    if (initial == nullptr && num_qubits > sim::kMaxQubits) {
        // The width checks of a fresh state, through the core's own path.
        sim::StateVector probe = sim::StateVector::create(num_qubits);
    }
    auto samples = sim::sample_trajectories(circuit, num_qubits, shots,
                                            seed ? *seed : sim::thread_rng().next_u64(), initial);
    if (!samples) {
        raise_core_error(samples.error());
        return std::nullopt;
    }
    return std::move(samples).value();
}

// One test of a condition's group: a measurement's index (its outcome is 1)
// or an (index, value) tuple, value 0 or 1.
bool convert_outcome_test(PyObject* obj, std::vector<sim::OutcomeIs>& group) {
    if (!PyTuple_Check(obj)) {
        std::uint32_t k = 0;
        if (!convert_u32(obj, k)) return false;
        group.emplace_back(k);
        return true;
    }
    std::uint32_t k = 0, value = 0;
    if (PyTuple_GET_SIZE(obj) == 2 && convert_u32(PyTuple_GET_ITEM(obj, 0), k) &&
        convert_u32(PyTuple_GET_ITEM(obj, 1), value) && value <= 1) {
        group.emplace_back(k, value == 1);
        return true;
    }
    // A conversion's own error says less than this one; anything else (no
    // memory, an interrupt) stays.
    const bool conversion = !PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError) ||
                            PyErr_ExceptionMatches(PyExc_ValueError) ||
                            PyErr_ExceptionMatches(PyExc_OverflowError);
    if (!conversion) return false;
    PyErr_Clear();
    raise_type_error(
        "a test of a condition must be a measurement index or an (index, 0 or 1) pair");
    return false;
}

// Classical controls: (gate, [[test, …], …]) pairs.
bool convert_conditions(PyObject* obj, std::vector<sim::GateCondition>& out) {
    return for_each_in_sequence(obj, [&](PyObject* element) {
        Ref pair = Ref::steal(PySequence_Fast(element, "a condition must be a (gate, groups) pair"));
        if (!pair) return false;
        if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
            raise_type_error("a condition must be a (gate, groups) pair");
            return false;
        }
        sim::GateCondition c;
        std::uint64_t gate = 0;
        if (!convert_u64(PySequence_Fast_GET_ITEM(pair.get(), 0), gate)) return false;
        c.gate = static_cast<std::size_t>(gate);
        if (!for_each_in_sequence(PySequence_Fast_GET_ITEM(pair.get(), 1), [&](PyObject* group) {
                std::vector<sim::OutcomeIs> tests;
                if (PyRange_Check(group)) {
                    // Indices only; converted as a whole, so a huge range fails at once.
                    std::vector<std::uint32_t> outcomes;
                    if (!convert_u32_sequence(group, outcomes)) return false;
                    tests.assign(outcomes.begin(), outcomes.end());
                } else {
                    const auto test = [&](PyObject* t) { return convert_outcome_test(t, tests); };
                    if (!for_each_in_sequence(group, test)) return false;
                }
                c.groups.push_back(std::move(tests));
                return true;
            }))
            return false;
        out.push_back(std::move(c));
        return true;
    });
}

// Trajectory `trajectory` of `seed`, with its measurement record; from a
// copy of `state` when given, and with classically controlled gates.
PyObject* run_trajectory(const sim::Circuit& circuit, std::uint32_t num_qubits, std::uint64_t seed,
                         Or<std::uint64_t, std::uint64_t{0}> trajectory, std::optional<AnyArg> conditions,
                         std::optional<AnyArg> given) {
    std::vector<sim::GateCondition> controls;
    if (conditions && !convert_conditions(conditions->object, controls)) {
        prefix_argument_error("conditions");
        return nullptr;
    }
    std::optional<sim::StateVector> state;
    if (given) {
        Ref holder;
        std::span<const sim::Amplitude> amplitudes;
        if (!amplitudes_from_python(given->object, holder, amplitudes)) return nullptr;
        auto loaded = sim::load_state(amplitudes);
        if (!loaded) return raise_core_error(loaded.error());
        if (loaded->num_qubits != num_qubits)
            return raise_value_error(sim::msg::initial_state_width(loaded->num_qubits, num_qubits));
        state = std::move(loaded).value();
    } else {
        state = sim::StateVector::create(num_qubits);
    }
    auto record = sim::run_circuit_trajectory(circuit, *state, seed, trajectory.value, controls);
    if (!record) return raise_core_error(record.error());
    return state_and_record(std::move(*state), *record);
}

// One trajectory per shot (a noiseless circuit: one run, every shot from it).
PyObject* sample_trajectories(const sim::Circuit& circuit, std::uint32_t num_qubits,
                              std::uint64_t shots, std::uint64_t seed) {
    auto samples = sample_noisy(circuit, num_qubits, shots, seed, nullptr);
    if (!samples) return nullptr;
    return new_index_array(*samples);
}

PyObject* sample(const sim::Circuit& circuit, std::uint32_t num_qubits, std::uint32_t shots) {
    std::vector<std::uint64_t> samples;
    if (sim::has_channels(circuit)) {
        auto noisy = sample_noisy(circuit, num_qubits, shots, std::nullopt, nullptr);
        if (!noisy) return nullptr;
        samples = std::move(*noisy);
    } else {
        auto state = run_fresh(circuit, num_qubits, nullptr);
        if (!state) return nullptr;
        auto drawn = sim::measure(*state, shots, circuit.numerics.sums);
        if (!drawn) return raise_core_error(drawn.error());
        samples = std::move(drawn).value();
    }
    if (sim::stop_requested()) return raise_core_error(sim::stopped_error());
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(samples.size())));
    if (!list) {
        PyErr_Clear();
        return raise_core_error(
            sim::Error{sim::msg::cannot_allocate_samples(samples.size()), sim::ErrorKind::OutOfMemory});
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
        PyObject* value = PyLong_FromUnsignedLongLong(samples[i]);
        if (value == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
}

PyObject* sample_from(const sim::Circuit& circuit, AnyArg given, std::uint32_t shots,
                      std::optional<std::uint64_t> seed) {
    if (sim::has_channels(circuit)) {
        Ref holder;
        std::span<const sim::Amplitude> amplitudes;
        if (!amplitudes_from_python(given.object, holder, amplitudes)) return nullptr;
        auto initial = sim::load_state(amplitudes);
        if (!initial) return raise_core_error(initial.error());
        holder = Ref{};
        sim::Status fits = sim::check_circuit_width(circuit, initial->num_qubits);
        if (!fits) return raise_core_error(fits.error());
        auto noisy = sample_noisy(circuit, initial->num_qubits, shots, seed, &*initial);
        if (!noisy) return nullptr;
        return new_index_array(*noisy);
    }
    std::optional<sim::Rng> own;
    if (seed) own.emplace(seeded_rng(*seed));
    sim::Rng& rng = own ? *own : sim::thread_rng();
    auto state = run_loaded(circuit, given.object, nullptr, rng);
    if (!state) return nullptr;
    auto drawn = sim::measure(*state, shots, rng, circuit.numerics.sums);
    if (!drawn) return raise_core_error(drawn.error());
    return new_index_array(*drawn);
}

// The exact density matrix: every channel, measurement and reset averaged.
PyObject* density_matrix(const sim::Circuit& circuit, std::uint32_t num_qubits) {
    return density_result(run_core(true, [&] { return sim::density_matrix(circuit, num_qubits); }));
}

// The passes over memory a run on num_qubits makes (for the benchmarks).
PyObject* passes(const sim::Circuit& circuit, std::uint32_t num_qubits) {
    return PyLong_FromSize_t(sim::circuit_passes(circuit, num_qubits));
}

constexpr ArgSpec k_new{"Circuit", "__new__", Param{"gates"}, kFusionParam, kSumsParam};
constexpr ArgSpec k_passes{"Circuit", "_passes", Param{"num_qubits"}};
constexpr ArgSpec k_run{"Circuit", "run", Param{"num_qubits"}};
constexpr ArgSpec k_run_with_measurements{"Circuit", "run_with_measurements", Param{"num_qubits"}};
constexpr ArgSpec k_run_from{"Circuit", "run_from", Param{"state"}};
constexpr ArgSpec k_run_with_measurements_from{"Circuit", "run_with_measurements_from",
                                               Param{"state"}};
constexpr ArgSpec k_run_trajectory{"Circuit", "run_trajectory", Param{"num_qubits"}, Param{"seed"},
                                   Param{"trajectory", "0"}, Param{"conditions", "None", true},
                                   Param{"state", "None", true}};
constexpr ArgSpec k_sample_trajectories{"Circuit", "sample_trajectories", Param{"num_qubits"},
                                        Param{"shots"}, Param{"seed"}};
constexpr ArgSpec k_sample_from{"Circuit", "sample_from", Param{"state"}, Param{"shots"},
                                Param{"seed", "None"}};
constexpr ArgSpec k_sample{"Circuit", "sample", Param{"num_qubits"}, Param{"shots"}};
constexpr ArgSpec k_density_matrix{"Circuit", "density_matrix", Param{"num_qubits"}};
constexpr ArgSpec k_deepcopy{"Circuit", "__deepcopy__", Param{"memo"}};
const ArgsView k_new_view = k_new.view();

const MemberDef kMembers[] = {
    method<&run, k_run>("run"),
    method<&run_with_measurements, k_run_with_measurements>("run_with_measurements"),
    method<&sample, k_sample>("sample"),
    method<&run_from, k_run_from>("run_from"),
    method<&run_with_measurements_from, k_run_with_measurements_from>("run_with_measurements_from"),
    method<&sample_from, k_sample_from>("sample_from"),
    method<&run_trajectory, k_run_trajectory>("run_trajectory"),
    method<&sample_trajectories, k_sample_trajectories>("sample_trajectories"),
    method<&density_matrix, k_density_matrix>("density_matrix"),
    method<&passes, k_passes>("_passes"),
    method_noargs<&reduce<sim::Circuit>>("__reduce__", kReduceDoc),
    method_noargs<&copy_of<sim::Circuit>>("__copy__", kCopyDoc),
    method<&deep_copy_of<sim::Circuit>, k_deepcopy>("__deepcopy__", kCopyDoc),
};

}  // namespace

const ClassDef& circuit_class() {
    static const ClassDef def = class_def<sim::Circuit>(
        "Circuit",
        "One-off gate-by-gate circuit execution API.",
        kMembers,
        &constructor_entry<&circuit_new, k_new>,
        &k_new_view);
    return def;
}

}  // namespace vantelo::module
