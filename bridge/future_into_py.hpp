#pragma once
// future_into_py: turns a background job into an asyncio future of the caller's running loop.
//
// Interface for module code (called on the loop thread, with the interpreter lock held, inside an
// entry guard):
//
//   struct MyJob {                      // any runtime::Future, movable between threads
//       runtime::Poll<binding::PyResult<MyValue>> poll(runtime::Context&);
//   };
//   template <> struct bridge::ToPython<MyValue> { ... };   // see to_python.hpp
//
//   binding::PyResult<binding::PyRef> fut = bridge::future_into_py(MyJob{...});
//
// The result is the new pending future (a new reference, ready to hand to the interpreter), or
// the Python exception to raise (no running loop: RuntimeError; the interpreter is exiting:
// RuntimeError kExiting; failures of the capture, create_future or add_done_callback). On error the
// job has been destroyed without running. A morvane::Fault (the runtime cannot be built, a callback
// class cannot be created) propagates to the caller's entry guard, which raises it as
// PanicException.
//
// Once the future is returned, the job runs on the runtime's workers whether or not anyone awaits
// the future. Its outcome reaches the future on the loop's thread: the value converted by
// ToPython (set_result), its PyErr (set_exception), or FuturePanic if it faulted. Cancelling the
// future destroys the job at its next resumption; nothing is delivered then. Inside the job,
// get_task_locals() gives the caller's loop and a copy of its contextvars context.
//
// Ownership: the call's TaskLocals and two further future references travel with the runtime
// tasks; the future's done callback (PyDoneCallback) holds the sending end of the cancel signal.
#include <optional>
#include <utility>

#include "binding/exit_gate.hpp"
#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"
#include "bridge/callbacks.hpp"
#include "bridge/cancel_signal.hpp"
#include "bridge/future_ops.hpp"
#include "bridge/future_panic.hpp"
#include "bridge/task_locals.hpp"
#include "bridge/tasks.hpp"
#include "runtime/runtime.hpp"

namespace morvane::bridge {

// The refusal of a call made once the interpreter has begun to exit (the exit gate is closed).
inline constexpr const char* kExiting = "cannot start a lookup: the interpreter is exiting";

template <BridgeJob Job>
binding::PyResult<binding::PyRef> future_into_py_with_locals(TaskLocals locals, Job job) {
    // On every early return below, what is still held here is released (with the lock held):
    // the signal's ends, the job (never run), the TaskLocals and the future.
    auto [sender, receiver] = cancel_channel();
    binding::PyResult<binding::PyRef> created = create_future(locals.event_loop());
    if (!created.ok()) return std::move(created).error();
    binding::PyRef future = std::move(created).value();
    {
        binding::PyResult<binding::PyRef> callback = new_done_callback(std::move(sender));
        if (!callback.ok()) return std::move(callback).error();
        binding::PyResult<void> added = add_done_callback(future.get(), callback.value().get());
        if (!added.ok()) return std::move(added).error();
    }
    OuterTask<Job> outer(std::move(locals), std::move(job), std::move(receiver), future.clone(),
                         future.clone());
    // The first call of the process builds the runtime here, on this thread, lock held.
    runtime::Runtime& rt = runtime::get_runtime();
    (void)rt.spawn(std::move(outer));  // the join handle is let go: the task is detached
    return future;
}

template <BridgeJob Job>
binding::PyResult<binding::PyRef> future_into_py(Job job) {
    // The outcome is delivered from a blocking thread: the exit gate that keeps such threads out
    // of a finalizing interpreter must be in place before the first job starts (modules install
    // it when they are executed; this covers one that did not). Once the gate is closed no
    // outcome can be delivered, so the call is refused instead of returning a future that would
    // never complete. A gate that closes after this check drops the outcome, as it does for
    // every job in flight at exit.
    binding::ExitGate& gate = binding::ExitGate::instance();
    if (binding::PyResult<void> installed = gate.install(); !installed.ok())
        return std::move(installed).error();
    if (gate.closed()) return binding::PyErr::new_deferred(PyExc_RuntimeError, kExiting);
    std::optional<TaskLocals> locals = get_task_locals();
    if (!locals) {
        binding::PyResult<TaskLocals> running = TaskLocals::with_running_loop();
        if (!running.ok()) return std::move(running).error();
        binding::PyResult<TaskLocals> captured = copy_context(std::move(running).value());
        if (!captured.ok()) return std::move(captured).error();
        locals.emplace(std::move(captured).value());
    }
    return future_into_py_with_locals(std::move(*locals), std::move(job));
}

}  // namespace morvane::bridge
