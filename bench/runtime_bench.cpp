// The background runtime's hot paths, on the process-wide runtime (worker count as production
// computes it): spawning and completing trivial tasks from a worker and from a foreign thread,
// how long a task woken from a foreign thread takes to run, and the round trip of a blocking
// job awaited by a task. Wall-clock figures: the work happens on the runtime's threads.
//
//   build/rtbench/bench/runtime_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <benchmark/benchmark.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/runtime.hpp"
#include "runtime/task.hpp"

namespace {

using namespace morvane::runtime;
using Clock = std::chrono::steady_clock;

constexpr auto kWaitLimit = std::chrono::seconds(30);

// A counter a foreign thread can sleep on (futex); bump() wakes it. A wait that outlasts
// kWaitLimit means a lost wake-up in the runtime: the program stops instead of hanging.
class Signal {
  public:
    std::uint32_t value() const { return seq_.load(); }
    void bump() {
        seq_.fetch_add(1);
        if (waiters_.load() > 0)
            ::syscall(SYS_futex, &seq_, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
    }
    // Sleeps until the counter differs from `seen`.
    void wait_beyond(std::uint32_t seen) {
        const auto deadline = Clock::now() + kWaitLimit;
        waiters_.fetch_add(1);
        while (seq_.load() == seen) {
            if (Clock::now() > deadline) {
                std::fprintf(stderr, "runtime_bench: no wake-up within %llds: lost wake-up?\n",
                             static_cast<long long>(kWaitLimit.count()));
                std::abort();
            }
            timespec ts{1, 0};
            ::syscall(SYS_futex, &seq_, FUTEX_WAIT_PRIVATE, seen, &ts, nullptr, 0);
        }
        waiters_.fetch_sub(1);
    }

  private:
    std::atomic<std::uint32_t> seq_{0};
    std::atomic<std::uint32_t> waiters_{0};
};

// The benchmark thread's waker target. It lives as long as the process, so wakers need no
// reference count and a late wake from an earlier wait is only a spurious re-poll.
Signal& foreign_signal() {
    static Signal* s = new Signal;
    return *s;
}
constexpr WakerVTable kSignalWaker{
    [](const void*) {}, [](const void* p) { static_cast<Signal*>(const_cast<void*>(p))->bump(); },
    [](const void*) {}};

// Drives a future to completion on the calling (foreign) thread.
template <Future F>
future_output_t<F> block_on(F& f) {
    Signal& s = foreign_signal();
    Waker w(&kSignalWaker, &s);
    Context cx(w);
    for (;;) {
        const std::uint32_t seen = s.value();
        auto p = f.poll(cx);
        if (p.is_ready()) return p.take();
        s.wait_beyond(seen);
    }
}

// Waits for every handle, in order.
struct JoinAll {
    std::vector<JoinHandle<int>>* handles;
    std::size_t next = 0;
    long sum = 0;
    Poll<long> poll(Context& cx) {
        for (; next < handles->size(); ++next) {
            auto p = (*handles)[next].poll(cx);
            if (p.is_pending()) return Poll<long>::pending();
            sum += p.take().take();
        }
        return sum;
    }
};

struct Percentiles {
    double p50, p90, p99, mean;
};
Percentiles percentiles(std::vector<double> v) {
    if (v.empty()) return {0, 0, 0, 0};
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[static_cast<std::size_t>(q * double(v.size() - 1))]; };
    double total = 0;
    for (double x : v) total += x;
    return {at(0.50), at(0.90), at(0.99), total / double(v.size())};
}
void report_us(benchmark::State& state, const std::vector<double>& seconds) {
    const Percentiles p = percentiles(seconds);
    state.counters["p50_us"] = p.p50 * 1e6;
    state.counters["p90_us"] = p.p90 * 1e6;
    state.counters["p99_us"] = p.p99 * 1e6;
    state.counters["mean_us"] = p.mean * 1e6;
}

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

constexpr int kTasksPerIteration = 16384;

Task<int> trivial(int v) {
    co_return v + 1;
}

// Spawns kTasksPerIteration trivial tasks from a worker, `window` at a time, awaiting each
// window before the next. A window of up to 256 fits the worker's own queue; larger bursts
// overflow into the injection queue.
Task<long> spawn_and_join(Runtime* rt, int window) {
    std::vector<JoinHandle<int>> handles;
    handles.reserve(static_cast<std::size_t>(window));
    long sum = 0;
    for (int done = 0; done < kTasksPerIteration; done += window) {
        for (int i = 0; i < window; ++i) handles.push_back(rt->spawn(trivial(i)));
        for (auto& h : handles) {
            JoinResult<int> r = co_await h;
            sum += r.take();
        }
        handles.clear();
    }
    co_return sum;
}

long expected_sum(int window) {
    const long per_window = long(window) * (window + 1) / 2;
    return per_window * (kTasksPerIteration / window);
}

void BM_SpawnFromWorker(benchmark::State& state) {
    Runtime& rt = get_runtime();
    const int window = static_cast<int>(state.range(0));
    for (auto _ : state) {
        auto h = rt.spawn(spawn_and_join(&rt, window));
        JoinResult<long> r = block_on(h);
        if (!r.ok() || r.value() != expected_sum(window)) state.SkipWithError("wrong sum");
    }
    state.SetItemsProcessed(state.iterations() * kTasksPerIteration);
}

void BM_SpawnFromForeignThread(benchmark::State& state) {
    Runtime& rt = get_runtime();
    const int window = static_cast<int>(state.range(0));
    std::vector<JoinHandle<int>> handles;
    handles.reserve(static_cast<std::size_t>(window));
    for (auto _ : state) {
        long sum = 0;
        for (int done = 0; done < kTasksPerIteration; done += window) {
            for (int i = 0; i < window; ++i) handles.push_back(rt.spawn(trivial(i)));
            JoinAll all{&handles};
            sum += block_on(all);
            handles.clear();
        }
        if (sum != expected_sum(window)) state.SkipWithError("wrong sum");
    }
    state.SetItemsProcessed(state.iterations() * kTasksPerIteration);
}

// A gate that a foreign thread opens, round after round, for a task waiting on it.
struct Gate {
    std::mutex mu;
    Waker waker;               // mu: the waiting task's
    std::uint64_t opened = 0;  // mu: the last round opened
    bool stop = false;         // mu
    Clock::time_point ran_at;  // written by the task before `ran` is bumped
    Signal armed, ran;
};

// Ready once round `round` is open; records when the task first saw it.
struct GateWait {
    Gate* g;
    std::uint64_t round;
    Poll<bool> poll(Context& cx) {
        std::unique_lock lock(g->mu);
        if (g->opened >= round) {
            g->ran_at = Clock::now();
            return g->stop;
        }
        g->waker = cx.waker();
        lock.unlock();
        g->armed.bump();
        return Poll<bool>::pending();
    }
};

Task<> gate_waiter(Gate* g) {
    for (std::uint64_t round = 1;; ++round) {
        GateWait w{g, round};
        const bool stop = co_await w;
        if (stop) co_return;
        g->ran.bump();
    }
}

// From waker.wake() on a foreign thread to the woken task running on a worker. The runtime is
// otherwise idle, so the worker is asleep (in the reactor or on its condition variable); with a
// pause (argument, µs) before each wake it certainly is.
void BM_WakeToRun(benchmark::State& state) {
    Runtime& rt = get_runtime();
    const auto pause = std::chrono::microseconds(state.range(0));
    auto gate = std::make_unique<Gate>();
    const std::uint32_t armed0 = gate->armed.value();
    auto handle = rt.spawn(gate_waiter(gate.get()));
    gate->armed.wait_beyond(armed0);
    std::vector<double> samples;
    std::uint64_t round = 0;
    for (auto _ : state) {
        ++round;
        if (pause.count() > 0) std::this_thread::sleep_for(pause);
        const std::uint32_t armed = gate->armed.value();
        const std::uint32_t ran = gate->ran.value();
        const Clock::time_point t0 = Clock::now();
        Waker w;
        {
            std::lock_guard lock(gate->mu);
            gate->opened = round;
            w = gate->waker;
        }
        w.wake();
        gate->ran.wait_beyond(ran);
        const double s = seconds_between(t0, gate->ran_at);
        samples.push_back(s);
        state.SetIterationTime(s);
        gate->armed.wait_beyond(armed);  // pending on the next round again
    }
    {
        std::lock_guard lock(gate->mu);
        gate->opened = round + 1;
        gate->stop = true;
        gate->waker.wake();
    }
    block_on(handle);
    report_us(state, samples);
}

constexpr int kRoundTripsPerIteration = 64;

// spawn_blocking + await from a task, kRoundTripsPerIteration times; each round trip timed.
Task<int> blocking_round_trips(std::vector<double>* samples, double* batch_seconds) {
    int sum = 0;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kRoundTripsPerIteration; ++i) {
        const Clock::time_point t0 = Clock::now();
        auto h = spawn_blocking([i] { return i; });
        JoinResult<int> r = co_await h;
        samples->push_back(seconds_between(t0, Clock::now()));
        sum += r.take();
    }
    *batch_seconds = seconds_between(start, Clock::now());
    co_return sum;
}

void BM_BlockingRoundTrip(benchmark::State& state) {
    Runtime& rt = get_runtime();
    std::vector<double> samples;
    for (auto _ : state) {
        double batch = 0;
        auto h = rt.spawn(blocking_round_trips(&samples, &batch));
        JoinResult<int> r = block_on(h);
        if (!r.ok() || r.value() != kRoundTripsPerIteration * (kRoundTripsPerIteration - 1) / 2)
            state.SkipWithError("wrong sum");
        state.SetIterationTime(batch);
    }
    state.SetItemsProcessed(state.iterations() * kRoundTripsPerIteration);
    state.SetLabel("time per 64 round trips");
    report_us(state, samples);
}

}  // namespace

BENCHMARK(BM_SpawnFromWorker)
    ->Arg(128)
    ->Arg(kTasksPerIteration)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpawnFromForeignThread)
    ->Arg(128)
    ->Arg(kTasksPerIteration)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WakeToRun)->Arg(0)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WakeToRun)->Arg(200)->Iterations(5000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BlockingRoundTrip)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
