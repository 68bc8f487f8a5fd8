#include "runtime/task_cell.hpp"

#include "runtime/forked_child.hpp"
#include "runtime/join_result.hpp"

namespace morvane::runtime {
namespace detail {
namespace {

std::atomic<std::uint64_t> g_next_task_id{1};
std::atomic<std::size_t> g_live_tasks{0};

void waker_clone(const void* p) {
    task_ref(static_cast<TaskHeader*>(const_cast<void*>(p)));
}
void waker_wake(const void* p) {
    task_wake(static_cast<TaskHeader*>(const_cast<void*>(p)));
}
void waker_drop(const void* p) {
    task_unref(static_cast<TaskHeader*>(const_cast<void*>(p)));
}
constexpr WakerVTable kTaskWakerVTable{&waker_clone, &waker_wake, &waker_drop};

// The body has ended and its output is stored: publish it to the join handle, or release it
// if the handle is gone, then drop the runtime's reference.
void complete(TaskHeader* t) noexcept {
    t->state.store(kComplete, std::memory_order_release);
    Waker joiner = Waker::noop();
    bool drop_output = false;
    {
        std::lock_guard lock(t->join_mu);
        t->finished = true;
        if (t->interest)
            joiner.swap(t->join_waker);
        else
            drop_output = true;
    }
    if (drop_output) t->vtable->drop_output(t);
    joiner.wake();
    task_unref(t);
}

}  // namespace

TaskHeader::TaskHeader(const TaskVTable* vt, Schedule* sched, std::uint64_t task_id) noexcept
    : vtable(vt), scheduler(sched), id(task_id) {
    g_live_tasks.fetch_add(1, std::memory_order_relaxed);
}

TaskHeader::~TaskHeader() {
    g_live_tasks.fetch_sub(1, std::memory_order_relaxed);
}

std::size_t live_tasks() noexcept {
    return g_live_tasks.load(std::memory_order_relaxed);
}

std::uint64_t next_task_id() noexcept {
    return g_next_task_id.fetch_add(1, std::memory_order_relaxed);
}

void task_ref(TaskHeader* t) noexcept {
    t->refs.fetch_add(1, std::memory_order_relaxed);
}

void task_unref(TaskHeader* t) noexcept {
    if (t->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) t->vtable->destroy(t);
}

void task_wake(TaskHeader* t) noexcept {
    if (in_forked_child()) return;  // no worker will ever run it, and the queues' locks are stale
    std::uint8_t s = t->state.load(std::memory_order_acquire);
    for (;;) {
        switch (s) {
            case kIdle:
                if (t->state.compare_exchange_weak(s, kScheduled, std::memory_order_acq_rel)) {
                    if (t->scheduler) t->scheduler->schedule(t);
                    return;
                }
                break;
            case kRunning:
                if (t->state.compare_exchange_weak(s, kRunningNotified, std::memory_order_acq_rel))
                    return;
                break;
            case kScheduled:
            case kRunningNotified:
                // Merged into the pending run. Still a read-modify-write, so that the run which
                // takes the task (an RMW too) is ordered after it and sees what preceded it.
                if (t->state.compare_exchange_weak(s, s, std::memory_order_acq_rel)) return;
                break;
            default:  // complete: nothing to do
                return;
        }
    }
}

Waker task_waker(TaskHeader* t) noexcept {
    task_ref(t);
    return Waker(&kTaskWakerVTable, t);
}

bool run_task(TaskHeader* t, const Waker& waker) noexcept {
    t->state.exchange(kRunning, std::memory_order_acq_rel);
    Context cx(waker);
    if (t->vtable->poll(t, cx)) {
        complete(t);
        return false;
    }
    std::uint8_t expected = kRunning;
    if (t->state.compare_exchange_strong(expected, kIdle, std::memory_order_acq_rel)) return false;
    // Woken while running: it runs once more.
    t->state.store(kScheduled, std::memory_order_release);
    return true;
}

void join_drop(TaskHeader* t) noexcept {
    bool drop_output = false;
    Waker old = Waker::noop();
    {
        std::lock_guard lock(t->join_mu);
        t->interest = false;
        drop_output = t->finished;
        old.swap(t->join_waker);
    }
    if (drop_output) t->vtable->drop_output(t);
    task_unref(t);
}

bool join_poll(TaskHeader* t, const Waker& waker) noexcept {
    Waker old = Waker::noop();
    {
        std::lock_guard lock(t->join_mu);
        if (t->finished) return true;
        if (!t->join_waker.will_wake(waker)) {
            Waker copy(waker);
            old.swap(t->join_waker);
            t->join_waker.swap(copy);
        }
    }
    return false;
}

}  // namespace detail
}  // namespace morvane::runtime
