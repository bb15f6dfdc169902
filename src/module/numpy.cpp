#define VANTELO_NUMPY_API_OWNER
#include "module/numpy.hpp"

#include <cstring>

#include "module/binding/errors.hpp"
#include "module/binding/ref.hpp"

namespace vantelo::module {

namespace {

// NumPy 2 keeps the array module in numpy._core; older releases only have
// numpy.core (which NumPy 2 still provides, with a deprecation warning). Only
// a failed import moves on to the older name: anything else raised meanwhile
// (a KeyboardInterrupt from a signal handler) belongs to the caller.
bool load_numpy_api() {
    Ref module = Ref::steal(PyImport_ImportModule("numpy._core.multiarray"));
    if (!module) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
        PyErr_Clear();
        module = Ref::steal(PyImport_ImportModule("numpy.core.multiarray"));
    }
    if (!module) return false;
    Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule || !PyCapsule_CheckExact(capsule.get())) return false;
    void* api = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (api == nullptr) return false;
    PyArray_API = static_cast<void**>(api);
    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) return false;
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    return NPY_FEATURE_VERSION <= PyArray_RUNTIME_VERSION;
}

// The holder of a result buffer handed to NumPy.
struct SliceContainer {
    PyObject_HEAD
    void* data;
    std::size_t len;
    std::size_t cap;
    void (*free)(void*) noexcept;
};

void slice_container_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<SliceContainer*>(obj);
    if (self->data != nullptr) self->free(self->data);
    PyTypeObject* type = Py_TYPE(obj);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyTypeObject* slice_container_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(&slice_container_dealloc)},
            {Py_tp_doc, const_cast<char*>("Owner of the memory of an array returned by vantelo.")},
            {0, nullptr},
        };
        static PyType_Spec type_spec{"builtins.PySliceContainer", sizeof(SliceContainer), 0,
                                Py_TPFLAGS_DEFAULT, slots};
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    }();
    return type;
}

template <class T>
PyObject* adopt(sim::AlignedArray<T> values, int type_num) {
    if (!ensure_numpy()) return nullptr;
    PyTypeObject* holder_type = slice_container_type();
    if (holder_type == nullptr) return nullptr;
    const npy_intp length = static_cast<npy_intp>(values.size());
    Ref holder = Ref::steal(holder_type->tp_alloc(holder_type, 0));
    if (!holder) return nullptr;
    auto* container = reinterpret_cast<SliceContainer*>(holder.get());
    container->len = values.size();
    container->cap = values.size();
    container->free = &sim::AlignedArray<T>::free_raw;
    T* data = values.release();
    container->data = data;

    npy_intp dims[1] = {length};
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(T))};
    // NumPy needs a data pointer even for an empty array; it is never read.
    static T empty_slot{};
    void* pointer = data != nullptr ? static_cast<void*>(data) : static_cast<void*>(&empty_slot);
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type_num), 1,
                                                dims, strides, pointer, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) != 0)
        return nullptr;
    return array.release();
}

}  // namespace

bool ensure_numpy() {
    static bool loaded = false;
    if (loaded) return true;
    if (!load_numpy_api()) {
        // Keep what the import raised unless it is the import's own failure.
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_ImportError) &&
            !PyErr_ExceptionMatches(PyExc_AttributeError))
            return false;
        PyErr_Clear();
        raise_internal_fault("Failed to access NumPy array API capsule");
        return false;
    }
    loaded = true;
    return true;
}

PyObject* adopt_amplitudes(sim::AlignedArray<sim::Amplitude> values) {
    return adopt(std::move(values), NPY_CFLOAT);
}

PyObject* adopt_floats(sim::AlignedArray<float> values) { return adopt(std::move(values), NPY_FLOAT); }

namespace {

// numpy.ascontiguousarray(obj, complex64), or null with the error set.
Ref contiguous_complex64(PyObject* obj) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return {};
    Ref dtype = Ref::steal(PyObject_GetAttrString(numpy.get(), "complex64"));
    if (!dtype) return {};
    Ref ascontiguousarray = Ref::steal(PyObject_GetAttrString(numpy.get(), "ascontiguousarray"));
    if (!ascontiguousarray) return {};
    Ref converted = Ref::steal(
        PyObject_CallFunctionObjArgs(ascontiguousarray.get(), obj, dtype.get(), nullptr));
    if (!converted || !ensure_numpy()) return {};
    return converted;
}

}  // namespace

bool amplitudes_from_python(PyObject* obj, Ref& holder, std::span<const sim::Amplitude>& out) {
    Ref converted = contiguous_complex64(obj);
    if (!converted) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(converted.get());
    if (!PyArray_Check(converted.get()) || PyArray_NDIM(arr) != 1 ||
        !PyArray_EquivTypenums(PyArray_TYPE(arr), NPY_CFLOAT)) {
        raise_value_error("state must be a one-dimensional array of amplitudes");
        return false;
    }
    out = {static_cast<const sim::Amplitude*>(PyArray_DATA(arr)),
           static_cast<std::size_t>(PyArray_DIM(arr, 0))};
    holder = std::move(converted);
    return true;
}

PyObject* new_index_array(const std::vector<std::uint64_t>& values) {
    if (!ensure_numpy()) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    PyObject* array = PyArray_SimpleNew(1, dims, NPY_INT64);
    if (array == nullptr) return nullptr;
    // Indices stay below 2^31, so the bits of each uint64 are its int64 value.
    if (!values.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(),
                    values.size() * sizeof(std::uint64_t));
    return array;
}

namespace {

template <class T>
PyObject* new_array_of(const std::vector<T>& values, int type) {
    if (!ensure_numpy()) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    PyObject* array = PyArray_SimpleNew(1, dims, type);
    if (array == nullptr) return nullptr;
    if (!values.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(),
                    values.size() * sizeof(T));
    return array;
}

}  // namespace

PyObject* new_double_array(const std::vector<double>& values) { return new_array_of(values, NPY_FLOAT64); }
PyObject* new_float_array(const std::vector<float>& values) { return new_array_of(values, NPY_FLOAT32); }

bool matrix_from_python(PyObject* obj, std::vector<sim::Amplitude>& out) {
    Ref converted = contiguous_complex64(obj);
    if (!converted) return false;

    PyObject* array = converted.get();
    if (!PyArray_Check(array) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array)) != 2 ||
        !PyArray_EquivTypenums(PyArray_TYPE(reinterpret_cast<PyArrayObject*>(array)), NPY_CFLOAT)) {
        raise_type_error("matrix must be convertible to a 2D numpy complex64 array");
        return false;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(array);
    const npy_intp rows = PyArray_DIM(arr, 0);
    const npy_intp cols = PyArray_DIM(arr, 1);
    if (rows != cols) {
        raise_value_error("matrix must be square");
        return false;
    }
    if (!(PyArray_FLAGS(arr) & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS)) ||
        PyArray_DATA(arr) == nullptr) {
        raise_value_error("matrix must be stored contiguously in memory");
        return false;
    }
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    out.resize(count);
    if (count != 0) std::memcpy(out.data(), PyArray_DATA(arr), count * sizeof(sim::Amplitude));
    return true;
}

}  // namespace vantelo::module
