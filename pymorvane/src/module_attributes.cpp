#include "pymorvane/src/module_attributes.hpp"

#include <string>

#include "base/fault.hpp"
#include "binding/py_ref.hpp"

namespace pymorvane {

using morvane::binding::PyErr;
using morvane::binding::PyRef;
using morvane::binding::PyResult;

namespace {

// The module's `__all__` list, created (and set) when the module has none.
PyResult<PyRef> all_list(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (all) {
        if (!PyList_Check(all.get())) {
            return PyErr::new_deferred(PyExc_TypeError, "__all__ must be a list");
        }
        return all;
    }
    PyErr error = PyErr::fetch();
    if (!error.matches(PyExc_AttributeError)) return error;
    PyRef fresh = PyRef::steal(PyList_New(0));
    if (!fresh) return PyErr::fetch();
    if (PyObject_SetAttrString(module, "__all__", fresh.get()) < 0) return PyErr::fetch();
    return fresh;
}

}  // namespace

PyResult<void> add_named(PyObject* module, PyObject* value) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(value, "__name__"));
    if (!name) return PyErr::fetch();
    if (!PyUnicode_Check(name.get())) {
        return PyErr::new_deferred(PyExc_TypeError, "__name__ must be a str");
    }
    PyResult<PyRef> all = all_list(module);
    if (!all) return std::move(all).error();
    if (PyList_Append(all.value().get(), name.get()) < 0) {
        // The pending exception is replaced by the fault, which the exec guard raises.
        PyErr_Clear();
        throw morvane::Fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), value) < 0) return PyErr::fetch();
    return morvane::binding::ok();
}

PyResult<void> check_is_module(PyObject* object) {
    if (!PyModule_Check(object)) {
        return PyErr::new_deferred(PyExc_TypeError,
                                   "module exec was given an object that is not a module");
    }
    return morvane::binding::ok();
}

PyResult<void> require_main_interpreter(const char* module_name) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return morvane::binding::ok();
    return PyErr::new_deferred(
        PyExc_ImportError,
        std::string(module_name) +
            " can only be imported in the main interpreter: its background runtime and cached "
            "asyncio objects are shared by the whole process");
}

}  // namespace pymorvane
