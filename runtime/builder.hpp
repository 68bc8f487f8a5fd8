#pragma once
// BuildOptions: the inputs of one runtime construction, with the seams tests use (worker-count
// sources, the blocking-thread limit and keep-alive, thread creation, the reactor's wait, a delay
// before a worker sleeps). Builder: the process-wide configuration record that get_runtime()
// turns into BuildOptions (builder.cpp).
//
// The record holds only what construction reads. The other settings are fixed and live where
// they act: the thread name and stack size (os_thread.hpp), the readiness events per wait
// (Reactor::kEventsPerWait), the event interval (scheduler.hpp's kEventInterval); the worker
// count is computed at construction (worker_count.hpp).
// Internal to runtime/: no other subsystem includes it.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "runtime/blocking_pool.hpp"
#include "runtime/reactor.hpp"
#include "runtime/worker_count.hpp"

namespace morvane::runtime::detail {

struct Builder {
    std::size_t max_blocking_threads = 512;                     // on top of the workers
    std::optional<std::chrono::nanoseconds> thread_keep_alive;  // not set: the pool uses 10 s
};

inline constexpr std::chrono::nanoseconds kDefaultKeepAlive = std::chrono::seconds(10);

struct BuildOptions {
    WorkerCountSources sources = WorkerCountSources::system();
    std::size_t max_blocking_threads = 512;
    std::chrono::nanoseconds keep_alive = kDefaultKeepAlive;
    ThreadSpawner spawner = default_thread_spawner();
    EpollWait epoll_wait = ::epoll_wait;
    void (*before_sleep)() = nullptr;  // see Scheduler

    static BuildOptions from(const Builder& b) {
        BuildOptions o;
        o.max_blocking_threads = b.max_blocking_threads;
        o.keep_alive = b.thread_keep_alive.value_or(kDefaultKeepAlive);
        return o;
    }
};

// N + extra, saturating instead of wrapping for a huge N.
inline std::size_t saturating_add(std::size_t a, std::size_t b) {
    return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

}  // namespace morvane::runtime::detail
