#pragma once
// The one-shot cancel signal between a future's done callback (loop thread) and the job it
// guards (worker threads). It carries no value: only "the future was cancelled".
//
// Exactly one CancelSender and one CancelReceiver share a heap record; the record lives until
// both ends are released. No operation ever waits: every step that could contend with the other
// end is a single atomic read-modify-write that either succeeds or takes a fixed answer.
//
// State word of the record:
//   COMPLETE  one end has been released (or the sender has sent); set once, never cleared.
//   SIGNALLED the sender stored the signal (only ever set together with COMPLETE).
//   WAKER_SET the receiver's wake handle in `waker` is valid and may be used by the sender.
// Ownership of `waker`: while WAKER_SET is clear and COMPLETE is clear, only the receiver touches
// it. Once the sender observes WAKER_SET in the same atomic step that sets COMPLETE, the sender
// owns it (reads and wakes it); the receiver never touches it again. Any leftover wake handle is
// destroyed with the record.
#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "runtime/waker.hpp"

namespace morvane::bridge {

namespace detail {
struct CancelRecord;

// What both ends share: their one reference to the record, moved and never copied. An end that is
// assigned over releases its own reference first, by its own release().
template <class End>
class CancelEnd {
  public:
    explicit operator bool() const noexcept { return record_ != nullptr; }

  protected:
    CancelEnd() noexcept = default;
    explicit CancelEnd(CancelRecord* record) noexcept : record_(record) {}
    CancelEnd(CancelEnd&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}
    CancelEnd& operator=(CancelEnd&& other) noexcept {
        if (this != &other) {
            static_cast<End*>(this)->release();
            record_ = std::exchange(other.record_, nullptr);
        }
        return *this;
    }
    ~CancelEnd() = default;

    CancelRecord* record_ = nullptr;
};
}  // namespace detail

class CancelSender;
class CancelReceiver;

// A fresh open channel: both ends of one shared record.
std::pair<CancelSender, CancelReceiver> cancel_channel();

class CancelSender : public detail::CancelEnd<CancelSender> {
  public:
    CancelSender() noexcept = default;  // an end that is already released
    CancelSender(CancelSender&&) noexcept = default;
    CancelSender& operator=(CancelSender&&) noexcept = default;
    // Releasing without a send: the receiver will see "sender gone".
    ~CancelSender() { release(); }

    // Consumes this end. Stores the signal and wakes the receiving task, unless the receiver is
    // already gone (then nothing is stored and the answer is false). The end is released either
    // way.
    bool send() noexcept;
    // Releases the end without sending (idempotent).
    void release() noexcept;

  private:
    friend std::pair<CancelSender, CancelReceiver> cancel_channel();
    using CancelEnd::CancelEnd;  // the end of a new record
};

enum class CancelPoll : std::uint8_t {
    nothing_yet,  // channel open; the given wake handle is registered for a later send/release
    received,     // the sender stored the signal
    sender_gone,  // the sender was released without a signal
};

class CancelReceiver : public detail::CancelEnd<CancelReceiver> {
  public:
    CancelReceiver() noexcept = default;
    CancelReceiver(CancelReceiver&&) noexcept = default;
    CancelReceiver& operator=(CancelReceiver&&) noexcept = default;
    // Marks the channel complete (a later send fails) and drops the registered wake handle.
    ~CancelReceiver() { release(); }

    // While the channel is open, registers a copy of `waker` (replacing an older one that would
    // not wake the same task) and answers nothing_yet. Must not be called after release().
    CancelPoll poll_receive(const runtime::Waker& waker);
    void release() noexcept;

  private:
    friend std::pair<CancelSender, CancelReceiver> cancel_channel();
    using CancelEnd::CancelEnd;  // the end of a new record
};

}  // namespace morvane::bridge
