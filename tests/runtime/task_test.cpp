// Task coroutines polled by hand, and the wake rules of a task record.
#include "runtime/task.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "runtime/join_handle.hpp"
#include "runtime/task_cell.hpp"
#include "support.hpp"

namespace morvane::runtime {
namespace {

using testing::Notify;

// A future that stays pending until opened; remembers the last waker it was given.
struct Gate {
    bool open = false;
    int polls = 0;
    Waker waker;
};
struct GateFuture {
    Gate* gate;
    Poll<int> poll(Context& cx) {
        ++gate->polls;
        if (gate->open) return 7;
        gate->waker = cx.waker();
        return Poll<int>::pending();
    }
};

struct Tracker {
    int* alive;
    explicit Tracker(int* a) : alive(a) { ++*alive; }
    ~Tracker() { --*alive; }
};

Task<int> leaf(Gate* g, int* resumed, int* alive) {
    Tracker t(alive);
    int v = co_await GateFuture{g};
    ++*resumed;
    co_return v + 1;
}

Task<int> middle(Gate* g, int* resumed, int* alive) {
    int v = co_await leaf(g, resumed, alive);
    co_return v * 10;
}

TEST(Task, PendingPollsRepollTheInnermostFutureOnly) {
    Gate g;
    int resumed = 0, alive = 0;
    Task<int> t = middle(&g, &resumed, &alive);
    Notify n;
    Waker w = n.waker();
    Context cx(w);
    EXPECT_TRUE(t.poll(cx).is_pending());
    EXPECT_TRUE(t.poll(cx).is_pending());
    EXPECT_EQ(g.polls, 2);
    EXPECT_EQ(resumed, 0);
    EXPECT_EQ(alive, 1);
    g.open = true;
    g.waker.wake();
    EXPECT_EQ(n.count(), 1);
    Poll<int> p = t.poll(cx);
    ASSERT_TRUE(p.is_ready());
    EXPECT_EQ(p.value(), 80);
    EXPECT_EQ(resumed, 1);
    EXPECT_EQ(alive, 0);  // the frame is released as soon as the body ends
    EXPECT_THROW(t.poll(cx), Fault);
}

TEST(Task, DestroyingASuspendedTaskReleasesItsFrame) {
    Gate g;
    int resumed = 0, alive = 0;
    {
        Task<int> t = middle(&g, &resumed, &alive);
        Waker w = Waker::noop();
        Context cx(w);
        EXPECT_TRUE(t.poll(cx).is_pending());
        EXPECT_EQ(alive, 1);
    }
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(resumed, 0);
}

struct Throwing {
    bool pending_first = true;
    Poll<int> poll(Context&) {
        if (std::exchange(pending_first, false)) return Poll<int>::pending();
        throw std::runtime_error("inner failure");
    }
};

Task<std::string> catches() {
    try {
        co_await Throwing{};
    } catch (const std::runtime_error& e) {
        co_return std::string("caught ") + e.what();
    }
    co_return "not reached";
}

Task<> rethrows() {
    co_await Throwing{};
    co_return;
}

TEST(Task, ExceptionsReachTheAwaitingBodyOrLeavePoll) {
    Waker w = Waker::noop();
    Context cx(w);
    Task<std::string> a = catches();
    EXPECT_TRUE(a.poll(cx).is_pending());
    EXPECT_EQ(a.poll(cx).value(), "caught inner failure");

    Task<> b = rethrows();
    EXPECT_TRUE(b.poll(cx).is_pending());
    EXPECT_THROW(b.poll(cx), std::runtime_error);
}

// A schedule target that records what it is handed.
struct RecordingSchedule final : detail::Schedule {
    std::vector<detail::TaskHeader*> queued;
    void schedule(detail::TaskHeader* t) override { queued.push_back(t); }
};

// A body that wakes itself `self_wakes` times per poll and finishes on poll `finish_on`.
struct SelfWaking {
    int self_wakes;
    int finish_on;
    int* polls;
    Poll<int> poll(Context& cx) {
        ++*polls;
        for (int i = 0; i < self_wakes; ++i) cx.waker().wake();
        if (*polls == finish_on) return 5;
        return Poll<int>::pending();
    }
};

// A task record of a SelfWaking body (no self-wakes) that finishes on poll `finish_on`, on a
// recording schedule, with its join handle and a waker.
struct RecordedTask {
    explicit RecordedTask(int finish_on)
        : cell(new detail::Cell<SelfWaking>(SelfWaking{0, finish_on, &polls}, &sched)),
          handle(cell),
          waker(detail::task_waker(cell)) {}
    RecordingSchedule sched;
    int polls = 0;
    detail::Cell<SelfWaking>* cell;
    JoinHandle<int> handle;
    Waker waker;
};

TEST(TaskRecord, WakesMergeAsTheRulesSay) {
    RecordedTask t(3);
    Waker& w = t.waker;

    // Spawned: scheduled. Wakes while scheduled merge into that one run.
    w.wake();
    w.wake();
    EXPECT_TRUE(t.sched.queued.empty());
    EXPECT_FALSE(detail::run_task(t.cell, w));  // pending, now idle
    EXPECT_EQ(t.polls, 1);

    // Idle: the first wake schedules it once, later ones merge.
    w.wake();
    Waker copy = w;
    copy.wake();
    ASSERT_EQ(t.sched.queued.size(), 1u);
    EXPECT_EQ(t.sched.queued[0], t.cell);

    // Woken while running: runs exactly once more, without going through the scheduler.
    t.cell->future->self_wakes = 3;
    EXPECT_TRUE(detail::run_task(t.cell, w));
    EXPECT_EQ(t.sched.queued.size(), 1u);
    EXPECT_FALSE(detail::run_task(t.cell, w));  // third poll finishes

    // Complete: wakes do nothing.
    w.wake();
    EXPECT_EQ(t.sched.queued.size(), 1u);
    JoinResult<int> r = testing::block_on(std::move(t.handle));
    EXPECT_EQ(r.value(), 5);
}

TEST(TaskRecord, JoinHandleWakeAndDetach) {
    RecordedTask t(2);
    Waker& w = t.waker;
    EXPECT_GT(t.handle.id(), 0u);

    Notify n;
    Waker hw = n.waker();
    Context cx(hw);
    EXPECT_TRUE(t.handle.poll(cx).is_pending());
    EXPECT_FALSE(detail::run_task(t.cell, w));
    EXPECT_EQ(n.count(), 0);
    w.wake();
    EXPECT_FALSE(detail::run_task(t.cell, w));  // completes and wakes the join handle
    EXPECT_EQ(n.count(), 1);
    Poll<JoinResult<int>> r = t.handle.poll(cx);
    ASSERT_TRUE(r.is_ready());
    EXPECT_TRUE(r.value().ok());
    EXPECT_THROW(t.handle.poll(cx), Fault);

    // Detached before completion: the output is released when the task completes.
    int alive = 0;
    struct Output {
        std::shared_ptr<Tracker> t;
    };
    struct Body {
        int* alive;
        Poll<Output> poll(Context&) { return Output{std::make_shared<Tracker>(alive)}; }
    };
    auto* cell2 = new detail::Cell<Body>(Body{&alive}, &t.sched);
    { JoinHandle<Output> dropped(cell2); }
    Waker w2 = detail::task_waker(cell2);
    EXPECT_FALSE(detail::run_task(cell2, w2));
    EXPECT_EQ(alive, 0);
}

TEST(TaskRecord, IdsAreDistinctAndIncreasing) {
    RecordingSchedule sched;
    int polls_a = 0, polls_b = 0;
    auto* ca = new detail::Cell<SelfWaking>(SelfWaking{0, 1, &polls_a}, &sched);
    auto* cb = new detail::Cell<SelfWaking>(SelfWaking{0, 1, &polls_b}, &sched);
    JoinHandle<int> a(ca), b(cb);
    EXPECT_LT(a.id(), b.id());
    EXPECT_GE(a.id(), 1u);
    EXPECT_FALSE(detail::run_task(ca, Waker::noop()));
    EXPECT_FALSE(detail::run_task(cb, Waker::noop()));
}

}  // namespace
}  // namespace morvane::runtime
