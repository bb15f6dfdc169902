// Module initialisation: creates the module once per process and adds the
// nine classes and set_num_threads, in that order, to it and to __all__, then
// the internal-fault exception class InternalFault, so callers can catch it
// by name, the reconstructor _unpickle that pickles refer to, __version__ and
// build_info (none of these in __all__).
#include <atomic>

#include "module/binding/class_defs.hpp"
#include "module/binding/errors.hpp"
#include "module/binding/interrupt.hpp"
#include "module/binding/ref.hpp"
#include "module/pickling.hpp"

namespace vantelo::module {

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "vantelo",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> g_initialised{false};

// Appends name to __all__ (creating it on first use), then sets the attribute.
bool add_attribute(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    if (!PyList_Check(all.get())) {
        raise_type_error("`__all__` must be a list");
        return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) != 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

bool add_class(PyObject* module, const ClassDef& def) {
    PyTypeObject* type = create_class(def);
    return type != nullptr && add_attribute(module, def.name, reinterpret_cast<PyObject*>(type));
}

bool module_body(PyObject* module) {
    using ClassFn = const ClassDef& (*)();
    static constexpr ClassFn kClasses[] = {
        &gate_class,     &parameter_class,         &observable_class,
        &compiled_circuit_class, &param_buffer_class, &param_batch_buffer_class,
        &execution_context_class, &circuit_spec_class, &circuit_class,
    };
    for (ClassFn def : kClasses)
        if (!add_class(module, def())) return false;

    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCFunction_NewEx(&set_num_threads_def, module, module_name.get()));
    if (!function) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    const char* text = PyUnicode_AsUTF8(name.get());
    if (text == nullptr || !add_attribute(module, text, function.get())) return false;

    PyObject* fault = internal_fault_type();
    if (fault == nullptr || PyObject_SetAttrString(module, "InternalFault", fault) != 0) return false;

    Ref unpickle = Ref::steal(PyCFunction_NewEx(&unpickle_def, module, module_name.get()));
    if (!unpickle || PyObject_SetAttrString(module, unpickle_def.ml_name, unpickle.get()) != 0)
        return false;
    set_unpickle_function(unpickle.get());

    Ref side_by_side = Ref::steal(PyCFunction_NewEx(&set_side_by_side_qubits_def, module, module_name.get()));
    if (!side_by_side ||
        PyObject_SetAttrString(module, set_side_by_side_qubits_def.ml_name, side_by_side.get()) != 0)
        return false;

    // Release details, after everything __all__ lists.
    Ref version = Ref::steal(PyUnicode_FromString(kVersion));
    if (!version || PyObject_SetAttrString(module, "__version__", version.get()) != 0) return false;
    Ref info = Ref::steal(PyCFunction_NewEx(&build_info_def, module, module_name.get()));
    return info && PyObject_SetAttrString(module, build_info_def.ml_name, info.get()) == 0;
}

}  // namespace

}  // namespace vantelo::module

extern "C" PyMODINIT_FUNC PyInit_vantelo() {
    using namespace vantelo::module;
    try {
        Ref module = Ref::steal(PyModule_Create2(&g_module_def, 1013));
        if (!module) return nullptr;
        if (g_initialised.exchange(true)) {
            PyErr_SetString(PyExc_ImportError,
                            "vantelo may only be initialized once per interpreter process");
            return nullptr;
        }
        if (!module_body(module.get()) || !install_stop_check() || !install_fork_handler()) return nullptr;
        return module.release();
    } catch (...) {
        return raise_current_exception();
    }
}
