// ExecutionContext: a reusable state vector for repeated scalar evaluations.
// Every method borrows it exclusively for the whole call, also while the
// interpreter lock is released, so a second call meanwhile fails at once
// with "Already borrowed".
#include "module/binding/binding.hpp"
#include "module/buffers.hpp"
#include "module/binding/class_defs.hpp"
#include "module/binding/gil.hpp"
#include "module/results.hpp"

namespace vantelo::module {

namespace {

using Context = sim::ExecutionContext;
using CC = sim::CompiledCircuit;
using Params = std::span<const float>;
using Circuit = Shared<CC>;
using Obs = Shared<sim::Observable>;
using Buffer = Shared<ParamBufferValue>;

// The run's final state, copied so later runs in the context leave the
// returned array alone.
sim::Result<sim::StateVector> state_copy(Context& context, const CC& c, Params params) {
    auto state = sim::run_statevector_with_context(c, params, context);
    if (!state) return std::move(state).error();
    return sim::StateVector{(*state)->amplitudes, (*state)->num_qubits};
}

sim::Result<float> expectation(Context& context, const CC& c, Params params, const sim::Observable& o) {
    return sim::expectation_with_context(c, params, o, context);
}

sim::Result<sim::AlignedArray<float>> gradient(Context& context, const CC& c, Params params,
                                               const sim::Observable& o) {
    auto result = sim::value_and_gradient_with_context(c, params, o, context);
    if (!result) return std::move(result).error();
    return std::move(result->gradient);
}

sim::Result<sim::ValueAndGradient> value_and_gradient(Context& context, const CC& c, Params params,
                                                      const sim::Observable& o) {
    return sim::value_and_gradient_with_context(c, params, o, context);
}

sim::Result<sim::ValueAndGradient> adjoint_value_and_gradient(Context& context, const CC& c,
                                                              Params params,
                                                              const sim::Observable& o) {
    return sim::adjoint_value_and_gradient_with_context(c, params, o, context);
}

PyObject* statevector(Context& context, Circuit circuit, AnyArg params) {
    std::vector<float> values;
    if (!params_from_python(params.object, values)) return nullptr;
    const CC& c = *circuit;
    return state_result(run_core(true, [&] { return state_copy(context, c, values); }));
}

PyObject* statevector_buffer(Context& context, Circuit circuit, Buffer buffer) {
    Params view;
    if (!param_buffer_slice(*buffer, circuit->parameter_count, view)) return nullptr;
    return state_result(state_copy(context, *circuit, view));
}

template <auto Core, auto Convert>
PyObject* scalar(Context& context, Circuit circuit, AnyArg params, Obs observable) {
    std::vector<float> values;
    if (!params_from_python(params.object, values)) return nullptr;
    const sim::Observable terms = *observable;
    const CC& c = *circuit;
    return Convert(run_core(true, [&] { return Core(context, c, Params(values), terms); }));
}

template <auto Core, auto Convert>
PyObject* scalar_buffer(Context& context, Circuit circuit, Buffer buffer, Obs observable) {
    Params view;
    if (!param_buffer_slice(*buffer, circuit->parameter_count, view)) return nullptr;
    return Convert(Core(context, *circuit, view, *observable));
}

constexpr Param kCircuit{"circuit"}, kParams{"params"}, kObservable{"observable"};
#define ARGS(method, ...) constexpr ArgSpec k_##method{"ExecutionContext", #method, __VA_ARGS__};
ARGS(statevector_buffer, kCircuit, kParams)
ARGS(statevector, kCircuit, kParams)
ARGS(expectation, kCircuit, kParams, kObservable)
ARGS(expectation_buffer, kCircuit, kParams, kObservable)
ARGS(gradient, kCircuit, kParams, kObservable)
ARGS(gradient_buffer, kCircuit, kParams, kObservable)
ARGS(value_and_gradient, kCircuit, kParams, kObservable)
ARGS(value_and_gradient_buffer, kCircuit, kParams, kObservable)
ARGS(adjoint_value_and_gradient, kCircuit, kParams, kObservable)
#undef ARGS

#define METHOD(name, impl) method<impl, k_##name>(#name)
const MemberDef kMembers[] = {
    METHOD(statevector_buffer, &statevector_buffer),
    METHOD(statevector, &statevector),
    METHOD(expectation, (&scalar<&expectation, &float_result>)),
    METHOD(expectation_buffer, (&scalar_buffer<&expectation, &float_result>)),
    METHOD(gradient, (&scalar<&gradient, &gradient_result>)),
    METHOD(gradient_buffer, (&scalar_buffer<&gradient, &gradient_result>)),
    METHOD(value_and_gradient, (&scalar<&value_and_gradient, &value_and_gradient_result>)),
    METHOD(value_and_gradient_buffer, (&scalar_buffer<&value_and_gradient, &value_and_gradient_result>)),
    METHOD(adjoint_value_and_gradient,
           (&scalar<&adjoint_value_and_gradient, &value_and_gradient_result>)),
};
#undef METHOD

}  // namespace

const ClassDef& execution_context_class() {
    static const ClassDef def = class_def<Context>(
        "ExecutionContext",
        "Reusable execution buffer for repeated scalar compiled-circuit calls.",
        kMembers);
    return def;
}

}  // namespace vantelo::module
