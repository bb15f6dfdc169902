// The module's classes: instance layout, borrow counting, type creation from
// declarative class definitions, and the cache of type objects.
#pragma once

#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "module/binding/args.hpp"
#include "module/binding/python.hpp"

namespace vantelo::module {

// Registration order of the classes (also their order in __all__).
enum class ClassId { Gate, Parameter, Observable, CompiledCircuit, ParamBuffer, ParamBatchBuffer,
                     ExecutionContext, CircuitSpec, Circuit, Count };

// Borrow counter: 0 free, k > 0 shared borrows, -1 one exclusive borrow.
// Guarded by the interpreter lock; never atomic.
using BorrowFlag = Py_ssize_t;
inline constexpr BorrowFlag kExclusive = -1;

// Every instance: the object header, one core value, the borrow counter.
template <class T>
struct Instance {
    PyObject_HEAD
    T value;
    BorrowFlag borrow;
};

// Maps a core value type to its class. Specialised next to each class.
template <class T>
struct ClassOf;

PyTypeObject* class_type(ClassId id);
const char* class_name(ClassId id);

// True when obj is an instance of the class (or a subtype).
bool is_instance(PyObject* obj, ClassId id);

// A member of a class's table.
enum class MemberKind { Method, MethodNoArgs, Static, StaticNoArgs, Property };

struct MemberDef {
    MemberKind kind;
    const char* name;
    void* function;      // the entry point, cast as the kind requires
    ArgsView args;       // for the signature of methods with arguments
    const char* doc;     // docstring text after the signature (or the property's)
};

struct ClassDef {
    ClassId id;
    const char* name;
    const char* doc;
    std::size_t basic_size;
    destructor dealloc;
    newfunc constructor = nullptr;        // nullptr: "No constructor defined"
    const ArgsView* constructor_args = nullptr;  // its text signature
    reprfunc repr = nullptr;
    std::span<const MemberDef> members;
};

// Creates the type (once per process) and caches it. Returns a borrowed
// reference, or nullptr with an exception set.
PyTypeObject* create_class(const ClassDef& def);

// The definition of the class whose instances hold a T.
template <class T>
ClassDef class_def(const char* name, const char* doc, std::span<const MemberDef> members,
                   newfunc constructor = nullptr, const ArgsView* constructor_args = nullptr,
                   reprfunc repr = nullptr);

// Allocates an instance of the class and moves the value in; nullptr with an
// exception set on failure.
template <class T>
PyObject* new_instance(T value) {
    PyTypeObject* type = class_type(ClassOf<T>::id);
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* inst = reinterpret_cast<Instance<T>*>(obj);
    new (&inst->value) T(std::move(value));
    inst->borrow = 0;
    return obj;
}

template <class T>
void dealloc_instance(PyObject* obj) {
    auto* inst = reinterpret_cast<Instance<T>*>(obj);
    PyTypeObject* type = Py_TYPE(obj);
    inst->value.~T();
    type->tp_free(obj);
    Py_DECREF(type);
}

template <class T>
ClassDef class_def(const char* name, const char* doc, std::span<const MemberDef> members,
                   newfunc constructor, const ArgsView* constructor_args, reprfunc repr) {
    return {ClassOf<T>::id,   name, doc, sizeof(Instance<T>), &dealloc_instance<T>, constructor,
            constructor_args, repr, members};
}

// The borrows held now, each with the thread that took it (guarded by the
// interpreter lock). A child process after fork() has only the forking
// thread, so it drops the borrows of every other thread: their calls can
// never finish there.
void note_borrow(BorrowFlag* flag, bool exclusive);
void forget_borrow(BorrowFlag* flag) noexcept;
// Registers the after-fork handler with os.register_at_fork; false with an
// exception set on failure.
bool install_fork_handler();

// A borrow of an instance, released on destruction.
template <class T, bool Exclusive>
class Borrow {
public:
    Borrow() = default;
    Borrow(Borrow&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Borrow& operator=(Borrow&& other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~Borrow() {
        if (obj_ == nullptr) return;
        BorrowFlag& flag = reinterpret_cast<Instance<T>*>(obj_)->borrow;
        forget_borrow(&flag);
        if constexpr (Exclusive) flag = 0;
        else --flag;
    }

    // Checks the class and takes the borrow; on failure sets TypeError
    // ("cannot be converted to") or RuntimeError and returns false.
    bool acquire(PyObject* obj) {
        if (!is_instance(obj, ClassOf<T>::id)) {
            raise_not_instance(obj, ClassOf<T>::id);
            return false;
        }
        BorrowFlag& flag = reinterpret_cast<Instance<T>*>(obj)->borrow;
        if constexpr (Exclusive) {
            if (flag != 0) return raise_busy("Already borrowed");
            flag = kExclusive;
        } else {
            if (flag == kExclusive) return raise_busy("Already mutably borrowed");
            ++flag;
        }
        try {
            note_borrow(&flag, Exclusive);
        } catch (...) {
            if constexpr (Exclusive) flag = 0;
            else --flag;
            throw;
        }
        obj_ = obj;
        return true;
    }

    PyObject* object() const { return obj_; }
    T& get() const { return reinterpret_cast<Instance<T>*>(obj_)->value; }
    T* operator->() const { return &get(); }
    T& operator*() const { return get(); }

private:
    static bool raise_busy(const char* message);
    static void raise_not_instance(PyObject* obj, ClassId id);
    PyObject* obj_ = nullptr;
};

template <class T>
using Shared = Borrow<T, false>;
template <class T>
using Exclusive = Borrow<T, true>;

void raise_borrow_conflict(const char* message);
void raise_not_an_instance(PyObject* obj, ClassId id);

template <class T, bool E>
bool Borrow<T, E>::raise_busy(const char* message) {
    raise_borrow_conflict(message);
    return false;
}
template <class T, bool E>
void Borrow<T, E>::raise_not_instance(PyObject* obj, ClassId id) {
    raise_not_an_instance(obj, id);
}

}  // namespace vantelo::module
