#pragma once
// Runtime: the process-wide engine on which every lookup runs: N worker threads resuming tasks,
// the driver stack (I/O reactor, signal facility, child-process watcher, timer facility) and the
// blocking pool. Built once, on first use of get_runtime(), and never shut down.
// Public: the entry point for the bridge and the client (get_runtime, spawn, spawn_blocking).
#include <cstddef>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/fault.hpp"
#include "runtime/context.hpp"
#include "runtime/join_handle.hpp"
#include "runtime/task_cell.hpp"

namespace morvane::runtime {

namespace detail {
class Reactor;
struct BuildOptions;

// A blocking job as a future that runs the closure on its one poll.
template <class Fn>
class BlockingJob {
  public:
    using R = std::invoke_result_t<Fn&>;
    using Out = std::conditional_t<std::is_void_v<R>, Unit, R>;

    explicit BlockingJob(Fn fn) : fn_(std::move(fn)) {}
    Poll<Out> poll(Context&) {
        if (!fn_) throw Fault("[internal exception] blocking task ran twice.");
        Fn fn = std::move(*fn_);
        fn_.reset();
        if constexpr (std::is_void_v<R>) {
            fn();
            return Poll<Out>::ready(Unit{});
        } else {
            return Poll<Out>::ready(fn());
        }
    }

  private:
    std::optional<Fn> fn_;
};
}  // namespace detail

// The output of a blocking job: what the closure returns, Unit for a void closure.
template <class Fn>
using blocking_output_t = typename detail::BlockingJob<std::decay_t<Fn>>::Out;

class Runtime {
  public:
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    ~Runtime();

    // Starts a task; callable from any thread, never waits for the task.
    template <Future F>
    JoinHandle<future_output_t<F>> spawn(F body) {
        auto* cell = new detail::Cell<F>(std::move(body), schedule_target());
        JoinHandle<future_output_t<F>> handle(cell);
        submit(cell);
        return handle;
    }

    // Runs `job` once on a blocking-pool thread; a throw is reported as faulted by the handle.
    // Throws morvane::Fault("OS can't spawn worker thread: ...") when no thread can take it.
    template <class Fn>
    JoinHandle<blocking_output_t<Fn>> spawn_blocking(Fn job) {
        using Job = detail::BlockingJob<std::decay_t<Fn>>;
        auto* cell = new detail::Cell<Job>(Job(std::move(job)), nullptr);
        JoinHandle<blocking_output_t<Fn>> handle(cell);
        submit_blocking(cell);
        return handle;
    }

    // The runtime the calling thread is bound to (its workers and blocking threads are bound for
    // life, and the constructing thread while it launches the workers), or nullptr.
    static Runtime* current() noexcept;

    std::size_t worker_count() const noexcept;
    detail::Reactor& reactor() noexcept;

    // Builds a runtime outside the process-wide slot (tests and get_runtime itself). The result
    // is never released: its threads run until the process ends.
    static Runtime& build(const detail::BuildOptions& options);

  private:
    struct Parts;
    explicit Runtime(std::unique_ptr<Parts> parts);
    detail::Schedule* schedule_target() noexcept;
    void submit(detail::TaskHeader* task);           // a new task
    void submit_blocking(detail::TaskHeader* task);  // a new blocking job

    std::unique_ptr<Parts> parts_;
};

// The process-wide runtime, built on first use on the calling thread. Throws morvane::Fault with
// the construction fault's message, or the poisoned-configuration fault after a failed build.
Runtime& get_runtime();

// spawn_blocking on the calling thread's runtime (throws morvane::Fault if it has none).
template <class Fn>
auto spawn_blocking(Fn job) {
    Runtime* rt = Runtime::current();
    if (!rt) throw Fault("spawn_blocking must be called from the context of a morvane runtime");
    return rt->spawn_blocking(std::move(job));
}

}  // namespace morvane::runtime
