// ParamBuffer and ParamBatchBuffer: NumPy arrays that buffer forms of the
// evaluation methods read in place.
#include "module/binding/binding.hpp"
#include "module/buffers.hpp"
#include "module/binding/class_defs.hpp"
#include "module/pickling.hpp"

namespace vantelo::module {

namespace {

PyObject* buffer_size(const ParamBufferValue& b) { return PyLong_FromUnsignedLong(b.size); }
PyObject* buffer_numpy(const ParamBufferValue& b) { return Py_NewRef(b.array.get()); }

PyObject* batch_size(const ParamBatchBufferValue& b) { return PyLong_FromUnsignedLong(b.batch_size); }
PyObject* batch_parameter_count(const ParamBatchBufferValue& b) {
    return PyLong_FromUnsignedLong(b.parameter_count);
}
PyObject* batch_numpy(const ParamBatchBufferValue& b) { return Py_NewRef(b.array.get()); }

const MemberDef kBufferMembers[] = {
    property<&buffer_size>("size", "Number of parameters stored in the buffer."),
    method_noargs<&buffer_numpy>("numpy", "Return the writable NumPy array backing this buffer."),
    method_noargs<&refuse_pickle<ParamBufferValue>>("__reduce__", kRefuseDoc),
};

const MemberDef kBatchMembers[] = {
    property<&batch_size>("batch_size", "Number of parameter vectors stored in the batch buffer."),
    property<&batch_parameter_count>("parameter_count",
                                     "Number of parameters in each row of the batch buffer."),
    method_noargs<&batch_numpy>("numpy", "Return the writable NumPy array backing this batch buffer."),
    method_noargs<&refuse_pickle<ParamBatchBufferValue>>("__reduce__", kRefuseDoc),
};

}  // namespace

const ClassDef& param_buffer_class() {
    static const ClassDef def = class_def<ParamBufferValue>(
        "ParamBuffer",
        "Reusable parameter buffer for zero-copy compiled scalar execution.",
        kBufferMembers);
    return def;
}

const ClassDef& param_batch_buffer_class() {
    static const ClassDef def = class_def<ParamBatchBufferValue>(
        "ParamBatchBuffer",
        "Reusable parameter batch buffer for zero-copy compiled batch execution.",
        kBatchMembers);
    return def;
}

}  // namespace vantelo::module
