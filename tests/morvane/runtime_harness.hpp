#pragma once
// Running client coroutines on the process-wide runtime from a test thread, with bounded waits.
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>

#include "runtime/runtime.hpp"
#include "runtime/task.hpp"

namespace morvane::irr::testing {

using namespace std::chrono_literals;

// Spawns `task` and waits up to `limit` for its value; nullopt if it did not finish in time (the
// task is then left running, detached).
template <class T>
std::optional<T> run_on_runtime(runtime::Task<T> task, std::chrono::milliseconds limit = 60s) {
    auto done = std::make_shared<std::promise<T>>();
    std::future<T> result = done->get_future();
    runtime::get_runtime().spawn(
        [](runtime::Task<T> t, std::shared_ptr<std::promise<T>> p) -> runtime::Task<> {
            p->set_value(co_await std::move(t));
        }(std::move(task), done));
    if (result.wait_for(limit) != std::future_status::ready) return std::nullopt;
    return result.get();
}

// A switch that makes an Abortable future end early, destroying what it wraps (and so closing
// any connection the wrapped task holds).
class AbortSwitch {
  public:
    void abort() {
        runtime::Waker w;
        {
            std::lock_guard lock(mu_);
            aborted_ = true;
            w = waker_;
        }
        w.wake();
    }
    // Records the waker; true once aborted.
    bool check(const runtime::Waker& w) {
        std::lock_guard lock(mu_);
        if (!aborted_) waker_ = w;
        return aborted_;
    }

  private:
    std::mutex mu_;
    bool aborted_ = false;
    runtime::Waker waker_;
};

// Output nullopt when aborted before `inner` finished.
template <class T>
runtime::Task<std::optional<T>> abortable(runtime::Task<T> inner, std::shared_ptr<AbortSwitch> sw) {
    struct Wrapper {
        std::optional<runtime::Task<T>> inner;
        std::shared_ptr<AbortSwitch> sw;
        runtime::Poll<std::optional<T>> poll(runtime::Context& cx) {
            if (sw->check(cx.waker())) {
                inner.reset();
                return runtime::Poll<std::optional<T>>::ready(std::nullopt);
            }
            runtime::Poll<T> p = inner->poll(cx);
            if (p.is_pending()) return runtime::Poll<std::optional<T>>::pending();
            return runtime::Poll<std::optional<T>>::ready(p.take());
        }
    };
    // A named local: g++ 12 mishandles braced temporaries inside co_await expressions.
    Wrapper wrapper{std::move(inner), std::move(sw)};
    std::optional<T> out = co_await wrapper;
    co_return out;
}

}  // namespace morvane::irr::testing
