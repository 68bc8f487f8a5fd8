// Functions whose arguments are bound by FunctionDescriptions of several shapes. Each returns the
// bound slots as a tuple (None for an empty slot).
#include <cstdint>
#include <string_view>

#include "binding/function_description.hpp"
#include "binding/trampoline.hpp"
#include "testing_module.hpp"

namespace binding_testing {

using morvane::binding::argument_extraction_error;
using morvane::binding::extract_arguments_fastcall;
using morvane::binding::extract_arguments_tuple_dict;
using morvane::binding::FunctionDescription;
using morvane::binding::KeywordOnlyParameterDescription;
using morvane::binding::PyErr;
using morvane::binding::PyRef;
using morvane::binding::PyResult;
using morvane::binding::trampoline_fastcall;

namespace {

constexpr std::string_view kAsn[] = {"asn"};
constexpr FunctionDescription kSimple{.cls_name = "",
                                      .func_name = "simple",
                                      .positional_parameter_names = kAsn,
                                      .positional_only_parameters = 0,
                                      .required_positional_parameters = 1,
                                      .keyword_only_parameters = {}};

// general(a, b, /, c, d=None, *, e, f=None)
constexpr std::string_view kGeneralPositional[] = {"a", "b", "c", "d"};
constexpr KeywordOnlyParameterDescription kGeneralKeywordOnly[] = {{"e", true}, {"f", false}};
constexpr FunctionDescription kGeneral{.cls_name = "",
                                       .func_name = "general",
                                       .positional_parameter_names = kGeneralPositional,
                                       .positional_only_parameters = 2,
                                       .required_positional_parameters = 3,
                                       .keyword_only_parameters = kGeneralKeywordOnly};
// The same shape, as a method of a class, bound from a tuple and a dict.
constexpr FunctionDescription kGeneralMethod = [] {
    FunctionDescription method = kGeneral;
    method.cls_name = "Holder";
    method.func_name = "method";
    return method;
}();
// kwonly(*, x, y, z, w=None): only keyword-only parameters.
constexpr KeywordOnlyParameterDescription kKeywordOnly[] = {
    {"x", true}, {"y", true}, {"z", true}, {"w", false}};
constexpr FunctionDescription kKwOnly{.cls_name = "",
                                      .func_name = "kwonly",
                                      .positional_parameter_names = {},
                                      .positional_only_parameters = 0,
                                      .required_positional_parameters = 0,
                                      .keyword_only_parameters = kKeywordOnly};

PyResult<PyRef> slots_to_tuple(std::span<PyObject*> slots) {
    PyObject* tuple = PyTuple_New(Py_ssize_t(slots.size()));
    if (tuple == nullptr) return PyErr::fetch();
    for (std::size_t i = 0; i < slots.size(); ++i) {
        PyObject* item = slots[i] != nullptr ? slots[i] : Py_None;
        PyTuple_SET_ITEM(tuple, Py_ssize_t(i), Py_NewRef(item));
    }
    return PyRef::steal(tuple);
}

template <std::size_t N>
PyObject* bind_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyObject* slots[N];
        if (auto bound = extract_arguments_fastcall(desc, args, nargs, kwnames, slots); !bound) {
            return std::move(bound).error();
        }
        return slots_to_tuple(slots);
    });
}

template <std::size_t N>
PyObject* bind_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs) {
    return morvane::binding::trampoline_call([&]() -> PyResult<PyRef> {
        PyObject* slots[N];
        if (auto bound = extract_arguments_tuple_dict(desc, args, kwargs, slots); !bound) {
            return std::move(bound).error();
        }
        return slots_to_tuple(slots);
    });
}

PyObject* simple(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind_fastcall<1>(kSimple, args, nargs, kwnames);
}
PyObject* general(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind_fastcall<6>(kGeneral, args, nargs, kwnames);
}
PyObject* kwonly(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind_fastcall<4>(kKwOnly, args, nargs, kwnames);
}
PyObject* simple_td(PyObject*, PyObject* args, PyObject* kwargs) {
    return bind_tuple_dict<1>(kSimple, args, kwargs);
}
PyObject* general_td(PyObject*, PyObject* args, PyObject* kwargs) {
    return bind_tuple_dict<6>(kGeneralMethod, args, kwargs);
}

// The AS-number conversion shape: binds `asn`, converts it to a signed 32-bit integer and passes
// conversion errors through argument_extraction_error.
PyObject* convert_asn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return trampoline_fastcall([&]() -> PyResult<PyRef> {
        PyObject* slots[1];
        if (auto bound = extract_arguments_fastcall(kSimple, args, nargs, kwnames, slots); !bound) {
            return std::move(bound).error();
        }
        long value = PyLong_AsLong(slots[0]);
        if (value == -1 && PyErr_Occurred()) {
            return argument_extraction_error("asn", PyErr::fetch());
        }
        if (value < INT32_MIN || value > INT32_MAX) {
            return argument_extraction_error(
                "asn", PyErr::new_deferred(PyExc_OverflowError,
                                           "out of range integral type conversion attempted"));
        }
        PyObject* result = PyLong_FromLong(value);
        if (result == nullptr) return PyErr::fetch();
        return PyRef::steal(result);
    });
}

}  // namespace

PyMethodDef binder_methods[] = {
    {"simple", PyCFunction(reinterpret_cast<void (*)()>(simple)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"general", PyCFunction(reinterpret_cast<void (*)()>(general)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"kwonly", PyCFunction(reinterpret_cast<void (*)()>(kwonly)), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {"simple_td", PyCFunction(reinterpret_cast<void (*)()>(simple_td)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"general_td", PyCFunction(reinterpret_cast<void (*)()>(general_td)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"convert_asn", PyCFunction(reinterpret_cast<void (*)()>(convert_asn)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace binding_testing
