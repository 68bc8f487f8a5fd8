// Tasks and blocking jobs on a private two-worker runtime: spawning from workers and foreign
// threads, join outcomes, fault isolation, thread binding and names, the budget, stealing and
// the sleep/wake protocol under load.
#include "runtime/runtime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "runtime/task.hpp"
#include "support.hpp"

namespace morvane::runtime {
namespace {

using testing::block_on;
using testing::test_runtime;
using namespace std::chrono_literals;

Task<int> add_one(int v) {
    co_return v + 1;
}

TEST(Runtime, SpawnFromAForeignThreadRunsOnAWorker) {
    Runtime& rt = test_runtime();
    EXPECT_EQ(rt.worker_count(), 2u);
    EXPECT_EQ(Runtime::current(), nullptr);
    auto body = [](Runtime* expected) -> Task<std::string> {
        EXPECT_EQ(Runtime::current(), expected);
        co_return testing::thread_name();
    };
    JoinResult<std::string> r = block_on(rt.spawn(body(&rt)));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), "morvane-worker");
}

TEST(Runtime, TasksSpawnedInsideWorkersAndAwaited) {
    Runtime& rt = test_runtime();
    auto parent = [](Runtime* rt) -> Task<long> {
        std::vector<JoinHandle<int>> children;
        for (int i = 0; i < 300; ++i) children.push_back(rt->spawn(add_one(i)));
        long sum = 0;
        for (auto& h : children) {
            JoinResult<int> r = co_await h;
            sum += r.take();
        }
        co_return sum;
    };
    EXPECT_EQ(block_on(rt.spawn(parent(&rt))).take(), 300L * 301 / 2);
}

TEST(Runtime, ManyForeignThreadsSpawnConcurrently) {
    Runtime& rt = test_runtime();
    std::atomic<int> done{0};
    auto bump = [](std::atomic<int>* d) -> Task<> {
        d->fetch_add(1);
        co_return;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) rt.spawn(bump(&done));  // detached
        });
    for (auto& t : threads) t.join();
    EXPECT_TRUE(testing::eventually([&] { return done.load() == 2000; }));
}

TEST(Runtime, JoinOutcomesCarryEachPayloadKind) {
    Runtime& rt = test_runtime();
    auto owned = []() -> Task<int> {
        throw Fault("owned " + std::to_string(42));
        co_return 0;
    };
    auto borrowed = []() -> Task<int> {
        throw "static text";
        co_return 0;
    };
    auto other = []() -> Task<int> {
        throw 17;
        co_return 0;
    };
    JoinResult<int> a = block_on(rt.spawn(owned()));
    ASSERT_TRUE(a.faulted());
    EXPECT_FALSE(a.ok());
    EXPECT_FALSE(a.cancelled());
    EXPECT_STREQ(fault_text(a.payload()), "owned 42");
    EXPECT_THROW(a.value(), Fault);

    EXPECT_STREQ(fault_text(block_on(rt.spawn(borrowed())).payload()), "static text");
    EXPECT_STREQ(fault_text(block_on(rt.spawn(other())).payload()), kUnknownFaultText);

    // A fault ended only its task: the runtime and its workers carry on.
    EXPECT_EQ(block_on(rt.spawn(add_one(1))).take(), 2);
}

TEST(Runtime, DroppedHandleDetachesTheTask) {
    Runtime& rt = test_runtime();
    std::atomic<bool> ran{false};
    auto body = [](std::atomic<bool>* r) -> Task<std::shared_ptr<int>> {
        r->store(true);
        co_return std::make_shared<int>(1);
    };
    { auto dropped = rt.spawn(body(&ran)); }
    EXPECT_TRUE(testing::eventually([&] { return ran.load(); }));
}

TEST(Runtime, BlockingJobsRunOnBoundNamedThreads) {
    Runtime& rt = test_runtime();
    auto r = block_on(rt.spawn_blocking([&rt] {
        EXPECT_EQ(Runtime::current(), &rt);
        return testing::thread_name();
    }));
    EXPECT_EQ(r.take(), "morvane-worker");

    // From inside a task through the current runtime, with a void closure and a throwing one.
    auto body = []() -> Task<std::string> {
        std::atomic<int> hits{0};
        JoinResult<Unit> v = co_await spawn_blocking([&hits] { hits.fetch_add(1); });
        JoinResult<int> f = co_await spawn_blocking([]() -> int { throw Fault("job failed"); });
        co_return std::to_string(v.ok()) + std::to_string(hits.load()) + fault_text(f.payload());
    };
    EXPECT_EQ(block_on(rt.spawn(body())).take(), "11job failed");
    EXPECT_THROW(spawn_blocking([] {}), Fault);  // this thread belongs to no runtime
}

