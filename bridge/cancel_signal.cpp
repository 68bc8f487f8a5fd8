#include "bridge/cancel_signal.hpp"

#include "base/fault.hpp"

namespace morvane::bridge {

namespace detail {

struct CancelRecord {
    static constexpr std::uint32_t COMPLETE = 1;
    static constexpr std::uint32_t SIGNALLED = 2;
    static constexpr std::uint32_t WAKER_SET = 4;

    std::atomic<std::uint32_t> state{0};
    std::atomic<std::uint32_t> ends{2};
    // See the ownership rule in the header: guarded by the WAKER_SET/COMPLETE protocol.
    std::optional<runtime::Waker> waker;
};

namespace {

void drop_end(CancelRecord* record) noexcept {
    // acq_rel: the last end to go sees every write the other end made to the record.
    if (record->ends.fetch_sub(1, std::memory_order_acq_rel) == 1) delete record;
}

CancelPoll answer_when_complete(std::uint32_t state) noexcept {
    return (state & CancelRecord::SIGNALLED) != 0 ? CancelPoll::received : CancelPoll::sender_gone;
}

}  // namespace
}  // namespace detail

using detail::CancelRecord;

std::pair<CancelSender, CancelReceiver> cancel_channel() {
    auto* record = new CancelRecord();
    return {CancelSender(record), CancelReceiver(record)};
}

bool CancelSender::send() noexcept {
    CancelRecord* record = std::exchange(record_, nullptr);
    if (record == nullptr) return false;
    bool sent = false;
    std::uint32_t state = record->state.load(std::memory_order_acquire);
    while ((state & CancelRecord::COMPLETE) == 0) {
        // One step decides the race with the receiver's release: either the signal is stored
        // while the receiver is still there, or the receiver was first and nothing is stored.
        if (record->state.compare_exchange_weak(
                state, state | CancelRecord::COMPLETE | CancelRecord::SIGNALLED,
                std::memory_order_acq_rel, std::memory_order_acquire)) {
            sent = true;
            // The receiver stops touching the wake handle once COMPLETE is set, so it is ours.
            if ((state & CancelRecord::WAKER_SET) != 0) record->waker->wake();
            break;
        }
    }
    detail::drop_end(record);
    return sent;
}

void CancelSender::release() noexcept {
    CancelRecord* record = std::exchange(record_, nullptr);
    if (record == nullptr) return;
    const std::uint32_t prev =
        record->state.fetch_or(CancelRecord::COMPLETE, std::memory_order_acq_rel);
    if ((prev & CancelRecord::COMPLETE) == 0 && (prev & CancelRecord::WAKER_SET) != 0) {
        record->waker->wake();
    }
    detail::drop_end(record);
}

CancelPoll CancelReceiver::poll_receive(const runtime::Waker& waker) {
    CancelRecord* record = record_;
    if (record == nullptr) throw Fault("cancel signal received on a released receiver");
    std::uint32_t state = record->state.load(std::memory_order_acquire);
    if ((state & CancelRecord::COMPLETE) != 0) return detail::answer_when_complete(state);
    if ((state & CancelRecord::WAKER_SET) != 0) {
        if (record->waker->will_wake(waker)) return CancelPoll::nothing_yet;
        // Take the slot back before replacing the handle, so the sender never reads it half-made.
        state = record->state.fetch_and(~CancelRecord::WAKER_SET, std::memory_order_acq_rel);
        if ((state & CancelRecord::COMPLETE) != 0) return detail::answer_when_complete(state);
    }
    record->waker = waker;
    state = record->state.fetch_or(CancelRecord::WAKER_SET, std::memory_order_acq_rel);
    // Completed before the handle was published: that end did not wake us, so answer now.
    if ((state & CancelRecord::COMPLETE) != 0) return detail::answer_when_complete(state);
    return CancelPoll::nothing_yet;
}

void CancelReceiver::release() noexcept {
    CancelRecord* record = std::exchange(record_, nullptr);
    if (record == nullptr) return;
    const std::uint32_t prev =
        record->state.fetch_or(CancelRecord::COMPLETE, std::memory_order_acq_rel);
    // If we completed the channel, the sender can no longer claim the wake handle: drop it now.
    if ((prev & CancelRecord::COMPLETE) == 0) record->waker.reset();
    detail::drop_end(record);
}

}  // namespace morvane::bridge
