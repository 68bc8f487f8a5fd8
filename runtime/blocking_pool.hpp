#pragma once
// BlockingPool: threads for work that must block a thread (name lookups, the bridge's
// completion step) and the threads that run the workers. One lock over the queue and the
// counts, one condition variable on which idle threads wait. Jobs run outside the lock.
//
// Lock order: the pool's lock is held while a new thread starts, and so over the start
// handshake's lock (os_thread.cpp); it is taken inside the construction lock (builder.cpp) and
// the bridge's completion-queue lock, and nothing that holds it takes either.
// Internal to runtime/: no other subsystem includes it.
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

class BlockingPool {
  public:
    BlockingPool(Runtime* owner, std::size_t thread_limit, std::chrono::nanoseconds keep_alive,
                 ThreadSpawner spawner = default_thread_spawner());
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
    void thread_main();
    void unqueue(TaskHeader* job, bool permanent);  // undoes submit's push of the tail

    Runtime* owner_;
    const std::size_t limit_;
    const std::chrono::nanoseconds keep_alive_;
    ThreadSpawner spawner_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    TaskList queue_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
    std::size_t owed_ = 0;       // wake-ups owed to idle threads (others are spurious)
    std::size_t permanent_ = 0;  // jobs that keep their thread forever
};

}  // namespace morvane::runtime::detail
