#pragma once
// Test helpers: a waker that counts and signals, block_on for the test thread, private runtimes.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/builder.hpp"
#include "runtime/context.hpp"
#include "runtime/runtime.hpp"
#include "runtime/waker.hpp"

namespace morvane::runtime::testing {

using namespace std::chrono_literals;

// A waker target owned by the test: counts wakes and lets a thread wait for them.
struct Notify {
    std::mutex mu;
    std::condition_variable cv;
    int wakes = 0;

    Waker waker() {
        static constexpr WakerVTable vt{[](const void*) {},
                                        [](const void* p) {
                                            auto* n = static_cast<Notify*>(const_cast<void*>(p));
                                            {
                                                std::lock_guard lock(n->mu);
                                                ++n->wakes;
                                            }
                                            n->cv.notify_all();
                                        },
                                        [](const void*) {}};
        return Waker(&vt, this);
    }
    int count() {
        std::lock_guard lock(mu);
        return wakes;
    }
    // Waits until at least `n` wakes happened; false on timeout.
    bool wait_for(int n, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, limit, [&] { return wakes >= n; });
    }
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
        std::unique_lock lock(n.mu);
        if (!n.cv.wait_until(lock, deadline, [&] { return n.wakes > seen; }))
            throw std::runtime_error("block_on timed out");
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

inline std::string thread_name() {
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    return buf;
}

}  // namespace morvane::runtime::testing
