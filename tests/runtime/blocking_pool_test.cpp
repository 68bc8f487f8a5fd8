// The blocking pool on its own: thread limit and FIFO queueing, keep-alive, the temporary-
// shortage rule, and job faults. The keep-alive is the pool's constructor argument: long where a
// thread must not expire, short where it must, so that no case depends on how fast the machine is.
#include "runtime/blocking_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "runtime/join_handle.hpp"
#include "runtime/runtime.hpp"
#include "support.hpp"

namespace morvane::runtime::detail {
namespace {

using namespace std::chrono_literals;

// Pools are never destroyed (their threads may still be finishing); keep them reachable.
BlockingPool& make_pool(std::size_t limit, std::chrono::nanoseconds keep_alive,
                        ThreadSpawner spawner = default_thread_spawner(),
                        void (*before_sleep)() = nullptr) {
    static auto* pools = new std::vector<BlockingPool*>;  // outlives static destructors
    pools->push_back(
        new BlockingPool(nullptr, limit, keep_alive, std::move(spawner), before_sleep));
    return *pools->back();
}

template <class Fn>
JoinHandle<blocking_output_t<Fn>> submit(BlockingPool& pool, Fn fn, bool permanent = false) {
    using Job = BlockingJob<Fn>;
    auto* cell = new Cell<Job>(Job(std::move(fn)), nullptr);
    JoinHandle<blocking_output_t<Fn>> handle(cell);
    try {
        pool.submit(cell, permanent);
    } catch (...) {
        task_unref(cell);
        throw;
    }
    return handle;
}

// A gate that blocked jobs wait on (bounded, so a failing test cannot hang).
struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    int permits = 0;
    void wait() {
        std::unique_lock lock(mu);
        cv.wait_for(lock, 20s, [&] { return permits > 0; });
        --permits;
    }
    void release(int n = 1) {
        {
            std::lock_guard lock(mu);
            permits += n;
        }
        cv.notify_all();
    }
};

struct CountingSpawner {
    std::shared_ptr<std::atomic<int>> created = std::make_shared<std::atomic<int>>(0);
    ThreadSpawner get() const {
        auto c = created;
        return [c](std::function<void()> body) {
            c->fetch_add(1);
            spawn_os_thread(std::move(body));
        };
    }
};

TEST(BlockingPool, LimitQueuesFurtherJobsInArrivalOrder) {
    CountingSpawner spawner;
    BlockingPool& pool = make_pool(3, 10s, spawner.get());
    Gate gate;
    std::mutex order_mu;
    std::vector<int> order;
    std::vector<JoinHandle<Unit>> handles;
    for (int i = 0; i < 3; ++i) handles.push_back(submit(pool, [&] { gate.wait(); }));
    ASSERT_TRUE(testing::eventually([&] { return pool.stats().queued == 0; }));  // all running
    for (int i = 0; i < 3; ++i)
        handles.push_back(submit(pool, [&, i] {
            std::lock_guard lock(order_mu);
            order.push_back(i);
        }));
    EXPECT_EQ(pool.stats().threads, 3u);  // the limit holds
    EXPECT_EQ(pool.stats().queued, 3u);
    EXPECT_EQ(spawner.created->load(), 3);
    gate.release();  // one blocked job ends; its thread takes the queued ones in order
    for (int i = 3; i < 6; ++i) testing::block_on(std::move(handles[static_cast<std::size_t>(i)]));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    gate.release(2);
    for (int i = 0; i < 3; ++i) testing::block_on(std::move(handles[static_cast<std::size_t>(i)]));
    EXPECT_EQ(spawner.created->load(), 3);
}

// Starts real threads, counts them, and notes when each one's pool loop has returned, i.e. when
// it has decided to end; the note is taken after that decision, so it can be late but never early.
struct ExitClock {
    struct Notes {
        std::mutex mu;
        std::vector<std::chrono::steady_clock::time_point> ends;
        std::atomic<int> created{0};
    };
    std::shared_ptr<Notes> notes = std::make_shared<Notes>();
    ThreadSpawner get() const {
        auto n = notes;
        return [n](std::function<void()> body) {
            n->created.fetch_add(1);
            spawn_os_thread([n, body = std::move(body)] {
                body();
                std::lock_guard lock(n->mu);
                n->ends.push_back(std::chrono::steady_clock::now());
            });
        };
    }
    std::vector<std::chrono::steady_clock::time_point> ends() const {
        std::lock_guard lock(notes->mu);
        return notes->ends;
    }
};

TEST(BlockingPool, IdleThreadIsReusedWithinTheKeepAlive) {
    // A keep-alive no test run outlasts: however late the second job comes, the thread waits.
    CountingSpawner spawner;
    BlockingPool& pool = make_pool(4, 24h, spawner.get());
    EXPECT_EQ(testing::block_on(submit(pool, [] { return 1; })).take(), 1);
    // The job reports done before its thread is idle again; until then a job needs a new thread.
    ASSERT_TRUE(testing::eventually([&] { return pool.stats().idle == 1; }));
    EXPECT_EQ(testing::block_on(submit(pool, [] { return testing::thread_name(); })).take(),
              "morvane-worker");
    EXPECT_EQ(spawner.created->load(), 1);
    EXPECT_EQ(pool.stats().owed_wakeups, 0u);
    EXPECT_EQ(pool.stats().threads, 1u);
}

TEST(BlockingPool, IdleThreadEndsAfterTheKeepAliveNotBefore) {
    constexpr auto keep_alive = 300ms;
    ExitClock clock;
    BlockingPool& pool = make_pool(4, keep_alive, clock.get());
    // The job's last moment comes before its thread's idle wait starts.
    const auto job_end =
        testing::block_on(submit(pool, [] { return std::chrono::steady_clock::now(); })).take();
    ASSERT_TRUE(testing::eventually([&] { return pool.stats().threads == 0; }, 60s));
    EXPECT_EQ(pool.stats().idle, 0u);
    ASSERT_TRUE(testing::eventually([&] { return clock.ends().size() == 1; }));
    EXPECT_GE(clock.ends()[0] - job_end, keep_alive);
    // A job after that starts a thread anew.
    EXPECT_EQ(testing::block_on(submit(pool, [] { return 2; })).take(), 2);
    EXPECT_EQ(clock.notes->created.load(), 2);
}

// Starts `allow_first` threads, then throws `error` instead.
template <class E>
ThreadSpawner refusing_with(E error, int allow_first) {
    auto n = std::make_shared<std::atomic<int>>(0);
    return [=](std::function<void()> body) {
        if (n->fetch_add(1) >= allow_first) throw error;
        spawn_os_thread(std::move(body));
    };
}

ThreadSpawner refusing(std::errc err, int allow_first) {
    return refusing_with(std::system_error(std::make_error_code(err)), allow_first);
}

TEST(BlockingPool, TemporaryShortageLeavesTheJobQueuedOnlyIfAThreadCanReturn) {
    // No thread at all: the refusal is a fault, and the job is not kept.
    BlockingPool& empty = make_pool(8, 10s, refusing(std::errc::resource_unavailable_try_again, 0));
    EXPECT_EQ(testing::fault_of([&] { submit(empty, [] {}); }),
              "OS can't spawn worker thread: Resource temporarily unavailable");
    EXPECT_EQ(empty.stats().queued, 0u);

    // One busy thread that will come back: the job waits for it.
    BlockingPool& one = make_pool(8, 10s, refusing(std::errc::resource_unavailable_try_again, 1));
    Gate gate;
    auto busy = submit(one, [&] { gate.wait(); });
    ASSERT_TRUE(testing::eventually([&] { return one.stats().queued == 0; }));
    auto waiting = submit(one, [] { return 5; });
    EXPECT_EQ(one.stats().queued, 1u);
    gate.release();
    EXPECT_EQ(testing::block_on(std::move(waiting)).take(), 5);
    testing::block_on(std::move(busy));

    // Only a thread that never returns (a worker's loop): queueing would strand the job.
    BlockingPool& perm = make_pool(8, 10s, refusing(std::errc::resource_unavailable_try_again, 1));
    Gate forever;
    auto worker_like = submit(
        perm, [&] { forever.wait(); }, /*permanent=*/true);
    ASSERT_TRUE(testing::eventually([&] { return perm.stats().queued == 0; }));
    EXPECT_EQ(testing::fault_of([&] { submit(perm, [] {}); }),
              "OS can't spawn worker thread: Resource temporarily unavailable");
    forever.release();
    testing::block_on(std::move(worker_like));

    // Any other refusal is a fault even with threads around.
    BlockingPool& other = make_pool(8, 10s, refusing(std::errc::not_enough_memory, 1));
    Gate g2;
    auto busy2 = submit(other, [&] { g2.wait(); });
    ASSERT_TRUE(testing::eventually([&] { return other.stats().queued == 0; }));
    EXPECT_EQ(testing::fault_of([&] { submit(other, [] {}); }),
              "OS can't spawn worker thread: Cannot allocate memory");
    g2.release();
    testing::block_on(std::move(busy2));
}

TEST(BlockingPool, AJobLeftForAThreadThatWentIdleDuringTheRefusedCreationRunsAtOnce) {
    // The busy thread goes idle, and to sleep, while the creation of a second one is under way;
    // the creation then fails for want of threads, so the job is left to the idle thread, which
    // must be woken for it rather than find it only when its keep-alive (a day) is over.
    auto gate = std::make_shared<Gate>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    BlockingPool* pool_ptr = nullptr;
    BlockingPool& pool = make_pool(8, 24h, [gate, calls, &pool_ptr](std::function<void()> body) {
        if (calls->fetch_add(1) == 0) return spawn_os_thread(std::move(body));
        gate->release();
        (void)testing::eventually([&] { return pool_ptr->stats().idle == 1; });
        std::this_thread::sleep_for(kHotWait * 4);  // past its spin, asleep
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    pool_ptr = &pool;
    auto busy = submit(pool, [gate] { gate->wait(); });
    ASSERT_TRUE(testing::eventually([&] { return pool.stats().queued == 0; }));
    auto ran = std::make_shared<std::atomic<bool>>(false);  // the job may outlive a failed test
    auto left = submit(pool, [ran] { *ran = true; });
    EXPECT_TRUE(testing::eventually([&] { return ran->load(); }, 10s));
    testing::block_on(std::move(busy));
    if (*ran) testing::block_on(std::move(left));
}

TEST(BlockingPool, AnyOtherExceptionFromThreadCreationLeavesTheJobWithTheCaller) {
    // Out of memory while a thread that would come back exists: the caller frees the job, so
    // the queue must not keep it (that thread would run it after its free; ASan sees it).
    BlockingPool& pool = make_pool(8, 10s, refusing_with(std::bad_alloc(), 1));
    Gate gate;
    auto busy = submit(pool, [&] { gate.wait(); });
    ASSERT_TRUE(testing::eventually([&] { return pool.stats().queued == 0; }));
    EXPECT_THROW(submit(pool, [] {}), std::bad_alloc);
    EXPECT_EQ(pool.stats().queued, 0u);
    gate.release();
    testing::block_on(std::move(busy));
    // The thread reports its job done before it goes back to the pool; until it is idle again a
    // new job would ask for a second thread, which this spawner refuses.
    ASSERT_TRUE(testing::eventually([&] { return pool.stats().idle == 1; }));
    EXPECT_EQ(testing::block_on(submit(pool, [] { return 4; })).take(), 4);  // queue drained
}

TEST(BlockingPool, JobFaultEndsOnlyThatJobAndJobsRunOnce) {
    BlockingPool& pool = make_pool(2, 10s);
    JoinResult<int> r = testing::block_on(submit(pool, []() -> int { throw Fault("job broke"); }));
    ASSERT_TRUE(r.faulted());
    EXPECT_STREQ(morvane::fault_text(r.payload()), "job broke");
    EXPECT_EQ(testing::block_on(submit(pool, [] { return 3; })).take(), 3);

    BlockingJob<std::function<void()>> job([] {});
    Waker w = Waker::noop();
    Context cx(w);
    EXPECT_TRUE(job.poll(cx).is_ready());
    EXPECT_EQ(testing::fault_of([&] { job.poll(cx); }),
              "[internal exception] blocking task ran twice.");
}

TEST(BlockingPool, ThreadCreationHoldsUpNoOtherSubmitter) {
    // The first creation stalls (a new thread whose CPU is busy); a second job, which needs a
    // thread of its own, is neither held up by it nor taken by the stalled creation's thread.
    auto stall = std::make_shared<Gate>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    BlockingPool& pool = make_pool(8, 10s, [stall, calls](std::function<void()> body) {
        if (calls->fetch_add(1) == 0) stall->wait();
        spawn_os_thread(std::move(body));
    });
    std::atomic<bool> first_ran{false};
    std::thread stalled([&] { testing::block_on(submit(pool, [&] { first_ran = true; })); });
    ASSERT_TRUE(testing::eventually([&] { return calls->load() == 1; }));
    EXPECT_EQ(testing::block_on(submit(pool, [] { return 7; })).take(), 7);
    EXPECT_FALSE(first_ran.load());
    stall->release();
    stalled.join();
    EXPECT_TRUE(first_ran.load());
}

TEST(BlockingPool, AJobHandedOverAsTheSpinEndsRunsWithoutWaitingForTheKeepAlive) {
    // The thread is counted as spinning until it is back under the lock, so a job handed to it
    // in that window comes without a signal; it must be taken before the thread sleeps, or it
    // would wait for the next submitter or the keep-alive.
    static std::atomic<bool> widen;
    static std::atomic<int> in_window;
    widen = true;
    in_window = 0;
    BlockingPool& pool = make_pool(1, 20s, default_thread_spawner(), [] {
        if (!widen) return;
        in_window = 1;
        std::this_thread::sleep_for(50ms);
    });
    testing::block_on(submit(pool, [] {}));  // its thread then spins, and stops in the window
    ASSERT_TRUE(testing::eventually([&] { return in_window.load() == 1; }));
    std::atomic<bool> ran{false};
    auto handle = submit(pool, [&] { ran = true; });
    EXPECT_TRUE(testing::eventually([&] { return ran.load(); }, 10s));
    testing::block_on(std::move(handle));  // a missed job runs once the keep-alive is over
    widen = false;
}

TEST(BlockingPool, NobodySpinsWhileManyTasksExist) {
    // Many lookups in flight: an idle thread goes straight to sleep. The hook runs only once a
    // spin is over, at most kHotWait after the thread went idle.
    static std::atomic<int> spins;
    spins = 0;
    BlockingPool& pool = make_pool(1, 20s, default_thread_spawner(), [] { spins.fetch_add(1); });
    std::vector<JoinHandle<Unit>> in_flight;  // unsubmitted jobs: they exist, nothing runs them
    for (std::size_t i = 0; i <= kSpinWhileTasksAtMost; ++i) {
        auto* cell = new Cell<BlockingJob<std::function<void()>>>(
            BlockingJob<std::function<void()>>([] {}), nullptr);
        in_flight.emplace_back(cell);
        task_unref(cell);  // the runtime's reference: only the handle's is left
    }
    testing::block_on(submit(pool, [] {}));
    ASSERT_TRUE(testing::eventually([&] { return pool.stats().idle == 1; }));
    std::this_thread::sleep_for(kHotWait * 20);
    EXPECT_EQ(spins.load(), 0);
    in_flight.clear();
    testing::block_on(submit(pool, [] {}));  // few tasks again: the thread spins once more
    EXPECT_TRUE(testing::eventually([&] { return spins.load() == 1; }));
}

TEST(BlockingPool, JobsHandedToSpinningAndSleepingThreadsAllRun) {
    // Submitters race threads that go from running to spinning to sleeping: gaps of none, of
    // about the spin and of longer, so every hand-over meets every idle state. A job handed to
    // a thread that stopped spinning without a signal would never run (the bound fails it).
    BlockingPool& pool = make_pool(4, 10s);
    std::atomic<int> ran{0};
    constexpr int kSubmitters = 3, kJobs = 300;
    std::vector<std::thread> submitters;
    for (int s = 0; s < kSubmitters; ++s)
        submitters.emplace_back([&, s] {
            std::vector<JoinHandle<Unit>> handles;
            for (int i = 0; i < kJobs; ++i) {
                handles.push_back(submit(pool, [&] { ran.fetch_add(1); }));
                const int gap = (i * 7 + s) % 5;  // 0, 20, 40, 150 or 400 µs
                if (gap > 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(gap < 3    ? gap * 20
                                                                          : gap == 3 ? 150
                                                                                     : 400));
            }
            for (auto& h : handles) testing::block_on(std::move(h));
        });
    for (auto& t : submitters) t.join();
    EXPECT_EQ(ran.load(), kSubmitters * kJobs);
    ASSERT_TRUE(testing::eventually([&] { return pool.stats().idle == pool.stats().threads; }));
    EXPECT_EQ(pool.stats().owed_wakeups, 0u);
}

TEST(BlockingPool, AThreadStartedByARuntimeThreadIsNamedWhenTheCallReturns) {
    // Started from a runtime thread, the new thread carries the name from its creation, with no
    // wait for it to run: counted by name at once. The state is shared with the threads, which
    // may still be inside a Gate when the test returns.
    struct State {
        Gate hold, done;
        std::atomic<int> before{-1}, after{-1};
    };
    auto state = std::make_shared<State>();
    spawn_os_thread([state] {
        state->before = testing::named_threads();
        spawn_os_thread([state] { state->hold.wait(); });
        state->after = testing::named_threads();
        state->done.release();
    });
    state->done.wait();
    EXPECT_EQ(state->after.load(), state->before.load() + 1);
    state->hold.release();
}

TEST(BlockingPool, LimitSaturates) {
    EXPECT_EQ(saturating_add(SIZE_MAX - 3, 512), SIZE_MAX);
    EXPECT_EQ(saturating_add(4, 512), 516u);
}

}  // namespace
}  // namespace morvane::runtime::detail
