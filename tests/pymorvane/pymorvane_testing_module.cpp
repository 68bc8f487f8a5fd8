// Test-only module: fetch_routes_from(address, asn) runs the production route-fetch job against
// the given registry address (the product uses a constant), through the same entry guard, binder,
// conversion and bridge. Importing it installs the exit gate, as importing the product does.
#include "binding/python.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>

#include "binding/attach_guard.hpp"
#include "binding/exit_gate.hpp"
#include "binding/function_description.hpp"
#include "binding/trampoline.hpp"
#include "pymorvane/src/fetch_routes_entry.hpp"
#include "pymorvane/src/route_fetch_job.hpp"

namespace {

using morvane::binding::PyErr;
using morvane::binding::PyRef;
using morvane::binding::PyResult;

constexpr std::array<std::string_view, 2> kParameters{"address", "asn"};
constexpr morvane::binding::FunctionDescription kDescription{
    .cls_name = {},
    .func_name = "fetch_routes_from",
    .positional_parameter_names = kParameters,
    .positional_only_parameters = 0,
    .required_positional_parameters = 2,
    .keyword_only_parameters = {},
};

PyResult<PyRef> body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> bound{};
    if (auto r = extract_arguments_fastcall(kDescription, args, nargs, kwnames, bound); !r) {
        return std::move(r).error();
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(bound[0], &size);
    if (!text) return PyErr::fetch();
    PyResult<std::int32_t> asn = pymorvane::convert_asn(bound[1]);
    if (!asn) return std::move(asn).error();
    return pymorvane::start_route_fetch_from(std::string(text, static_cast<size_t>(size)),
                                             asn.value());
}

PyObject* fetch_routes_from(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return morvane::binding::trampoline_fastcall([&] { return body(args, nargs, kwnames); });
}

// slow_attach(): from now on every thread that attaches to deliver an outcome sleeps 20 ms
// between its exit checks and taking the lock, so that exits meet attaches in that window.
PyObject* slow_attach(PyObject*, PyObject*) {
    morvane::binding::testing::before_taking_lock.store(
        [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    Py_RETURN_NONE;
}

// watch_exit_drain(): from now on, the exit hook's waiting for threads inside the gate is recorded;
// wait_for_exit_drain() then blocks, with the lock given up, until it has waited once. A
// completion that calls it holds its place in the gate until the hook waits for it.
std::atomic<bool> exit_drain_waited{false};
PyObject* watch_exit_drain(PyObject*, PyObject*) {
    morvane::binding::testing::closing_waits.store([] {
        exit_drain_waited.store(true);
        exit_drain_waited.notify_all();
    });
    Py_RETURN_NONE;
}
PyObject* wait_for_exit_drain(PyObject*, PyObject*) {
    return morvane::binding::trampoline_fastcall([]() -> PyResult<PyRef> {
        {
            morvane::binding::DetachScope detached;
            exit_drain_waited.wait(false);
        }
        return PyRef::borrow(Py_None);
    });
}

PyMethodDef methods[] = {
    {"slow_attach", slow_attach, METH_NOARGS, nullptr},
    {"watch_exit_drain", watch_exit_drain, METH_NOARGS, nullptr},
    {"wait_for_exit_drain", wait_for_exit_drain, METH_NOARGS, nullptr},
    {"fetch_routes_from",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fetch_routes_from)),
     METH_FASTCALL | METH_KEYWORDS, "fetch_routes_from(address, asn)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject*) {
    return morvane::binding::trampoline_module_exec(
        [] { return morvane::binding::ExitGate::instance().install(); });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT,
    "_pymorvane_testing",
    "Test-only access to the route-fetch job.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit__pymorvane_testing() {
    return PyModuleDef_Init(&def);
}
