#include "pymorvane/src/fetch_routes_entry.hpp"

#include <array>
#include <climits>
#include <span>
#include <string_view>

#include "binding/function_description.hpp"
#include "binding/trampoline.hpp"
#include "pymorvane/src/route_fetch_job.hpp"

namespace pymorvane {

using morvane::binding::PyErr;
using morvane::binding::PyRef;
using morvane::binding::PyResult;

namespace {

constexpr std::array<std::string_view, 1> kParameters{"asn"};
constexpr morvane::binding::FunctionDescription kDescription{
    .cls_name = {},
    .func_name = "fetch_routes",
    .positional_parameter_names = kParameters,
    .positional_only_parameters = 0,
    .required_positional_parameters = 1,
    .keyword_only_parameters = {},
};

PyResult<PyRef> fetch_routes_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound{};
    if (auto r = extract_arguments_fastcall(kDescription, args, nargs, kwnames, bound); !r) {
        return std::move(r).error();
    }
    PyResult<std::int32_t> asn = convert_asn(bound[0]);
    if (!asn) return std::move(asn).error();
    return start_route_fetch(asn.value());
}

// The vectorcall entry, run inside the fastcall entry guard. METH_STATIC: `self` is NULL.
PyObject* pyfunction_fetch_routes(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return morvane::binding::trampoline_fastcall(
        [&] { return fetch_routes_body(args, nargs, kwnames); });
}

PyMethodDef kFetchRoutesMethod{
    "fetch_routes",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&pyfunction_fetch_routes)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "fetch_routes(asn)\n--\n\n",
};

}  // namespace

PyMethodDef* fetch_routes_method() {
    return &kFetchRoutesMethod;
}

PyResult<std::int32_t> convert_asn(PyObject* asn) {
    const long value = PyLong_AsLong(asn);
    if (value == -1 && PyErr_Occurred()) {
        return morvane::binding::argument_extraction_error("asn", PyErr::fetch());
    }
    if (value < INT32_MIN || value > INT32_MAX) {
        return morvane::binding::argument_extraction_error(
            "asn", PyErr::new_deferred(PyExc_OverflowError,
                                       "out of range integral type conversion attempted"));
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace pymorvane
