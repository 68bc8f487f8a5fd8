#pragma once
// Test helpers: a waker that counts and signals, block_on for the test thread, waits on a
// condition, a fault's text, private runtimes.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/fault.hpp"
#include "runtime/builder.hpp"
#include "runtime/context.hpp"
#include "runtime/runtime.hpp"
#include "runtime/waker.hpp"

namespace morvane::runtime::testing {

using namespace std::chrono_literals;

// A waker target that counts wakes and lets a thread wait for them. Wakers hold a reference,
// so a late wake after the waiting side has gone is harmless.
class Notify {
  public:
    Notify() : state_(new State) {}
    ~Notify() { release(state_); }
    Notify(const Notify&) = delete;
    Notify& operator=(const Notify&) = delete;

    Waker waker() {
        state_->refs.fetch_add(1);
        return Waker(&kVTable, state_);
    }
    int count() {
        std::lock_guard lock(state_->mu);
        return state_->wakes;
    }
    // Waits until more than `seen` wakes happened; false on timeout.
    bool wait_beyond(int seen, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(state_->mu);
        return state_->cv.wait_until(lock, deadline, [&] { return state_->wakes > seen; });
    }
    bool wait_for(int n, std::chrono::milliseconds limit = 10s) {
        return wait_beyond(n - 1, std::chrono::steady_clock::now() + limit);
    }

  private:
    struct State {
        std::atomic<int> refs{1};
        std::mutex mu;
        std::condition_variable cv;
        int wakes = 0;
    };
    static State* of(const void* p) { return static_cast<State*>(const_cast<void*>(p)); }
    static void release(State* s) {
        if (s->refs.fetch_sub(1) == 1) delete s;
    }
    static constexpr WakerVTable kVTable{[](const void* p) { of(p)->refs.fetch_add(1); },
                                         [](const void* p) {
                                             State* s = of(p);
                                             {
                                                 std::lock_guard lock(s->mu);
                                                 ++s->wakes;
                                             }
                                             s->cv.notify_all();
                                         },
                                         [](const void* p) { release(of(p)); }};

    State* state_;
};

// Drives a future to completion on the calling thread, sleeping between wakes.
template <Future F>
future_output_t<F> block_on(F f, std::chrono::milliseconds limit = 20s) {
    Notify n;
    Waker w = n.waker();
    Context cx(w);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const int seen = n.count();
        auto p = f.poll(cx);
        if (p.is_ready()) return p.take();
        if (!n.wait_beyond(seen, deadline)) throw std::runtime_error("block_on timed out");
    }
}

// Waits (bounded) until pred() holds.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// The text of the morvane::Fault that `f` throws, or "no fault".
inline std::string fault_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const Fault& e) {
        return e.what();
    }
    return "no fault";
}

// Build options whose worker count comes from a fake MORVANE_WORKER_THREADS.
inline detail::BuildOptions options_with_workers(std::string n) {
    detail::BuildOptions o;
    o.sources.getenv = [n](const char*) -> std::optional<std::string> { return n; };
    return o;
}

// A private two-worker runtime shared by the tests of one process (never released).
inline Runtime& test_runtime() {
    static Runtime& rt = Runtime::build(options_with_workers("2"));
    return rt;
}

// Threads of this process named as the runtime names its threads ("morvane-worker").
inline int named_threads() {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string comm;
        std::getline(std::ifstream(e.path() / "comm"), comm);
        if (comm == "morvane-worker") ++n;
    }
    return n;
}

inline std::string thread_name() {
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    return buf;
}

}  // namespace morvane::runtime::testing
