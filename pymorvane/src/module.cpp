// The shared object's two initializers: `pymorvane` (the product) and `async_bridge` (which only
// publishes FuturePanic). Both use multi-phase initialization; importing builds nothing and
// starts no thread: the runtime and the caches are made by the first fetch_routes call. Importing
// `pymorvane` does install the exit gate (exit_gate.hpp): its at-exit hook must be registered
// before the interpreter starts running the at-exit functions, which a first call made by one of
// them would be too late for.
#include "binding/python.hpp"

#include "binding/exit_gate.hpp"
#include "binding/py_ref.hpp"
#include "binding/trampoline.hpp"
#include "bridge/future_panic.hpp"
#include "pymorvane/src/fetch_routes_entry.hpp"
#include "pymorvane/src/module_attributes.hpp"

namespace pymorvane {
namespace {

using morvane::binding::PyErr;
using morvane::binding::PyRef;
using morvane::binding::PyResult;

PyResult<void> pymorvane_exec_body(PyObject* module) {
    if (auto r = check_is_module(module); !r) return std::move(r).error();
    if (auto r = require_main_interpreter("pymorvane"); !r) return std::move(r).error();
    if (auto r = morvane::binding::ExitGate::instance().install(); !r) {
        return std::move(r).error();
    }
    PyRef name = PyRef::steal(PyModule_GetNameObject(module));
    if (!name) return PyErr::fetch();
    PyRef function =
        PyRef::steal(PyCMethod_New(fetch_routes_method(), module, name.get(), nullptr));
    if (!function) return PyErr::fetch();
    name.reset();
    return add_named(module, function.get());
}

int pymorvane_exec(PyObject* module) {
    return morvane::binding::trampoline_module_exec([&] { return pymorvane_exec_body(module); });
}

PyResult<void> async_bridge_exec_body(PyObject* module) {
    if (auto r = check_is_module(module); !r) return std::move(r).error();
    if (auto r = require_main_interpreter("async_bridge"); !r) return std::move(r).error();
    PyObject* future_panic = morvane::bridge::future_panic_type();  // borrowed, process-wide
    return add_named(module, future_panic);
}

int async_bridge_exec(PyObject* module) {
    return morvane::binding::trampoline_module_exec([&] { return async_bridge_exec_body(module); });
}

PyModuleDef_Slot pymorvane_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&pymorvane_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef pymorvane_def = {
    PyModuleDef_HEAD_INIT,
    "pymorvane",
    "Native Python module that looks up the IP prefixes an autonomous system originates in an "
    "Internet Routing Registry, from asyncio.",
    0,
    nullptr,
    pymorvane_slots,
    nullptr,
    nullptr,
    nullptr,
};

PyModuleDef_Slot async_bridge_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&async_bridge_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef async_bridge_def = {
    PyModuleDef_HEAD_INIT, "async_bridge", "",      0,       nullptr,
    async_bridge_slots,    nullptr,        nullptr, nullptr,
};

}  // namespace
}  // namespace pymorvane

PyMODINIT_FUNC PyInit_pymorvane() {
    return PyModuleDef_Init(&pymorvane::pymorvane_def);
}

PyMODINIT_FUNC PyInit_async_bridge() {
    return PyModuleDef_Init(&pymorvane::async_bridge_def);
}
