// The readiness contract over a socket pair: per-direction readiness, wakes, clears that keep
// newer readiness, hang-up, deregistration; first on a reactor driven by the test, then through
// a task on the runtime.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "base/unique_fd.hpp"
#include "runtime/io_registration.hpp"
#include "runtime/reactor.hpp"
#include "runtime/task.hpp"
#include "support.hpp"

namespace morvane::runtime {
namespace {

struct Pair {
    UniqueFd a, b;
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        a.reset(fds[0]);
        b.reset(fds[1]);
    }
};

void turn(detail::Reactor& r) {
    std::vector<std::uint64_t> tokens;
    r.turn(100, tokens);
}

void drain(int fd) {
    char buf[256];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

TEST(Readiness, PerDirectionStateWakesAndSequencedClears) {
    detail::Reactor reactor;
    Pair p;
    std::error_code ec;
    Registration reg = Registration::open_on(reactor, p.a.get(), ec);
    ASSERT_TRUE(reg.valid()) << ec.message();
    testing::Notify n;
    Waker w = n.waker();
    Context cx(w);

    turn(reactor);  // the empty socket reports writable only
    EXPECT_TRUE(reg.poll_ready(cx, Direction::write).is_ready());
    EXPECT_TRUE(reg.poll_ready(cx, Direction::read).is_pending());

    ASSERT_EQ(::write(p.b.get(), "x", 1), 1);
    turn(reactor);
    EXPECT_EQ(n.count(), 1);  // the stored read waker was woken
    Poll<ReadyEvent> first = reg.poll_ready(cx, Direction::read);
    ASSERT_TRUE(first.is_ready());
    EXPECT_FALSE(first.value().closed());

    // More data arrives after `first` was seen: clearing `first` must not erase it.
    ASSERT_EQ(::write(p.b.get(), "y", 1), 1);
    turn(reactor);
    reg.clear_readiness(first.value());
    Poll<ReadyEvent> second = reg.poll_ready(cx, Direction::read);
    ASSERT_TRUE(second.is_ready());
    EXPECT_NE(second.value().sequence(), first.value().sequence());

    // Clearing the newest readiness does clear it; writability is untouched.
    drain(p.a.get());
    reg.clear_readiness(second.value());
    EXPECT_TRUE(reg.poll_ready(cx, Direction::read).is_pending());
    EXPECT_TRUE(reg.poll_ready(cx, Direction::write).is_ready());

    // Hang-up counts as ready and is never cleared.
    const int before = n.count();
    p.b.reset();
    turn(reactor);
    EXPECT_GT(n.count(), before);
    Poll<ReadyEvent> hup = reg.poll_ready(cx, Direction::read);
    ASSERT_TRUE(hup.is_ready());
    EXPECT_TRUE(hup.value().closed());
    reg.clear_readiness(hup.value());
    EXPECT_TRUE(reg.poll_ready(cx, Direction::read).is_ready());
}

TEST(Readiness, DeregisteredSocketsWakeNobody) {
    detail::Reactor reactor;
    Pair p;
    std::error_code ec;
    Registration reg = Registration::open_on(reactor, p.a.get(), ec);
    testing::Notify n;
    Waker w = n.waker();
    Context cx(w);
    turn(reactor);
    EXPECT_TRUE(reg.poll_ready(cx, Direction::read).is_pending());
    reg.reset();
    EXPECT_FALSE(reg.valid());
    EXPECT_EQ(reactor.registered(), 0u);
    ASSERT_EQ(::write(p.b.get(), "x", 1), 1);
    turn(reactor);
    turn(reactor);  // frees the removed record
    EXPECT_EQ(n.count(), 0);

    // Registering a descriptor that is not open fails with the system's error.
    Registration bad = Registration::open_on(reactor, -1, ec);
    EXPECT_FALSE(bad.valid());
    EXPECT_EQ(ec.value(), EBADF);
}

TEST(Readiness, ATaskWaitsForDataThroughTheRuntime) {
    Runtime& rt = testing::test_runtime();
    Pair p;
    const int fd = p.a.get();
    std::atomic<std::size_t> read_so_far{0};
    auto reader = [](int fd, std::atomic<std::size_t>* seen) -> Task<std::string> {
        std::error_code ec;
        Registration reg = Registration::open(fd, ec);
        if (!reg.valid()) throw Fault(ec.message());
        std::string got;
        while (got.size() < 6) {
            ReadyEvent ev = co_await reg.ready(Direction::read);
            char buf[16];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, static_cast<std::size_t>(n));
                seen->store(got.size());
            } else if (n < 0 && errno == EAGAIN) {
                reg.clear_readiness(ev);
            } else {
                break;
            }
        }
        co_return got;
    };
    auto handle = rt.spawn(reader(fd, &read_so_far));
    ASSERT_EQ(::write(p.b.get(), "abc", 3), 3);
    // The second write comes once the task has read the first, so it must wait for it.
    ASSERT_TRUE(testing::eventually([&] { return read_so_far.load() == 3; }));
    ASSERT_EQ(::write(p.b.get(), "def", 3), 3);
    EXPECT_EQ(testing::block_on(std::move(handle)).take(), "abcdef");
}

TEST(Readiness, ManySocketsInFlightAllComplete) {
    Runtime& rt = testing::test_runtime();
    constexpr int kPairs = 200;
    std::vector<Pair> pairs(kPairs);
    auto echo_one = [](int fd) -> Task<int> {
        std::error_code ec;
        Registration reg = Registration::open(fd, ec);
        if (!reg.valid()) throw Fault(ec.message());
        for (;;) {
            ReadyEvent ev = co_await reg.ready(Direction::read);
            char c;
            const ssize_t n = ::read(fd, &c, 1);
            if (n == 1) co_return c;
            if (n < 0 && errno == EAGAIN) {
                reg.clear_readiness(ev);
                continue;
            }
            co_return -1;
        }
    };
    std::vector<JoinHandle<int>> handles;
    for (auto& p : pairs) handles.push_back(rt.spawn(echo_one(p.a.get())));
    for (int i = 0; i < kPairs; ++i) {
        const char c = static_cast<char>('a' + i % 26);
        ASSERT_EQ(::write(pairs[static_cast<std::size_t>(i)].b.get(), &c, 1), 1);
    }
    for (int i = 0; i < kPairs; ++i)
        EXPECT_EQ(testing::block_on(std::move(handles[static_cast<std::size_t>(i)])).take(),
                  'a' + i % 26);
}

TEST(Readiness, OpenOutsideARuntimeIsAFault) {
    Pair p;
    std::error_code ec;
    EXPECT_THROW(Registration::open(p.a.get(), ec), Fault);
}

}  // namespace
}  // namespace morvane::runtime
