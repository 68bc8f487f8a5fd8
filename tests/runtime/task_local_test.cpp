// Task-local scopes: the value is in the slot exactly while the body is polled, the previous
// content comes back afterwards (also on throw), and both entry faults.
#include "runtime/task_local.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "runtime/task.hpp"
#include "support.hpp"

namespace morvane::runtime {
namespace {

TaskLocalKey<std::string> NAME;
TaskLocalKey<std::string> OTHER;

std::string current(const TaskLocalKey<std::string>& key) {
    return key.try_with([](const std::string* v) { return v ? *v : std::string("<none>"); });
}

// Records the slot on each poll; pending `pending_polls` times, then ready or throws.
struct Probe {
    std::vector<std::string>* seen;
    int pending_polls;
    bool throw_at_end = false;
    Poll<int> poll(Context&) {
        seen->push_back(current(NAME));
        if (pending_polls-- > 0) return Poll<int>::pending();
        if (throw_at_end) throw std::runtime_error("body failed");
        return 1;
    }
};

TEST(TaskLocal, ValueIsPresentOnlyDuringPollsAndPreviousContentReturns) {
    std::vector<std::string> seen;
    Waker w = Waker::noop();
    Context cx(w);
    auto outer = NAME.scope("outer", Probe{&seen, 0});
    auto inner = NAME.scope("inner", Probe{&seen, 1});
    EXPECT_EQ(current(NAME), "<none>");
    {
        // Poll `inner` from inside another scope's poll: it sees its own value, then the
        // outer value is back.
        struct Nest {
            decltype(inner)* in;
            std::vector<std::string>* seen;
            Poll<int> poll(Context& cx) {
                auto r = in->poll(cx);
                seen->push_back("after:" + current(NAME));
                return r;
            }
        };
        auto nested = NAME.scope("outer", Nest{&inner, &seen});
        EXPECT_TRUE(nested.poll(cx).is_pending());
        EXPECT_TRUE(nested.poll(cx).is_pending() == false);
    }
    EXPECT_TRUE(outer.poll(cx).is_ready());
    EXPECT_EQ(current(NAME), "<none>");
    EXPECT_EQ(current(OTHER), "<none>");
    EXPECT_EQ(seen,
              (std::vector<std::string>{"inner", "after:outer", "inner", "after:outer", "outer"}));
}

TEST(TaskLocal, ThrowingBodyStillRestoresTheSlot) {
    std::vector<std::string> seen;
    Waker w = Waker::noop();
    Context cx(w);
    auto outer = NAME.scope("outer", Probe{&seen, 0});
    auto failing = NAME.scope("failing", Probe{&seen, 0, true});
    EXPECT_THROW(failing.poll(cx), std::runtime_error);
    EXPECT_EQ(current(NAME), "<none>");
    EXPECT_TRUE(outer.poll(cx).is_ready());
    EXPECT_EQ(seen, (std::vector<std::string>{"failing", "outer"}));
}

TEST(TaskLocal, EnteringWhileBorrowedIsAFault) {
    Waker w = Waker::noop();
    Context cx(w);
    std::vector<std::string> seen;
    std::string message;
    NAME.try_with([&](const std::string*) {
        auto scoped = NAME.scope("x", Probe{&seen, 0});
        try {
            scoped.poll(cx);
        } catch (const Fault& f) {
            message = f.what();
        }
        return 0;
    });
    EXPECT_EQ(message, kTaskLocalBorrowed);
    EXPECT_TRUE(seen.empty());
    // A different key is not borrowed.
    auto other = OTHER.scope("y", Probe{&seen, 0});
    NAME.try_with([&](const std::string*) { return other.poll(cx).is_ready(); });
}

// Polls a scope from a thread_local destructor that runs after the slots are destroyed.
std::string g_exit_message;
std::string g_exit_try_with;
struct LateProbe {
    ~LateProbe() {
        Waker w = Waker::noop();
        Context cx(w);
        std::vector<std::string> seen;
        auto scoped = NAME.scope("late", Probe{&seen, 0});
        try {
            scoped.poll(cx);
            g_exit_message = "entered";
        } catch (const Fault& f) {
            g_exit_message = f.what();
        }
        g_exit_try_with = current(NAME);
    }
};

TEST(TaskLocal, EnteringDuringThreadExitIsAFault) {
    std::thread([] {
        static thread_local LateProbe probe;  // constructed first, so destroyed last
        (void)&probe;
        current(NAME);  // creates the thread's slots
    }).join();
    EXPECT_EQ(g_exit_message, kTaskLocalDestroyed);
    EXPECT_EQ(g_exit_try_with, "<none>");
}

TEST(TaskLocal, ScopeAroundACoroutineCarriesTheValueAcrossSuspensions) {
    struct Gate {
        bool open = false;
        Poll<Unit> poll(Context&) { return open ? Poll<Unit>(Unit{}) : Poll<Unit>::pending(); }
    };
    Gate gate;
    auto body = [](Gate* g) -> Task<std::string> {
        std::string before = current(NAME);
        co_await *g;
        co_return before + "/" + current(NAME);
    };
    auto scoped = NAME.scope("carried", body(&gate));
    Waker w = Waker::noop();
    Context cx(w);
    EXPECT_TRUE(scoped.poll(cx).is_pending());
    EXPECT_EQ(current(NAME), "<none>");
    gate.open = true;
    EXPECT_EQ(scoped.poll(cx).value(), "carried/carried");
}

}  // namespace
}  // namespace morvane::runtime
