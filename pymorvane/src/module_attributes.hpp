#pragma once
// Named additions to a module object: the rule both of our modules follow when they publish an
// attribute. The attribute's own `__name__` is appended to the module's `__all__` (created as an
// empty list when missing), then the module attribute of that name is set. Lock held.
#include "binding/python.hpp"

#include "binding/pyerr.hpp"

namespace pymorvane {

// Fails with the interpreter's exception, or TypeError when `__all__` exists but is not a list;
// a failed append is the fault "could not append __name__ to __all__".
morvane::binding::PyResult<void> add_named(PyObject* module, PyObject* value);

// The first check of module exec: the object the interpreter created must be a module.
morvane::binding::PyResult<void> check_is_module(PyObject* object);

// Refuses to run in any interpreter but the main one: the runtime, the cached asyncio functions
// and the created classes are process-wide and belong to the interpreter that filled them, so a
// second interpreter (even a legacy one that shares the main interpreter's lock) would use
// another interpreter's objects. ImportError when refused.
morvane::binding::PyResult<void> require_main_interpreter(const char* module_name);

}  // namespace pymorvane
