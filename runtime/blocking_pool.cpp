#include "runtime/blocking_pool.hpp"

#include <cerrno>
#include <system_error>

#include "base/fault.hpp"
#include "base/os_error.hpp"
#include "runtime/budget.hpp"
#include "runtime/runtime_binding.hpp"

namespace morvane::runtime::detail {

ThreadSpawner default_thread_spawner() {
    return spawn_os_thread;
}

BlockingPool::BlockingPool(Runtime* owner, std::size_t thread_limit,
                           std::chrono::nanoseconds keep_alive, ThreadSpawner spawner)
    : owner_(owner), limit_(thread_limit), keep_alive_(keep_alive), spawner_(std::move(spawner)) {}

void BlockingPool::unqueue(TaskHeader* job, bool permanent) {
    queue_.remove_back(job);
    if (permanent) --permanent_;
}

void BlockingPool::submit(TaskHeader* job, bool permanent) {
    std::unique_lock lock(mu_);
    queue_.push_back(job);
    if (permanent) ++permanent_;
    if (idle_ > 0) {
        --idle_;
        ++owed_;
        // Signalled after unlocking, so the woken thread does not at once block on mu_. The
        // owed wake-up is recorded under the lock, and the pool outlives every submitter.
        lock.unlock();
        cv_.notify_one();
        return;
    }
    if (threads_ >= limit_) return;  // waits for a thread to finish its job
    // The job is queued before the thread exists, so every way out of thread creation must
    // take it back out (or leave it to a thread that will come back for it).
    try {
        spawner_([this] { thread_main(); });
        ++threads_;
    } catch (const std::system_error& e) {
        // Threads that run permanent jobs never come back, so only the others can take a job
        // that is left queued.
        const std::size_t returning = threads_ > permanent_ ? threads_ - permanent_ : 0;
        if (e.code() == std::errc::resource_unavailable_try_again && returning > 0) return;
        unqueue(job, permanent);
        throw Fault("OS can't spawn worker thread: " + os_error_text(e.code().value()));
    } catch (...) {
        unqueue(job, permanent);
        throw;
    }
}

BlockingPool::Stats BlockingPool::stats() const {
    std::lock_guard lock(mu_);
    return Stats{threads_, idle_, queue_.size(), owed_};
}

void BlockingPool::thread_main() {
    bind_current_runtime(owner_);
    std::unique_lock lock(mu_);
    for (;;) {
        while (TaskHeader* job = queue_.pop_front()) {
            lock.unlock();
            budget::reset(-1);
            run_task(job, Waker::noop());
            lock.lock();
        }
        ++idle_;
        auto deadline = std::chrono::steady_clock::now() + keep_alive_;
        bool exiting = false;
        for (;;) {
            const bool timed_out = cv_.wait_until(lock, deadline) == std::cv_status::timeout;
            if (owed_ > 0) {
                --owed_;  // the submitter already counted us busy
                break;
            }
            if (timed_out) {
                --idle_;
                exiting = true;
                break;
            }
            deadline = std::chrono::steady_clock::now() + keep_alive_;  // spurious: wait anew
        }
        if (exiting) break;
    }
    --threads_;  // detached: the thread's resources go with it
}

}  // namespace morvane::runtime::detail
