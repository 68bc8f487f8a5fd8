#include "binding/function_description.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace morvane::binding {

namespace {

// Everything below that builds a string runs only once an error is certain.

std::string full_name(const FunctionDescription& desc) {
    std::string name;
    if (!desc.cls_name.empty()) {
        name.append(desc.cls_name);
        name.push_back('.');
    }
    name.append(desc.func_name);
    name.append("()");
    return name;
}

// 'a' | 'a' and 'b' | 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out.push_back(',');
            out.push_back(' ');
            if (i + 1 == names.size()) out.append("and ");
        }
        out.push_back('\'');
        out.append(names[i]);
        out.push_back('\'');
    }
    return out;
}

PyErr type_error(std::string message) {
    return PyErr::new_deferred(PyExc_TypeError, std::move(message));
}

PyErr too_many_positional(const FunctionDescription& desc, Py_ssize_t given) {
    const std::size_t positional = desc.positional_parameter_names.size();
    std::string message = full_name(desc) + " takes ";
    if (desc.required_positional_parameters != positional) {
        message += "from " + std::to_string(desc.required_positional_parameters) + " to ";
    }
    message += std::to_string(positional) + " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    return type_error(std::move(message));
}

PyErr multiple_values(const FunctionDescription& desc, std::string_view name) {
    return type_error(full_name(desc) + " got multiple values for argument '" + std::string(name) +
                      "'");
}

PyErr unexpected_keyword(const FunctionDescription& desc, PyObject* key) {
    PyObject* text = PyObject_Str(key);
    if (text == nullptr) return PyErr::fetch();
    PyRef owned_text = PyRef::steal(text);
    std::string prefix = full_name(desc) + " got an unexpected keyword argument '";
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        return type_error(prefix + std::string(utf8, std::size_t(size)) + "'");
    }
    // A name that UTF-8 cannot carry (lone surrogates): build the message as a Python str.
    PyErr_Clear();
    PyObject* message = PyUnicode_FromFormat("%s%U'", prefix.c_str(), text);
    if (message == nullptr) return PyErr::fetch();
    return PyErr::new_deferred(PyExc_TypeError, PyRef::steal(message));
}

PyErr positional_only_as_keyword(const FunctionDescription& desc,
                                 const std::vector<std::string_view>& names) {
    return type_error(
        full_name(desc) +
        " got some positional-only arguments passed as keyword arguments: " + quoted_list(names));
}

PyErr missing(const FunctionDescription& desc, const char* kind,
              const std::vector<std::string_view>& names) {
    return type_error(full_name(desc) + " missing " + std::to_string(names.size()) + " required " +
                      kind + (names.size() == 1 ? " argument: " : " arguments: ") +
                      quoted_list(names));
}

bool same_name(std::string_view name, const char* utf8, Py_ssize_t size) {
    return name.size() == std::size_t(size) && std::memcmp(name.data(), utf8, name.size()) == 0;
}

