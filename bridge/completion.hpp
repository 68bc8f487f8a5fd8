#pragma once
// The completion step of a bridged call: runs once on a blocking-pool thread, the only place
// after the entry where the bridge takes the interpreter lock outside the loop thread. Both
// records are queued (completion_queue.hpp), which runs them in order, attached.
//
// Both records hold the job's outcome (or the fault payload), a reference to the future and the
// call's TaskLocals. Running one:
//   1. (the queue's drainer is attached to the interpreter; a finalizing interpreter refuses the
//      attachment, and then nothing is delivered);
//   2. if future.cancelled() (an error there is printed and counts as "not cancelled"), stop;
//   3. convert the outcome (ToPython) or build FuturePanic from the payload;
//   4. set_result(): schedule CheckedCompletor on the loop; an error there is printed
//      (PyErr_PrintEx(1)) and the future stays pending.
// Every Python reference the record holds is released while the lock is still held (the queue
// destroys each record attached, right after running it).
#include <exception>
#include <utility>

#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"
#include "bridge/completion_queue.hpp"
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
class ResultCompletion final : public QueuedCompletion {
  public:
    ResultCompletion(binding::PyResult<T> outcome, binding::PyRef future, TaskLocals locals)
        : outcome_(std::move(outcome)), future_(std::move(future)), locals_(std::move(locals)) {}

    void run() override {
        if (detail::cancelled_or_print(future_.get())) return;
        binding::PyResult<binding::PyRef> converted =
            outcome_.ok() ? ToPython<T>::convert(std::move(outcome_).value())
                          : binding::PyResult<binding::PyRef>(std::move(outcome_).error());
        detail::deliver(locals_, future_.get(), std::move(converted));
    }

  private:
    binding::PyResult<T> outcome_;
    binding::PyRef future_;
    TaskLocals locals_;
};

class FaultCompletion final : public QueuedCompletion {
  public:
    FaultCompletion(std::exception_ptr payload, binding::PyRef future, TaskLocals locals)
        : payload_(std::move(payload)), future_(std::move(future)), locals_(std::move(locals)) {}

    void run() override;

  private:
    std::exception_ptr payload_;
    binding::PyRef future_;
    TaskLocals locals_;
};

}  // namespace morvane::bridge
