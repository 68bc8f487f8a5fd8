#pragma once
// The heap record of one spawned task: a type-erased header (run state, references, join
// state), the typed output slot and the body. Internal to the runtime; the public face of a
// task is its JoinHandle and its Waker.
//
// Run state (one atomic byte), the wake rules:
//   idle --wake--> scheduled (queued exactly once)      running --wake--> running+notified
//   scheduled/running+notified --wake--> unchanged       complete --wake--> unchanged
//   scheduled --worker takes it--> running
//   running --poll pending--> idle, or scheduled again if it was notified meanwhile
//   running --poll ready/threw--> complete
//
// References: the runtime holds one from spawn until the task is complete (the queues borrow
// it: a task is in at most one queue because only the idle->scheduled transition enqueues),
// the join handle holds one, every Waker holds one. The last release frees the record.
//
// Join state is under join_mu: `finished` (output stored), `interest` (handle alive) and the
// handle's waker. Whoever sees the other side gone under the lock releases the output, so it
// is released exactly once.
// Internal to runtime/: no other subsystem includes it.
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

#include "runtime/context.hpp"
#include "runtime/join_result.hpp"
#include "runtime/waker.hpp"

namespace morvane::runtime::detail {

enum RunState : std::uint8_t { kIdle, kScheduled, kRunning, kRunningNotified, kComplete };

struct TaskHeader;

// Where woken tasks go (the scheduler of a runtime).
class Schedule {
  public:
    virtual void schedule(TaskHeader* task) = 0;

  protected:
    ~Schedule() = default;
};

struct TaskVTable {
    // Polls the body; true once it has ended (output stored, body released). Never throws.
    bool (*poll)(TaskHeader*, Context&) noexcept;
    void (*drop_output)(TaskHeader*) noexcept;
    void (*destroy)(TaskHeader*) noexcept;
};

struct TaskHeader {
    TaskHeader(const TaskVTable* vt, Schedule* sched, std::uint64_t task_id) noexcept;
    ~TaskHeader();
    TaskHeader(const TaskHeader&) = delete;
    TaskHeader& operator=(const TaskHeader&) = delete;

    std::atomic<std::uint8_t> state{kScheduled};
    std::atomic<std::uint32_t> refs{2};  // the runtime's and the join handle's
    const TaskVTable* vtable;
    Schedule* scheduler;  // null for blocking jobs, which nothing wakes
    std::uint64_t id;
    TaskHeader* next = nullptr;  // link in the injection and blocking queues (under their lock)

    std::mutex join_mu;  // a leaf: the join waker is woken or dropped after it is let go
    Waker join_waker;
    bool finished = false;
    bool interest = true;
};

std::uint64_t next_task_id() noexcept;
// Tasks and blocking jobs of the process that exist (created and not yet destroyed): a gauge of
// how many lookups are in flight, read by the blocking pool to decide whether to spin.
std::size_t live_tasks() noexcept;
void task_ref(TaskHeader* t) noexcept;
void task_unref(TaskHeader* t) noexcept;
void task_wake(TaskHeader* t) noexcept;
// A Waker for `t` holding a new reference.
Waker task_waker(TaskHeader* t) noexcept;
// Resumes a task that a queue handed to the caller (state scheduled). Returns true if the task
// must be queued again at once (it was woken while running).
bool run_task(TaskHeader* t, const Waker& waker) noexcept;
// The join handle is gone: release its reference and, if the task is finished, its output.
void join_drop(TaskHeader* t) noexcept;
// Under the join lock: true and the output is the caller's if finished, else stores the waker.
bool join_poll(TaskHeader* t, const Waker& waker) noexcept;

template <class T>
struct Core : TaskHeader {
    using TaskHeader::TaskHeader;
    std::optional<JoinResult<T>> output;
};

template <Future F>
struct Cell final : Core<future_output_t<F>> {
    using T = future_output_t<F>;

    Cell(F&& body, Schedule* sched)
        : Core<T>(&kVTable, sched, next_task_id()), future(std::move(body)) {}

    std::optional<F> future;

    static bool poll(TaskHeader* h, Context& cx) noexcept {
        auto* c = static_cast<Cell*>(h);
        try {
            Poll<T> p = c->future->poll(cx);
            if (p.is_pending()) return false;
            c->output.emplace(JoinResult<T>::from_value(p.take()));
        } catch (...) {
            c->output.emplace(JoinResult<T>::from_fault(std::current_exception()));
        }
        c->future.reset();
        return true;
    }
    static void drop_output(TaskHeader* h) noexcept { static_cast<Cell*>(h)->output.reset(); }
    static void destroy(TaskHeader* h) noexcept { delete static_cast<Cell*>(h); }

    static constexpr TaskVTable kVTable{&Cell::poll, &Cell::drop_output, &Cell::destroy};
};

}  // namespace morvane::runtime::detail
