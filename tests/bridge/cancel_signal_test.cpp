// The one-shot cancel signal and Cancellable, without an interpreter: wake handles are counted
// by a test vtable, jobs are scripted futures.
#include "bridge/cancel_signal.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

#include "bridge/cancellable.hpp"
#include "runtime/context.hpp"
#include "runtime/waker.hpp"

namespace morvane::bridge {
namespace {

// A wakeable counter: the waker's data points at it; clone/drop track live handles.
struct WakeCounter {
    std::atomic<int> wakes{0};
    std::atomic<int> handles{0};

    static void clone(const void* d) { static_cast<const WakeCounter*>(d)->bump_handles(1); }
    static void wake(const void* d) {
        const_cast<WakeCounter*>(static_cast<const WakeCounter*>(d))->wakes.fetch_add(1);
    }
    static void drop(const void* d) { static_cast<const WakeCounter*>(d)->bump_handles(-1); }
    void bump_handles(int n) const { const_cast<WakeCounter*>(this)->handles.fetch_add(n); }

    runtime::Waker waker() {
        static const runtime::WakerVTable vtable{&clone, &wake, &drop};
        handles.fetch_add(1);
        return runtime::Waker(&vtable, this);
    }
};

// A fresh channel, and a wake target that counts.
struct Channel {
    Channel() { std::tie(sender, receiver) = cancel_channel(); }
    WakeCounter counter;
    CancelSender sender;
    CancelReceiver receiver;
};

TEST(CancelSignal, SendWakesTheRegisteredReceiver) {
    Channel c;
    {
        runtime::Waker waker = c.counter.waker();
        EXPECT_EQ(c.receiver.poll_receive(waker), CancelPoll::nothing_yet);
        EXPECT_EQ(c.receiver.poll_receive(waker), CancelPoll::nothing_yet);  // same task: kept
    }
    EXPECT_EQ(c.counter.handles.load(), 1);  // the channel keeps exactly one copy
    EXPECT_TRUE(c.sender.send());
    EXPECT_FALSE(c.sender);
    EXPECT_EQ(c.counter.wakes.load(), 1);
    runtime::Waker waker = c.counter.waker();
    EXPECT_EQ(c.receiver.poll_receive(waker), CancelPoll::received);
    c.receiver.release();
    EXPECT_EQ(c.counter.handles.load(), 1);  // only ours: the record and its copy are gone
}

TEST(CancelSignal, SendBeforeAnyReceiveIsSeenAtTheFirstReceive) {
    Channel c;
    EXPECT_TRUE(c.sender.send());
    EXPECT_EQ(c.counter.wakes.load(), 0);
    EXPECT_EQ(c.receiver.poll_receive(c.counter.waker()), CancelPoll::received);
}

TEST(CancelSignal, ReleasedSenderIsSenderGoneAndWakes) {
    Channel c;
    EXPECT_EQ(c.receiver.poll_receive(c.counter.waker()), CancelPoll::nothing_yet);
    { CancelSender dropped = std::move(c.sender); }
    EXPECT_EQ(c.counter.wakes.load(), 1);
    EXPECT_EQ(c.receiver.poll_receive(c.counter.waker()), CancelPoll::sender_gone);
}

TEST(CancelSignal, SendAfterReceiverReleasedFailsAndDropsTheWaker) {
    Channel c;
    EXPECT_EQ(c.receiver.poll_receive(c.counter.waker()), CancelPoll::nothing_yet);
    c.receiver.release();
    EXPECT_EQ(c.counter.handles.load(), 0);  // the registered handle went with the receiver
    EXPECT_FALSE(c.sender.send());
    EXPECT_EQ(c.counter.wakes.load(), 0);
}

TEST(CancelSignal, ANewTaskReplacesTheRegisteredWaker) {
    WakeCounter first, second;
    auto [sender, receiver] = cancel_channel();
    EXPECT_EQ(receiver.poll_receive(first.waker()), CancelPoll::nothing_yet);
    EXPECT_EQ(receiver.poll_receive(second.waker()), CancelPoll::nothing_yet);
    EXPECT_EQ(first.handles.load(), 0);
    EXPECT_TRUE(sender.send());
    EXPECT_EQ(first.wakes.load(), 0);
    EXPECT_EQ(second.wakes.load(), 1);
}

// Both ends on different threads, in every interleaving the scheduler produces: the sender either
// delivers (and the receiver sees the signal, woken at least once if it was registered) or finds
// the receiver gone; the record is freed exactly once (checked by ASan/TSan builds).
TEST(CancelSignal, ConcurrentSendAndReceiveOrRelease) {
    for (int round = 0; round < 2000; ++round) {
        WakeCounter counter;
        auto [sender, receiver] = cancel_channel();
        const bool release_early = round % 3 == 0;
        std::atomic<bool> sent{false};
        std::thread loop_thread([&, s = std::move(sender)]() mutable {
            if (round % 2 == 0) {
                sent = s.send();
            } else {
                s.release();
            }
        });
        CancelPoll seen = CancelPoll::nothing_yet;
        if (release_early) {
            receiver.release();
        } else {
            runtime::Waker waker = counter.waker();
            while ((seen = receiver.poll_receive(waker)) == CancelPoll::nothing_yet &&
                   counter.wakes.load() == 0) {
                std::this_thread::yield();
            }
        }
        loop_thread.join();
        if (!release_early) {
            seen = receiver.poll_receive(counter.waker());
            EXPECT_EQ(seen, round % 2 == 0 ? CancelPoll::received : CancelPoll::sender_gone);
            receiver.release();
        }
        if (round % 2 == 0 && !release_early) {
            EXPECT_TRUE(sent.load());
        }
        EXPECT_EQ(counter.handles.load(), 0);
    }
}

// A scripted job: ready after `steps` polls; records polls and destruction.
struct ScriptedJob {
    int steps;
    int* polls;
    bool* destroyed;
    bool owner = true;

