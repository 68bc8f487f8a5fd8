#pragma once
// BlockingPool: threads for work that must block a thread (name lookups, the bridge's
// completion step) and the threads that run the workers. One lock over the queue and the
// counts, one condition variable on which idle threads wait. Jobs run outside the lock.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "runtime/task_cell.hpp"

namespace morvane::runtime {
class Runtime;
}

namespace morvane::runtime::detail {

inline constexpr const char* kThreadName = "morvane-worker";

// Starts a thread running `body`; throws std::system_error when the OS refuses.
using ThreadSpawner = std::function<std::thread(std::function<void()> body)>;
ThreadSpawner default_thread_spawner();

class BlockingPool {
  public:
    BlockingPool(Runtime* owner, std::size_t thread_limit, std::chrono::nanoseconds keep_alive,
                 ThreadSpawner spawner = default_thread_spawner());
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    // Hands a job (a blocking task in state scheduled) over. A `permanent` job never returns its
    // thread to the pool (a worker's run loop). Throws Fault("OS can't spawn worker thread: ...")
    // when no thread can take the job; the job is then not queued.
    void submit(TaskHeader* job, bool permanent = false);

    // The runtime its threads are bound to; set before the first job is handed over.
    void set_owner(Runtime* owner) noexcept { owner_ = owner; }

    struct Stats {
        std::size_t threads, idle, queued, owed_wakeups;
    };
    Stats stats() const;

  private:
    void thread_main(std::size_t key);
    void push(TaskHeader* job);
    TaskHeader* pop();
    void drop_tail(TaskHeader* job);

    Runtime* owner_;
    const std::size_t limit_;
    const std::chrono::nanoseconds keep_alive_;
    ThreadSpawner spawner_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    TaskHeader* head_ = nullptr;
    TaskHeader* tail_ = nullptr;
    std::size_t queued_ = 0;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
    std::size_t owed_ = 0;       // wake-ups owed to idle threads (others are spurious)
    std::size_t permanent_ = 0;  // jobs that keep their thread forever
    std::size_t next_key_ = 0;
    std::unordered_map<std::size_t, std::thread> handles_;
};

}  // namespace morvane::runtime::detail
