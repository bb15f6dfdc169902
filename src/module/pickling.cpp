#include "module/pickling.hpp"

#include <span>

#include "module/binding/binding.hpp"
#include "module/binding/gil.hpp"
#include "module/binding/ref.hpp"

namespace vantelo::module {

namespace {

// The bytes argument of _unpickle, borrowed.
struct BytesArg {
    PyObject* bytes = nullptr;
};

}  // namespace

template <>
struct Converter<BytesArg> {
    static bool convert(PyObject* obj, BytesArg& out) {
        if (!PyBytes_Check(obj)) {
            raise_cannot_convert(obj, "PyBytes");
            return false;
        }
        out.bytes = obj;
        return true;
    }
};

namespace {

PyObject* g_unpickle = nullptr;  // strong reference, kept for the process

struct ToInstance {
    PyObject* operator()(sim::Gate&& v) const { return new_instance(std::move(v)); }
    PyObject* operator()(sim::snapshot::ParameterRecord&& v) const {
        return new_instance(ParameterHandle{v.index, std::move(v.name)});
    }
    PyObject* operator()(sim::Observable&& v) const { return new_instance(std::move(v)); }
    PyObject* operator()(sim::ParameterizedCircuitSpec&& v) const { return new_instance(std::move(v)); }
    PyObject* operator()(sim::CompiledCircuit&& v) const { return new_instance(std::move(v)); }
    PyObject* operator()(sim::Circuit&& v) const { return new_instance(std::move(v)); }
};

PyObject* unpickle(BytesArg data) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data.bytes));
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(data.bytes));
    // The bytes object is immutable and the caller's argument keeps it alive,
    // so a large payload (a wide unitary to test) is decoded without the lock.
    constexpr std::size_t kReleaseBytes = std::size_t{1} << 16;
    auto object = run_core(size >= kReleaseBytes, [&] {
        return sim::snapshot::decode(std::span<const std::uint8_t>(begin, size));
    });
    if (!object) return raise_core_error(object.error());
    return std::visit(ToInstance{}, std::move(object).value());
}

constexpr ArgSpec k_unpickle{nullptr, "_unpickle", Param{"data"}};

}  // namespace

PyObject* reduce_to_bytes(const std::vector<std::uint8_t>& bytes) {
    if (g_unpickle == nullptr) return raise_internal_fault("_unpickle is not registered");
    Ref data = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<Py_ssize_t>(bytes.size())));
    if (!data) return nullptr;
    return Py_BuildValue("(O(O))", g_unpickle, data.get());
}

PyObject* raise_not_picklable(ClassId id) {
    return raise_type_error(std::string("cannot pickle '") + class_name(id) +
                            "' object: buffers and execution contexts are process-local; pickle "
                            "the CompiledCircuit and create a new one where it is unpickled");
}

void set_unpickle_function(PyObject* function) {
    Py_XINCREF(function);
    PyObject* old = g_unpickle;
    g_unpickle = function;
    Py_XDECREF(old);
}

PyMethodDef unpickle_def = {
    "_unpickle",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&static_entry<&unpickle, k_unpickle>)),
    METH_FASTCALL | METH_KEYWORDS,
    "_unpickle(data)\n--\n\nRebuild a pickled vantelo object from its bytes (used by pickle; "
    "raises ValueError for malformed data).",
};

}  // namespace vantelo::module
