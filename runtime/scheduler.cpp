#include "runtime/scheduler.hpp"

#include <algorithm>
#include <bit>

#include "runtime/budget.hpp"
#include "runtime/fatal.hpp"

namespace morvane::runtime::detail {

struct Scheduler::Worker {
    explicit Worker(std::size_t i) : index(i), rng(0x9E3779B97F4A7C15ull * (i + 1)) {
        deferred.reserve(kTaskBudget);
        flushing.reserve(kTaskBudget);
    }
    const std::size_t index;
    RunQueue local;

    std::mutex park_mu;
    std::condition_variable park_cv;
    bool notified = false;   // park_mu: a wake-up arrived
    bool in_driver = false;  // park_mu: sleeping in the driver, so wake through the eventfd

    bool sleeping = false;  // idle_mu_: listed in sleepers_

    // Owner thread only.
    bool searching = false;       // woken by notify_one and counted in idle_state_
    bool parked = false;          // inside park(): its own driver dispatch must not notify
    bool running = false;         // inside run(): a task queued now waits for the run to end
    bool sibling_wanted = false;  // a task was queued locally during the current run
    std::uint32_t tick = 0;
    std::uint64_t rng;
    std::vector<Waker> deferred;  // budget spent; woken after the next look at the reactor
    std::vector<Waker> flushing;
};

namespace {
thread_local Scheduler* tl_scheduler = nullptr;
thread_local void* tl_worker = nullptr;

std::size_t segment_of(std::size_t i) {
    return std::bit_width(i + 1) - 1;
}
std::size_t offset_in(std::size_t i, std::size_t seg) {
    return i + 1 - (std::size_t{1} << seg);
}
}  // namespace

Scheduler::Scheduler(Driver& driver, void (*before_sleep)())
    : driver_(driver), before_sleep_(before_sleep) {}

Scheduler::~Scheduler() {
    // Only reached when construction failed before any worker started.
    for (std::size_t i = 0; i < launched(); ++i) delete worker(i);
    for (auto& seg : segments_) delete[] seg.load();
}

Scheduler::Worker* Scheduler::worker(std::size_t index) const noexcept {
    const std::size_t seg = segment_of(index);
    return segments_[seg].load(std::memory_order_acquire)[offset_in(index, seg)].load(
        std::memory_order_acquire);
}

std::size_t Scheduler::add_worker() {
    const std::size_t index = launched_.load(std::memory_order_relaxed);
    const std::size_t seg = segment_of(index);
    if (!segments_[seg].load(std::memory_order_relaxed))
        segments_[seg].store(new std::atomic<Worker*>[std::size_t{1} << seg](),
                             std::memory_order_release);
    segments_[seg].load(std::memory_order_relaxed)[offset_in(index, seg)].store(
        new Worker(index), std::memory_order_release);
    launched_.store(index + 1, std::memory_order_release);
    return index;
}

bool Scheduler::defer_on_current_worker(const Waker& waker) {
    if (!tl_worker) return false;
    static_cast<Worker*>(tl_worker)->deferred.push_back(waker);
    return true;
}

void Scheduler::push_inject(TaskHeader* t) {
    std::lock_guard lock(inject_mu_);
    inject_.push_back(t);
    inject_len_.fetch_add(1, std::memory_order_release);
}

TaskHeader* Scheduler::pop_inject() {
    if (inject_len_.load(std::memory_order_acquire) == 0) return nullptr;
    std::lock_guard lock(inject_mu_);
    TaskHeader* t = inject_.pop_front();
    if (!t) return nullptr;
    inject_len_.fetch_sub(1, std::memory_order_release);
    return t;
}

void Scheduler::schedule(TaskHeader* t) {
    if (tl_scheduler == this) {
        auto* w = static_cast<Worker*>(tl_worker);
        const bool local = w->local.push(t);
        if (!local) push_inject(t);
        if (local && w->running && w->local.size() == 1) {
            // The only task on the queue, queued by the running task (one it spawned, or one it
            // woke, such as its joiner): this worker runs it next, so a sibling is woken only
            // if, once the run is over, more than that is queued (run() checks). Waking one now
            // would mostly find nothing to steal. A second task queued during the run wakes a
            // sibling at once, as it would outside a run.
            w->sibling_wanted = true;
            return;
        }
        if (!w->parked) notify_one();
        return;
    }
    push_inject(t);
    notify_one();
}

bool Scheduler::has_work_anywhere() const noexcept {
    if (inject_len_.load(std::memory_order_acquire) > 0) return true;
    const std::size_t n = launched();
    for (std::size_t i = 0; i < n; ++i)
        if (worker(i)->local.size() > 0) return true;
    return false;
}

void Scheduler::notify_one() {
    // An RMW, not a load: ordered against the sleeper's registration (see idle_state_).
    const std::uint64_t s = idle_state_.fetch_add(0, std::memory_order_acq_rel);
    if ((s & 0xFFFFFFFFu) > 0 || (s >> 32) == 0) return;
    Worker* w = nullptr;
    {
        std::lock_guard lock(idle_mu_);
        if (sleepers_.empty() || (idle_state_.load(std::memory_order_relaxed) & 0xFFFFFFFFu) > 0)
            return;
        w = sleepers_.back();
        sleepers_.pop_back();
        w->sleeping = false;
        idle_state_.fetch_add(kSearchOne - kSleepOne, std::memory_order_acq_rel);
    }
    unpark(w);
}

void Scheduler::unpark(Worker* w) {
    bool via_driver;
    {
        std::lock_guard lock(w->park_mu);
        w->notified = true;
        via_driver = w->in_driver;
    }
    if (via_driver)
        driver_.unpark();
    else
        w->park_cv.notify_one();
}

void Scheduler::end_search(Worker* w) {
    w->searching = false;
    if ((idle_state_.fetch_sub(kSearchOne, std::memory_order_acq_rel) & 0xFFFFFFFFu) != 1) return;
    // The last searcher: a queuer may have skipped its wake-up because we were searching.
    if (has_work_anywhere()) notify_one();
}

TaskHeader* Scheduler::steal(Worker* w) {
    const std::size_t n = launched();
    if (n < 2) return nullptr;
    w->rng ^= w->rng << 13;
    w->rng ^= w->rng >> 7;
    w->rng ^= w->rng << 17;
    const std::size_t start = static_cast<std::size_t>(w->rng % n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = (start + k) % n;
        if (i == w->index) continue;
        if (TaskHeader* t = worker(i)->local.steal()) return t;
    }
    return nullptr;
}

TaskHeader* Scheduler::find_task(Worker* w) {
    if (++w->tick % kEventInterval == 0) {
        maintenance(w);
        if (TaskHeader* t = pop_inject()) return t;  // the injection queue gets its turn too
    }
    if (TaskHeader* t = w->local.pop()) return t;
    if (TaskHeader* t = pop_inject()) return t;
    return steal(w);
}

void Scheduler::run(Worker* w, TaskHeader* t) {
    Waker waker = task_waker(t);
    budget::reset(kTaskBudget);
    w->running = true;
    const bool again = run_task(t, waker);
    w->running = false;
    budget::reset(-1);
    if (again && !w->local.push(t)) push_inject(t);
    if (w->sibling_wanted) {
        w->sibling_wanted = false;
        if (w->local.size() > 1) notify_one();
    }
}

void Scheduler::maintenance(Worker* w) {
    if (driver_mu_.try_lock()) {
        std::lock_guard lock(driver_mu_, std::adopt_lock);
        driver_.turn(0);
    }
    w->flushing.swap(w->deferred);
    for (const Waker& waker : w->flushing) waker.wake();
    w->flushing.clear();
}

void Scheduler::park(Worker* w) {
    if (before_sleep_) before_sleep_();
    w->parked = true;
    {
        std::lock_guard lock(idle_mu_);
        w->sleeping = true;
        sleepers_.push_back(w);
        idle_state_.fetch_add(kSleepOne, std::memory_order_acq_rel);
    }
    // Registered by an RMW before re-checking the queues: pairs with notify_one().
    const auto unregister = [&] {
        {
            std::lock_guard lock(w->park_mu);
            w->notified = false;
            w->in_driver = false;
        }
        w->parked = false;
        std::lock_guard lock(idle_mu_);
        if (w->sleeping) {
            sleepers_.erase(std::find(sleepers_.begin(), sleepers_.end(), w));
            w->sleeping = false;
            idle_state_.fetch_sub(kSleepOne, std::memory_order_acq_rel);
        } else {
            w->searching = true;  // a queuer chose us and counted us as searching
        }
    };
    if (!has_work_anywhere() && !shutdown_.load()) {
        if (driver_mu_.try_lock()) {
            std::lock_guard driver_lock(driver_mu_, std::adopt_lock);
            bool wait;
            {
                std::lock_guard lock(w->park_mu);
                wait = !w->notified;
                w->in_driver = wait;
            }
            while (wait) {
                driver_.turn(-1);
                std::lock_guard lock(w->park_mu);
                wait = !w->notified && w->local.size() == 0 && !shutdown_.load();
                w->in_driver = wait;
            }
        } else {
            std::unique_lock lock(w->park_mu);
            w->park_cv.wait(lock, [&] { return w->notified || shutdown_.load(); });
        }
    }
    unregister();
    // Readiness dispatched in the driver went to our own queue without waking anyone.
    if (w->local.size() > 1) notify_one();
}

void Scheduler::run_worker(std::size_t index) noexcept {
    Worker* w = worker(index);
    tl_scheduler = this;
    tl_worker = w;
    try {
        loop(w);
    } catch (const std::exception& e) {
        // Out of memory in the worker's own bookkeeping. A worker that vanished would leave its
        // queue and its searching count behind, and with them every task could stall unseen.
        fatal_error("a worker's run loop failed: ", e.what());
    }
    tl_scheduler = nullptr;
    tl_worker = nullptr;
}

void Scheduler::loop(Worker* w) {
    while (!shutdown_.load(std::memory_order_relaxed)) {
        if (TaskHeader* t = find_task(w)) {
            if (w->searching) end_search(w);
            run(w, t);
            if (!w->deferred.empty()) maintenance(w);
            continue;
        }
        if (w->searching) end_search(w);
        park(w);
    }
    if (w->searching) end_search(w);
}

void Scheduler::shutdown() {
    shutdown_.store(true);
    const std::size_t n = launched();
    for (std::size_t i = 0; i < n; ++i) unpark(worker(i));
}

}  // namespace morvane::runtime::detail
