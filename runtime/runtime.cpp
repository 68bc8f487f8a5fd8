#include "runtime/runtime.hpp"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "runtime/blocking_pool.hpp"
#include "runtime/builder.hpp"
#include "runtime/driver.hpp"
#include "runtime/runtime_binding.hpp"
#include "runtime/scheduler.hpp"

namespace morvane::runtime {

namespace detail {
namespace {
thread_local Runtime* tl_current = nullptr;
}  // namespace

void bind_current_runtime(Runtime* rt) noexcept {
    tl_current = rt;
}

CurrentRuntimeGuard::CurrentRuntimeGuard(Runtime* rt) noexcept : previous_(tl_current) {
    tl_current = rt;
}
CurrentRuntimeGuard::~CurrentRuntimeGuard() {
    tl_current = previous_;
}
}  // namespace detail

// Construction order is the build order (driver stack, blocking pool, workers); a failure in
// any of them releases what came before.
struct Runtime::Parts {
    Parts(std::size_t n, const detail::BuildOptions& o)
        : workers(n),
          driver(o.epoll_wait),
          pool(nullptr, detail::saturating_add(n, o.max_blocking_threads), o.keep_alive, o.spawner),
          scheduler(driver, o.before_sleep) {}

    std::size_t workers;
    detail::Driver driver;
    detail::BlockingPool pool;
    detail::Scheduler scheduler;
};

Runtime::Runtime(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
Runtime::~Runtime() = default;

Runtime* Runtime::current() noexcept {
    return detail::tl_current;
}
std::size_t Runtime::worker_count() const noexcept {
    return parts_->workers;
}
detail::Reactor& Runtime::reactor() noexcept {
    return parts_->driver.reactor();
}
detail::Schedule* Runtime::schedule_target() noexcept {
    return &parts_->scheduler;
}

void Runtime::submit(detail::TaskHeader* task) {
    parts_->scheduler.schedule(task);
}

void Runtime::submit_blocking(detail::TaskHeader* task) {
    try {
        parts_->pool.submit(task);
    } catch (...) {
        detail::task_unref(task);  // the runtime's reference; the handle's goes with the handle
        throw;
    }
}

namespace {
// Runtimes whose construction failed after workers had started: those workers are told to
// stop, but they may still be touching the runtime, so it is kept (and never freed).
std::mutex g_abandoned_mu;
std::vector<Runtime*>* g_abandoned = new std::vector<Runtime*>;  // never destroyed
}  // namespace

Runtime& Runtime::build(const detail::BuildOptions& options) {
    const std::size_t n = detail::worker_count(options.sources);
    auto* rt = new Runtime(std::make_unique<Parts>(n, options));  // driver, pool, workers' state
    rt->parts_->pool.set_owner(rt);

    // Launch: each worker's run loop occupies one blocking-pool thread for good.
    detail::CurrentRuntimeGuard bind(rt);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t index = rt->parts_->scheduler.add_worker();
        using Job = detail::BlockingJob<std::function<void()>>;
        std::function<void()> loop = [rt, index] { rt->parts_->scheduler.run_worker(index); };
        auto* cell = new detail::Cell<Job>(Job(std::move(loop)), nullptr);
        JoinHandle<Unit> detached(cell);
        try {
            rt->parts_->pool.submit(cell, /*permanent=*/true);
        } catch (...) {
            detail::task_unref(cell);
            if (i == 0) {
                delete rt;  // no thread exists yet
            } else {
                rt->parts_->scheduler.shutdown();
                std::lock_guard lock(g_abandoned_mu);
                g_abandoned->push_back(rt);
            }
            throw;
        }
    }
    return *rt;
}

}  // namespace morvane::runtime
