// NumPy's C array interface, loaded on first use, and the conversions of
// arrays in both directions.
#pragma once

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vantelo_numpy_api
#ifndef VANTELO_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif

#include <cstdint>
#include <span>
#include <vector>

#include "module/binding/python.hpp"
#include "module/binding/ref.hpp"
#include <numpy/arrayobject.h>

#include "sim/aligned_array.hpp"
#include "sim/amplitude.hpp"

namespace vantelo::module {

// Loads the array interface once; on failure raises the internal fault
// "Failed to access NumPy array API capsule" and returns false.
bool ensure_numpy();

// One-dimensional writeable arrays that adopt the core's memory without
// copying: the buffer moves into a holder object that becomes the array's
// base and frees it when the array is collected.
PyObject* adopt_amplitudes(sim::AlignedArray<sim::Amplitude> values);
PyObject* adopt_floats(sim::AlignedArray<float> values);

// A new one-dimensional int64 array holding the values.
PyObject* new_index_array(const std::vector<std::uint64_t>& values);
// A new 1-D float64 / float32 array holding a copy of the values.
PyObject* new_double_array(const std::vector<double>& values);
PyObject* new_float_array(const std::vector<float>& values);

// Converts any object to a dense matrix through numpy.ascontiguousarray(obj,
// complex64); element (r, c) lands at r · columns + c.
bool matrix_from_python(PyObject* obj, std::vector<sim::Amplitude>& out);

// Converts any object to a one-dimensional complex64 array, kept alive in
// holder while the caller reads out's view of its data.
bool amplitudes_from_python(PyObject* obj, Ref& holder, std::span<const sim::Amplitude>& out);

}  // namespace vantelo::module
