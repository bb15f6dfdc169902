#include "module/binding/classes.hpp"

#include <array>
#include <deque>
#include <iterator>
#include <vector>

#include "module/binding/errors.hpp"
#include "module/binding/ref.hpp"

namespace vantelo::module {

namespace {

std::array<PyTypeObject*, static_cast<std::size_t>(ClassId::Count)> g_types{};
std::array<const char*, static_cast<std::size_t>(ClassId::Count)> g_names{};

// Texts and tables referenced by type objects live as long as the process.
const char* keep(std::string text) {
    static std::deque<std::string> storage;
    return storage.emplace_back(std::move(text)).c_str();
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    return raise_type_error("No constructor defined");
}

std::string method_text(const MemberDef& m) {
    std::string text = m.name;
    switch (m.kind) {
        case MemberKind::Method: text += m.args.signature(true); break;
        case MemberKind::MethodNoArgs: text += "($self)"; break;
        case MemberKind::Static: text += m.args.signature(false); break;
        case MemberKind::StaticNoArgs: text += "()"; break;
        case MemberKind::Property: return m.doc != nullptr ? m.doc : "";
    }
    text += "\n--\n\n";
    if (m.doc != nullptr) text += m.doc;
    return text;
}

int method_flags(MemberKind kind) {
    switch (kind) {
        case MemberKind::Method: return METH_FASTCALL | METH_KEYWORDS;
        case MemberKind::MethodNoArgs: return METH_NOARGS;
        case MemberKind::Static: return METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
        case MemberKind::StaticNoArgs: return METH_NOARGS | METH_STATIC;
        case MemberKind::Property: return 0;
    }
    return 0;
}

}  // namespace

PyTypeObject* class_type(ClassId id) { return g_types[static_cast<std::size_t>(id)]; }
const char* class_name(ClassId id) { return g_names[static_cast<std::size_t>(id)]; }

bool is_instance(PyObject* obj, ClassId id) {
    PyTypeObject* type = class_type(id);
    return type != nullptr && PyType_IsSubtype(Py_TYPE(obj), type);
}

namespace {

struct BorrowRecord {
    BorrowFlag* flag;
    unsigned long thread;
    bool exclusive;
};

std::vector<BorrowRecord> g_borrows;

PyObject* after_fork_in_child(PyObject*, PyObject*) {
    const unsigned long self = PyThread_get_thread_ident();
    std::erase_if(g_borrows, [&](const BorrowRecord& r) {
        if (r.thread == self) return false;
        if (r.exclusive) *r.flag = 0;
        else --*r.flag;
        return true;
    });
    Py_RETURN_NONE;
}

PyMethodDef g_after_fork_def = {"_after_fork_in_child", &after_fork_in_child, METH_NOARGS, nullptr};

}  // namespace

void note_borrow(BorrowFlag* flag, bool exclusive) {
    g_borrows.push_back({flag, PyThread_get_thread_ident(), exclusive});
}

void forget_borrow(BorrowFlag* flag) noexcept {
    const unsigned long self = PyThread_get_thread_ident();
    for (auto it = g_borrows.rbegin(); it != g_borrows.rend(); ++it) {
        if (it->flag == flag && it->thread == self) {
            g_borrows.erase(std::next(it).base());
            return;
        }
    }
}

bool install_fork_handler() {
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return false;
    Ref handler = Ref::steal(PyCFunction_New(&g_after_fork_def, nullptr));
    if (!handler) return false;
    Ref register_at_fork = Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) return false;
    Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "after_in_child", handler.get()));
    Ref args = Ref::steal(PyTuple_New(0));
    if (!kwargs || !args) return false;
    return Ref::steal(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get())).get() != nullptr;
}

void raise_borrow_conflict(const char* message) { raise_runtime_error(message); }

void raise_not_an_instance(PyObject* obj, ClassId id) { raise_cannot_convert(obj, class_name(id)); }

PyTypeObject* create_class(const ClassDef& def) {
    const std::size_t index = static_cast<std::size_t>(def.id);
    if (g_types[index] != nullptr) return g_types[index];

    std::string doc = def.doc;
    if (def.constructor_args != nullptr)
        doc = def.name + def.constructor_args->signature(false) + "\n--\n\n" + doc;
    if (doc.find('\0') != std::string::npos) {
        raise_value_error("class doc cannot contain nul bytes");
        return nullptr;
    }

    auto* methods = new std::vector<PyMethodDef>();
    auto* getsets = new std::vector<PyGetSetDef>();
    for (const MemberDef& m : def.members) {
        if (m.kind == MemberKind::Property) {
            getsets->push_back(PyGetSetDef{m.name, reinterpret_cast<getter>(m.function), nullptr,
                                           keep(method_text(m)), nullptr});
        } else {
            methods->push_back(PyMethodDef{m.name, reinterpret_cast<PyCFunction>(m.function),
                                           method_flags(m.kind), keep(method_text(m))});
        }
    }
    methods->push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    getsets->push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});

    std::vector<PyType_Slot> slots = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)},
        {Py_tp_doc, const_cast<char*>(keep(doc))},
        {Py_tp_new, reinterpret_cast<void*>(def.constructor != nullptr ? def.constructor : no_constructor)},
        {Py_tp_methods, methods->data()},
        {Py_tp_getset, getsets->data()},
    };
    if (def.repr != nullptr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(def.repr)});
    slots.push_back({0, nullptr});

    PyType_Spec type_spec{keep(std::string("builtins.") + def.name), static_cast<int>(def.basic_size), 0,
                     Py_TPFLAGS_DEFAULT, slots.data()};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) return nullptr;
    g_types[index] = reinterpret_cast<PyTypeObject*>(type);
    g_names[index] = def.name;
    return g_types[index];
}

}  // namespace vantelo::module
