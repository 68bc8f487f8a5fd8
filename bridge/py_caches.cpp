#include "bridge/py_caches.hpp"

#include "binding/py_ref.hpp"

namespace morvane::bridge {

using binding::OnceCache;
using binding::PyErr;
using binding::PyRef;
using binding::PyResult;

namespace names {
binding::InternedString add_done_callback{"add_done_callback"};
binding::InternedString cancelled{"cancelled"};
binding::InternedString call_soon_threadsafe{"call_soon_threadsafe"};
binding::InternedString context{"context"};
binding::InternedString copy_context{"copy_context"};
binding::InternedString create_future{"create_future"};
binding::InternedString get_running_loop{"get_running_loop"};
binding::InternedString set_exception{"set_exception"};
binding::InternedString set_result{"set_result"};
}  // namespace names

namespace {

OnceCache<PyRef> ASYNCIO;
OnceCache<PyRef> GET_RUNNING_LOOP;
OnceCache<PyRef> CONTEXTVARS;

PyResult<PyRef> import_module(const char* name) {
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text) return PyErr::fetch();
    PyRef module = PyRef::steal(PyImport_Import(text.get()));
    if (!module) return PyErr::fetch();
    return module;
}

PyResult<PyObject*> borrowed(PyResult<const PyRef*> cached) {
    if (!cached.ok()) return std::move(cached).error();
    return cached.value()->get();
}

}  // namespace

PyResult<PyObject*> asyncio_module() {
    return borrowed(ASYNCIO.get_or_try_init([] { return import_module("asyncio"); }));
}

PyResult<PyObject*> get_running_loop_function() {
    if (const PyRef* cached = GET_RUNNING_LOOP.peek()) return cached->get();
    // The module and the name are filled before entering GET_RUNNING_LOOP's once-lock, so that
    // the fill enters no other once-lock (once_cache.hpp).
    PyResult<PyObject*> asyncio = asyncio_module();
    if (!asyncio.ok()) return std::move(asyncio).error();
    PyResult<PyObject*> name = names::get_running_loop.get();
    if (!name.ok()) return std::move(name).error();
    PyObject* const module = asyncio.value();
    PyObject* const attribute = name.value();
    return borrowed(GET_RUNNING_LOOP.get_or_try_init([module, attribute]() -> PyResult<PyRef> {
        PyRef function = PyRef::steal(PyObject_GetAttr(module, attribute));
        if (!function) return PyErr::fetch();
        return function;
    }));
}

PyResult<PyObject*> contextvars_module() {
    return borrowed(CONTEXTVARS.get_or_try_init([] { return import_module("contextvars"); }));
}

}  // namespace morvane::bridge
