#pragma once
// JoinHandle<T>: a Future<JoinResult<T>> reporting how a spawned task (or blocking job) ended.
// Dropping it detaches the task: the task still runs to its end, and its output is released
// then. Each poll spends one unit of the resumption's budget.
// Public: the bridge and the client await tasks and blocking jobs through it.
#include <cstdint>
#include <utility>

#include "base/fault.hpp"
#include "runtime/budget.hpp"
#include "runtime/context.hpp"
#include "runtime/join_result.hpp"
#include "runtime/poll.hpp"
#include "runtime/task_cell.hpp"

namespace morvane::runtime {

template <class T>
class JoinHandle {
  public:
    // Adopts the handle's reference to the task.
    explicit JoinHandle(detail::Core<T>* core) noexcept : core_(core), id_(core->id) {}
    JoinHandle(JoinHandle&& o) noexcept : core_(std::exchange(o.core_, nullptr)), id_(o.id_) {}
    JoinHandle& operator=(JoinHandle&& o) noexcept {
        if (this != &o) {
            release();
            core_ = std::exchange(o.core_, nullptr);
            id_ = o.id_;
        }
        return *this;
    }
    JoinHandle(const JoinHandle&) = delete;
    JoinHandle& operator=(const JoinHandle&) = delete;
    ~JoinHandle() { release(); }

    Poll<JoinResult<T>> poll(Context& cx) {
        if (!core_) throw Fault("a JoinHandle was polled after it had reported its result");
        if (!budget::try_consume()) {
            budget::defer_wake(cx.waker());
            return Poll<JoinResult<T>>::pending();
        }
        if (!detail::join_poll(core_, cx.waker())) return Poll<JoinResult<T>>::pending();
        // Finished: the output is ours alone now.
        JoinResult<T> out = std::move(*core_->output);
        core_->output.reset();
        detail::task_unref(std::exchange(core_, nullptr));
        return Poll<JoinResult<T>>::ready(std::move(out));
    }

    // The task's process-wide identifier (counted from 1).
    std::uint64_t id() const { return id_; }

  private:
    void release() noexcept {
        if (core_) detail::join_drop(std::exchange(core_, nullptr));
    }

    detail::Core<T>* core_;
    std::uint64_t id_;
};

}  // namespace morvane::runtime
