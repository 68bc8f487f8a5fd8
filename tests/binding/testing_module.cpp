// Module definition of `_binding_testing` and its `CallProbe` class.
#include "testing_module.hpp"

#include <cstdlib>
#include <string_view>

#include "base/fault.hpp"
#include "binding/function_description.hpp"
#include "binding/trampoline.hpp"

namespace binding_testing {

using morvane::binding::FunctionDescription;
using morvane::binding::PyErr;
using morvane::binding::PyRef;
using morvane::binding::PyResult;

namespace {

// CallProbe.__call__(future, complete, value): the three-parameter callback shape. Returns the
// bound arguments as a tuple; counts deallocations so tests can see the dealloc guard run.
constexpr std::string_view kProbeParameters[] = {"future", "complete", "value"};
constexpr FunctionDescription kProbeCall{.cls_name = "CallProbe",
                                         .func_name = "__call__",
                                         .positional_parameter_names = kProbeParameters,
                                         .positional_only_parameters = 0,
                                         .required_positional_parameters = 3,
                                         .keyword_only_parameters = {}};

Py_ssize_t probe_deallocations = 0;  // interpreter lock held for every access

PyObject* probe_call(PyObject*, PyObject* args, PyObject* kwargs) {
    return morvane::binding::trampoline_call([&]() -> PyResult<PyRef> {
        PyObject* slots[3];
        if (auto bound = extract_arguments_tuple_dict(kProbeCall, args, kwargs, slots); !bound) {
            return std::move(bound).error();
        }
        PyObject* tuple = PyTuple_Pack(3, slots[0], slots[1], slots[2]);
        if (tuple == nullptr) return PyErr::fetch();
        return PyRef::steal(tuple);
    });
}

void probe_dealloc(PyObject* self) {
    morvane::binding::trampoline_dealloc([&] {
        PyTypeObject* type = Py_TYPE(self);
        ++probe_deallocations;
        type->tp_free(self);
        Py_DECREF(type);
    });
}

PyType_Slot probe_slots[] = {{Py_tp_call, reinterpret_cast<void*>(probe_call)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(probe_dealloc)},
                             {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
                             {0, nullptr}};
PyType_Spec probe_spec = {"_binding_testing.CallProbe", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                          probe_slots};

PyObject* probe_deallocation_count(PyObject*, PyObject*) {
    return PyLong_FromSsize_t(probe_deallocations);
}

PyMethodDef module_methods[] = {
    {"probe_deallocations", probe_deallocation_count, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

int module_exec(PyObject* module) {
    return morvane::binding::trampoline_module_exec([&]() -> PyResult<void> {
        // Lets a test see a fault in an exec slot become PanicException at import.
        if (std::getenv("BINDING_TESTING_EXEC_FAULT") != nullptr) {
            throw morvane::Fault("fault while executing the module");
        }
        if (PyModule_AddFunctions(module, binder_methods) < 0 ||
            PyModule_AddFunctions(module, hook_methods) < 0 ||
            PyModule_AddFunctions(module, module_methods) < 0) {
            return PyErr::fetch();
        }
        PyObject* type = PyType_FromSpec(&probe_spec);
        if (type == nullptr) return PyErr::fetch();
        if (PyModule_Add(module, "CallProbe", type) < 0) return PyErr::fetch();
        return morvane::binding::ok();
    });
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(module_exec)},
                                   {Py_mod_gil, Py_MOD_GIL_NOT_USED},
                                   {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,
                          "_binding_testing",
                          "Test-only entry points for the call boundary.",
                          0,
                          nullptr,
                          module_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

}  // namespace binding_testing

extern "C" PyMODINIT_FUNC PyInit__binding_testing() {
    return PyModuleDef_Init(&binding_testing::module_def);
}