// Counts the polls of the wrapped future.
template <class F>
struct CountPolls {
    F inner;
    int* polls;
    auto poll(Context& cx) {
        ++*polls;
        return inner.poll(cx);
    }
};

TEST(Runtime, BudgetMakesALongAwaitChainYield) {
    Runtime& rt = test_runtime();
    auto body = [](Runtime* rt) -> Task<int> {
        // Finished handles are ready at once, yet each await spends budget.
        std::vector<JoinHandle<int>> hs;
        for (int i = 0; i < 400; ++i) hs.push_back(rt->spawn(add_one(0)));
        int total = 0;
        for (auto& h : hs) total += (co_await h).take();
        co_return total;
    };
    int polls = 0;
    auto r = block_on(rt.spawn(CountPolls<Task<int>>{body(&rt), &polls}));
    EXPECT_EQ(r.take(), 400);
    EXPECT_GE(polls, 4);  // 400 awaits need at least four resumptions of 128
}

TEST(Runtime, WakeFromAForeignThreadResumesTheTask) {
    Runtime& rt = test_runtime();
    struct Shared {
        std::mutex mu;
        bool open = false;
        int polls = 0;
        Waker waker;
    };
    auto shared = std::make_shared<Shared>();
    struct Wait {
        std::shared_ptr<Shared> s;
        Poll<int> poll(Context& cx) {
            std::lock_guard lock(s->mu);
            ++s->polls;
            if (s->open) return 9;
            s->waker = cx.waker();
            return Poll<int>::pending();
        }
    };
    const auto polled = [&](int times) {
        return testing::eventually([&] {
            std::lock_guard lock(shared->mu);
            return shared->polls >= times;
        });
    };
    auto handle = rt.spawn(Wait{shared});
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(polled(i));
        std::lock_guard lock(shared->mu);
        shared->waker.wake();  // spurious wakes: polled again, still pending
    }
    ASSERT_TRUE(polled(4));
    {
        std::lock_guard lock(shared->mu);
        shared->open = true;
        shared->waker.wake();
    }
    EXPECT_EQ(block_on(std::move(handle)).take(), 9);
}

TEST(Runtime, IdleWorkerTakesOverTheQueueOfABusyOne) {
    // The parent holds its worker without yielding; its children sit in that worker's own
    // queue, so only the other worker, taking them over, can run them.
    Runtime& rt = test_runtime();
    auto parent = [](Runtime* rt) -> Task<bool> {
        std::atomic<int> done{0};
        auto child = [](std::atomic<int>* d) -> Task<> {
            d->fetch_add(1);
            co_return;
        };
        for (int i = 0; i < 8; ++i) rt->spawn(child(&done));  // detached
        co_return testing::eventually([&] { return done.load() == 8; });
    };
    EXPECT_TRUE(block_on(rt.spawn(parent(&rt))).take());
}

// Spins for about `n` short steps: a delay far below a sleep's granularity.
void spin(unsigned n) {
    volatile unsigned k = 0;
    while (k < n) k = k + 1;
}

// A varying small number (xorshift), different on each thread.
unsigned jitter(unsigned range) {
    thread_local std::uint32_t x =
        0x9E3779B9u ^
        static_cast<std::uint32_t>(std::hash<std::thread::id>()(std::this_thread::get_id()));
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x % range;
}

TEST(Runtime, NoWakeUpIsLostWhileWorkersFallAsleep) {
    // One worker, so no other worker's wake-up can rescue a lost one, which slows down on its
    // way to sleep for a varying time. Each round's task is spawned from this thread, and
    // its second half is woken by a blocking thread, both after varying delays, so that the
    // wakes land anywhere on that way. A lost wake-up leaves the round's task queued while the
    // worker sleeps: the round never ends.
    detail::BuildOptions o = testing::options_with_workers("1");
    o.before_sleep = [] { spin(jitter(20000)); };
    static Runtime& rt = Runtime::build(o);
    std::atomic<int> ended{0};
    auto round = [](std::atomic<int>* ended) -> Task<> {
        co_await spawn_blocking([] { spin(jitter(20000)); });
        ended->fetch_add(1, std::memory_order_release);
    };
    for (int i = 0; i < 30000; ++i) {
        spin(jitter(20000));
        rt.spawn(round(&ended));  // detached
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (ended.load(std::memory_order_acquire) == i)
            ASSERT_LT(std::chrono::steady_clock::now(), deadline)
                << "round " << i << " never ended";
    }
}

}  // namespace
}  // namespace morvane::runtime
