#pragma once
// Cancellable: the wrapper in which a bridged job runs, so that cancelling the Python future
// stops the job at its next resumption.
//
// Each poll resumes the job FIRST and only then looks at the cancel signal. Consequences that
// callers rely on: a job whose outcome is ready in the same resumption in which a signal is
// pending still yields its outcome (the completion's cancelled check drops it later), and a job
// whose future was cancelled before it ever ran still runs once, up to its first suspension.
//
// When the signal is received, the yielded outcome is `MakeCancelled{}()` (for Python jobs, a
// BaseException "unreachable" that the completion never delivers, because the future is
// cancelled by then). When the sender was released without a signal (the future completed some
// other way), the signal is no longer watched and the job runs to its end on its own wakes.
//
// Whenever poll yields, the job and the receiving end are destroyed before poll returns, so a
// job's resources are released inside whatever task-local scope surrounds the Cancellable.
#include <optional>
#include <utility>

#include "base/fault.hpp"
#include "bridge/cancel_signal.hpp"
#include "runtime/context.hpp"
#include "runtime/poll.hpp"

namespace morvane::bridge {

template <runtime::Future Job, class MakeCancelled>
class Cancellable {
  public:
    using Output = runtime::future_output_t<Job>;

    Cancellable(Job job, CancelReceiver receiver)
        : job_(std::in_place, std::move(job)), receiver_(std::move(receiver)) {}

    Cancellable(Cancellable&&) = default;
    Cancellable& operator=(Cancellable&&) = default;

    runtime::Poll<Output> poll(runtime::Context& cx) {
        if (!job_) throw Fault("Cancellable polled after it yielded");
        runtime::Poll<Output> step = job_->poll(cx);
        if (step.is_ready()) {
            Output outcome = step.take();
            finish();
            return runtime::Poll<Output>::ready(std::move(outcome));
        }
        if (!watch_signal_) return runtime::Poll<Output>::pending();
        switch (receiver_.poll_receive(cx.waker())) {
            case CancelPoll::received:
                watch_signal_ = false;
                finish();
                return runtime::Poll<Output>::ready(MakeCancelled{}());
            case CancelPoll::sender_gone:
                watch_signal_ = false;
                receiver_.release();
                return runtime::Poll<Output>::pending();
            case CancelPoll::nothing_yet:
                break;
        }
        return runtime::Poll<Output>::pending();
    }

    bool watch_signal() const noexcept { return watch_signal_; }

  private:
    void finish() noexcept {
        job_.reset();
        receiver_.release();
    }

    std::optional<Job> job_;
    CancelReceiver receiver_;
    bool watch_signal_ = true;
};

}  // namespace morvane::bridge
