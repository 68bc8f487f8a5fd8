#include "runtime/blocking_pool.hpp"

#include <sched.h>

#include <algorithm>
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
                           std::chrono::nanoseconds keep_alive, ThreadSpawner spawner,
                           void (*before_sleep)())
    : owner_(owner),
      limit_(thread_limit),
      keep_alive_(keep_alive),
      spawner_(std::move(spawner)),
      before_sleep_(before_sleep) {}

namespace {

// One pause in a spin: tells the CPU (and a hypervisor watching for spinning) that this thread
// only waits.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

void BlockingPool::enqueue(std::unique_lock<std::mutex>& lock, TaskHeader* job, bool permanent) {
    queue_.push_back(job);
    if (permanent) ++permanent_;
    if (idle_ == 0) return;  // a running thread takes it once its own job is over
    --idle_;
    // A spinning thread finds the job by itself; a wake-up is owed only once the jobs handed out
    // outnumber the spinners.
    const bool signal = owed_.fetch_add(1, std::memory_order_relaxed) + 1 > spinning_;
    // Signalled after unlocking, so the woken thread does not at once block on mu_. The owed
    // wake-up is recorded under the lock, and the pool outlives every submitter.
    lock.unlock();
    if (signal) cv_.notify_one();
}

void BlockingPool::submit(TaskHeader* job, bool permanent) {
    std::unique_lock lock(mu_);
    if (idle_ > 0 || threads_ >= limit_) {
        enqueue(lock, job, permanent);
        return;
    }
    // The new thread's place is taken now, so that concurrent submitters count it, and the
    // thread is created without the lock, which creation can hold for milliseconds when the new
    // thread's CPU is busy.
    ++threads_;
    if (permanent) ++permanent_;
    lock.unlock();
    try {
        spawner_([this, job] { thread_main(job); });
        return;
    } catch (const std::system_error& e) {
        lock.lock();
        --threads_;
        if (permanent) --permanent_;
        // Threads that run permanent jobs never come back, so only the others can take a job
        // that is left queued (one may have gone idle meanwhile: enqueue hands it the job).
        const std::size_t returning = threads_ > permanent_ ? threads_ - permanent_ : 0;
        if (e.code() == std::errc::resource_unavailable_try_again && returning > 0) {
            enqueue(lock, job, permanent);
            return;
        }
        throw Fault("OS can't spawn worker thread: " + os_error_text(e.code().value()));
    } catch (...) {
        lock.lock();
        --threads_;
        if (permanent) --permanent_;
        throw;
    }
}

BlockingPool::Stats BlockingPool::stats() const {
    std::lock_guard lock(mu_);
    return Stats{threads_, idle_, queue_.size(), owed_.load(std::memory_order_relaxed)};
}

bool BlockingPool::take_owed() noexcept {
    if (owed_.load(std::memory_order_relaxed) == 0) return false;
    owed_.fetch_sub(1, std::memory_order_relaxed);  // the submitter already counted us busy
    return true;
}

bool BlockingPool::wait_for_job(std::unique_lock<std::mutex>& lock) {
    const auto now = std::chrono::steady_clock::now();
    const auto deadline = now + keep_alive_;
    // One spinner at a time, and only while few tasks exist (a lookup or a few at a time): then
    // every hand-off to the pool is on some lookup's critical path, and one spinner is all it
    // takes. With many lookups in flight, jobs come often enough that a sleeper is woken soon
    // anyway, the hand-offs are not what bounds the throughput, and a spinner would only take
    // CPU time from the threads with work (measured: a fifth fewer lookups per second at 100
    // in flight on two CPUs).
    if (spinning_ == 0 && live_tasks() <= kSpinWhileTasksAtMost) {
        if (spin_for_job(lock, std::min(deadline, now + kHotWait))) return true;
    }
    for (auto until = deadline;;) {
        if (take_owed()) return true;
        const bool timed_out = cv_.wait_until(lock, until) == std::cv_status::timeout;
        if (take_owed()) return true;
        if (timed_out) {
            --idle_;
            return false;
        }
        until = std::chrono::steady_clock::now() + keep_alive_;  // spurious: wait anew
    }
}

bool BlockingPool::spin_for_job(std::unique_lock<std::mutex>& lock,
                                std::chrono::steady_clock::time_point until) {
    ++spinning_;
    lock.unlock();
    for (unsigned spins = 1;; ++spins) {
        if (owed_.load(std::memory_order_relaxed) > 0) {
            lock.lock();
            if (take_owed()) {
                --spinning_;
                return true;
            }
            lock.unlock();  // another idle thread took it
        }
        if (spins % 16 == 0) {
            if (std::chrono::steady_clock::now() >= until) break;
            // Gives this CPU up to any thread that is ready to run on it: the one this thread
            // waits for may be one of them (the loop, a worker, the server), when the process
            // has one CPU or the other CPUs are busy.
            ::sched_yield();
        }
        cpu_relax();
    }
    if (before_sleep_) before_sleep_();
    lock.lock();
    // No longer counted as spinning, so submitters signal from now on; a job handed out while
    // we still counted is taken by the caller, before its first wait.
    --spinning_;
    return false;
}

void BlockingPool::thread_main(TaskHeader* first) {
    bind_current_runtime(owner_);
    const auto run_job = [](TaskHeader* job) {
        budget::reset(-1);
        run_task(job, Waker::noop());
    };
    run_job(first);
    std::unique_lock lock(mu_);
    for (;;) {
        while (TaskHeader* job = queue_.pop_front()) {
            lock.unlock();
            run_job(job);
            lock.lock();
        }
        ++idle_;
        if (!wait_for_job(lock)) break;
    }
    --threads_;  // detached: the thread's resources go with it
}

}  // namespace morvane::runtime::detail
