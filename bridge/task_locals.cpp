#include "bridge/task_locals.hpp"

#include <utility>

#include "bridge/py_caches.hpp"

namespace morvane::bridge {

using binding::PyErr;
using binding::PyRef;
using binding::PyResult;

const runtime::TaskLocalKey<TaskLocals> TASK_LOCALS;

TaskLocals::TaskLocals(PyRef event_loop, PyRef context)
    : inner_(std::make_shared<const TaskLocalsInner>(
          TaskLocalsInner{std::move(event_loop), std::move(context)})) {}

PyResult<TaskLocals> TaskLocals::with_running_loop() {
    PyResult<PyObject*> get_running_loop = get_running_loop_function();
    if (!get_running_loop.ok()) return std::move(get_running_loop).error();
    PyRef loop = PyRef::steal(PyObject_CallNoArgs(get_running_loop.value()));
    if (!loop) return PyErr::fetch();
    return TaskLocals(std::move(loop), PyRef::borrow(Py_None));
}

PyResult<TaskLocals> copy_context(TaskLocals locals) {
    PyResult<PyObject*> contextvars = contextvars_module();
    if (!contextvars.ok()) return std::move(contextvars).error();
    PyResult<PyObject*> name = names::copy_context.get();
    if (!name.ok()) return std::move(name).error();
    PyRef context = PyRef::steal(PyObject_CallMethodNoArgs(contextvars.value(), name.value()));
    if (!context) return PyErr::fetch();
    return with_context(std::move(locals), std::move(context));
}

TaskLocals with_context(TaskLocals locals, PyRef context) {
    // A new record sharing the loop; `locals` (the old record) is released on return.
    return TaskLocals(PyRef::borrow(locals.event_loop()), std::move(context));
}

std::optional<TaskLocals> get_task_locals() {
    return TASK_LOCALS.try_with([](const TaskLocals* locals) -> std::optional<TaskLocals> {
        if (locals == nullptr) return std::nullopt;
        return *locals;
    });
}

}  // namespace morvane::bridge
