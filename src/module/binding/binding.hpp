// Entry points generated from `_impl` functions that see C++ types only.
//
// Every entry point follows one protocol: parse the arguments against the
// descriptor, borrow the receiver (shared for a `const T&` receiver,
// exclusive for `T&`), convert each argument in declaration order by its
// parameter type, call the implementation, and release the borrows on every
// path. Each is a fault barrier: no C++ exception crosses into the
// interpreter. Each is also one call for the core's stop check (Ctrl-C).
#pragma once

#include <array>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/binding/args.hpp"
#include "module/binding/classes.hpp"
#include "module/binding/convert.hpp"
#include "module/binding/errors.hpp"
#include "sim/stop.hpp"

namespace vantelo::module {

namespace detail {

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
    using Args = std::tuple<A...>;
};

template <class Tuple>
struct DropFirst;
template <class First, class... Rest>
struct DropFirst<std::tuple<First, Rest...>> {
    using type = std::tuple<Rest...>;
};

// The borrow a receiver parameter asks for.
template <class R>
struct ReceiverOf {
    using Core = std::remove_cvref_t<R>;
    using type = std::conditional_t<std::is_const_v<std::remove_reference_t<R>>, Shared<Core>,
                                    Exclusive<Core>>;
};

// Converts raw[i] into std::get<i>(values) in order; stops at the first
// failure after prefixing TypeErrors with the parameter's name.
template <class Values, std::size_t... I>
bool convert_all(const ArgsView& desc, PyObject* const* raw, Values& values,
                 std::index_sequence<I...>) {
    bool ok = true;
    ((ok = ok && [&] {
          using T = std::tuple_element_t<I, Values>;
          if (Converter<T>::convert(raw[I], std::get<I>(values))) return true;
          prefix_argument_error(desc.params[I].name);
          return false;
      }()),
     ...);
    return ok;
}

template <class Params>
struct Stored;
template <class... A>
struct Stored<std::tuple<A...>> {
    using type = std::tuple<std::remove_cvref_t<A>...>;
};

template <auto Impl, class Params, class... Leading, std::size_t... I>
PyObject* invoke(std::tuple<std::remove_cvref_t<std::tuple_element_t<I, Params>>...>& values,
                 std::index_sequence<I...>, Leading&&... leading) {
    return Impl(std::forward<Leading>(leading)...,
                static_cast<std::tuple_element_t<I, Params>&&>(std::get<I>(values))...);
}

}  // namespace detail

// Instance method with arguments: Impl(const T& self | T& self, converted…).
template <auto Impl, const auto& Desc>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    using All = typename detail::FnTraits<decltype(Impl)>::Args;
    using Params = typename detail::DropFirst<All>::type;
    using Receiver = typename detail::ReceiverOf<std::tuple_element_t<0, All>>::type;
    constexpr std::size_t N = std::tuple_size_v<Params>;
    static_assert(N == Desc.size(), "descriptor and impl disagree");
    try {
        sim::StopCallScope stop_scope;
        std::array<PyObject*, N == 0 ? 1 : N> raw{};
        if (!parse_fastcall(Desc.view(), args, nargs, kwnames, raw.data())) return nullptr;
        Receiver receiver;
        if (!receiver.acquire(self)) return nullptr;
        typename detail::Stored<Params>::type values;
        if (!detail::convert_all(Desc.view(), raw.data(), values, std::make_index_sequence<N>{}))
            return nullptr;
        return finish_call(detail::invoke<Impl, Params>(values, std::make_index_sequence<N>{}, receiver.get()));
    } catch (...) {
        return raise_current_exception();
    }
}

// Static function with arguments: Impl(converted…).
template <auto Impl, const auto& Desc>
PyObject* static_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using Params = typename detail::FnTraits<decltype(Impl)>::Args;
    constexpr std::size_t N = std::tuple_size_v<Params>;
    static_assert(N == Desc.size(), "descriptor and impl disagree");
    try {
        sim::StopCallScope stop_scope;
        std::array<PyObject*, N == 0 ? 1 : N> raw{};
        if (!parse_fastcall(Desc.view(), args, nargs, kwnames, raw.data())) return nullptr;
        typename detail::Stored<Params>::type values;
        if (!detail::convert_all(Desc.view(), raw.data(), values, std::make_index_sequence<N>{}))
            return nullptr;
        return finish_call(detail::invoke<Impl, Params>(values, std::make_index_sequence<N>{}));
    } catch (...) {
        return raise_current_exception();
    }
}

// Constructor (tp_new): Impl(converted…).
template <auto Impl, const auto& Desc>
PyObject* constructor_entry(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    using Params = typename detail::FnTraits<decltype(Impl)>::Args;
    constexpr std::size_t N = std::tuple_size_v<Params>;
    static_assert(N == Desc.size(), "descriptor and impl disagree");
    try {
        sim::StopCallScope stop_scope;
        std::array<PyObject*, N == 0 ? 1 : N> raw{};
        if (!parse_tuple_dict(Desc.view(), args, kwargs, raw.data())) return nullptr;
        typename detail::Stored<Params>::type values;
        if (!detail::convert_all(Desc.view(), raw.data(), values, std::make_index_sequence<N>{}))
            return nullptr;
        return finish_call(detail::invoke<Impl, Params>(values, std::make_index_sequence<N>{}));
    } catch (...) {
        return raise_current_exception();
    }
}

// Instance method without arguments, property getter and repr: Impl(self).
template <auto Impl>
PyObject* receiver_only(PyObject* self) noexcept {
    using All = typename detail::FnTraits<decltype(Impl)>::Args;
    using Receiver = typename detail::ReceiverOf<std::tuple_element_t<0, All>>::type;
    try {
        sim::StopCallScope stop_scope;
        Receiver receiver;
        if (!receiver.acquire(self)) return nullptr;
        return finish_call(Impl(receiver.get()));
    } catch (...) {
        return raise_current_exception();
    }
}

template <auto Impl>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    return receiver_only<Impl>(self);
}

template <auto Impl>
PyObject* getter_entry(PyObject* self, void*) noexcept {
    return receiver_only<Impl>(self);
}

// Static function without arguments: Impl().
template <auto Impl>
PyObject* static_noargs_entry(PyObject*, PyObject*) noexcept {
    try {
        sim::StopCallScope stop_scope;
        return finish_call(Impl());
    } catch (...) {
        return raise_current_exception();
    }
}

// Member table entries.
template <auto Impl, const auto& Desc>
MemberDef method(const char* name, const char* doc = nullptr) {
    return {MemberKind::Method, name, reinterpret_cast<void*>(&method_entry<Impl, Desc>), Desc.view(), doc};
}
template <auto Impl, const auto& Desc>
MemberDef static_method(const char* name, const char* doc = nullptr) {
    return {MemberKind::Static, name, reinterpret_cast<void*>(&static_entry<Impl, Desc>), Desc.view(), doc};
}
template <auto Impl>
MemberDef method_noargs(const char* name, const char* doc = nullptr) {
    return {MemberKind::MethodNoArgs, name, reinterpret_cast<void*>(&noargs_entry<Impl>), {}, doc};
}
template <auto Impl>
MemberDef static_noargs(const char* name, const char* doc = nullptr) {
    return {MemberKind::StaticNoArgs, name, reinterpret_cast<void*>(&static_noargs_entry<Impl>), {}, doc};
}
template <auto Impl>
MemberDef property(const char* name, const char* doc) {
    return {MemberKind::Property, name, reinterpret_cast<void*>(&getter_entry<Impl>), {}, doc};
}

}  // namespace vantelo::module
