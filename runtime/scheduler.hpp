#pragma once
// Scheduler: N workers, each with its own run queue, plus one shared FIFO injection queue for
// tasks started or woken from threads that are not workers of this runtime.
//
// Sleeping and waking. A worker with nothing to run registers as a sleeper, re-checks every
// queue and only then sleeps; one sleeper at a time sleeps in the driver (epoll), the others on
// their condition variable. Whoever queues a task re-checks (by a read-modify-write) whether some
// worker is searching or every worker is awake, and otherwise wakes exactly one sleeper, which
// then counts as searching. A searcher that finds work and was the last searcher wakes the next
// sleeper if work remains. See idle_state_ for why no queued task goes unseen. The one task that
// a running task queues on its worker's empty queue wakes nobody at once: that worker runs it
// next, and wakes a sleeper after the run only if more than that task is left queued.
//
// Lock order, outermost first. The driver lock (driver_mu_) is held by the one worker that polls
// the driver, and is only ever try-locked, so nobody waits for it. While holding it, that worker
//  - takes its own park_mu in park(), to see whether a wake-up came while it slept in the driver;
//  - runs the driver's turn(), which takes the reactor's locks (reactor.hpp) and wakes the tasks
//    whose sockets are ready; each woken task is queued by schedule(): on the worker's own queue
//    (no lock) or under inject_mu_, and then notify_one() takes idle_mu_ and, once it has let go
//    of idle_mu_, the chosen sleeper's park_mu.
// inject_mu_, idle_mu_ and every park_mu are leaves: no other lock is taken while one is held.
// Internal to runtime/: no other subsystem includes it.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "runtime/driver.hpp"
#include "runtime/run_queue.hpp"
#include "runtime/task_cell.hpp"
#include "runtime/task_list.hpp"
#include "runtime/waker.hpp"

namespace morvane::runtime::detail {

inline constexpr std::uint32_t kEventInterval = 61;

class Scheduler final : public Schedule {
  public:
    // `before_sleep`, when set, runs on a worker each time it has found nothing to do, before it
    // registers as a sleeper: a test's delay that widens the window in which a wake-up could
    // be lost.
    explicit Scheduler(Driver& driver, void (*before_sleep)() = nullptr);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Queues a runnable task (new or woken): on the calling worker's own queue, or on the
    // injection queue with at most one wake-up.
    void schedule(TaskHeader* t) override;

    // Creates the next worker's state; called in worker order before its loop is launched.
    std::size_t add_worker();
    // A worker's run loop; returns only after shutdown(). A fault that escapes it is fatal.
    void run_worker(std::size_t index) noexcept;
    // Ends every run loop (a construction that failed after starting workers).
    void shutdown();

    // Budget spent: keeps the waker until the calling worker has looked at the reactor.
    // False when the calling thread is not a worker.
    static bool defer_on_current_worker(const Waker& waker);

  private:
    struct Worker;

    Worker* worker(std::size_t index) const noexcept;
    std::size_t launched() const noexcept { return launched_.load(std::memory_order_acquire); }

    void loop(Worker* w);
    TaskHeader* find_task(Worker* w);
    TaskHeader* steal(Worker* w);
    void run(Worker* w, TaskHeader* t);
    void maintenance(Worker* w);
    void park(Worker* w);
    void end_search(Worker* w);
    void notify_one();
    void unpark(Worker* w);
    bool has_work_anywhere() const noexcept;
    void push_inject(TaskHeader* t);
    TaskHeader* pop_inject();

    Driver& driver_;
    void (*const before_sleep_)();

    // Worker i lives in segment bit_width(i + 1) - 1, which has room for 2^k workers; segments
    // are created as workers are added, so a huge N costs nothing until workers start.
    std::array<std::atomic<std::atomic<Worker*>*>, 64> segments_{};
    std::atomic<std::size_t> launched_{0};

    std::mutex inject_mu_;
    TaskList inject_;                         // inject_mu_
    std::atomic<std::size_t> inject_len_{0};  // inject_.size(), readable without the lock

    std::mutex idle_mu_;
    std::vector<Worker*> sleepers_;
    // Searching workers in the low half, sleeping workers in the high half. Every change and
    // every check is a read-modify-write of this one word: queuers (after queueing) and
    // sleepers/searchers (before re-checking the queues) are thereby totally ordered, so one of
    // the two always sees the other.
    std::atomic<std::uint64_t> idle_state_{0};
    static constexpr std::uint64_t kSearchOne = 1, kSleepOne = std::uint64_t{1} << 32;

    std::mutex driver_mu_;  // held by the worker polling the driver; only ever try-locked
    std::atomic<bool> shutdown_{false};
};

}  // namespace morvane::runtime::detail
