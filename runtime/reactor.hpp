#pragma once
// Reactor: the epoll instance, its eventfd wake-up channel, and the readiness state of every
// registered socket. Driven by whichever worker holds the driver (see Scheduler); any thread
// may register, deregister, wait for readiness or wake the driver.
//
// Locks: each ScheduledIo's mu (its wakers) and release_mu_ (the records to free) are leaves,
// held for a few pointer moves; wakers are woken after mu is let go. turn() takes both under the
// scheduler's driver lock (scheduler.hpp), any other thread without it.
// Internal to runtime/: no other subsystem includes it.
#include <sys/epoll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <vector>

#include "base/unique_fd.hpp"
#include "runtime/waker.hpp"

namespace morvane::runtime::detail {

// Readiness word: flag bits in the low 16 bits, the event sequence number above them.
inline constexpr std::uint64_t kReadable = 1, kWritable = 2, kReadClosed = 4, kWriteClosed = 8;

struct ScheduledIo {
    explicit ScheduledIo(int socket) : fd(socket) {}
    int fd;
    std::atomic<std::uint64_t> readiness{0};
    std::mutex mu;  // guards the wakers
    Waker reader = Waker::noop();
    Waker writer = Waker::noop();
};

// The wait on the OS: ::epoll_wait, or a test's stand-in that fails.
using EpollWait = int (*)(int epfd, epoll_event* events, int max_events, int timeout_ms);

class Reactor {
  public:
    static constexpr int kEventsPerWait = 1024;

    // Throws morvane::Fault("Unable to build morvane runtime: ...") when epoll or the eventfd
    // cannot be created or registered.
    explicit Reactor(EpollWait wait = ::epoll_wait);
    Reactor(const Reactor&) = delete;
    Reactor& operator=(const Reactor&) = delete;
    ~Reactor();

    ScheduledIo* add(int fd, std::error_code& ec);
    // Removes the socket from epoll; the record is freed by the next turn, after any events
    // already collected for it have been dispatched.
    void remove(ScheduledIo* io) noexcept;

    // Registers an fd for readability under a token of the caller's; turn() reports it.
    void add_token(int fd, std::uint64_t token);  // throws Fault (construction message)

    // One wait on epoll (timeout in ms, -1 for none) and dispatch of what it reports. Only the
    // driver's holder calls this. Returns the tokens seen (other than sockets and the wake-up).
    // EINTR ends the wait quietly; any other error is fatal ("unexpected error when polling the
    // I/O driver: ..."): the worker cannot go on waiting, and without it the tasks would stall.
    void turn(int timeout_ms, std::vector<std::uint64_t>& tokens);

    // Makes a turn in progress (or the next one) return. Fatal ("failed to wake I/O driver:
    // ...") when the eventfd cannot be written: the caller is often a waker, which cannot throw.
    void unpark() noexcept;

    std::size_t registered() const noexcept { return live_.load(std::memory_order_relaxed); }

  private:
    void dispatch(ScheduledIo* io, std::uint32_t events) noexcept;

    const EpollWait wait_;
    UniqueFd epoll_;
    UniqueFd wake_;
    std::vector<epoll_event> events_;  // used only by the driver's holder

    std::mutex release_mu_;
    std::vector<ScheduledIo*> released_;  // removed, to be freed at the start of a turn
    std::atomic<std::size_t> live_{0};
};

}  // namespace morvane::runtime::detail
