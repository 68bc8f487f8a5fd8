#pragma once
// TaskLocals: the event loop a bridged call was made on, and the contextvars context captured for
// it. Shared and immutable: copies share one record through an atomic count, so they are made and
// dropped on any thread without the interpreter lock. When the last holder lets go, both Python
// references are released by the PyRef rule (at once on an attached thread, otherwise queued in
// the ReferencePool for the next attachment).
//
// While the runtime resumes a bridged job, the call's TaskLocals sit in the worker thread's
// task-local slot TASK_LOCALS; get_task_locals() reads them from there.
#include "binding/python.hpp"

#include <memory>
#include <optional>

#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"
#include "runtime/task_local.hpp"

namespace morvane::bridge {

struct TaskLocalsInner {
    binding::PyRef event_loop;
    binding::PyRef context;  // None in a record that has only its loop so far
};

class TaskLocals {
  public:
    // Both references must be non-empty.
    TaskLocals(binding::PyRef event_loop, binding::PyRef context);

    // The running loop of this thread (asyncio.get_running_loop()), context None; or the
    // exception that call raised (RuntimeError when no loop runs here). Lock held.
    static binding::PyResult<TaskLocals> with_running_loop();

    // Borrowed; valid while this TaskLocals (or a copy) lives.
    PyObject* event_loop() const noexcept { return inner_->event_loop.get(); }
    PyObject* context() const noexcept { return inner_->context.get(); }

  private:
    std::shared_ptr<const TaskLocalsInner> inner_;
};

// Same loop (one more reference to it), a copy of the current context
// (contextvars.copy_context()). Consumes `locals`. Lock held.
binding::PyResult<TaskLocals> copy_context(TaskLocals locals);
// Same loop (one more reference to it) and `context`. Consumes `locals`. Lock held.
TaskLocals with_context(TaskLocals locals, binding::PyRef context);

// The process-wide task-local slot of the runtime's worker threads.
extern const runtime::TaskLocalKey<TaskLocals> TASK_LOCALS;

// A shared copy of the TaskLocals of the job scope the current thread is resuming, if any. A
// thread whose slot is already being destroyed has none. Any thread, no lock needed.
std::optional<TaskLocals> get_task_locals();

}  // namespace morvane::bridge
