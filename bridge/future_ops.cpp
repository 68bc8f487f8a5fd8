#include "bridge/future_ops.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "base/fault.hpp"
#include "bridge/callbacks.hpp"
#include "bridge/py_caches.hpp"

namespace morvane::bridge {

using binding::InternedString;
using binding::PyErr;
using binding::PyRef;
using binding::PyResult;

namespace {

// What `use(object, the interned name)` returns (a new reference), or the error it raised.
PyResult<PyRef> with_name(PyObject* object, InternedString& name,
                          PyObject* (*use)(PyObject*, PyObject*)) {
    PyResult<PyObject*> interned = name.get();
    if (!interned.ok()) return std::move(interned).error();
    PyRef result = PyRef::steal(use(object, interned.value()));
    if (!result) return PyErr::fetch();
    return result;
}

PyResult<PyRef> get_attr(PyObject* object, InternedString& name) {
    return with_name(object, name, PyObject_GetAttr);
}

PyResult<PyRef> call_method0(PyObject* object, InternedString& name) {
    return with_name(object, name, PyObject_CallMethodNoArgs);
}

// The keyword names of the scheduling call: ("context",), built once per process.
binding::OnceCache<PyRef> KEYWORD_NAMES_CONTEXT;

PyResult<PyObject*> keyword_names_context() {
    if (const PyRef* cached = KEYWORD_NAMES_CONTEXT.peek()) return cached->get();
    // The name is interned before entering the once-lock, so that the fill enters no other
    // once-lock (once_cache.hpp).
    PyResult<PyObject*> name = names::context.get();
    if (!name.ok()) return std::move(name).error();
    PyObject* text = name.value();
    PyResult<const PyRef*> cached =
        KEYWORD_NAMES_CONTEXT.get_or_try_init([text]() -> PyResult<PyRef> {
            PyRef tuple = PyRef::steal(PyTuple_Pack(1, text));
            if (!tuple) return PyErr::fetch();
            return tuple;
        });
    if (!cached.ok()) return std::move(cached).error();
    return cached.value()->get();
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

PyResult<void> call_soon_threadsafe(PyObject* event_loop, PyObject* context,
                                    std::span<PyObject* const> args) {
    PyResult<PyObject*> method = names::call_soon_threadsafe.get();
    if (!method.ok()) return std::move(method).error();
    PyResult<PyObject*> keywords = keyword_names_context();
    if (!keywords.ok()) return std::move(keywords).error();
    // One vectorcall: the loop, the positional arguments, then the keyword's value. No bound
    // method, argument tuple or keyword dict is built.
    std::array<PyObject*, kMaxScheduledArgs + 2> stack{};
    if (args.size() > kMaxScheduledArgs) throw Fault("call_soon_threadsafe: too many arguments");
    stack[0] = event_loop;
    std::copy(args.begin(), args.end(), stack.begin() + 1);
    stack[args.size() + 1] = context;
    PyRef handle = PyRef::steal(PyObject_VectorcallMethod(
        method.value(), stack.data(), (args.size() + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
        keywords.value()));
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
    const std::array<PyObject*, 4> args{completor.value().get(), future, complete.get(),
                                        value.get()};
    return call_soon_threadsafe(event_loop, context.get(), args);
}

}  // namespace morvane::bridge
