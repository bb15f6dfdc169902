// Parameters across the boundary: plain objects converted through NumPy into
// owned copies, buffers read in place, and float results handed to NumPy.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "module/binding/class_defs.hpp"
#include "module/binding/python.hpp"
#include "sim/aligned_array.hpp"

namespace vantelo::module {

struct ParamBatch {
    std::vector<float> values;  // rows × cols, row-major
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// numpy.ascontiguousarray(obj, "float32"), checked to be one-dimensional
// (two for a batch) and contiguous, then copied.
bool params_from_python(PyObject* obj, std::vector<float>& out);
bool params_batch_from_python(PyObject* obj, ParamBatch& out);
bool validate_param_width(std::size_t cols, std::uint32_t expected);

// Views of a buffer's array for a circuit of `expected` parameters; valid
// while the interpreter lock is held and the buffer borrowed.
bool param_buffer_slice(const ParamBufferValue& buffer, std::uint32_t expected,
                        std::span<const float>& out);
bool param_batch_buffer_slice(const ParamBatchBufferValue& buffer, std::uint32_t expected,
                              std::span<const float>& out);

// New zero-filled buffers of the given shape.
PyObject* new_param_buffer(std::uint32_t size);
PyObject* new_param_batch_buffer(std::uint32_t batch_size, std::uint32_t parameter_count);

// A (rows, cols) float32 array copied from row-major gradients.
PyObject* gradients_into_pyarray(const sim::AlignedArray<float>& gradients, std::size_t rows,
                                 std::size_t cols);

}  // namespace vantelo::module
