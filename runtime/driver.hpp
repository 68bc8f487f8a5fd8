#pragma once
// The driver stack, polled by whichever worker waits for work: the I/O reactor, the signal
// facility, the child-process watcher and the timer facility.
// Internal to runtime/: no other subsystem includes it.
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "base/unique_fd.hpp"
#include "runtime/reactor.hpp"

namespace morvane::runtime::detail {

// Process-wide signal state, created once: a connected pair of non-blocking, close-on-exec
// Unix stream sockets and one slot per signal number up to the highest real-time one. No
// handler is installed until code subscribes to a signal; nothing in this system does.
struct SignalGlobals {
    UniqueFd sender;
    UniqueFd receiver;
    struct Slot {
        bool pending = false;
        bool subscribed = false;
    };
    std::vector<Slot> slots;

    // Throws Fault("failed to create UnixStream: ...") if the pair cannot be created.
    static SignalGlobals& get();
};

// This runtime's view of the signals: a duplicate of the receiving end, registered with the
// reactor for readability.
class SignalFacility {
  public:
    static constexpr std::uint64_t kToken = 1;
    explicit SignalFacility(Reactor& reactor);  // throws Fault
    void on_readable() noexcept;                // drains the duplicate

  private:
    UniqueFd receiver_;
};

// Children waiting to be reaped. The system starts no child processes, so it stays empty and
// never subscribes to SIGCHLD.
struct ChildWatcher {
    std::deque<pid_t> orphans;
};

// The timer facility: its starting instant and its (always empty) set of timers.
struct TimerFacility {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::vector<std::chrono::steady_clock::time_point> timers;
    // Milliseconds to the earliest timer, or -1 when there is none.
    int next_timeout_ms() const { return timers.empty() ? -1 : 0; }
};

class Driver {
  public:
    // Builds the reactor, the signal facility, the child watcher and the timers; throws Fault.
    explicit Driver(EpollWait wait = ::epoll_wait);
    // Waits up to timeout_ms (bounded by the timers) and dispatches readiness.
    void turn(int timeout_ms);
    void unpark() noexcept { reactor_.unpark(); }
    Reactor& reactor() noexcept { return reactor_; }

  private:
    Reactor reactor_;
    SignalFacility signals_;
    ChildWatcher children_;
    TimerFacility timers_;
    std::vector<std::uint64_t> tokens_;
};

}  // namespace morvane::runtime::detail
