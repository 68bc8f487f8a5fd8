#pragma once
// BlockingPool: threads for work that must block a thread (name lookups, the bridge's
// completion step) and the threads that run the workers. One lock over the queue and the
// counts, one condition variable on which idle threads wait. Jobs run outside the lock.
//
// Staying hot. While few tasks exist (a lookup or a few at a time), the first thread whose queue
// runs dry spins for up to kHotWait, watching for a job handed to it, before it sleeps on the
// condition variable. One lookup hands the pool two jobs (its name lookup, its completion) and
// the next lookup's name lookup follows its completion, each a few hundred microseconds or less
// apart: a spinning thread takes the job without a wake-up system call, and its CPU has not gone
// idle, which on a virtual machine makes the next wake-up of anything on it cost several times
// more. The spin is bounded by time, so a pool with nothing to do sleeps within kHotWait of its
// last job; with many tasks in flight nobody spins (wait_for_job says why).
//
// A new thread is started outside the lock (its place in threads_ is taken first) and is handed
// its first job directly, so the job is never queued where another thread could take it while
// the creation may still fail.
//
// Lock order: the pool's lock is a leaf: it is taken inside the construction lock (builder.cpp)
// and the bridge's completion-queue lock, and nothing is taken while it is held.
// Internal to runtime/: no other subsystem includes it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

#include "runtime/os_thread.hpp"
#include "runtime/task_cell.hpp"
#include "runtime/task_list.hpp"

namespace morvane::runtime {
class Runtime;
}

namespace morvane::runtime::detail {

// Starts a detached runtime thread running `body` (spawn_os_thread, or a test's stand-in); throws
// when no thread was started.
using ThreadSpawner = std::function<void(std::function<void()> body)>;
ThreadSpawner default_thread_spawner();

// How long an idle thread spins before it sleeps, and the most tasks that may exist for it to
// spin at all (a lookup is two tasks and up to two blocking jobs).
inline constexpr std::chrono::microseconds kHotWait{250};
inline constexpr std::size_t kSpinWhileTasksAtMost = 16;

class BlockingPool {
  public:
    // `before_sleep`, when set, runs on an idle thread once its spin is over, before it goes back
    // to the lock to sleep: a test's delay that widens the window in which a job handed to a
    // spinner could be missed.
    BlockingPool(Runtime* owner, std::size_t thread_limit, std::chrono::nanoseconds keep_alive,
                 ThreadSpawner spawner = default_thread_spawner(),
                 void (*before_sleep)() = nullptr);
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    // Hands a job (a blocking task in state scheduled) over. A `permanent` job never returns its
    // thread to the pool (a worker's run loop). Throws Fault("OS can't spawn worker thread: ...")
    // when no thread can take the job, or passes on any other exception of thread creation
    // (std::bad_alloc); in both cases the job is not queued and stays the caller's.
    void submit(TaskHeader* job, bool permanent = false);

    // The runtime its threads are bound to; set before the first job is handed over.
    void set_owner(Runtime* owner) noexcept { owner_ = owner; }

    struct Stats {
        std::size_t threads, idle, queued, owed_wakeups;
    };
    Stats stats() const;

  private:
    void thread_main(TaskHeader* first);
    // Queues `job` and hands it to an idle thread if there is one. Lock held on entry; it may be
    // released on return.
    void enqueue(std::unique_lock<std::mutex>& lock, TaskHeader* job, bool permanent);
    // Called with the lock held by a thread that has just counted itself idle: true once a job
    // was handed to it (the lock held again), false when the keep-alive ran out first.
    bool wait_for_job(std::unique_lock<std::mutex>& lock);
    // The spin of wait_for_job, until `until`: true once a job was handed to this thread. Lock
    // held on entry and on return.
    bool spin_for_job(std::unique_lock<std::mutex>& lock,
                      std::chrono::steady_clock::time_point until);
    // Takes a job handed to an idle thread (owed_), if any. Lock held.
    bool take_owed() noexcept;

    Runtime* owner_;
    const std::size_t limit_;
    const std::chrono::nanoseconds keep_alive_;
    ThreadSpawner spawner_;
    void (*const before_sleep_)();

    mutable std::mutex mu_;
    std::condition_variable cv_;
    TaskList queue_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
    // Jobs handed to idle threads and not yet taken (other wake-ups are spurious). Changed under
    // mu_; read without it by spinning threads, which take a handed job only under mu_.
    std::atomic<std::size_t> owed_{0};
    std::size_t spinning_ = 0;   // idle threads still spinning, which take a job without a signal
    std::size_t permanent_ = 0;  // jobs that keep their thread forever
};

}  // namespace morvane::runtime::detail
