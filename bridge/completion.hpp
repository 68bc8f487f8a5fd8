#pragma once
// The completion step of a bridged call: runs once on a blocking-pool thread, the only place
// after the entry where the bridge takes the interpreter lock outside the loop thread.
//
// Both records hold the job's outcome (or the fault payload), a reference to the future and the
// call's TaskLocals. Running one:
//   1. attach to the interpreter (AttachGuard::attach; a finalizing interpreter is a fault that
//      ends the completion, caught by the blocking pool: nothing is delivered);
//   2. if future.cancelled() (an error there is printed and counts as "not cancelled"), stop;
//   3. convert the outcome (ToPython) or build FuturePanic from the payload;
//   4. set_result(): schedule CheckedCompletor on the loop; an error there is printed
//      (PyErr_PrintEx(1)) and the future stays pending.
// Every Python reference the record holds is released while the lock is still held.
#include <exception>
#include <utility>

#include "binding/attach_guard.hpp"
#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"
#include "bridge/future_ops.hpp"
#include "bridge/future_panic.hpp"
#include "bridge/task_locals.hpp"
#include "bridge/to_python.hpp"

namespace morvane::bridge {

namespace detail {

// future.cancelled(), with an error printed and read as "not cancelled". Lock held.
bool cancelled_or_print(PyObject* future);

// Schedules the completor with `outcome` (set_result); an error there is printed. Lock held.
void deliver(const TaskLocals& locals, PyObject* future, binding::PyResult<binding::PyRef> outcome);

}  // namespace detail

template <ConvertibleToPython T>
struct ResultCompletion {
    binding::PyResult<T> outcome;
    binding::PyRef future;
    TaskLocals locals;

    void operator()() {
        binding::AttachGuard guard = binding::AttachGuard::attach();
        // Moved into locals declared after the guard, so they are released before it ends.
        binding::PyResult<T> taken = std::move(outcome);
        binding::PyRef fut = std::move(future);
        TaskLocals call_locals = std::move(locals);
        if (detail::cancelled_or_print(fut.get())) return;
        binding::PyResult<binding::PyRef> converted =
            taken.ok() ? ToPython<T>::convert(std::move(taken).value())
                       : binding::PyResult<binding::PyRef>(std::move(taken).error());
        detail::deliver(call_locals, fut.get(), std::move(converted));
    }
};

struct FaultCompletion {
    std::exception_ptr payload;
    binding::PyRef future;
    TaskLocals locals;

    void operator()();
};

}  // namespace morvane::bridge