    ScriptedJob(int s, int* p, bool* d) : steps(s), polls(p), destroyed(d) {}
    ScriptedJob(ScriptedJob&& o) noexcept
        : steps(o.steps),
          polls(o.polls),
          destroyed(o.destroyed),
          owner(std::exchange(o.owner, false)) {}
    ~ScriptedJob() {
        if (owner) *destroyed = true;
    }
    runtime::Poll<int> poll(runtime::Context&) {
        ++*polls;
        if (steps > 0 && *polls >= steps) return 42;
        return runtime::Poll<int>::pending();
    }
};

struct CancelledIsMinusOne {
    int operator()() const { return -1; }
};

using TestCancellable = Cancellable<ScriptedJob, CancelledIsMinusOne>;

// A Cancellable over a ScriptedJob that finishes on poll `steps` (0: never), the sender of its
// signal, and a context whose wakes are counted.
struct Scripted {
    explicit Scripted(int steps) : Scripted(steps, cancel_channel()) {}
    Scripted(int steps, std::pair<CancelSender, CancelReceiver> ends)
        : sender(std::move(ends.first)),
          body(ScriptedJob(steps, &polls, &destroyed), std::move(ends.second)) {}
    WakeCounter counter;
    runtime::Waker waker = counter.waker();
    runtime::Context cx{waker};
    int polls = 0;
    bool destroyed = false;
    CancelSender sender;
    TestCancellable body;
};

TEST(Cancellable, CancelledBeforeFirstRunStillRunsOnceThenYieldsCancelled) {
    Scripted t(0);
    EXPECT_TRUE(t.sender.send());
    runtime::Poll<int> out = t.body.poll(t.cx);
    ASSERT_TRUE(out.is_ready());
    EXPECT_EQ(out.value(), -1);
    EXPECT_EQ(t.polls, 1);
    EXPECT_TRUE(t.destroyed);  // destroyed inside the poll that yielded
    EXPECT_FALSE(t.body.watch_signal());
}

TEST(Cancellable, JobOutcomeWinsOverAPendingSignal) {
    Scripted t(2);
    EXPECT_TRUE(t.body.poll(t.cx).is_pending());
    EXPECT_TRUE(t.sender.send());
    EXPECT_EQ(t.counter.wakes.load(), 1);
    runtime::Poll<int> out = t.body.poll(t.cx);
    ASSERT_TRUE(out.is_ready());
    EXPECT_EQ(out.value(), 42);
    EXPECT_TRUE(t.destroyed);
}

TEST(Cancellable, SenderGoneStopsWatchingAndTheJobRunsToItsEnd) {
    Scripted t(4);
    EXPECT_TRUE(t.body.poll(t.cx).is_pending());
    EXPECT_TRUE(t.body.watch_signal());
    t.sender.release();
    EXPECT_TRUE(t.body.poll(t.cx).is_pending());
    EXPECT_FALSE(t.body.watch_signal());
    EXPECT_FALSE(t.destroyed);
    EXPECT_TRUE(t.body.poll(t.cx).is_pending());
    runtime::Poll<int> out = t.body.poll(t.cx);
    ASSERT_TRUE(out.is_ready());
    EXPECT_EQ(out.value(), 42);
    EXPECT_TRUE(t.destroyed);
    EXPECT_EQ(t.counter.handles.load(), 1);  // our waker only: the signal no longer keeps a copy
}

}  // namespace
}  // namespace morvane::bridge
