// set_num_threads: fixes the worker pool's size once, before any parallel
// loop would size it by default.
#include "module/binding/binding.hpp"
#include "module/binding/class_defs.hpp"
#include "pool/pool.hpp"

namespace vantelo::module {

namespace {

PyObject* set_num_threads(std::uint32_t num_threads) {
    if (num_threads == 0) return raise_value_error("number of threads must be greater than 0");
    if (auto error = pool::build_global(num_threads))
        return raise_runtime_error("failed to set number of threads: " + error->text);
    Py_RETURN_NONE;
}

constexpr ArgSpec k_set_num_threads{nullptr, "set_num_threads", Param{"num_threads"}};

}  // namespace

PyMethodDef set_num_threads_def = {
    "set_num_threads",
    reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&static_entry<&set_num_threads, k_set_num_threads>)),
    METH_FASTCALL | METH_KEYWORDS,
    "set_num_threads(num_threads)\n--\n\nSet the number of threads for Rayon",
};

}  // namespace vantelo::module
