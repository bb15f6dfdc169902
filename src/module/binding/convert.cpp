#include "module/binding/convert.hpp"

#include <limits>

#include "module/binding/errors.hpp"
#include "module/binding/interrupt.hpp"
#include "module/binding/ref.hpp"

namespace vantelo::module {

bool convert_u32(PyObject* obj, std::uint32_t& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool convert_u64(PyObject* obj, std::uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<std::uint64_t>(value);
    return true;
}

bool convert_f32(PyObject* obj, float& out) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = static_cast<float>(value);
    return true;
}

bool convert_text(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(obj, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool for_each_in_sequence(PyObject* obj, pool::FunctionRef<bool(PyObject*)> item) {
    if (PyUnicode_Check(obj)) {
        raise_type_error("Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) return false;
    std::size_t index = 0;
    while (Ref element = Ref::steal(PyIter_Next(iter.get()))) {
        if (!item(element.get())) return false;
        if (!check_signals_every(++index)) return false;
    }
    return !PyErr_Occurred();
}

namespace {

// For a range (with bounds that fit in 64 bits): the index of its first
// element outside 0 … 2^32 − 1, or -1 when every element fits. Ranges are
// monotonic, so the answer needs no walk over the elements.
long long first_unfit_in_range(PyObject* range) {
    auto field = [&](const char* name, long long& value) {
        Ref attr = Ref::steal(PyObject_GetAttrString(range, name));
        if (!attr) return false;
        value = PyLong_AsLongLong(attr.get());
        return !(value == -1 && PyErr_Occurred());
    };
    long long start = 0, stop = 0, step = 0;
    if (!field("start", start) || !field("stop", stop) || !field("step", step)) {
        PyErr_Clear();
        return -1;  // the ordinary walk decides
    }
    constexpr __int128 kMax = std::numeric_limits<std::uint32_t>::max();
    const __int128 s = start, e = stop, d = step;
    const __int128 length = d > 0 ? (e > s ? (e - s + d - 1) / d : 0) : (s > e ? (s - e - d - 1) / -d : 0);
    if (length == 0) return -1;
    if (s < 0 || s > kMax) return 0;
    const __int128 first = d > 0 ? (kMax - s) / d + 1 : s / -d + 1;
    return first < length ? static_cast<long long>(first) : -1;
}

}  // namespace

bool convert_u32_sequence(PyObject* obj, std::vector<std::uint32_t>& out) {
    out.clear();
    if (PyRange_Check(obj)) {
        // The walk would fail at this element after converting every one
        // before it (up to 2^32 of them); convert only it, for the same error.
        if (const long long bad = first_unfit_in_range(obj); bad >= 0) {
            Ref element = Ref::steal(PySequence_GetItem(obj, static_cast<Py_ssize_t>(bad)));
            std::uint32_t value = 0;
            if (element && !convert_u32(element.get(), value)) return false;
            if (!element) return false;
        }
    }
    return for_each_in_sequence(obj, [&](PyObject* element) {
        std::uint32_t value = 0;
        if (!convert_u32(element, value)) return false;
        out.push_back(value);
        return true;
    });
}

bool convert_list(PyObject* obj, ListArg& out) {
    if (!PyList_Check(obj)) {
        raise_cannot_convert(obj, "PyList");
        return false;
    }
    out.list = obj;
    return true;
}

void prefix_argument_error(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    if (Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    Ref original = Ref::steal(exc);
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return;
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    Ref type_ref = Ref::steal(type);
    Ref tb_ref = Ref::steal(tb);
    Ref original = Ref::steal(value);
#endif
    Ref text = Ref::steal(PyObject_Str(original.get()));
    if (!text) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref replaced = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replaced) return;
    PyObject* cause = PyException_GetCause(original.get());  // new reference or NULL
    if (cause != nullptr) PyException_SetCause(replaced.get(), cause);  // steals cause
    PyErr_SetObject(PyExc_TypeError, replaced.get());
}

}  // namespace vantelo::module
