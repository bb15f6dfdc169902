#include "module/results.hpp"

#include "module/buffers.hpp"
#include "module/binding/errors.hpp"
#include "module/numpy.hpp"
#include "module/binding/ref.hpp"

namespace vantelo::module {

PyObject* state_result(sim::Result<sim::StateVector> state) {
    if (!state) return raise_core_error(state.error());
    return adopt_amplitudes(std::move(state->amplitudes));
}

PyObject* float_result(sim::Result<float> value) {
    if (!value) return raise_core_error(value.error());
    return PyFloat_FromDouble(static_cast<double>(*value));
}

PyObject* double_result(sim::Result<double> value) {
    if (!value) return raise_core_error(value.error());
    return PyFloat_FromDouble(*value);
}

PyObject* density_result(sim::Result<sim::StateVector> rho) {
    if (!rho) return raise_core_error(rho.error());
    const auto dim = static_cast<Py_ssize_t>(std::size_t{1} << (rho->num_qubits / 2));
    Ref flat = Ref::steal(adopt_amplitudes(std::move(rho->amplitudes)));
    if (!flat) return nullptr;
    return PyObject_CallMethod(flat.get(), "reshape", "nn", dim, dim);
}

PyObject* gradient_result(sim::Result<sim::AlignedArray<float>> gradient) {
    if (!gradient) return raise_core_error(gradient.error());
    return adopt_floats(std::move(gradient).value());
}

PyObject* value_and_gradient_result(sim::Result<sim::ValueAndGradient> result) {
    if (!result) return raise_core_error(result.error());
    Ref value = Ref::steal(PyFloat_FromDouble(static_cast<double>(result->value)));
    if (!value) return nullptr;
    Ref gradient = Ref::steal(adopt_floats(std::move(result->gradient)));
    if (!gradient) return nullptr;
    return PyTuple_Pack(2, value.get(), gradient.get());
}

PyObject* batch_values_result(sim::Result<sim::AlignedArray<float>> values) {
    if (!values) return raise_core_error(values.error());
    return adopt_floats(std::move(values).value());
}

PyObject* batch_gradients_result(sim::Result<sim::BatchValuesAndGradients> result, std::size_t rows,
                                 std::size_t cols) {
    if (!result) return raise_core_error(result.error());
    return gradients_into_pyarray(result->gradients, rows, cols);
}

PyObject* batch_values_and_gradients_result(sim::Result<sim::BatchValuesAndGradients> result,
                                            std::size_t rows, std::size_t cols) {
    if (!result) return raise_core_error(result.error());
    Ref values = Ref::steal(adopt_floats(std::move(result->values)));
    if (!values) return nullptr;
    Ref gradients = Ref::steal(gradients_into_pyarray(result->gradients, rows, cols));
    if (!gradients) return nullptr;
    return PyTuple_Pack(2, values.get(), gradients.get());
}

}  // namespace vantelo::module
