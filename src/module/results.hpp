// Conversions of core evaluation results to Python objects. Each raises
// ValueError with the core's message when the result is an error.
#pragma once

#include "module/binding/python.hpp"
#include "sim/batch/batch.hpp"
#include "sim/grad/adjoint.hpp"
#include "sim/grad/gradient.hpp"
#include "sim/result.hpp"
#include "sim/state_vector.hpp"

namespace vantelo::module {

PyObject* state_result(sim::Result<sim::StateVector> state);
PyObject* float_result(sim::Result<float> value);
PyObject* double_result(sim::Result<double> value);
// A density matrix stored as a vector of 2n qubits, as a (2^n, 2^n) array
// over the same memory.
PyObject* density_result(sim::Result<sim::StateVector> rho);
PyObject* gradient_result(sim::Result<sim::AlignedArray<float>> gradient);
PyObject* value_and_gradient_result(sim::Result<sim::ValueAndGradient> result);
PyObject* batch_values_result(sim::Result<sim::AlignedArray<float>> values);
PyObject* batch_gradients_result(sim::Result<sim::BatchValuesAndGradients> result, std::size_t rows,
                                 std::size_t cols);
PyObject* batch_values_and_gradients_result(sim::Result<sim::BatchValuesAndGradients> result,
                                            std::size_t rows, std::size_t cols);

}  // namespace vantelo::module
