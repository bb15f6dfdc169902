#include "module/buffers.hpp"

#include <cstring>

#include "module/binding/errors.hpp"
#include "module/numpy.hpp"
#include "module/binding/ref.hpp"

namespace vantelo::module {

namespace {

// numpy.ascontiguousarray(obj, "float32") as an array of `ndim` dimensions,
// or nullptr with the error set. `what` names the argument in messages.
PyArrayObject* float32_array(PyObject* obj, int ndim, const char* what, Ref& holder) {
    const auto refuse = [&] {
        raise_type_error(std::string(what) + " must be convertible to a " + std::to_string(ndim) +
                         "D numpy float32 array");
        return nullptr;
    };
    // NumPy turns None into one NaN, which a one-parameter circuit would
    // evaluate without complaint.
    if (obj == Py_None) return refuse();
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref dtype = Ref::steal(PyUnicode_FromString("float32"));
    if (!dtype) return nullptr;
    Ref convert = Ref::steal(PyObject_GetAttrString(numpy.get(), "ascontiguousarray"));
    if (!convert) return nullptr;
    holder = Ref::steal(PyObject_CallFunctionObjArgs(convert.get(), obj, dtype.get(), nullptr));
    if (!holder || !ensure_numpy()) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(holder.get());
    if (!PyArray_Check(holder.get()) || PyArray_NDIM(array) != ndim ||
        !PyArray_EquivTypenums(PyArray_TYPE(array), NPY_FLOAT))
        return refuse();
    return array;
}

bool is_contiguous(PyArrayObject* array) {
    return (PyArray_FLAGS(array) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) != 0 &&
           PyArray_DATA(array) != nullptr;
}

std::span<const float> view_of(PyArrayObject* array) {
    return {static_cast<const float*>(PyArray_DATA(array)), static_cast<std::size_t>(PyArray_SIZE(array))};
}

PyObject* zeros(int ndim, npy_intp* dims) {
    if (!ensure_numpy()) return nullptr;
    return PyArray_Zeros(ndim, dims, PyArray_DescrFromType(NPY_FLOAT), 0);
}

}  // namespace

bool params_from_python(PyObject* obj, std::vector<float>& out) {
    Ref holder;
    PyArrayObject* array = float32_array(obj, 1, "params", holder);
    if (array == nullptr) return false;
    if (!is_contiguous(array)) {
        raise_value_error("params must be stored contiguously in memory");
        return false;
    }
    const auto view = view_of(array);
    out.assign(view.begin(), view.end());
    return true;
}

bool params_batch_from_python(PyObject* obj, ParamBatch& out) {
    Ref holder;
    PyArrayObject* array = float32_array(obj, 2, "params_batch", holder);
    if (array == nullptr) return false;
    if (!is_contiguous(array)) {
        raise_value_error("params_batch must be stored contiguously in memory");
        return false;
    }
    const auto view = view_of(array);
    out.values.assign(view.begin(), view.end());
    out.rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    out.cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    return true;
}

bool validate_param_width(std::size_t cols, std::uint32_t expected) {
    if (cols == expected) return true;
    raise_value_error("params_batch has width " + std::to_string(cols) + ", expected " +
                      std::to_string(expected));
    return false;
}

bool param_buffer_slice(const ParamBufferValue& buffer, std::uint32_t expected,
                        std::span<const float>& out) {
    if (buffer.size != expected) {
        raise_value_error("param_buffer has length " + std::to_string(buffer.size) + ", expected " +
                          std::to_string(expected));
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(buffer.array.get());
    if (!is_contiguous(array)) {
        raise_value_error("param_buffer must be stored contiguously in memory");
        return false;
    }
    out = view_of(array);
    return true;
}

bool param_batch_buffer_slice(const ParamBatchBufferValue& buffer, std::uint32_t expected,
                              std::span<const float>& out) {
    if (buffer.parameter_count != expected) {
        raise_value_error("param_batch_buffer has width " + std::to_string(buffer.parameter_count) +
                          ", expected " + std::to_string(expected));
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(buffer.array.get());
    if (!is_contiguous(array)) {
        raise_value_error("param_batch_buffer must be stored contiguously in memory");
        return false;
    }
    out = view_of(array);
    return true;
}

PyObject* new_param_buffer(std::uint32_t size) {
    npy_intp dims[1] = {static_cast<npy_intp>(size)};
    Ref array = Ref::steal(zeros(1, dims));
    if (!array) return nullptr;
    return new_instance(ParamBufferValue{std::move(array), size});
}

PyObject* new_param_batch_buffer(std::uint32_t batch_size, std::uint32_t parameter_count) {
    npy_intp dims[2] = {static_cast<npy_intp>(batch_size), static_cast<npy_intp>(parameter_count)};
    Ref array = Ref::steal(zeros(2, dims));
    if (!array) return nullptr;
    return new_instance(ParamBatchBufferValue{std::move(array), batch_size, parameter_count});
}

PyObject* gradients_into_pyarray(const sim::AlignedArray<float>& gradients, std::size_t rows,
                                 std::size_t cols) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    if (rows == 0 || cols == 0) return zeros(2, dims);
    if (gradients.size() != rows * cols) {
        raise_value_error("failed to build gradient array: invalid length: " +
                          std::to_string(gradients.size() / rows) + ", but expected " +
                          std::to_string(cols));
        return nullptr;
    }
    if (!ensure_numpy()) return nullptr;
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT), 2, dims,
                                           nullptr, nullptr, 0, nullptr);
    if (array == nullptr) return nullptr;
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), gradients.data(),
                rows * cols * sizeof(float));
    return array;
}

}  // namespace vantelo::module
