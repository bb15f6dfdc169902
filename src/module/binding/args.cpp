#include "module/binding/args.hpp"

#include <string_view>

#include "module/binding/errors.hpp"

namespace vantelo::module {

namespace {

std::string num(std::size_t v) { return std::to_string(v); }

// The parser proper, for positional arguments followed by (name, value)
// keyword pairs that `next_keyword` yields.
template <class NextKeyword>
bool parse(const ArgsView& desc, PyObject* const* args, std::size_t nargs,
           NextKeyword next_keyword, PyObject** out) {
    const std::size_t n = desc.params.size();
    const std::size_t required = desc.required();
    const std::size_t positional = desc.positional();
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;

    if (nargs > positional) {
        std::string message = desc.display_name() + " takes ";
        message += required == positional ? num(positional)
                                          : "from " + num(required) + " to " + num(positional);
        message += " positional arguments but " + num(nargs) + (nargs == 1 ? " was" : " were") +
                   " given";
        raise_type_error(message);
        return false;
    }
    for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];

    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (next_keyword(key, value)) {
        std::size_t match = n;
        for (std::size_t i = 0; i < n; ++i) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, desc.params[i].name) == 0) {
                match = i;
                break;
            }
        }
        if (match == n) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
            if (text == nullptr) {
                PyErr_Clear();
                text = "?";
                size = 1;
            }
            raise_type_error(desc.display_name() + " got an unexpected keyword argument '" +
                             std::string(text, static_cast<std::size_t>(size)) + "'");
            return false;
        }
        if (out[match] != nullptr) {
            raise_type_error(desc.display_name() + " got multiple values for argument '" +
                             desc.params[match].name + "'");
            return false;
        }
        out[match] = value;
    }

    std::string missing;
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < required; ++i)
        if (out[i] == nullptr) ++missing_count;
    if (missing_count == 0) return true;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] != nullptr) continue;
        ++seen;
        if (seen > 1) {
            if (missing_count > 2) missing += ",";
            missing += seen == missing_count ? " and " : " ";
        }
        missing += '\'';
        missing += desc.params[i].name;
        missing += '\'';
    }
    raise_type_error(desc.display_name() + " missing " + num(missing_count) +
                     " required positional argument" + (missing_count == 1 ? "" : "s") + ": " +
                     missing);
    return false;
}

}  // namespace

std::size_t ArgsView::required() const {
    std::size_t r = 0;
    for (const Param& p : params)
        if (p.default_text == nullptr) ++r;
    return r;
}

std::size_t ArgsView::positional() const {
    std::size_t p = 0;
    for (const Param& param : params)
        if (!param.keyword_only) ++p;
    return p;
}

std::string ArgsView::display_name() const {
    std::string s = owner != nullptr ? std::string(owner) + "." : std::string();
    return s + name + "()";
}

std::string ArgsView::signature(bool with_self) const {
    std::string s = "(";
    if (with_self) s += positional() == 0 ? "$self" : "$self, ";
    // Keyword-only options are additions to specified signatures, which keep
    // their text; the stubs show them.
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].keyword_only) break;
        if (i != 0) s += ", ";
        s += params[i].name;
        if (params[i].default_text != nullptr) s += std::string("=") + params[i].default_text;
    }
    return s + ")";
}

bool parse_fastcall(const ArgsView& desc, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargs);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t k = 0;
    auto next = [&](PyObject*& key, PyObject*& value) {
        if (k >= nkw) return false;
        key = PyTuple_GET_ITEM(kwnames, k);
        value = args[positional + k];
        ++k;
        return true;
    };
    return parse(desc, args, static_cast<std::size_t>(positional), next, out);
}

bool parse_tuple_dict(const ArgsView& desc, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t pos = 0;
    auto next = [&](PyObject*& key, PyObject*& value) {
        return kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value) != 0;
    };
    return parse(desc, PySequence_Fast_ITEMS(args), static_cast<std::size_t>(PyTuple_GET_SIZE(args)),
                 next, out);
}

}  // namespace vantelo::module
