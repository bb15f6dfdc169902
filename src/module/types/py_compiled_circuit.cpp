// CompiledCircuit: evaluations of an immutable plan. Plain forms convert and
// copy the parameters and the observable's terms, then release the
// interpreter lock around the core call; buffer forms read a buffer's NumPy
// memory in place and keep the lock.
#include "module/binding/binding.hpp"
#include "module/buffers.hpp"
#include "module/binding/class_defs.hpp"
#include "module/pickling.hpp"
#include "module/binding/gil.hpp"
#include "module/numpy.hpp"
#include "module/binding/ref.hpp"
#include "module/results.hpp"
#include "sim/batch/batch_states.hpp"
#include "sim/density/density_matrix.hpp"
#include "sim/noise/trajectory.hpp"

namespace vantelo::module {

namespace {

using CC = sim::CompiledCircuit;
using Params = std::span<const float>;
using Obs = Shared<sim::Observable>;
using Buffer = Shared<ParamBufferValue>;
using BatchBuffer = Shared<ParamBatchBufferValue>;

PyObject* num_qubits(const CC& c) { return PyLong_FromUnsignedLong(c.num_qubits); }
PyObject* parameter_count(const CC& c) { return PyLong_FromUnsignedLong(c.parameter_count); }

sim::Result<sim::StateVector> run_state(const CC& c, Params params) {
    return sim::run_statevector(c, params);
}

PyObject* statevector(const CC& c, AnyArg params) {
    std::vector<float> values;
    if (!params_from_python(params.object, values)) return nullptr;
    return state_result(run_core(true, [&] { return run_state(c, values); }));
}

PyObject* statevector_buffer(const CC& c, Buffer buffer) {
    Params view;
    if (!param_buffer_slice(*buffer, c.parameter_count, view)) return nullptr;
    return state_result(run_state(c, view));
}

// Scalar evaluations with an observable: Core(circuit, params, observable).
template <auto Core, auto Convert>
PyObject* scalar(const CC& c, AnyArg params, Obs observable) {
    std::vector<float> values;
    if (!params_from_python(params.object, values)) return nullptr;
    const sim::Observable terms = *observable;
    return Convert(run_core(true, [&] { return Core(c, Params(values), terms); }));
}

template <auto Core, auto Convert>
PyObject* scalar_buffer(const CC& c, Buffer buffer, Obs observable) {
    Params view;
    if (!param_buffer_slice(*buffer, c.parameter_count, view)) return nullptr;
    return Convert(Core(c, view, *observable));
}

// Batch evaluations: Core(circuit, values, rows, observable), converted with
// the row count and the circuit's width.
template <auto Core, auto Convert>
PyObject* batch(const CC& c, AnyArg params_batch, Obs observable) {
    ParamBatch b;
    if (!params_batch_from_python(params_batch.object, b)) return nullptr;
    if (!validate_param_width(b.cols, c.parameter_count)) return nullptr;
    const sim::Observable terms = *observable;
    return Convert(run_core(true, [&] { return Core(c, Params(b.values), b.rows, terms); }), b.rows,
                   c.parameter_count);
}

template <auto Core, auto Convert>
PyObject* batch_buffer(const CC& c, BatchBuffer buffer, Obs observable) {
    Params view;
    if (!param_batch_buffer_slice(*buffer, c.parameter_count, view)) return nullptr;
    return Convert(Core(c, view, buffer->batch_size, *observable), buffer->batch_size,
                   c.parameter_count);
}

// Row-major states as a (rows, 2^n) view of one adopted buffer.
PyObject* batch_statevector(const CC& c, AnyArg params_batch) {
    ParamBatch b;
    if (!params_batch_from_python(params_batch.object, b)) return nullptr;
    if (!validate_param_width(b.cols, c.parameter_count)) return nullptr;
    auto states = run_core(true, [&] { return sim::batch_statevectors(c, Params(b.values), b.rows); });
    if (!states) return raise_core_error(states.error());
    Ref flat = Ref::steal(adopt_amplitudes(std::move(states).value()));
    if (!flat) return nullptr;
    const auto dim = static_cast<Py_ssize_t>(std::size_t{1} << c.num_qubits);
    return PyObject_CallMethod(flat.get(), "reshape", "nn", static_cast<Py_ssize_t>(b.rows), dim);
}

PyObject* values_only(sim::Result<sim::AlignedArray<float>> values, std::size_t, std::size_t) {
    return batch_values_result(std::move(values));
}

// Trajectory forms: a missing seed is drawn from the thread's generator.
std::uint64_t seed_or_random(std::optional<std::uint64_t> seed) {
    return seed ? *seed : sim::thread_rng().next_u64();
}

PyObject* mean_result(sim::Result<sim::TrajectoryMean> m) {
    if (!m) return raise_core_error(m.error());
    return Py_BuildValue("(dd)", m->mean, m->standard_error);
}

PyObject* means_result(sim::Result<std::vector<sim::TrajectoryMean>> m) {
    if (!m) return raise_core_error(m.error());
    std::vector<double> means, errors;
    for (const sim::TrajectoryMean& x : *m) {
        means.push_back(x.mean);
        errors.push_back(x.standard_error);
    }
    Ref a = Ref::steal(new_double_array(means));
    if (!a) return nullptr;
    Ref b = Ref::steal(new_double_array(errors));
    if (!b) return nullptr;
    return PyTuple_Pack(2, a.get(), b.get());
}

PyObject* trajectory_expectation(const CC& c, AnyArg params, Obs observable, std::uint64_t trajectories,
                                 std::optional<std::uint64_t> seed) {
    std::vector<float> values;
    if (!params_from_python(params.object, values)) return nullptr;
    const sim::Observable terms = *observable;
    const std::uint64_t s = seed_or_random(seed);
    return mean_result(run_core(true, [&] {
        return sim::trajectory_expectation(c, Params(values), terms, s, trajectories);
    }));
}

PyObject* trajectory_expectation_buffer(const CC& c, Buffer buffer, Obs observable,
                                        std::uint64_t trajectories, std::optional<std::uint64_t> seed) {
    Params view;
    if (!param_buffer_slice(*buffer, c.parameter_count, view)) return nullptr;
    return mean_result(sim::trajectory_expectation(c, view, *observable, seed_or_random(seed), trajectories));
}

PyObject* trajectory_values(const CC& c, AnyArg params, Obs observable, std::uint64_t trajectories,
                            std::uint64_t seed, Or<std::uint64_t, std::uint64_t{0}> first) {
    std::vector<float> values;
    if (!params_from_python(params.object, values)) return nullptr;
    const sim::Observable terms = *observable;
    auto result = run_core(true, [&] {
        return sim::trajectory_expectations(c, Params(values), terms, seed, first.value, trajectories);
    });
    if (!result) return raise_core_error(result.error());
    return new_float_array(*result);
}

PyObject* batch_trajectory_expectation(const CC& c, AnyArg params_batch, Obs observable,
                                       std::uint64_t trajectories, std::optional<std::uint64_t> seed) {
    ParamBatch b;
    if (!params_batch_from_python(params_batch.object, b)) return nullptr;
    if (!validate_param_width(b.cols, c.parameter_count)) return nullptr;
    const sim::Observable terms = *observable;
    const std::uint64_t s = seed_or_random(seed);
    return means_result(run_core(true, [&] {
        return sim::batch_trajectory_expectation(c, Params(b.values), b.rows, terms, s, trajectories);
    }));
}

PyObject* batch_trajectory_expectation_buffer(const CC& c, BatchBuffer buffer, Obs observable,
                                              std::uint64_t trajectories,
                                              std::optional<std::uint64_t> seed) {
    Params view;
    if (!param_batch_buffer_slice(*buffer, c.parameter_count, view)) return nullptr;
    return means_result(sim::batch_trajectory_expectation(c, view, buffer->batch_size, *observable,
                                                          seed_or_random(seed), trajectories));
}

// Exact evaluations on the density matrix, for plans with or without channels.
PyObject* density_matrix(const CC& c, AnyArg params) {
    std::vector<float> values;
    if (!params_from_python(params.object, values)) return nullptr;
    return density_result(run_core(true, [&] { return sim::density_matrix(c, Params(values)); }));
}

PyObject* param_buffer(const CC& c) { return new_param_buffer(c.parameter_count); }

PyObject* param_batch_buffer(const CC& c, std::uint32_t batch_size) {
    return new_param_batch_buffer(batch_size, c.parameter_count);
}

PyObject* execution_context(const CC& c) {
    return new_instance(sim::ExecutionContext::create(c.num_qubits));
}

constexpr Param kParams{"params"}, kBatch{"params_batch"}, kObservable{"observable"};
#define ARGS(method, ...) constexpr ArgSpec k_##method{"CompiledCircuit", #method, __VA_ARGS__};
ARGS(statevector, kParams)
ARGS(expectation, kParams, kObservable)
ARGS(batch_expectation, kBatch, kObservable)
ARGS(param_batch_buffer, Param{"batch_size"})
ARGS(statevector_buffer, kParams)
ARGS(expectation_buffer, kParams, kObservable)
ARGS(gradient, kParams, kObservable)
ARGS(gradient_buffer, kParams, kObservable)
ARGS(value_and_gradient, kParams, kObservable)
ARGS(value_and_gradient_buffer, kParams, kObservable)
ARGS(batch_gradient, kBatch, kObservable)
ARGS(batch_expectation_buffer, kBatch, kObservable)
ARGS(batch_gradient_buffer, kBatch, kObservable)
ARGS(batch_value_and_gradient, kBatch, kObservable)
ARGS(batch_value_and_gradient_buffer, kBatch, kObservable)
ARGS(adjoint_value_and_gradient, kParams, kObservable)
ARGS(adjoint_value_and_gradient_buffer, kParams, kObservable)
ARGS(batch_adjoint_value_and_gradient, kBatch, kObservable)
ARGS(batch_adjoint_value_and_gradient_buffer, kBatch, kObservable)
constexpr ArgSpec k_deepcopy{"CompiledCircuit", "__deepcopy__", Param{"memo"}};
ARGS(batch_statevector, kBatch)
constexpr Param kTrajectories{"trajectories"}, kSeed{"seed", "None"};
ARGS(trajectory_expectation, kParams, kObservable, kTrajectories, kSeed)
ARGS(trajectory_expectation_buffer, kParams, kObservable, kTrajectories, kSeed)
ARGS(trajectory_values, kParams, kObservable, kTrajectories, Param{"seed"}, Param{"first", "0"})
ARGS(batch_trajectory_expectation, kBatch, kObservable, kTrajectories, kSeed)
ARGS(batch_trajectory_expectation_buffer, kBatch, kObservable, kTrajectories, kSeed)
ARGS(density_matrix, kParams)
ARGS(density_expectation, kParams, kObservable)
#undef ARGS

#define METHOD(name, impl) method<impl, k_##name>(#name)
const MemberDef kMembers[] = {
    property<&num_qubits>("num_qubits", "Number of qubits in the compiled circuit."),
    property<&parameter_count>("parameter_count",
                               "Number of parameters expected in each bound parameter vector."),
    METHOD(statevector, &statevector),
    METHOD(expectation, (&scalar<&sim::compiled_expectation, &float_result>)),
    METHOD(batch_expectation, (&batch<&sim::batch_expectation, &values_only>)),
    method_noargs<&param_buffer>("param_buffer",
                                 "Allocate a reusable parameter buffer backed by a NumPy array."),
    method<&param_batch_buffer, k_param_batch_buffer>(
        "param_batch_buffer", "Allocate a reusable parameter batch buffer backed by a NumPy array."),
    METHOD(statevector_buffer, &statevector_buffer),
    METHOD(expectation_buffer, (&scalar_buffer<&sim::compiled_expectation, &float_result>)),
    METHOD(gradient, (&scalar<&sim::gradient, &gradient_result>)),
    METHOD(gradient_buffer, (&scalar_buffer<&sim::gradient, &gradient_result>)),
    METHOD(value_and_gradient, (&scalar<&sim::value_and_gradient, &value_and_gradient_result>)),
    METHOD(value_and_gradient_buffer,
           (&scalar_buffer<&sim::value_and_gradient, &value_and_gradient_result>)),
    METHOD(batch_gradient, (&batch<&sim::batch_value_and_gradient, &batch_gradients_result>)),
    METHOD(batch_expectation_buffer, (&batch_buffer<&sim::batch_expectation, &values_only>)),
    METHOD(batch_gradient_buffer,
           (&batch_buffer<&sim::batch_value_and_gradient, &batch_gradients_result>)),
    METHOD(batch_value_and_gradient,
           (&batch<&sim::batch_value_and_gradient, &batch_values_and_gradients_result>)),
    METHOD(batch_value_and_gradient_buffer,
           (&batch_buffer<&sim::batch_value_and_gradient, &batch_values_and_gradients_result>)),
    method_noargs<&execution_context>("execution_context"),
    // Adjoint differentiation beside the parameter-shift forms: the same
    // conversions, checks and result types.
    METHOD(adjoint_value_and_gradient,
           (&scalar<&sim::adjoint_value_and_gradient, &value_and_gradient_result>)),
    METHOD(adjoint_value_and_gradient_buffer,
           (&scalar_buffer<&sim::adjoint_value_and_gradient, &value_and_gradient_result>)),
    METHOD(batch_adjoint_value_and_gradient,
           (&batch<&sim::batch_adjoint_value_and_gradient, &batch_values_and_gradients_result>)),
    METHOD(batch_adjoint_value_and_gradient_buffer,
           (&batch_buffer<&sim::batch_adjoint_value_and_gradient,
                          &batch_values_and_gradients_result>)),
    method_noargs<&reduce<CC>>("__reduce__", kReduceDoc),
    method_noargs<&copy_of<CC>>("__copy__", kCopyDoc),
    method<&deep_copy_of<CC>, k_deepcopy>("__deepcopy__", kCopyDoc),
    method<&batch_statevector, k_batch_statevector>(
        "batch_statevector", "Final state vectors of every row, as a (rows, 2**num_qubits) complex64 array."),
    // Averages over seeded trajectories, for plans with channels.
    METHOD(trajectory_expectation, &trajectory_expectation),
    METHOD(trajectory_expectation_buffer, &trajectory_expectation_buffer),
    METHOD(trajectory_values, &trajectory_values),
    METHOD(batch_trajectory_expectation, &batch_trajectory_expectation),
    METHOD(batch_trajectory_expectation_buffer, &batch_trajectory_expectation_buffer),
    METHOD(density_matrix, &density_matrix),
    METHOD(density_expectation,
           (&scalar<static_cast<sim::Result<double> (*)(const CC&, Params, const sim::Observable&)>(
                        &sim::density_expectation),
                    &double_result>)),
};
#undef METHOD

}  // namespace

const ClassDef& compiled_circuit_class() {
    static const ClassDef def = class_def<CC>(
        "CompiledCircuit",
        "Reusable compiled execution plan for repeated parameterized circuit evaluation.",
        kMembers);
    return def;
}

}  // namespace vantelo::module
