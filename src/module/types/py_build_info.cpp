// build_info and __version__: what a bug report needs to say about this
// build and about the kernels this process chose.
#include "module/binding/binding.hpp"
#include "module/binding/class_defs.hpp"
#include "sim/cpu/cpu_features.hpp"

#ifndef VANTELO_VERSION
#error "CMake passes VANTELO_VERSION (and the other build details) to this file"
#endif

namespace vantelo::module {

namespace {

#if defined(__clang__)
constexpr const char* kCompilerText = "clang " __clang_version__;
#elif defined(__GNUC__)
constexpr const char* kCompilerText = "gcc " __VERSION__;
#else
constexpr const char* kCompilerText = VANTELO_COMPILER;
#endif

#if defined(__x86_64__) || defined(_M_X64)
constexpr const char* kMachine = "x86_64";
#elif defined(__aarch64__) || defined(_M_ARM64)
constexpr const char* kMachine = "aarch64";
#else
constexpr const char* kMachine = "other";
#endif

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

bool set_text(PyObject* dict, const char* key, const char* text) {
    return set_item(dict, key, PyUnicode_FromString(text));
}

bool set_flag(PyObject* dict, const char* key, bool flag) {
    return set_item(dict, key, PyBool_FromLong(flag ? 1 : 0));
}

PyObject* build_info() {
    const sim::KernelChoice& choice = sim::kernel_choice();
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const bool ok = set_text(d, "version", VANTELO_VERSION) && set_text(d, "kernels", choice.name) &&
                    set_flag(d, "avx2_built", choice.built_avx2) &&
                    set_flag(d, "avx2_cpu", choice.cpu_avx2) &&
                    set_flag(d, "avx2_disabled", choice.disabled_avx2) &&
                    set_text(d, "machine", kMachine) && set_text(d, "compiler", kCompilerText) &&
                    set_text(d, "build_type", VANTELO_BUILD_TYPE) &&
                    set_text(d, "cxx_flags", VANTELO_CXX_FLAGS) &&
                    set_text(d, "avx2_cxx_flags", VANTELO_AVX2_CXX_FLAGS);
    return ok ? dict.release() : nullptr;
}

}  // namespace

const char* const kVersion = VANTELO_VERSION;

PyMethodDef build_info_def = {
    "build_info",
    &static_noargs_entry<&build_info>,
    METH_NOARGS,
    "build_info()\n--\n\n"
    "Describe this build and the kernels this process runs: a new dict with the "
    "version, the kernel set chosen (\"avx2\" or \"portable\"), whether the build has the AVX2 "
    "kernels, whether the CPU supports them and whether VANTELO_DISABLE_AVX2 turned them off, "
    "the target machine, the compiler, the build type and the compiler flags.",
};

}  // namespace vantelo::module
