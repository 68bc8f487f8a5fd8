#pragma once
// The two runtime tasks of one bridged call. Neither ever takes the interpreter lock; the Python
// references they hold are dropped on worker threads and therefore go to the ReferencePool.
//
// OuterTask (started from the calling thread): starts the InnerTask, waits for its join handle,
// and if the inner task faulted hands a FaultCompletion (FuturePanic) to the completion queue. It
// holds the fault-path reference to the future. If the inner task completed, the inner task has
// already handed its own completion over; if the runtime cancelled it, nothing is delivered.
//
// InnerTask: on its first poll builds, in one heap allocation, the TASK_LOCALS scope (carrying a
// copy of the call's TaskLocals) around Cancellable(job); polls it until it yields an outcome;
// then drops the scope and hands a ResultCompletion (with the result-path reference to the
// future) to the completion queue. Building the scope lazily means that even a failure to allocate
// it becomes a fault of the inner task, which the outer task still reports as FuturePanic.
#include "binding/python.hpp"

#include <memory>
#include <optional>
#include <utility>

#include "base/fault.hpp"
#include "binding/py_ref.hpp"
#include "binding/pyerr.hpp"
#include "bridge/cancel_signal.hpp"
#include "bridge/cancellable.hpp"
#include "bridge/completion.hpp"
#include "bridge/task_locals.hpp"
#include "runtime/context.hpp"
#include "runtime/join_handle.hpp"
#include "runtime/poll.hpp"
#include "runtime/runtime.hpp"

namespace morvane::bridge {

template <class Outcome>
struct outcome_traits;  // only PyResult<T> outcomes are bridged
template <class T>
struct outcome_traits<binding::PyResult<T>> {
    using value_type = T;
};

// A job the bridge accepts: a runtime future whose output is PyResult<T> with a ToPython<T>.
template <class Job>
concept BridgeJob = runtime::Future<Job> &&
    ConvertibleToPython<typename outcome_traits<runtime::future_output_t<Job>>::value_type>;

template <BridgeJob Job>
using job_value_t = typename outcome_traits<runtime::future_output_t<Job>>::value_type;

// The outcome yielded in place of the job's when the cancel signal arrives. Never delivered: the
// future is cancelled by then, so the completion drops it. Needs no lock (a deferred error).
template <class T>
struct UnreachableOutcome {
    binding::PyResult<T> operator()() const {
        return binding::PyErr::new_deferred(PyExc_BaseException, "unreachable");
    }
};

template <BridgeJob Job>
class InnerTask {
  public:
    using T = job_value_t<Job>;
    using Body = Cancellable<Job, UnreachableOutcome<T>>;
    using Scope = decltype(TASK_LOCALS.scope(std::declval<TaskLocals>(), std::declval<Body>()));

    InnerTask(Job job, CancelReceiver receiver, TaskLocals locals, binding::PyRef future)
        : job_(std::in_place, std::move(job)),
          receiver_(std::move(receiver)),
          locals_(std::move(locals)),
          future_(std::move(future)) {}
    InnerTask(InnerTask&&) = default;

    runtime::Poll<runtime::Unit> poll(runtime::Context& cx) {
        if (!scope_) {
            if (!job_) throw Fault("bridge inner task polled after it completed");
            scope_ = std::make_unique<Scope>(
                TASK_LOCALS.scope(locals_, Body(std::move(*job_), std::move(receiver_))));
            job_.reset();
        }
        runtime::Poll<binding::PyResult<T>> step = scope_->poll(cx);
        if (step.is_pending()) return runtime::Poll<runtime::Unit>::pending();
        binding::PyResult<T> outcome = step.take();
        scope_.reset();
        submit_completion(std::make_unique<ResultCompletion<T>>(
            std::move(outcome), std::move(future_), std::move(locals_)));
        return runtime::Unit{};
    }

  private:
    std::optional<Job> job_;  // until the scope is built
    CancelReceiver receiver_;
    std::unique_ptr<Scope> scope_;  // the scope and Cancellable: one allocation
    TaskLocals locals_;
    binding::PyRef future_;  // result path
};

template <BridgeJob Job>
class OuterTask {
  public:
    OuterTask(TaskLocals locals, Job job, CancelReceiver receiver, binding::PyRef result_future,
              binding::PyRef fault_future)
        : locals_(std::move(locals)),
          job_(std::in_place, std::move(job)),
          receiver_(std::move(receiver)),
          result_future_(std::move(result_future)),
          fault_future_(std::move(fault_future)) {}
    OuterTask(OuterTask&&) = default;

    runtime::Poll<runtime::Unit> poll(runtime::Context& cx) {
        if (!inner_) {
            if (!job_) throw Fault("bridge outer task polled after it completed");
            inner_.emplace(runtime::get_runtime().spawn(InnerTask<Job>(
                std::move(*job_), std::move(receiver_), locals_, std::move(result_future_))));
            job_.reset();
        }
        runtime::Poll<runtime::JoinResult<runtime::Unit>> joined = inner_->poll(cx);
        if (joined.is_pending()) return runtime::Poll<runtime::Unit>::pending();
        runtime::JoinResult<runtime::Unit> result = joined.take();
        inner_.reset();
        if (result.faulted()) {
            submit_completion(std::make_unique<FaultCompletion>(
                result.payload(), std::move(fault_future_), std::move(locals_)));
        }
        return runtime::Unit{};
    }

  private:
    TaskLocals locals_;
    std::optional<Job> job_;  // until the inner task starts
    CancelReceiver receiver_;
    binding::PyRef result_future_;  // handed to the inner task
    binding::PyRef fault_future_;
    std::optional<runtime::JoinHandle<runtime::Unit>> inner_;
};

}  // namespace morvane::bridge
