#include "bridge/future_ops.hpp"

#include <utility>

#include "bridge/callbacks.hpp"
#include "bridge/py_caches.hpp"

namespace morvane::bridge {

using binding::InternedString;
using binding::PyErr;
using binding::PyRef;
using binding::PyResult;

namespace {

PyResult<PyRef> get_attr(PyObject* object, InternedString& name) {
    PyResult<PyObject*> interned = name.get();
    if (!interned.ok()) return std::move(interned).error();
    PyRef attribute = PyRef::steal(PyObject_GetAttr(object, interned.value()));
    if (!attribute) return PyErr::fetch();
    return attribute;
}

PyResult<PyRef> call_method0(PyObject* object, InternedString& name) {
    PyResult<PyObject*> interned = name.get();
    if (!interned.ok()) return std::move(interned).error();
    PyRef result = PyRef::steal(PyObject_CallMethodNoArgs(object, interned.value()));
    if (!result) return PyErr::fetch();
    return result;
}

}  // namespace

PyResult<PyRef> create_future(PyObject* event_loop) {
    return call_method0(event_loop, names::create_future);
}

PyResult<bool> cancelled(PyObject* future) {
    PyResult<PyRef> answer = call_method0(future, names::cancelled);
    if (!answer.ok()) return std::move(answer).error();
    const int truth = PyObject_IsTrue(answer.value().get());
    if (truth < 0) return PyErr::fetch();
    return truth != 0;
}

PyResult<void> add_done_callback(PyObject* future, PyObject* callback) {
    PyResult<PyObject*> name = names::add_done_callback.get();
    if (!name.ok()) return std::move(name).error();
    PyRef ignored = PyRef::steal(PyObject_CallMethodOneArg(future, name.value(), callback));
    if (!ignored) return PyErr::fetch();
    return binding::ok();
}

PyResult<void> call_soon_threadsafe(PyObject* event_loop, PyObject* context, PyObject* args) {
    PyResult<PyObject*> context_name = names::context.get();
    if (!context_name.ok()) return std::move(context_name).error();
    PyRef kwargs = PyRef::steal(PyDict_New());
    if (!kwargs) return PyErr::fetch();
    if (PyDict_SetItem(kwargs.get(), context_name.value(), context) < 0) return PyErr::fetch();
    PyResult<PyRef> method = get_attr(event_loop, names::call_soon_threadsafe);
    if (!method.ok()) return std::move(method).error();
    PyRef handle = PyRef::steal(PyObject_Call(method.value().get(), args, kwargs.get()));
    if (!handle) return PyErr::fetch();
    return binding::ok();
}

PyResult<void> set_result(PyObject* event_loop, PyObject* future, PyResult<PyRef> outcome) {
    PyRef context = PyRef::borrow(Py_None);
    PyRef complete;
    PyRef value;
    if (outcome.ok()) {
        PyResult<PyRef> method = get_attr(future, names::set_result);
        if (!method.ok()) return std::move(method).error();
        complete = std::move(method).value();
        value = std::move(outcome).value();
    } else {
        // The method first: if it is missing, the error is dropped without being normalized.
        PyResult<PyRef> method = get_attr(future, names::set_exception);
        if (!method.ok()) return std::move(method).error();
        complete = std::move(method).value();
        value = std::move(outcome).error().into_value();
    }
    PyResult<PyRef> completor = new_checked_completor();
    if (!completor.ok()) return std::move(completor).error();
    PyRef args =
        PyRef::steal(PyTuple_Pack(4, completor.value().get(), future, complete.get(), value.get()));
    if (!args) return PyErr::fetch();
    return call_soon_threadsafe(event_loop, context.get(), args.get());
}

}  // namespace morvane::bridge
