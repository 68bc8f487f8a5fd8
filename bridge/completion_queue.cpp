#include "bridge/completion_queue.hpp"

#include <mutex>

#include "base/intrusive_fifo.hpp"
#include "binding/attach_guard.hpp"
#include "binding/exit_gate.hpp"
#include "runtime/runtime.hpp"

namespace morvane::bridge {

class CompletionQueue {
  public:
    void submit(std::unique_ptr<QueuedCompletion> completion);

  private:
    // The oldest completion, or null (and draining_ cleared) when there is none. Lock not held.
    std::unique_ptr<QueuedCompletion> pop_or_finish();
    // The blocking job: slices until the queue is empty.
    void drain();
    // One attachment's worth of completions; false once the drainer is done.
    bool run_slice();
    // Drops every queued completion and ends the drainer (no attachment is possible).
    void drop_all() noexcept;

    using Queue = IntrusiveFifo<QueuedCompletion, &QueuedCompletion::next_>;

    std::mutex mu_;
    Queue queued_;           // guarded by mu_
    bool draining_ = false;  // a drainer job exists; guarded by mu_
};

namespace {

// Never destroyed: blocking threads may still drain while static destructors run.
CompletionQueue& queue() {
    static CompletionQueue* const instance = new CompletionQueue;
    return *instance;
}

}  // namespace

void submit_completion(std::unique_ptr<QueuedCompletion> completion) {
    queue().submit(std::move(completion));
}

void CompletionQueue::submit(std::unique_ptr<QueuedCompletion> completion) {
    std::lock_guard lock(mu_);
    if (!draining_) {
        // Started with the lock held: a submitter that finds draining_ set relies on this job,
        // so draining_ is only ever set once the job has been accepted.
        (void)runtime::spawn_blocking([this] { drain(); });
        draining_ = true;
    }
    queued_.push_back(completion.release());
}

std::unique_ptr<QueuedCompletion> CompletionQueue::pop_or_finish() {
    std::lock_guard lock(mu_);
    QueuedCompletion* first = queued_.pop_front();
    if (first == nullptr) draining_ = false;
    return std::unique_ptr<QueuedCompletion>(first);
}

void CompletionQueue::drain() {
    while (run_slice()) {
    }
}

bool CompletionQueue::run_slice() {
    try {
        binding::AttachGuard guard = binding::AttachGuard::attach();
        const auto until = std::chrono::steady_clock::now() + kCompletionSlice;
        do {
            std::unique_ptr<QueuedCompletion> next = pop_or_finish();
            if (!next) return false;
            try {
                next->run();
            } catch (...) {
                // As a completion's fault on a blocking job of its own: nobody collects it.
            }
            next.reset();  // attached: its references are released under the lock
        } while (std::chrono::steady_clock::now() < until &&
                 !binding::ExitGate::instance().closed());
        return true;
    } catch (...) {
        // The attachment was refused (the interpreter is exiting) or failed: nothing can be
        // delivered.
        drop_all();
        return false;
    }
}

void CompletionQueue::drop_all() noexcept {
    Queue taken = [this] {
        std::lock_guard lock(mu_);
        draining_ = false;
        return Queue(std::move(queued_));
    }();
    while (QueuedCompletion* dropped = taken.pop_front()) delete dropped;
}

}  // namespace morvane::bridge