// Everything after the positional values, shared by both input forms: each keyword goes to its
// slot (or is refused), then positional-only names passed as keywords, missing required
// positional and missing required keyword-only arguments are reported, in that order.
// `for_each_keyword(visit)` calls visit(key, value) for every keyword in call order and stops as
// soon as visit returns false.
template <class ForEachKeyword>
PyResult<void> bind_keywords_and_check(const FunctionDescription& desc, Py_ssize_t nargs,
                                       ForEachKeyword for_each_keyword,
                                       std::span<PyObject*> output) {
    const auto& positional = desc.positional_parameter_names;
    const auto& keyword_only = desc.keyword_only_parameters;
    const std::size_t P = positional.size();

    std::optional<PyErr> error;
    std::vector<std::string_view> positional_only_misuse;  // allocates only on misuse (an error)

    for_each_keyword([&](PyObject* key, PyObject* value) -> bool {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();  // non-str or unencodable name: no parameter can match it
            error.emplace(unexpected_keyword(desc, key));
            return false;
        }
        for (std::size_t j = 0; j < keyword_only.size(); ++j) {
            if (!same_name(keyword_only[j].name, utf8, size)) continue;
            if (output[P + j] != nullptr) {
                error.emplace(multiple_values(desc, keyword_only[j].name));
                return false;
            }
            output[P + j] = value;
            return true;
        }
        for (std::size_t j = 0; j < P; ++j) {
            if (!same_name(positional[j], utf8, size)) continue;
            if (j < desc.positional_only_parameters) {
                positional_only_misuse.push_back(positional[j]);
                return true;
            }
            if (output[j] != nullptr) {
                error.emplace(multiple_values(desc, positional[j]));
                return false;
            }
            output[j] = value;
            return true;
        }
        error.emplace(unexpected_keyword(desc, key));
        return false;
    });
    if (error) return std::move(*error);

    if (!positional_only_misuse.empty()) {
        return positional_only_as_keyword(desc, positional_only_misuse);
    }

    const std::size_t required = desc.required_positional_parameters;
    if (std::size_t(nargs) < required) {
        bool any_missing = false;
        for (std::size_t j = std::size_t(nargs); j < required; ++j) {
            any_missing = any_missing || output[j] == nullptr;
        }
        if (any_missing) {
            std::vector<std::string_view> names;
            for (std::size_t j = 0; j < required; ++j) {
                if (output[j] == nullptr) names.push_back(positional[j]);
            }
            return missing(desc, "positional", names);
        }
    }

    bool any_keyword_missing = false;
    for (std::size_t j = 0; j < keyword_only.size(); ++j) {
        any_keyword_missing =
            any_keyword_missing || (keyword_only[j].required && output[P + j] == nullptr);
    }
    if (any_keyword_missing) {
        std::vector<std::string_view> names;
        for (std::size_t j = 0; j < keyword_only.size(); ++j) {
            if (keyword_only[j].required && output[P + j] == nullptr) {
                names.push_back(keyword_only[j].name);
            }
        }
        return missing(desc, "keyword", names);
    }
    return ok();
}

// The first pass of both input forms: clears every slot, copies the positional values, reports too
// many of them.
std::optional<PyErr> bind_positional(const FunctionDescription& desc, PyObject* const* values,
                                     Py_ssize_t nargs, std::span<PyObject*> output) {
    for (PyObject*& slot : output) slot = nullptr;
    const std::size_t P = desc.positional_parameter_names.size();
    const std::size_t copied = std::min(std::size_t(nargs), P);
    for (std::size_t i = 0; i < copied; ++i) output[i] = values[i];
    if (std::size_t(nargs) > P) return too_many_positional(desc, nargs);
    return std::nullopt;
}

}  // namespace

PyResult<void> extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames,
                                          std::span<PyObject*> output) {
    if (output.size() != desc.slot_count()) {
        return PyErr::new_deferred(PyExc_SystemError,
                                   std::string("argument slots do not match the description"));
    }
    if (auto error = bind_positional(desc, args, nargs, output)) return std::move(*error);
    auto for_each_keyword = [&](auto&& visit) {
        if (kwnames == nullptr) return;
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (!visit(PyTuple_GET_ITEM(kwnames, i), args[nargs + i])) return;
        }
    };
    return bind_keywords_and_check(desc, nargs, for_each_keyword, output);
}

PyResult<void> extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args,
                                            PyObject* kwargs, std::span<PyObject*> output) {
    if (output.size() != desc.slot_count()) {
        return PyErr::new_deferred(PyExc_SystemError,
                                   std::string("argument slots do not match the description"));
    }
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (auto error =
            bind_positional(desc, reinterpret_cast<PyTupleObject*>(args)->ob_item, nargs, output)) {
        return std::move(*error);
    }
    auto for_each_keyword = [&](auto&& visit) {
        if (kwargs == nullptr) return;
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!visit(key, value)) return;
        }
    };
    return bind_keywords_and_check(desc, nargs, for_each_keyword, output);
}

PyErr argument_extraction_error(std::string_view arg_name, PyErr error) {
    if (!error.is_exactly(PyExc_TypeError)) return error;
    PyObject* original = error.value();
    PyObject* text = PyObject_Str(original);
    if (text == nullptr) return PyErr::fetch();
    PyRef owned_text = PyRef::steal(text);
    PyObject* message =
        PyUnicode_FromFormat("argument '%.*s': %U", int(arg_name.size()), arg_name.data(), text);
    if (message == nullptr) return PyErr::fetch();
    PyErr wrapped = PyErr::new_deferred(PyExc_TypeError, PyRef::steal(message));
    PyObject* wrapped_value = wrapped.value();
    // PyException_SetCause steals the cause (NULL allowed) and sets __suppress_context__.
    PyException_SetCause(wrapped_value, PyException_GetCause(original));
    return wrapped;  // `error` is dropped here
}

}  // namespace morvane::binding
