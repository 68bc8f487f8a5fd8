#pragma once
// Readiness of non-blocking sockets on the current runtime's reactor.
//
// A registered socket has a readiness state per direction, set when the reactor sees the
// operating system report readability or writability (hang-up and error count as ready) and
// kept until cleared. poll_ready answers at once when the direction is ready; otherwise it
// stores the task's waker and the next readiness event in that direction wakes it. After an
// operation reports that it would block, clear_readiness(ev) clears what ev saw; readiness
// that arrived after ev (a newer sequence number) is never erased.
// Public: the client registers its sockets with it.
#include <cstdint>
#include <system_error>
#include <utility>

#include "runtime/context.hpp"
#include "runtime/poll.hpp"

namespace morvane::runtime {

namespace detail {
class Reactor;
struct ScheduledIo;
}  // namespace detail

enum class Direction { read, write };

class ReadyEvent {
  public:
    Direction direction() const { return direction_; }
    // True when the readiness came from a hang-up or error rather than data or buffer space.
    bool closed() const { return closed_; }
    std::uint32_t sequence() const { return sequence_; }

  private:
    friend class Registration;
    ReadyEvent(Direction d, std::uint32_t seq, bool closed)
        : direction_(d), sequence_(seq), closed_(closed) {}
    Direction direction_;
    std::uint32_t sequence_;
    bool closed_;
};

class Registration;

// The future of one readiness wait: `ReadyEvent ev = co_await reg.ready(Direction::read);`
class ReadyFuture {
  public:
    ReadyFuture(Registration& reg, Direction d) : reg_(&reg), direction_(d) {}
    Poll<ReadyEvent> poll(Context& cx);

  private:
    Registration* reg_;
    Direction direction_;
};

class Registration {
  public:
    Registration() = default;  // invalid: registered nothing
    // Registers `fd` (a non-blocking socket; read and write interest, edge-triggered) with the
    // calling thread's runtime. On failure the registration is invalid and ec says why. Throws
    // morvane::Fault when the calling thread belongs to no runtime.
    static Registration open(int fd, std::error_code& ec);
    // The same on a given reactor (tests drive a reactor of their own).
    static Registration open_on(detail::Reactor& reactor, int fd, std::error_code& ec);

    Registration(Registration&& o) noexcept
        : reactor_(std::exchange(o.reactor_, nullptr)), io_(std::exchange(o.io_, nullptr)) {}
    Registration& operator=(Registration&& o) noexcept;
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    // Deregisters; never closes the fd (its owner closes it after this).
    ~Registration() { reset(); }

    bool valid() const { return io_ != nullptr; }
    void reset() noexcept;

    // Consumes one unit of the resumption's budget.
    Poll<ReadyEvent> poll_ready(Context& cx, Direction d);
    void clear_readiness(const ReadyEvent& ev);
    ReadyFuture ready(Direction d) { return ReadyFuture(*this, d); }

  private:
    Registration(detail::Reactor* r, detail::ScheduledIo* io) : reactor_(r), io_(io) {}
    detail::Reactor* reactor_ = nullptr;
    detail::ScheduledIo* io_ = nullptr;
};

inline Poll<ReadyEvent> ReadyFuture::poll(Context& cx) {
    return reg_->poll_ready(cx, direction_);
}

}  // namespace morvane::runtime
